#!/usr/bin/env bash
# A directory-tree round trip on the command line: create a delta tree and
# restore it, pack the delta tree and the Updated tree into archives and
# unpack them, with wall time and peak memory of each step, every result
# checked file for file; beside it, tar plus xdelta3 and zstd --patch-from.
#
#   bench/tree_roundtrip.sh [path/to/quoralith] [base dir] [updated dir] [algorithms]
#
# Without directories it uses the package tree pair of the developer corpus
# (bench/peers: $QUORALITH_BENCH_DATA/dev/dir-rxjs, built by bench/peers/run.sh).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
quoralith="$(readlink -f "${1:-$here/../build/cli/quoralith}")"
data="${QUORALITH_BENCH_DATA:-$HOME/.cache/quoralith-bench}"
base="$(readlink -f "${2:-$data/dev/dir-rxjs/base}")"
updated="$(readlink -f "${3:-$data/dev/dir-rxjs/updated}")"
algorithms="${4:-7}"
[ -x "$quoralith" ] || { echo "no quoralith program at $quoralith" >&2; exit 2; }
[ -d "$base" ] && [ -d "$updated" ] || { echo "no tree pair at $base / $updated" >&2; exit 2; }
work="$(mktemp -d /tmp/quoralith-tree-XXXXXX)"
trap 'rm -rf "$work"' EXIT

measure() {  # label, command...
  local label="$1"; shift
  /usr/bin/time -f "%e %M" -o "$work/time" "$@"
  read -r seconds kib <"$work/time"
  awk -v l="$label" -v s="$seconds" -v k="$kib" 'BEGIN { printf "%-24s %8.2f s   peak %7.1f MiB\n", l, s, k / 1024 }'
}
tree_bytes() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }
same_tree() { diff -r "$1" "$2" >/dev/null && echo "identical" || { echo "MISMATCH: $1 $2"; exit 1; }; }

echo "trees: $(find "$base" -type f | wc -l) -> $(find "$updated" -type f | wc -l) files," \
     "$(tree_bytes "$base") -> $(tree_bytes "$updated") bytes; algorithms $algorithms"
measure "create (delta tree)" "$quoralith" --quiet -f create -a "$algorithms" "$base" "$updated" "$work/deltas"
measure "restore" "$quoralith" --quiet -f restore "$base" "$work/deltas" "$work/restored"
echo "delta tree               $(tree_bytes "$work/deltas") bytes in $(find "$work/deltas" -type f | wc -l) files; $(same_tree "$updated" "$work/restored")"
measure "archive deltas (raw)" "$quoralith" --quiet -f archive create --raw "$work/deltas" "$work/deltas.qar"
echo "delta archive            $(stat -c %s "$work/deltas.qar") bytes"
measure "archive updated (coded)" "$quoralith" --quiet -f archive create "$updated" "$work/updated.qar"
measure "extract updated" "$quoralith" --quiet archive extract "$work/updated.qar" "$work/extracted"
echo "updated archive          $(stat -c %s "$work/updated.qar") bytes; $(same_tree "$updated" "$work/extracted")"

# Peers work on tars of the two trees.
tar -C "$base" --sort=name --mtime=@0 --owner=0 --group=0 -cf "$work/base.tar" .
tar -C "$updated" --sort=name --mtime=@0 --owner=0 --group=0 -cf "$work/updated.tar" .
echo "tars                     $(stat -c %s "$work/base.tar") -> $(stat -c %s "$work/updated.tar") bytes"
if command -v xdelta3 >/dev/null; then
  measure "xdelta3 (tar)" xdelta3 -e -f -s "$work/base.tar" "$work/updated.tar" "$work/x.vcdiff"
  echo "xdelta3                  $(stat -c %s "$work/x.vcdiff") bytes"
fi
if command -v zstd >/dev/null; then
  measure "zstd -19 --patch-from" zstd -q -f -19 --long=27 --patch-from="$work/base.tar" "$work/updated.tar" -o "$work/z.zst"
  echo "zstd --patch-from        $(stat -c %s "$work/z.zst") bytes"
fi
