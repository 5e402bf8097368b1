#!/usr/bin/env python3
"""Writes fuzzer seed inputs from the conformance vectors.

    make_seeds.py VECTORS OUT            restore seeds: base.bin and delta.bin
    make_seeds.py VECTORS OUT roundtrip  round-trip seeds: base.bin and updated.bin
    make_seeds.py VECTORS OUT deep       the same for the deep search's round trip

Each becomes one input in the fuzzer's layout: a flags byte (restore: 1, the
delta has a trailer; round trip: the algorithm number of the delta, plus 0x10
for the short check), the Base length as two bytes little-endian, the Base, then
the delta or Updated. Round-trip seeds keep 256 bytes of each side, as their
target does (roundtrip_fuzz.cpp); a deep one is written twice, the second time
for the search part by part (roundtrip_deep_fuzz.cpp).
"""
import pathlib
import sys


def main() -> int:
    vectors, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    kind = sys.argv[3] if len(sys.argv) > 3 else ""
    roundtrip = kind in ("roundtrip", "deep")
    out.mkdir(parents=True, exist_ok=True)
    if not vectors.is_dir():
        # The fuzzer starts from its own inputs alone; the tests say the same.
        print(f"conformance vectors not found: {vectors}; no seeds made", file=sys.stderr)
        return 0
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
        second_bytes = second.read_bytes()
        if kind == "roundtrip":
            # Both sides as far as the target keeps them.
            base, second_bytes = base[:256], second_bytes[:256]
        pair = len(base).to_bytes(2, "little") + base + second_bytes
        if kind == "deep":
            for extra, name in ((0, folder.name), (0x20, folder.name + "-parts")):
                (out / name).write_bytes(bytes([flags | extra]) + pair)
                count += 1
        elif roundtrip:
            (out / folder.name).write_bytes(bytes([flags]) + pair)
            count += 1
        else:
            (out / folder.name).write_bytes(bytes([flags]) + pair)
            count += 1
    print(f"{count} {kind or 'restore'} seeds in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
