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
  if (name == "wav8") return SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
  if (name == "wav24") return SF_FORMAT_WAV | SF_FORMAT_PCM_24;
  if (name == "wavfloat") return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  if (name == "ulaw") return SF_FORMAT_WAV | SF_FORMAT_ULAW;
  if (name == "imaadpcm") return SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM;
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
  // 5.1 and 7.1 PCM go in WAVE_FORMAT_EXTENSIBLE, with their speaker mask.
  static const int kSurround51[] = {SF_CHANNEL_MAP_FRONT_LEFT,   SF_CHANNEL_MAP_FRONT_RIGHT,
                                    SF_CHANNEL_MAP_FRONT_CENTER, SF_CHANNEL_MAP_LFE,
                                    SF_CHANNEL_MAP_REAR_LEFT,    SF_CHANNEL_MAP_REAR_RIGHT};
  static const int kSurround71[] = {SF_CHANNEL_MAP_FRONT_LEFT,   SF_CHANNEL_MAP_FRONT_RIGHT,
                                    SF_CHANNEL_MAP_FRONT_CENTER, SF_CHANNEL_MAP_LFE,
                                    SF_CHANNEL_MAP_REAR_LEFT,    SF_CHANNEL_MAP_REAR_RIGHT,
                                    SF_CHANNEL_MAP_SIDE_LEFT,    SF_CHANNEL_MAP_SIDE_RIGHT};
  const int subtype = info.format & SF_FORMAT_SUBMASK;
  const bool surround = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV &&
                        (tone.channels == 6 || tone.channels == 8) && subtype != SF_FORMAT_ULAW &&
                        subtype != SF_FORMAT_IMA_ADPCM;
  if (surround) info.format = SF_FORMAT_WAVEX | subtype;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) {
    std::remove(path.c_str());
    return sf_strerror(nullptr);
  }
  if (surround) {
    sf_command(file, SFC_SET_CHANNEL_MAP_INFO,
               const_cast<int*>(tone.channels == 6 ? kSurround51 : kSurround71),
               tone.channels * static_cast<int>(sizeof(int)));
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
