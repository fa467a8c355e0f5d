#!/usr/bin/env python3
"""Runs every lifecycle of the exit matrix many times, each in a fresh
interpreter, and counts the bad exits per case.

    python tools/exit_soak.py [RUNS] [--python PATH] [--jobs N] [--only SUBSTRING]

RUNS defaults to 200 per case. The interpreter must have vestrel installed
(run it from that venv, or name it with --python). Exit status 1 when any
run was bad.
"""

import argparse
import os
import sys
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import exit_matrix  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("runs", nargs="?", type=int, default=200, help="runs per case (200)")
    ap.add_argument("--python", default=sys.executable, help="interpreter to run the cases")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2, help="runs at once")
    ap.add_argument("--only", default="", help="cases whose name contains this")
    args = ap.parse_args()

    cases = [c for c in exit_matrix.CASES if args.only in c.name]
    work = [c for c in cases for _ in range(args.runs)]
    bad, first, hangs = Counter(), {}, []
    started = time.monotonic()
    with ThreadPoolExecutor(args.jobs) as pool:
        for case, why in zip(work, pool.map(lambda c: exit_matrix.run_case(c, args.python), work)):
            if why:
                bad[case.name] += 1
                first.setdefault(case.name, why)
                if "stacks:" in why:
                    hangs.append(f"{case.name}: {why}")
    version = os.popen(f"{args.python} -c 'import sys; print(sys.version.split()[0])'").read().strip()
    print(f"Python {version}, {args.runs} runs per case, {len(cases)} cases, "
          f"{time.monotonic() - started:.0f} s")
    width = max(len(c.name) for c in cases)
    for c in cases:
        n = bad[c.name]
        print(f"  {c.name:<{width}}  {n:>4} bad" + (f"   first: {first[c.name]}" if n else ""))
    total = sum(bad.values())
    print(f"bad exits: {total} of {len(work)}")
    for h in hangs:
        print("hung:", h)
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
