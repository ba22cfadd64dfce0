// Sine tones of exact length, written in any format libsndfile writes.
#pragma once

#include <string>

namespace quorwind {

struct ToneSpec {
  /// wav (16-bit), wav8, wav24, wavfloat, ulaw, imaadpcm, aiff, flac, ogg, opus,
  /// mp3 (constant bitrate), mp3vbr; 6 and 8 channels of PCM WAV are 5.1 and 7.1.
  std::string format = "wav";
  double seconds = 1.0;
  int rate = 48000;
  int channels = 2;
  double frequency = 440.0;
  double amplitude = 0.5;
};

/// Writes the tone to |path|; returns an empty string or what went wrong.
std::string WriteTone(const std::string& path, const ToneSpec& tone);

}  // namespace quorwind
