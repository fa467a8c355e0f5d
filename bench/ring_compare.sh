#!/usr/bin/env bash
# Builds bench/ring_bench.cpp at two or more git revisions and runs the builds
# in turn, round after round, so that every build sees the same spells of a
# shared machine. Figures from different invocations are not comparable.
#
# Usage, from anywhere in the repository:
#   bash bench/ring_compare.sh [-r ROUNDS] [-n MESSAGES] REV REV...
#     -r  rounds (default 3); -n  messages per 64-byte run (default 10,000,000)
# e.g. bash bench/ring_compare.sh main HEAD
set -euo pipefail
cd "$(git -C "$(dirname "${BASH_SOURCE[0]}")" rev-parse --show-toplevel)"

rounds=3
messages=10000000
while getopts "r:n:" opt; do
  case $opt in
    r) rounds=$OPTARG ;;
    n) messages=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -lt 2 ]; then
  echo "usage: bash bench/ring_compare.sh [-r ROUNDS] [-n MESSAGES] REV REV..." >&2
  exit 2
fi

dir=build/ring_compare
mkdir -p "$dir"
bins=()
for rev in "$@"; do
  sha=$(git rev-parse --short "$rev^{commit}")
  src="$dir/src-$sha"
  rm -rf "$src"
  mkdir -p "$src"
  git archive "$sha" src/core/ring bench/ring_bench.cpp | tar -x -C "$src"
  # Every .cpp of the ring: the set of files differs between revisions.
  g++ -O2 -std=c++20 -I"$src/src/core" "$src/bench/ring_bench.cpp" "$src"/src/core/ring/*.cpp \
    -pthread -o "$dir/ring_bench-$sha"
  bins+=("$rev=$sha")
done

log="$dir/last-run.txt"
{
  echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo '?')"
  for round in $(seq 1 "$rounds"); do
    for entry in "${bins[@]}"; do
      echo "== round $round: ${entry%%=*} (${entry##*=})"
      "$dir/ring_bench-${entry##*=}" "$messages" | tail -n +3
    done
  done
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo '?')"
} | tee "$log"

# Per row, each build's figures (Mmsg/s, the median of each round) in round
# order and their median, and the median of its per-round ratios to the first
# build: a spell when the machine was busy shows as a dip in the rounds it
# hit, in whichever builds ran then.
python3 - "$log" <<'PY'
import statistics, sys
rows, builds, build = {}, [], None
for line in open(sys.argv[1]):
    if line.startswith("== round"):
        build = line.split(": ", 1)[1].strip()
        if build not in builds:
            builds.append(build)
    elif build and line[:1] not in ("", " ", "\n") and not line.startswith(("ring ", "load")):
        key, rest = line[:58].rstrip(), line[58:].split()
        if len(rest) >= 2:
            rows.setdefault(key, {}).setdefault(build, []).append(float(rest[1]))
print("\nmedian of the rounds (Mmsg/s), vs the first build, then each round's figure")
for key, by_build in rows.items():
    print(key)
    first = by_build.get(builds[0], [])
    for b in builds:
        v = by_build.get(b, [])
        if not v:
            continue
        ratios = [x / f for x, f in zip(v, first) if f > 0]
        ratio = f"{statistics.median(ratios):5.2f}x" if ratios else "     -"
        print(f"    {b:<24} {statistics.median(v):7.2f} {ratio}   [{' '.join(f'{x:.1f}' for x in v)}]")
PY
