#!/usr/bin/env bash
# A command-line round trip of a large generated file pair (100 MB by default):
# create and restore with wall time and peak resident memory of each, the delta
# size, and a byte-for-byte check of the result.
#
#   bench/roundtrip_large.sh [path/to/quoralith] [megabytes] [algorithms]
#
# DEEP=1 adds --deep to the create: files beyond the deep search's window are
# then searched part by part, and the peak memory shows its bound.
set -euo pipefail
quoralith="${1:-build/cli/quoralith}"
megabytes="${2:-100}"
algorithms="${3:-7}"
quoralith="$(readlink -f "$quoralith")"
work="$(mktemp -d /tmp/quoralith-roundtrip-XXXXXX)"
trap 'rm -rf "$work"' EXIT

python3 - "$work" "$megabytes" <<'PY'
import random, sys
work, megabytes = sys.argv[1], int(sys.argv[2])
rng = random.Random(20261207)
words = [b"delta ", b"base ", b"update ", b"the ", b"file ", b"block ", b"run ", b"match\n",
         b"copy ", b"of ", b"and ", b"0123 ", b"restore ", b"window "]
size = megabytes * 1000 * 1000
with open(f"{work}/base", "wb") as out:
    written = 0
    while written < size:
        # Text-like stretches with random binary stretches between them.
        chunk = b"".join(rng.choice(words) for _ in range(20000)) + rng.randbytes(65536)
        chunk = chunk[: size - written]
        out.write(chunk)
        written += len(chunk)
data = bytearray(open(f"{work}/base", "rb").read())
for _ in range(2000):
    at = rng.randrange(len(data))
    data[at:at + 8] = rng.randbytes(8)
data[len(data) // 2:len(data) // 2] = rng.randbytes(100000)
del data[len(data) // 4:len(data) // 4 + 50000]
open(f"{work}/updated", "wb").write(data)
PY

measure() {  # label, command...
  local label="$1"; shift
  /usr/bin/time -f "%e %M" -o "$work/time" "$@"
  read -r seconds kib <"$work/time"
  awk -v l="$label" -v s="$seconds" -v k="$kib" 'BEGIN { printf "%-8s %8.2f s   peak %7.1f MiB\n", l, s, k / 1024 }'
}

echo "quoralith round trip: $(stat -c %s "$work/base") -> $(stat -c %s "$work/updated") bytes, algorithms $algorithms${DEEP:+ (deep: $DEEP)}"
deep=()
[ "${DEEP:-0}" = 1 ] && deep=(--deep)
measure create "$quoralith" --quiet -f create "${deep[@]}" -a "$algorithms" "$work/base" "$work/updated" "$work/delta"
measure restore "$quoralith" --quiet -f restore "$work/base" "$work/delta" "$work/restored"
echo "delta    $(stat -c %s "$work/delta") bytes"
if cmp -s "$work/updated" "$work/restored"; then echo "restored file identical"; else echo "MISMATCH"; exit 1; fi
