#!/usr/bin/env bash
# Plays FILE with quorwind (a demo sound made at build time when no FILE is
# given): installs what is missing, builds the native release, then plays.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

"$here/tools/deps.sh" build play >&2
cmake --preset release -S "$here" >/dev/null
cmake --build --preset release >/dev/null

file="${1:-$here/build/release/share/quorwind/demo.wav}"
if ! pactl info >/dev/null 2>&1; then
  echo "play.sh: no sound server answers; quorwind will wait out the length in silence." >&2
fi
exec "$here/build/release/bin/quorwind" "$file"
