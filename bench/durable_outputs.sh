#!/usr/bin/env bash
# The cost of durable outputs: a tree of 1,000 small text files (2 to 40 KB,
# a few words inserted in each) created and restored a few times, wall time of
# each step. Every output is flushed to the disk before its rename and each
# output folder after its files, so the figures depend on the disk: run it on
# the file system the outputs will live on (not a tmpfs, where a flush is free).
# Give a second program (say, one built with the flushes taken out) to compare.
#
#   bench/durable_outputs.sh [path/to/quoralith] [other/quoralith] [work dir on the disk] [rounds]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
first="$(readlink -f "${1:-$here/../build/cli/quoralith}")"
second="${2:-}"
[ -n "$second" ] && second="$(readlink -f "$second")"
parent="${3:-$here/..}"
rounds="${4:-3}"
[ -x "$first" ] || { echo "no quoralith program at $first" >&2; exit 2; }
work="$(mktemp -d "$parent/durable-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
echo "work folder: $work ($(df -T "$work" | awk 'NR == 2 { print $2 }'))"

python3 - "$work" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(7)
words = [bytes(random.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(random.randint(2, 9))) for _ in range(500)]
for i in range(1000):
    sub = f"sub{i % 10}"
    for side in ("old", "new"):
        os.makedirs(f"{root}/{side}/{sub}", exist_ok=True)
    data = bytearray()
    size = random.randint(2000, 40000)
    while len(data) < size:
        data += random.choice(words) + b" "
    open(f"{root}/old/{sub}/f{i}.txt", "wb").write(data)
    for _ in range(5):
        at = random.randrange(len(data))
        data[at:at] = random.choice(words)
    open(f"{root}/new/{sub}/f{i}.txt", "wb").write(data)
PY

seconds() { local start end; start=$(date +%s.%N); "$@"; end=$(date +%s.%N); awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'; }
round() {  # program label
  rm -rf "$work/deltas" "$work/restored"
  sync
  local c r
  c=$(seconds "$1" --quiet create "$work/old" "$work/new" "$work/deltas")
  r=$(seconds "$1" --quiet restore "$work/old" "$work/deltas" "$work/restored")
  diff -r "$work/new" "$work/restored" >/dev/null || { echo "MISMATCH after $2" >&2; exit 1; }
  printf "%-10s create %6s s   restore %6s s\n" "$2" "$c" "$r"
}
for ((i = 1; i <= rounds; ++i)); do
  round "$first" "first"
  [ -n "$second" ] && round "$second" "second"
done
