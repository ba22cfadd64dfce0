#!/usr/bin/env bash
# Runs the project's tests: installs what is missing, builds each preset and
# runs its tests. Exits non-zero on any failure.
#   ./test.sh               every preset, as CI runs it
#   ./test.sh PRESET...     only those: native sanitize fuzz windows
#                           (windows: the Windows build and the zip)
# ctest's labels pick parts within a preset, e.g.
#   ctest --preset native -L unit
set -euo pipefail
cd "$(dirname "$0")"

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(native sanitize fuzz windows)
groups=()
for preset in "${presets[@]}"; do
  case "$preset" in
    native) groups+=(build unit test package) ;;
    sanitize) groups+=(build unit test) ;;
    fuzz) groups+=(build fuzz) ;;
    windows) groups+=(build test windows wine) ;;
    *) echo "test.sh: no preset '$preset' (native, sanitize, fuzz, windows)" >&2; exit 2 ;;
  esac
done
# What the first preset's build needs is installed first; the rest installs
# while it builds (on a bare machine, most of the packages: Wine, mingw-w64,
# clang, the sound servers).
case "${presets[0]}" in
  windows) tools/deps.sh build windows ;;
  fuzz) tools/deps.sh build fuzz ;;
  *) tools/deps.sh build unit ;;
esac
mkdir -p build
tools/deps.sh "${groups[@]}" >build/deps.log 2>&1 &
installing=$!
installed() {
  [ -n "$installing" ] || return 0
  wait "$installing" || { cat build/deps.log >&2; echo "test.sh: installing failed" >&2; exit 1; }
  installing=
}

jobs=$(nproc)
# The Wine server of the unit tests' prefix outlives the tests; stop it, and
# only it, when we are done.
stop_wine() {
  local prefix
  for prefix in build/wine32-prefix build/wine64-prefix; do
    if [ -d "$prefix" ]; then
      WINEPREFIX="$PWD/$prefix" /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true
      WINEPREFIX="$PWD/$prefix" /usr/lib/wine/wineserver32 -k >/dev/null 2>&1 || true
    fi
  done
}
trap stop_wine EXIT

build_preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}

test_preset() {
  echo "== $1 (${SECONDS} s into the run)" >&2
  ctest --preset "$1" -j "$jobs" --output-on-failure "${@:2}"
}

# Quorwind.exe is 32-bit. Its tests run under 32-bit Wine where the kernel
# runs 32-bit code; elsewhere its file is checked here and the same sources,
# built for 64-bit Windows, run the Wine tests under 64-bit Wine. The Wine
# tests make their media with the native build's tone writer.
build_windows() {
  cmake --preset native >/dev/null
  cmake --build --preset native --target make_tone >/dev/null
  if tools/runs-i386.sh; then
    build_preset windows
  else
    # Its tests cannot run here: the 32-bit build is the program and its zip,
    # the 64-bit one builds and runs every test.
    cmake --preset windows >/dev/null
    cmake --build --preset windows -j "$jobs" --target windows_zip
    build_preset windows64
  fi
}

test_windows() {
  if tools/runs-i386.sh; then
    test_preset windows
  else
    echo "test.sh: this kernel does not run 32-bit programs, so 32-bit Wine cannot;" \
      "checking Quorwind.exe's file and running the Wine tests on the 64-bit build." >&2
    /usr/bin/python3 tests/pe_check.py build/windows/bin/Quorwind.exe i386 \
      "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows/CMakeCache.txt)"
    test_preset windows64
  fi
  # The Windows zip holds the program, its README and the licence.
  /usr/bin/python3 - "$(tools/windows_zip.sh)" <<'PY'
import sys, zipfile
names = sorted(n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist())
assert names == ["", "LICENSE.txt", "Quorwind.exe", "README.txt"], names
PY
}

build_one() {
  case "$1" in
    windows) build_windows ;;
    *) build_preset "$1" ;;
  esac
}

test_one() {
  case "$1" in
    windows) test_windows ;;
    *) test_preset "$1" ;;
  esac
}

# Every preset is built before any test runs: the builds take the cores while
# the packages install, and the real-time tests later have the machine to
# themselves. The native and sanitize builds need only the first packages.
for preset in "${presets[@]}"; do
  case "$preset" in
    native | sanitize) ;;
    *) installed ;;
  esac
  echo "== building $preset (${SECONDS} s into the run)" >&2
  build_one "$preset"
done
installed
for preset in "${presets[@]}"; do
  test_one "$preset"
done
echo "All tests passed in ${SECONDS} s." >&2
