"""Runs the dispatcher benchmarks' default-mode rows for two or more git
revisions in turn, round after round, so that every build sees the same
spells of a shared machine, and sums them up per row.

    python bench/dispatch_compare.py [-r ROUNDS] [--runs N] [--python PY] REV REV...

Each revision is exported (git archive) and installed, with uvloop, into a
venv of its own under build/dispatch_compare/; each round then runs, with
every build in turn, this tree's dispatch_bench.py and async_bench.py
restricted to the default-mode rows (--only), so that only the package
differs. The summary gives, per row, each build's
median over the rounds, the median of its per-round ratio to the first
build, and every round's figure. Figures from different invocations are not
comparable.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
from collections import defaultdict

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(REPO, "build", "dispatch_compare")
# The rows of the described (default) modes, which every revision has.
SCRIPTS = {
    "dispatch_bench.py": ["threaded", "threaded-big", "sync"],
    "async_bench.py": ["dispatcher", "producer-alone", "queue-pop", "queue-dispatch"],
}
# "asyncio     64B  AsyncDispatcher   475,000 (470,000-480,000)" or
# "   64B  SyncDispatcher  573,000 (...)": rows of messages/s only.
ROW = re.compile(r"^(?:(asyncio|uvloop)\s+)?\s*(\d+)B\s+(.+?)\s{2,}([\d,]+) \([\d,]+-[\d,]+\)$")


def build(rev, python):
    sha = subprocess.run(["git", "-C", REPO, "rev-parse", "--short", rev], check=True,
                         capture_output=True, text=True).stdout.strip()
    root = os.path.join(OUT, sha)
    src, venv = os.path.join(root, "src"), os.path.join(root, "venv")
    py = os.path.join(venv, "bin", "python")
    if not os.path.exists(py):
        os.makedirs(src, exist_ok=True)
        archive = subprocess.run(["git", "-C", REPO, "archive", sha], check=True,
                                 capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
        subprocess.run([python, "-m", "venv", venv], check=True)
        print(f"installing {rev} ({sha}) into {venv}", file=sys.stderr)
        subprocess.run([py, "-m", "pip", "install", "-q", src, "uvloop"], check=True)
    return sha, src, py


def run_round(py, runs, sizes):
    """{(script, loop, size, row): messages/s} of one run of each script."""
    figures = {}
    here = os.path.join(REPO, "bench")
    for script, keys in SCRIPTS.items():
        out = subprocess.run([py, os.path.join(here, script), "--runs", str(runs),
                              "--sizes", *map(str, sizes), "--only", *keys],
                             check=True, capture_output=True, text=True, cwd=here).stdout
        for line in out.splitlines():
            m = ROW.match(line)
            if m and " / " not in m.group(3):
                loop, size, row, rate = m.groups()
                figures[script, loop or "", int(size), row.strip()] = float(rate.replace(",", ""))
    return figures


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("revs", nargs="+", metavar="REV")
    ap.add_argument("-r", "--rounds", type=int, default=3)
    ap.add_argument("--runs", type=int, default=3, help="runs per figure in each script")
    ap.add_argument("--sizes", type=int, nargs="+", default=[64, 1024])
    ap.add_argument("--python", default=sys.executable, help="interpreter to make the venvs with")
    args = ap.parse_args()
    if len(args.revs) < 2:
        ap.error("name two revisions or more")
    builds = [build(rev, args.python) for rev in args.revs]
    rounds = defaultdict(lambda: defaultdict(list))  # key -> sha -> figures
    for r in range(args.rounds):
        for sha, src, py in builds:
            print(f"round {r + 1}/{args.rounds}: {sha}", file=sys.stderr)
            for key, rate in run_round(py, args.runs, args.sizes).items():
                rounds[key][sha].append(rate)

    first = builds[0][0]
    print(f"Python {args.python}, {args.rounds} rounds, median of {args.runs} runs per figure; "
          f"ratio: the median of per-round ratios to {first}")
    for key in sorted(rounds, key=lambda k: (k[0], k[1], k[2])):
        script, loop, size, row = key
        base = rounds[key][first]
        cells = []
        for sha, _, _ in builds:
            got = rounds[key][sha]
            if not got:
                continue
            ratio = statistics.median(a / b for a, b in zip(got, base))
            cells.append(f"{sha} {statistics.median(got):>11,.0f} ({ratio:.2f}; "
                         + " ".join(f"{v / 1e3:,.0f}k" for v in got) + ")")
        label = f"{script.split('_')[0]:<8} {loop:<7} {size:>5}B  {row}"
        print(f"{label:<52} " + "   ".join(cells))


if __name__ == "__main__":
    main()
