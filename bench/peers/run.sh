#!/usr/bin/env bash
# Quoralith beside xdelta3, bsdiff and zstd --patch-from on the developer
# corpus: delta size, encode and decode time (hyperfine median) and peak memory,
# side by side, every decode checked byte for byte.
#
#   bench/peers/run.sh [path/to/quoralith] [pair patterns, e.g. 'synth-*,text-*']
#
# The corpus (about 60 MB: npm package releases fetched with `npm pack`, and two
# generated pairs) is built once into $QUORALITH_BENCH_DATA (default
# ~/.cache/quoralith-bench). Needs python3 3.11+, node/npm, hyperfine, GNU time and the
# peer tools (scripts/install_peers.sh installs them). Results go to
# $QUORALITH_BENCH_RESULTS (default bench/peers/results) as dev.md and dev.json.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
quoralith="$(readlink -f "${1:-$here/../../build/cli/quoralith}")"
pairs="${2:-*}"
data="${QUORALITH_BENCH_DATA:-$HOME/.cache/quoralith-bench}"
results="${QUORALITH_BENCH_RESULTS:-$here/results}"
tools="${QUORALITH_BENCH_TOOLS:-xdelta3,bsdiff,zstd-19-long,zstd-3,quoralith,quoralith-0-7,quoralith-deep}"

[ -x "$quoralith" ] || { echo "no quoralith program at $quoralith (build it first)" >&2; exit 2; }
if [ ! -d "$data/dev" ]; then
  python3 "$here/scripts/build_corpus.py" dev --data "$data"
fi
QUORALITH="$quoralith" python3 "$here/scripts/bench.py" --corpus dev --data "$data" --results "$results" \
  --tools "$tools" --pairs "$pairs"
cat "$results/dev.md"
