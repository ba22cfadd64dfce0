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
groups_of() {
  case "$1" in
    native) echo build unit test package ;;
    sanitize) echo build unit test ;;
    fuzz) echo build fuzz ;;
    windows) echo build test windows wine ;;
    *) echo "test.sh: no preset '$1' (native, sanitize, fuzz, windows)" >&2; return 2 ;;
  esac
}
for preset in "${presets[@]}"; do groups_of "$preset" >/dev/null || exit 2; done
first=${presets[0]}
later=("${presets[@]:1}")
# What the first preset's build needs is installed first; its tests' packages
# install while it builds.
case "$first" in
  windows) tools/deps.sh build windows ;;
  fuzz) tools/deps.sh build fuzz ;;
  *) tools/deps.sh build unit ;;
esac
mkdir -p build
rm -f build/.first-installed
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
# Nothing outlives the run: a failure waits for the installs and builds
# behind it (an install cut short would leave the package database broken).
later_pid=
on_exit() {
  [ -z "$later_pid" ] || wait "$later_pid" 2>/dev/null || true
  stop_wine
}
trap on_exit EXIT

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
  # (The native build may be under test meanwhile: configured once only.)
  [ -f build/native/build.ninja ] || cmake --preset native >/dev/null
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

# Only the first preset is built and tested in the foreground. Behind its
# tests, at idle priority, the other presets' packages install and, as each
# preset's are in, it builds; the fuzz preset's runs, which fuzz for a set
# time whatever the processor left them, run there too. The first preset's
# end-to-end tests mostly wait on sound played in real time.
await_file() {  # FILE PID: until FILE exists, or PID has ended without it
  until [ -e "$1" ]; do
    kill -0 "$2" 2>/dev/null || [ -e "$1" ] || return 1
    sleep 1
  done
}
rm -f build/.installed-*
(
  set -e
  tools/deps.sh $(groups_of "$first")
  touch build/.first-installed
  chrt --idle -p 0 "$BASHPID"
  ionice -c 3 -p "$BASHPID"
  (
    for preset in "${later[@]}"; do
      tools/deps.sh $(groups_of "$preset")
      touch "build/.installed-$preset"
    done
  ) &
  installer=$!
  for preset in "${later[@]}"; do
    await_file "build/.installed-$preset" "$installer"
    echo "== building $preset (${SECONDS} s into the run)"
    build_one "$preset"
  done
  wait "$installer"
  if [[ " ${later[*]} " == *" fuzz "* ]]; then test_one fuzz; fi
) >build/later.log 2>&1 &
later_pid=$!
await_later() {
  local status=0
  wait "$later_pid" || status=$?
  later_pid=
  if [ "$status" -ne 0 ]; then
    cat build/later.log >&2
    echo "test.sh: installing, building or fuzzing failed" >&2
    exit 1
  fi
}

echo "== building $first (${SECONDS} s into the run)" >&2
build_one "$first"
# Its tests wait for their packages.
await_file build/.first-installed "$later_pid" || await_later
test_one "$first"
await_later
for preset in "${later[@]}"; do
  if [ "$preset" = fuzz ]; then
    echo "== fuzz, run behind the first preset's tests: $(grep 'tests passed' build/later.log | tail -n 1) (build/later.log)" >&2
  else
    test_one "$preset"
  fi
done
echo "All tests passed in ${SECONDS} s." >&2
