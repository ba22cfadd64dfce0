#!/usr/bin/env bash
# Runs every test of the project: installs what is missing, builds each preset
# and runs its tests. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"

tools/deps.sh cmake ninja-build g++ pkg-config googletest libgtest-dev \
  libsndfile1-dev libpulse-dev pulseaudio pulseaudio-utils \
  libasound2-dev libasound2-plugins pipewire pipewire-pulse wireplumber dbus-daemon \
  libmpg123-dev libavformat-dev libavcodec-dev libswresample-dev libavutil-dev \
  libfluidsynth-dev timgm6mb-soundfont ffmpeg lame clang libclang-rt-14-dev \
  debhelper dpkg-dev lintian man-db \
  mingw-w64 wine wine32:i386 wine64 python3-pefile xvfb xdotool imagemagick \
  gstreamer1.0-plugins-good:i386 gstreamer1.0-plugins-ugly:i386 gstreamer1.0-libav:i386 \
  gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly gstreamer1.0-libav

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

run_preset() {
  echo "== $1" >&2
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
  ctest --preset "$1" -j "$jobs" "${@:2}"
}

run_preset native
run_preset sanitize
run_preset fuzz

# Quorwind.exe, 32-bit. Its tests run under 32-bit Wine where the kernel runs
# 32-bit code; elsewhere its file is checked here and the same sources, built
# for 64-bit Windows, run the Wine tests under 64-bit Wine.
if tools/runs-i386.sh; then
  run_preset windows
else
  echo "test.sh: this kernel does not run 32-bit programs, so 32-bit Wine cannot;" \
    "checking Quorwind.exe's file and running the Wine tests on the 64-bit build." >&2
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j "$jobs"
  /usr/bin/python3 tests/pe_check.py build/windows/bin/Quorwind.exe i386
  run_preset windows64
fi
# The Windows zip holds the program, its README and the licence.
/usr/bin/python3 - "$(tools/windows_zip.sh)" <<'EOF'
import sys, zipfile
names = sorted(n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist())
assert names == ["", "LICENSE.txt", "Quorwind.exe", "README.txt"], names
EOF
echo "All tests passed." >&2
