// Tone writer.
#include "tools/tone.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

namespace quorwind {

namespace {

int FormatOf(const std::string& name) {
  if (name == "wav") return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  if (name == "aiff") return SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
  if (name == "flac") return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  if (name == "ogg") return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
  if (name == "opus") return SF_FORMAT_OGG | SF_FORMAT_OPUS;
  if (name == "mp3" || name == "mp3vbr") return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
  return 0;
}

}  // namespace

std::string WriteTone(const std::string& path, const ToneSpec& tone) {
  SF_INFO info{};
  info.samplerate = tone.rate;
  info.channels = tone.channels;
  info.format = FormatOf(tone.format);
  if (info.format == 0) return "unknown format " + tone.format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) {
    std::remove(path.c_str());
    return sf_strerror(nullptr);
  }
  if (tone.format == "mp3" || tone.format == "mp3vbr") {
    int mode = tone.format == "mp3" ? SF_BITRATE_MODE_CONSTANT : SF_BITRATE_MODE_VARIABLE;
    sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
  }

  const long long frames = std::llround(tone.seconds * tone.rate);
  constexpr long long kBlock = 4096;
  std::vector<float> block(static_cast<std::size_t>(kBlock * tone.channels));
  for (long long done = 0; done < frames; done += kBlock) {
    const long long count = std::min(kBlock, frames - done);
    for (long long i = 0; i < count; ++i) {
      const double t = static_cast<double>(done + i) / tone.rate;
      const auto sample =
          static_cast<float>(tone.amplitude * std::sin(2 * std::numbers::pi * tone.frequency * t));
      std::fill_n(block.begin() + i * tone.channels, tone.channels, sample);
    }
    if (sf_writef_float(file, block.data(), count) != count) {
      const std::string error = sf_strerror(file);
      sf_close(file);
      return error;
    }
  }
  return sf_close(file) == 0 ? "" : "cannot finish " + path;
}

}  // namespace quorwind
