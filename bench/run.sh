#!/usr/bin/env bash
# Runs the benchmarks: installs the peers and tools, builds what is measured,
# and writes bench/results/latest.md and bench/results/overshoot.png.
# Arguments go to bench.py (--runs N, --quick).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh build test windows wine bench

for preset in release windows windows64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
exec /usr/bin/python3 bench/bench.py "$@"
