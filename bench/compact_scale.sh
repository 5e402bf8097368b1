#!/usr/bin/env bash
# The compact format at scale: a generated pair of N MB (random data, 15
# scattered edits per MB, one block moved per 4 MB, as the corpus's synthetic
# pairs are made) through `create --compact` and `restore`, beside
# `xdelta3 -9 -B 1G` and `zstd -19 --long=31 --patch-from`: delta size, wall
# time and peak resident memory of each side, and a byte-for-byte check.
#
#   bench/compact_scale.sh [path/to/quoralith] [megabytes, default 100]
#
# Use a Release build. The 1024 MB pair needs some 6 GB of free disk in $TMPDIR.
set -euo pipefail
quoralith="$(readlink -f "${1:-build-rel/cli/quoralith}")"
megabytes="${2:-100}"
work="$(mktemp -d "${TMPDIR:-/tmp}/quoralith-compact-scale-XXXXXX")"
trap 'rm -rf "$work"' EXIT

python3 - "$work" "$megabytes" <<'PY'
import hashlib, random, sys
work, megabytes = sys.argv[1], int(sys.argv[2])
size = megabytes << 20
rng = random.Random(20261208)
def stream(label, n):
    # SHAKE-256 gives the same bytes on every Python version.
    out = bytearray()
    counter = 0
    while len(out) < n:
        out += hashlib.shake_256(f"{label}/{counter}".encode()).digest(min(1 << 24, n - len(out)))
        counter += 1
    return bytes(out)
base = stream("compact-scale-base", size)
with open(f"{work}/base", "wb") as f:
    f.write(base)
# Updated as ranges of Base: one block of 64 KiB per 4 MiB moved anywhere.
ranges = [(0, size)]
def split(at):
    """Index of the range that starts at `at`, cutting one in two if need be."""
    position = 0
    for i, (a, b) in enumerate(ranges):
        if position == at:
            return i
        if position + (b - a) > at:
            cut = a + (at - position)
            ranges[i:i + 1] = [(a, cut), (cut, b)]
            return i + 1
        position += b - a
    return len(ranges)
for _ in range(max(1, megabytes // 4)):
    length = 65536
    source = rng.randrange(0, size - length)
    i, j = split(source), split(source + length)
    block = ranges[i:j]
    del ranges[i:j]
    target = rng.randrange(0, size - length)
    k = split(target)
    ranges[k:k] = block
view = memoryview(base)
moved = b"".join(view[a:b] for a, b in ranges)
del ranges
# 15 edits per MB, spread over the file: overwrites, insertions and deletions
# of 1 to 256 bytes.
edits = 15 * megabytes
fresh = stream("compact-scale-fresh", edits * 256)
positions = sorted(rng.randrange(0, size) for _ in range(edits))
moved_view = memoryview(moved)
with open(f"{work}/updated", "wb") as f:
    cursor = 0
    for i, at in enumerate(positions):
        if at < cursor:
            continue
        f.write(moved_view[cursor:at])
        length = rng.randint(1, 256)
        op = rng.randrange(3)
        new = fresh[i * 256:i * 256 + length]
        if op == 0:
            f.write(new)
            cursor = at + length
        elif op == 1:
            f.write(new)
            cursor = at
        else:
            cursor = at + length
    f.write(moved_view[cursor:])
PY

measure() {  # label, then the command; prints seconds and peak KiB
  local label="$1"; shift
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
  read -r seconds kib <"$work/time"
  printf '%s %s %s\n' "$label" "$seconds" "$kib"
}

printf '%-28s %14s %10s %12s %10s %12s\n' tool delta_bytes create_s create_MiB restore_s restore_MiB
row() {  # name, delta file, create line, restore line
  read -r _ cs ck <<<"$3"
  read -r _ rs rk <<<"$4"
  cmp -s "$work/updated" "$work/out" || { echo "$1: the restored file differs" >&2; exit 1; }
  printf '%-28s %14s %10s %12s %10s %12s\n' "$1" "$(stat -c %s "$2")" "$cs" "$((ck / 1024))" "$rs" "$((rk / 1024))"
  rm -f "$2" "$work/out"
}

c=$(measure create "$quoralith" --quiet create --compact "$work/base" "$work/updated" "$work/d.qc")
r=$(measure restore "$quoralith" --quiet restore "$work/base" "$work/d.qc" "$work/out")
row "quoralith --compact" "$work/d.qc" "$c" "$r"

c=$(measure create xdelta3 -e -9 -B 1073741824 -s "$work/base" "$work/updated" "$work/d.xd")
r=$(measure restore xdelta3 -d -B 1073741824 -s "$work/base" "$work/d.xd" "$work/out")
row "xdelta3 -9 -B 1G" "$work/d.xd" "$c" "$r"

c=$(measure create zstd -q -19 --long=31 --patch-from="$work/base" "$work/updated" -o "$work/d.zst")
r=$(measure restore zstd -q -d --long=31 --patch-from="$work/base" "$work/d.zst" -o "$work/out")
row "zstd -19 --long=31" "$work/d.zst" "$c" "$r"
