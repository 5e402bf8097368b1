#!/usr/bin/env bash
# kill -9 of an archived restore into an existing folder, at random moments:
# after each kill the output folder must hold either the whole old tree or
# the whole new one, never a mix. Counts the outcomes, the temporaries the
# killed runs left beside the output, and how many of those are still there
# after one more (whole) run in the same folder.
#
#   bench/archived_kill.sh [path/to/quoralith] [runs] [work dir]
#
# The trees: 1,500 small files in 15 folders (so that moving files into place
# takes a while), a third of them changed, some added, some removed; the old
# output also holds a file of its own, which a restore keeps. Each run's kill
# lands at a uniformly random moment of a whole restore's time. A benchmark,
# not a test: it prints counts and fails only when the tools it needs fail.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
quoralith="$(readlink -f "${1:-$here/../build/cli/quoralith}")"
runs="${2:-60}"
parent="${3:-/tmp}"
[ -x "$quoralith" ] || { echo "no quoralith program at $quoralith" >&2; exit 2; }
work="$(mktemp -d "$parent/quoralith-kill-XXXXXX")"
trap 'rm -rf "$work"' EXIT

python3 - "$work" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(11)
for i in range(1500):
    sub = f"part{i % 15}"
    data = bytes(random.getrandbits(8) for _ in range(random.randint(1000, 6000)))
    if i % 10 != 9:  # a tenth are new in the updated tree
        os.makedirs(f"{root}/base/{sub}", exist_ok=True)
        open(f"{root}/base/{sub}/f{i}.bin", "wb").write(data)
    if i % 17 == 16:  # some are gone from it
        continue
    if i % 3 == 0:
        data = data[:100] + b"changed" + data[107:]
    os.makedirs(f"{root}/updated/{sub}", exist_ok=True)
    open(f"{root}/updated/{sub}/f{i}.bin", "wb").write(data)
PY

# A listing of a tree: every entry's relative path and, for a file, its digest.
manifest() {
  python3 - "$1" <<'PY'
import hashlib, os, sys
root = sys.argv[1]
for folder, dirs, files in sorted(os.walk(root)):
    dirs.sort()
    rel = os.path.relpath(folder, root)
    print("D", rel)
    for name in sorted(files):
        path = os.path.join(folder, name)
        print("F", os.path.join(rel, name), hashlib.sha1(open(path, "rb").read()).hexdigest())
PY
}
leftovers() { find "$work/place" -maxdepth 1 -name '.qrlth-*' | wc -l; }
fresh_old() {
  rm -rf "$work/place/out"
  cp -a "$work/base" "$work/place/out"
  echo mine > "$work/place/out/mine.txt"
}

"$quoralith" --quiet create --archived "$work/base" "$work/updated" "$work/tree.dlt"
mkdir -p "$work/place"
fresh_old
manifest "$work/place/out" > "$work/old.txt"
start=$(date +%s%N)
"$quoralith" --quiet restore --archived "$work/base" "$work/tree.dlt" "$work/place/out"
whole_ns=$(($(date +%s%N) - start))
manifest "$work/place/out" > "$work/new.txt"
cmp -s "$work/old.txt" "$work/new.txt" && { echo "the restore changed nothing" >&2; exit 2; }
echo "program: $quoralith"
echo "one whole restore: $((whole_ns / 1000000)) ms; $runs runs killed at random moments within it"

old=0 new=0 mixed=0 most=0
for ((run = 1; run <= runs; ++run)); do
  fresh_old
  delay_ns=$(python3 -c "import random; print(int(random.uniform(0.05, 1.0) * $whole_ns))")
  "$quoralith" --quiet restore --archived "$work/base" "$work/tree.dlt" "$work/place/out" &
  pid=$!
  sleep "$(awk -v n="$delay_ns" 'BEGIN { printf "%.4f", n / 1e9 }')"
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  manifest "$work/place/out" > "$work/now.txt"
  if cmp -s "$work/now.txt" "$work/old.txt"; then
    old=$((old + 1))
  elif cmp -s "$work/now.txt" "$work/new.txt"; then
    new=$((new + 1))
  else
    mixed=$((mixed + 1))
  fi
  # Each run first removes what the runs killed before it left.
  now_left=$(leftovers)
  [ "$now_left" -gt "$most" ] && most=$now_left
done
echo "after the kills: all old $old, all new $new, mixed $mixed"
echo "temporaries beside the output after a kill: at most $most; after the last: $(leftovers), taking $(du -sh --exclude=out "$work/place" | cut -f1)"
fresh_old
"$quoralith" --quiet restore --archived "$work/base" "$work/tree.dlt" "$work/place/out"
echo "temporaries there after one more whole run: $(leftovers)"
