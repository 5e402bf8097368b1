#!/usr/bin/env python3
"""Writes fuzzer seed inputs from the conformance vectors.

    make_seeds.py VECTORS OUT            restore seeds: base.bin and delta.bin
    make_seeds.py VECTORS OUT roundtrip  round-trip seeds: base.bin and updated.bin

Each becomes one input in the fuzzer's layout: a flags byte (restore: 1, the
delta has a trailer; round trip: the algorithm number of the delta, plus 0x10
for the short check), the Base length as two bytes little-endian, the Base, then
the delta or Updated.
"""
import pathlib
import sys


def main() -> int:
    vectors, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    roundtrip = len(sys.argv) > 3 and sys.argv[3] == "roundtrip"
    out.mkdir(parents=True, exist_ok=True)
    count = 0
    for folder in sorted(p for p in vectors.iterdir() if p.is_dir()):
        delta = folder / "delta.bin"
        second = folder / ("updated.bin" if roundtrip else "delta.bin")
        if not delta.exists() or not second.exists():
            continue
        base_path = folder / "base.bin"
        base = base_path.read_bytes() if base_path.exists() else b""
        if len(base) > 0xFFFF:
            continue
        flags = 1
        if roundtrip:
            data = delta.read_bytes()
            check_length = int.from_bytes(data[-48:-46], "little") if len(data) >= 56 else 256
            method = data[-56 - check_length - 1] if len(data) >= 57 + check_length else 7
            flags = (method & 0x0F) | (0x10 if check_length == 4 else 0)
        seed = bytes([flags]) + len(base).to_bytes(2, "little") + base + second.read_bytes()
        (out / folder.name).write_bytes(seed)
        count += 1
        if roundtrip:
            # The same pair for the deep search, whole and part by part.
            for extra, suffix in ((0x20, "-deep"), (0x60, "-deep-parts")):
                (out / (folder.name + suffix)).write_bytes(bytes([flags | extra]) + seed[1:])
                count += 1
    print(f"{count} {'round-trip' if roundtrip else 'restore'} seeds in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
