#!/usr/bin/env python3
"""Paired timing of two commands: rounds of one run each, in alternating order.

A virtual machine's speed drifts by more than the gap between two close tools,
and a tool that runs two threads suffers more than a single-threaded one when
the host is busy. Timing every run of one tool and then every run of the other
(as a plain benchmark does) lets that drift fall on one side. Here each round
runs both commands back to back (A then B, then B then A in the next round),
and the ratio is taken per round, so a slow spell slows both.

    paired.py [--rounds N] [--remove PATH]... -- A-COMMAND... -- B-COMMAND...

--remove names output files deleted before every run (a restore that replaces
an existing file does more work than one that writes a new file).
"""
import argparse
import os
import statistics
import subprocess
import sys
import time


def main():
    argv = sys.argv[1:]
    if argv.count("--") != 2:
        sys.exit("usage: paired.py [--rounds N] [--remove PATH]... -- A-COMMAND... -- B-COMMAND...")
    first = argv.index("--")
    second = argv.index("--", first + 1)
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=20)
    ap.add_argument("--remove", action="append", default=[])
    ap.add_argument("--warmup", type=int, default=2, help="untimed rounds first")
    args = ap.parse_args(argv[:first])
    commands = [argv[first + 1:second], argv[second + 1:]]
    if not all(commands):
        sys.exit("paired.py: both commands are needed")

    def run(command):
        for path in args.remove:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
        start = time.perf_counter()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        return time.perf_counter() - start

    for _ in range(args.warmup):
        run(commands[0])
        run(commands[1])
    times = ([], [])
    ratios = []
    for round_number in range(args.rounds):
        order = (0, 1) if round_number % 2 == 0 else (1, 0)
        took = [0.0, 0.0]
        for which in order:
            took[which] = run(commands[which])
            times[which].append(took[which])
        ratios.append(took[0] / took[1])

    def quartiles(values):
        values = sorted(values)
        return values[len(values) // 4], statistics.median(values), values[3 * len(values) // 4]

    for name, values in zip("AB", times):
        low, mid, high = quartiles(values)
        print(f"{name}: median {mid * 1e3:.2f} ms (quartiles {low * 1e3:.2f} to {high * 1e3:.2f}, "
              f"min {min(values) * 1e3:.2f})")
    low, mid, high = quartiles(ratios)
    wins = sum(r < 1 for r in ratios)
    print(f"A/B per round: median {mid:.3f} (quartiles {low:.3f} to {high:.3f}); A faster in {wins} of {len(ratios)}")


if __name__ == "__main__":
    main()
