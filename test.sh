#!/usr/bin/env bash
# Runs every test of the project: installs what is missing, builds each preset
# and runs its tests. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"

tools/deps.sh cmake ninja-build g++ pkg-config googletest libgtest-dev \
  libsndfile1-dev libpulse-dev pulseaudio pulseaudio-utils

jobs=$(nproc)
for preset in native sanitize; do
  echo "== $preset" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
echo "All tests passed." >&2
