#!/usr/bin/env python3
"""Writes the restore fuzzer's seed inputs from the conformance vectors.

Each vector with a base.bin and a delta.bin becomes one input in the fuzzer's
layout: a flags byte (1: the delta has a trailer), the Base length as two bytes
little-endian, the Base, the delta.
"""
import pathlib
import sys


def main() -> int:
    vectors, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    count = 0
    for folder in sorted(p for p in vectors.iterdir() if p.is_dir()):
        delta = folder / "delta.bin"
        if not delta.exists():
            continue
        base_path = folder / "base.bin"
        base = base_path.read_bytes() if base_path.exists() else b""
        if len(base) > 0xFFFF:
            continue
        seed = bytes([1]) + len(base).to_bytes(2, "little") + base + delta.read_bytes()
        (out / folder.name).write_bytes(seed)
        count += 1
    print(f"{count} restore seeds in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
