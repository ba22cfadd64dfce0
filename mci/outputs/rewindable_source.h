// A frame source that keeps the frames it last gave, so that an output whose
// sound server lost them can take them again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "mci/frame_source.h"

namespace quorwind::mci {

/// Reads through |source| and keeps its latest frames; after a Rewind, the
/// kept frames are read again before the source's next.
class RewindableSource : public FrameSource {
 public:
  /// Keeps up to |kept_frames| frames (at least one).
  RewindableSource(FrameSource& source, std::size_t kept_frames);

  int SampleRate() const override { return source_.SampleRate(); }
  int Channels() const override { return source_.Channels(); }
  std::vector<Speaker> Layout() const override { return source_.Layout(); }
  std::size_t Read(float* out, std::size_t frames) override;

  /// Steps back up to |frames|, as far as the kept frames reach; returns
  /// how far it went.
  std::uint64_t Rewind(std::uint64_t frames);

 private:
  /// Copies frames [first, first + count) between |frames| and the ring.
  void CopyFromRing(std::uint64_t first, std::size_t count, float* out) const;
  void CopyToRing(std::uint64_t first, std::size_t count, const float* in);
  /// Calls |visit|(slot, frames before it, frames) for each unbroken run of
  /// the ring that frames [first, first + count) occupy.
  template <typename Visit>
  void ForEachRun(std::uint64_t first, std::size_t count, Visit visit) const;

  FrameSource& source_;
  std::size_t channels_;
  std::size_t capacity_;           ///< frames the ring holds
  std::unique_ptr<float[]> ring_;  ///< frame n at slot n % capacity_; made at the first read
  std::uint64_t taken_ = 0;        ///< frames read from the source
  std::uint64_t kept_ = 0;         ///< of them, how many the ring holds
  std::uint64_t behind_ = 0;       ///< kept frames to give again before the source's next
};

}  // namespace quorwind::mci
