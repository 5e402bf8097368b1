#!/usr/bin/env bash
# Writes cli/code_order.txt: the functions the command line runs in its usual
# commands, which the link places next to each other (see cli/CMakeLists.txt).
# The system maps a program's code in blocks of 64 KiB around each page it
# reaches, so with the used functions scattered among unused ones a run of a
# small file had most of the 2.5 MB of code resident; packed together they
# take a fraction of that. A stale list only loses some of the gain: names no
# longer in the program are skipped.
#
#   scripts/code_order.sh build-rel/cli/quoralith
# Needs valgrind. Run it after large changes to the command line or engine.
set -euo pipefail

cli=$(realpath "${1:?usage: scripts/code_order.sh PATH/TO/quoralith}")
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A pair with inserted, deleted and changed stretches, and two small trees.
python3 - <<'PY'
import os, random
r = random.Random(7)
words = [bytes(r.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(r.randint(2, 9))) for _ in range(800)]
text = b" ".join(r.choice(words) for _ in range(60000))
blob = bytes(r.getrandbits(8) for _ in range(120000))
base = text + blob + text[:50000]
upd = bytearray(base)
for _ in range(40):
    at = r.randrange(len(upd) - 100)
    upd[at:at + r.randint(0, 40)] = bytes(r.getrandbits(8) for _ in range(r.randint(0, 40)))
open("base", "wb").write(base)
open("updated", "wb").write(bytes(upd))
for side, data in (("tb", base), ("tu", bytes(upd))):
    for i in range(6):
        os.makedirs(f"{side}/d{i % 2}", exist_ok=True)
        open(f"{side}/d{i % 2}/f{i}", "wb").write(data[i * 9000:(i + 1) * 9000 + i])
PY

# The runs in order of importance: each function goes with the first run that
# uses it, so that every run finds its code in few blocks, the file create
# (which also makes the deep search's plain candidate) the fewest.
n=0
run() {
  n=$((n + 1))
  valgrind -q --tool=callgrind --demangle=no --callgrind-out-file="$work/cg.$(printf %02d $n)" "$cli" "$@" \
    >/dev/null 2>&1 || true
}
w=$work  # absolute names, as scripts give them, for most runs
run create --deep "$w/base" "$w/updated" "$w/ddeep"
run create "$w/base" "$w/updated" "$w/d7"
run restore "$w/base" "$w/d7" "$w/out7"
run restore base ddeep outdeep
run create -a 0-7 "$w/base" "$w/updated" "$w/d07"
run info "$w/d7"
run create "$w/tb" "$w/tu" "$w/dtree"
run restore "$w/tb" "$w/dtree" "$w/outtree"
run create --archived --deep "$w/tb" "$w/tu" "$w/darch"
run restore --archived "$w/tb" "$w/darch" "$w/outarch"
run archive create "$w/tu" "$w/a.qa"
run archive list "$w/a.qa"
run archive extract "$w/a.qa" "$w/outa"
run --help
run create --help

for f in cg.*; do sed -n 's/^c\{0,1\}fn=([0-9]*) //p' "$f" | grep -v '^0x\|^(below' | sort -u; done |
  awk '!seen[$0]++' > used.txt
# The C library picks its string functions' code by processor when the program
# starts, and under valgrind it picks other ones than on the machine itself:
# every variant of a string function that a run calls goes with it.
nm "$cli" | awk '{print $NF}' | sort -u > symbols.txt
sed -n -E 's/^(__)?((mem|str|stp|raw|wmem|wcs)[a-z]*)(_ifunc|_(avx|evex|sse|erms)[a-z0-9_]*)?$/\2/p' used.txt | sort -u |
  while read -r name; do grep -E "^__${name}_[a-z0-9_]+$" symbols.txt || true; done > variants.txt
cat used.txt variants.txt | awk '!seen[$0]++' > "$root/cli/code_order.txt"
wc -l "$root/cli/code_order.txt"
