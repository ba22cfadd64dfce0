#!/usr/bin/env bash
# Runs the benchmarks: installs the peers and tools, builds what is measured,
# and writes bench/results/latest.md and bench/results/overshoot.png.
# Arguments go to bench.py (--runs N, --quick).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh cmake ninja-build g++ pkg-config libsndfile1-dev libpulse-dev pulseaudio \
  pulseaudio-utils pipewire pipewire-pulse wireplumber dbus-daemon mingw-w64 wine wine64 xvfb \
  python3-matplotlib alsa-utils libasound2-dev libasound2-plugins sox \
  libmpg123-dev libavformat-dev libavcodec-dev libswresample-dev libavutil-dev \
  libfluidsynth-dev timgm6mb-soundfont fluidsynth lame \
  libsox-fmt-pulse libsox-fmt-mp3 mpg123 ffmpeg mpv \
  gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly gstreamer1.0-libav

for preset in release windows windows64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
exec /usr/bin/python3 bench/bench.py "$@"
