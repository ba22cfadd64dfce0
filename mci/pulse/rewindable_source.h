// A source of frames in the format an output sends, which keeps the frames
// it last gave, so that an output whose sound server lost them can take them
// again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "mci/frame_source.h"

namespace quorwind::mci {

/// Reads through |source|, its float frames turned into |format|, and keeps
/// its latest frames in that format; after a Rewind, the kept frames are
/// read again before the source's next.
class RewindableSource {
 public:
  /// Keeps up to |kept_frames| frames (at least one).
  RewindableSource(FrameSource& source, std::size_t kept_frames,
                   SampleFormat format = SampleFormat::kFloat);

  int SampleRate() const { return source_.SampleRate(); }
  int Channels() const { return source_.Channels(); }
  std::vector<Speaker> Layout() const { return source_.Layout(); }
  SampleFormat Format() const { return format_; }
  /// The bytes of one frame in Format().
  std::size_t FrameBytes() const { return frame_bytes_; }
  /// Fills |out| with up to |frames| frames in Format(); returns how many,
  /// 0 at the end.
  std::size_t Read(void* out, std::size_t frames);

  /// Steps back up to |frames|, as far as the kept frames reach; returns
  /// how far it went.
  std::uint64_t Rewind(std::uint64_t frames);

 private:
  /// Reads up to |frames| of the source's frames into |out| in Format().
  std::size_t ReadSource(std::uint8_t* out, std::size_t frames);
  /// Copies frames [first, first + count) between |frames| and the ring.
  void CopyFromRing(std::uint64_t first, std::size_t count, std::uint8_t* out) const;
  void CopyToRing(std::uint64_t first, std::size_t count, const std::uint8_t* in);
  /// Calls |visit|(slot, frames before it, frames) for each unbroken run of
  /// the ring that frames [first, first + count) occupy.
  template <typename Visit>
  void ForEachRun(std::uint64_t first, std::size_t count, Visit visit) const;

  FrameSource& source_;
  SampleFormat format_;
  std::size_t channels_;
  std::size_t frame_bytes_;
  std::size_t capacity_;                  ///< frames the ring holds
  std::unique_ptr<std::uint8_t[]> ring_;  ///< frame n at slot n % capacity_; made at the first read
  std::vector<float> floats_;             ///< the source's frames before they become 16-bit
  std::uint64_t taken_ = 0;               ///< frames read from the source
  std::uint64_t kept_ = 0;                ///< of them, how many the ring holds
  std::uint64_t behind_ = 0;              ///< kept frames to give again before the source's next
};

}  // namespace quorwind::mci
