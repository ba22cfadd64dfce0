// Sine tones of exact length, written in any format libsndfile writes.
#pragma once

#include <string>

namespace quorwind {

struct ToneSpec {
  std::string format = "wav";  ///< wav, aiff, flac, ogg, opus, mp3 (constant bitrate), mp3vbr
  double seconds = 1.0;
  int rate = 48000;
  int channels = 2;
  double frequency = 440.0;
  double amplitude = 0.5;
};

/// Writes the tone to |path|; returns an empty string or what went wrong.
std::string WriteTone(const std::string& path, const ToneSpec& tone);

}  // namespace quorwind
