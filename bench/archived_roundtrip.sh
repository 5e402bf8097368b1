#!/usr/bin/env bash
# Archived-directory jobs on the command line: one delta file for a whole
# tree (create/restore --archived), with delta size, wall time and peak
# memory of create and restore for each choice of algorithms, every restore
# checked file for file; beside it, xdelta3 and zstd --patch-from on tars of
# the same two trees (the corpus's own tars when there are any).
#
#   bench/archived_roundtrip.sh [path/to/quoralith] [base dir] [updated dir]
#
# Without directories it uses the package tree pair of the developer corpus
# (bench/peers: $QUORALITH_BENCH_DATA/dev/dir-rxjs, built by bench/peers/run.sh).
# A benchmark, not a test: it prints figures and fails only on a wrong restore.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
quoralith="$(readlink -f "${1:-$here/../build/cli/quoralith}")"
data="${QUORALITH_BENCH_DATA:-$HOME/.cache/quoralith-bench}"
base="$(readlink -f "${2:-$data/dev/dir-rxjs/base}")"
updated="$(readlink -f "${3:-$data/dev/dir-rxjs/updated}")"
[ -x "$quoralith" ] || { echo "no quoralith program at $quoralith" >&2; exit 2; }
[ -d "$base" ] && [ -d "$updated" ] || { echo "no tree pair at $base / $updated" >&2; exit 2; }
work="$(mktemp -d /tmp/quoralith-archived-XXXXXX)"
trap 'rm -rf "$work"' EXIT

# Runs a command; leaves "seconds peak-KiB" in $timing.
timed() {
  /usr/bin/time -f "%e %M" -o "$work/time" "$@"
  timing="$(cat "$work/time")"
}
row() {  # label, delta file, create timing, restore timing ("" for none)
  local size; size="$(stat -c %s "$2")"
  read -r cs ck <<<"$3"
  if [ -n "$4" ]; then read -r rs rk <<<"$4"; else rs="-"; rk="-"; fi
  awk -v l="$1" -v z="$size" -v cs="$cs" -v ck="$ck" -v rs="$rs" -v rk="$rk" 'BEGIN {
    printf "| %-34s | %9d | %7.2f | %8.1f | %7s | %8s |\n", l, z, cs, ck / 1024,
      rs == "-" ? "-" : sprintf("%.2f", rs), rk == "-" ? "-" : sprintf("%.1f", rk / 1024) }'
}

tree_bytes() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }
echo "trees: $(find "$base" -type f | wc -l) -> $(find "$updated" -type f | wc -l) files," \
     "$(tree_bytes "$base") -> $(tree_bytes "$updated") bytes"
echo
echo "| job                                |     bytes | create s | create MiB | restore s | restore MiB |"
echo "|------------------------------------|----------:|--------:|---------:|--------:|---------:|"
run_quoralith() {  # label, create options...
  local label="$1"; shift
  rm -rf "$work/out" "$work/d.qd"
  timed "$quoralith" --quiet -f create --archived "$@" "$base" "$updated" "$work/d.qd"; local made="$timing"
  timed "$quoralith" --quiet -f restore --archived "$base" "$work/d.qd" "$work/out"; local back="$timing"
  diff -r "$updated" "$work/out" >/dev/null || { echo "MISMATCH after $label" >&2; exit 1; }
  row "$label" "$work/d.qd" "$made" "$back"
}
run_quoralith "quoralith --archived (-a 7)"
run_quoralith "quoralith --archived -a 0-7" -a 0-7
run_quoralith "quoralith --archived --deep" --deep
run_quoralith "quoralith --archived -a 0-7 --deep" -a 0-7 --deep
run_quoralith "  same, --plain-trailer, -a 7" --plain-trailer
run_quoralith "  same, --plain-trailer, --deep" --plain-trailer --deep

# Peers work on tars of the two trees.
base_tar="$(dirname "$base")/base.tar"; updated_tar="$(dirname "$updated")/updated.tar"
if [ ! -f "$base_tar" ] || [ ! -f "$updated_tar" ]; then
  base_tar="$work/base.tar"; updated_tar="$work/updated.tar"
  tar -C "$base" --sort=name --mtime=@0 --owner=0 --group=0 -cf "$base_tar" .
  tar -C "$updated" --sort=name --mtime=@0 --owner=0 --group=0 -cf "$updated_tar" .
fi
if command -v xdelta3 >/dev/null; then
  timed xdelta3 -e -f -s "$base_tar" "$updated_tar" "$work/x.xd3"; made="$timing"
  timed xdelta3 -d -f -s "$base_tar" "$work/x.xd3" "$work/x.tar"; row "xdelta3 (tars)" "$work/x.xd3" "$made" "$timing"
  timed xdelta3 -9 -S djw -e -f -s "$base_tar" "$updated_tar" "$work/x9.xd3"; made="$timing"
  timed xdelta3 -d -f -s "$base_tar" "$work/x9.xd3" "$work/x9.tar"; row "xdelta3 -9 -S djw (tars)" "$work/x9.xd3" "$made" "$timing"
fi
if command -v zstd >/dev/null; then
  timed zstd -q -f -19 --long=27 --patch-from="$base_tar" "$updated_tar" -o "$work/z.zst" 2>/dev/null; made="$timing"
  timed zstd -q -f -d --long=27 --patch-from="$base_tar" "$work/z.zst" -o "$work/z.tar"
  row "zstd -19 --long=27 --patch-from" "$work/z.zst" "$made" "$timing"
fi
