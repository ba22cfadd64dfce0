// The ring of frames behind RewindableSource.
#include "mci/outputs/rewindable_source.h"

#include <algorithm>

namespace quorwind::mci {

RewindableSource::RewindableSource(FrameSource& source, std::size_t kept_frames)
    : source_(source),
      channels_(static_cast<std::size_t>(std::max(source.Channels(), 1))),
      capacity_(std::max<std::size_t>(kept_frames, 1)) {}

std::size_t RewindableSource::Read(float* out, std::size_t frames) {
  // Left untouched until written: a short sound takes no more memory
  // than it fills.
  if (!ring_) ring_ = std::make_unique_for_overwrite<float[]>(capacity_ * channels_);
  const auto again = static_cast<std::size_t>(std::min<std::uint64_t>(behind_, frames));
  CopyFromRing(taken_ - behind_, again, out);
  behind_ -= again;
  if (again == frames) return frames;
  float* fresh = out + again * channels_;
  const std::size_t got = source_.Read(fresh, frames - again);
  CopyToRing(taken_, got, fresh);
  taken_ += got;
  kept_ = std::min<std::uint64_t>(kept_ + got, capacity_);
  return again + got;
}

std::uint64_t RewindableSource::Rewind(std::uint64_t frames) {
  const std::uint64_t back = std::min(frames, kept_ - behind_);
  behind_ += back;
  return back;
}

template <typename Visit>
void RewindableSource::ForEachRun(std::uint64_t first, std::size_t count, Visit visit) const {
  for (std::size_t done = 0; done < count;) {
    const auto slot = static_cast<std::size_t>((first + done) % capacity_);
    const std::size_t run = std::min(count - done, capacity_ - slot);
    visit(slot, done, run);
    done += run;
  }
}

void RewindableSource::CopyFromRing(std::uint64_t first, std::size_t count, float* out) const {
  ForEachRun(first, count, [&](std::size_t slot, std::size_t done, std::size_t run) {
    std::copy_n(ring_.get() + slot * channels_, run * channels_, out + done * channels_);
  });
}

void RewindableSource::CopyToRing(std::uint64_t first, std::size_t count, const float* in) {
  // Only the latest |capacity_| frames can be kept.
  if (count > capacity_) {
    in += (count - capacity_) * channels_;
    first += count - capacity_;
    count = capacity_;
  }
  ForEachRun(first, count, [&](std::size_t slot, std::size_t done, std::size_t run) {
    std::copy_n(in + done * channels_, run * channels_, ring_.get() + slot * channels_);
  });
}

}  // namespace quorwind::mci
