#!/usr/bin/env bash
# Builds the Windows zip (Quorwind.exe for 32-bit Windows, README.txt and
# LICENSE.txt) and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh windows >&2
cmake --preset windows >/dev/null
cmake --build --preset windows --target windows_zip >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows/CMakeCache.txt)
echo "$PWD/build/windows/Quorwind-$version-win32.zip"
