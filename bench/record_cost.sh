#!/usr/bin/env bash
# What the record of Updated (permission bits and content digest) costs: create
# and restore on the developer corpus, with the record and without it
# (--plain-trailer), timed as pairs of runs in alternating order
# (peers/scripts/paired.py), and the restore also counted in instructions
# under callgrind, which a busy machine does not disturb.
#
#   bench/record_cost.sh [path/to/quoralith] [pair patterns, e.g. 'synth-*,text-*']
#
# The corpus is the peers' (bench/peers/run.sh builds it into
# $QUORALITH_BENCH_DATA, default ~/.cache/quoralith-bench). ROUNDS (default 11)
# sets the paired rounds; CALLGRIND=0 skips the instruction counts.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
quoralith="$(readlink -f "${1:-$here/../build/cli/quoralith}")"
pairs="${2:-*}"
data="${QUORALITH_BENCH_DATA:-$HOME/.cache/quoralith-bench}/dev"
rounds="${ROUNDS:-11}"
callgrind="${CALLGRIND:-1}"
[ -x "$quoralith" ] || { echo "no quoralith program at $quoralith (build it first)" >&2; exit 2; }
[ -d "$data" ] || { echo "no corpus at $data (bench/peers/run.sh builds it)" >&2; exit 2; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
paired() { python3 "$here/peers/scripts/paired.py" --rounds "$rounds" "$@" | sed 's/^/    /'; }

# Instructions of one run, from callgrind's summary line.
instructions() {
  valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$@" >/dev/null 2>"$work/cg.err"
  sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$work/cg.err"
}

IFS=',' read -r -a patterns <<<"$pairs"
for dir in "$data"/*/; do
  pair="$(basename "$dir")"
  chosen=0
  for p in "${patterns[@]}"; do [[ "$pair" == $p ]] && chosen=1; done
  [ "$chosen" = 1 ] || continue
  base="$dir/base" updated="$dir/updated"
  [ -d "$updated" ] && tree=1 || tree=0
  echo "== $pair"
  rm -rf "${work:?}"/*
  "$quoralith" --quiet -f create "$base" "$updated" "$work/with" >/dev/null
  "$quoralith" --quiet -f create --plain-trailer "$base" "$updated" "$work/plain" >/dev/null
  echo "  create, A with the record, B without:"
  # A tree's deltas are replaced file by file; a single delta is removed first.
  removes=()
  [ "$tree" = 1 ] || removes=(--remove "$work/a" --remove "$work/b")
  paired "${removes[@]}" -- "$quoralith" --quiet -f create "$base" "$updated" "$work/a" \
    -- "$quoralith" --quiet -f create --plain-trailer "$base" "$updated" "$work/b"
  echo "  restore, A verified, B unverified:"
  if [ "$tree" = 1 ]; then
    paired -- "$quoralith" --quiet -f restore --clear-output "$base" "$work/with" "$work/ra" \
      -- "$quoralith" --quiet -f restore --clear-output "$base" "$work/plain" "$work/rb"
  else
    paired --remove "$work/ra" --remove "$work/rb" -- "$quoralith" --quiet -f restore "$base" "$work/with" "$work/ra" \
      -- "$quoralith" --quiet -f restore "$base" "$work/plain" "$work/rb"
  fi
  if [ "$callgrind" = 1 ] && [ "$tree" = 0 ]; then
    rm -f "$work/ra" "$work/rb"
    a=$(instructions "$quoralith" --quiet -f restore "$base" "$work/with" "$work/ra")
    b=$(instructions "$quoralith" --quiet -f restore "$base" "$work/plain" "$work/rb")
    cmp -s "$work/ra" "$updated" && cmp -s "$work/rb" "$updated" || { echo "restore differs from updated" >&2; exit 1; }
    python3 -c "import sys; a, b = int(sys.argv[1]), int(sys.argv[2]); print(f'  restore instructions: verified {a:,}, unverified {b:,}, +{(a - b) / b * 100:.2f}%')" "$a" "$b"
  fi
done
