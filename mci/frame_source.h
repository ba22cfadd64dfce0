// What a decoder hands an audio output: interleaved float frames, with the
// stream's rate, channel count and speaker layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorwind::mci {

/// Where one channel is meant to be heard.
enum class Speaker : std::uint8_t {
  kMono,
  kFrontLeft,
  kFrontRight,
  kFrontCenter,
  kLowFrequency,
  kRearLeft,
  kRearRight,
  kRearCenter,
  kSideLeft,
  kSideRight,
  kFrontLeftOfCenter,
  kFrontRightOfCenter,
  kTopCenter,
  kTopFrontLeft,
  kTopFrontCenter,
  kTopFrontRight,
  kTopRearLeft,
  kTopRearCenter,
  kTopRearRight,
};
/// How many speakers there are: the size of every table indexed by Speaker.
inline constexpr std::size_t kSpeakerCount = static_cast<std::size_t>(Speaker::kTopRearRight) + 1;

/// The samples a stream holds in its file, which its float frames carry
/// exactly: an output may send them on in that format.
enum class SampleFormat : std::uint8_t { kFloat, kInt16 };

/// Interleaved float frames for an audio output; read from the output's thread.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual int SampleRate() const = 0;
  virtual int Channels() const = 0;
  /// The speaker of each channel, or empty when the stream names none (the
  /// output then uses its system's default layout for the channel count).
  virtual std::vector<Speaker> Layout() const { return {}; }
  /// kInt16 where every sample is a 16-bit one scaled by 1/32768 (a 16-bit
  /// or 8-bit PCM file's), so that nothing is lost in 16 bits.
  virtual SampleFormat NativeFormat() const { return SampleFormat::kFloat; }
  /// Fills |out| with up to |frames| frames; returns how many, 0 at the end.
  virtual std::size_t Read(float* out, std::size_t frames) = 0;
};

}  // namespace quorwind::mci
