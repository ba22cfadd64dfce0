// The ring of frames behind RewindableSource, and the source's frames turned
// into the output's format.
#include "mci/pulse/rewindable_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quorwind::mci {

namespace {

/// Frames turned into 16 bits at a time.
constexpr std::size_t kConvertedFrames = 4096;

std::int16_t ToInt16(float sample) {
  return static_cast<std::int16_t>(std::lrint(std::clamp(sample * 32768.0f, -32768.0f, 32767.0f)));
}

}  // namespace

RewindableSource::RewindableSource(FrameSource& source, std::size_t kept_frames,
                                   SampleFormat format)
    : source_(source),
      format_(format),
      channels_(static_cast<std::size_t>(std::max(source.Channels(), 1))),
      frame_bytes_(channels_ *
                   (format == SampleFormat::kInt16 ? sizeof(std::int16_t) : sizeof(float))),
      capacity_(std::max<std::size_t>(kept_frames, 1)) {}

std::size_t RewindableSource::ReadSource(std::uint8_t* out, std::size_t frames) {
  if (format_ == SampleFormat::kFloat) return source_.Read(reinterpret_cast<float*>(out), frames);
  std::size_t done = 0;
  while (done < frames) {
    const std::size_t wanted = std::min(frames - done, kConvertedFrames);
    floats_.resize(wanted * channels_);
    const std::size_t got = source_.Read(floats_.data(), wanted);
    // |out| is the output's buffer or the ring, aligned for its samples.
    std::transform(floats_.begin(), floats_.begin() + static_cast<std::ptrdiff_t>(got * channels_),
                   reinterpret_cast<std::int16_t*>(out + done * frame_bytes_), ToInt16);
    done += got;
    if (got < wanted) break;
  }
  return done;
}

std::size_t RewindableSource::Read(void* out, std::size_t frames) {
  // Left untouched until written: a short sound takes no more memory
  // than it fills.
  if (!ring_) ring_ = std::make_unique_for_overwrite<std::uint8_t[]>(capacity_ * frame_bytes_);
  auto* bytes = static_cast<std::uint8_t*>(out);
  const auto again = static_cast<std::size_t>(std::min<std::uint64_t>(behind_, frames));
  CopyFromRing(taken_ - behind_, again, bytes);
  behind_ -= again;
  if (again == frames) return frames;
  std::uint8_t* fresh = bytes + again * frame_bytes_;
  const std::size_t got = ReadSource(fresh, frames - again);
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

void RewindableSource::CopyFromRing(std::uint64_t first, std::size_t count,
                                    std::uint8_t* out) const {
  ForEachRun(first, count, [&](std::size_t slot, std::size_t done, std::size_t run) {
    std::memcpy(out + done * frame_bytes_, ring_.get() + slot * frame_bytes_, run * frame_bytes_);
  });
}

void RewindableSource::CopyToRing(std::uint64_t first, std::size_t count, const std::uint8_t* in) {
  // Only the latest |capacity_| frames can be kept.
  if (count > capacity_) {
    in += (count - capacity_) * frame_bytes_;
    first += count - capacity_;
    count = capacity_;
  }
  ForEachRun(first, count, [&](std::size_t slot, std::size_t done, std::size_t run) {
    std::memcpy(ring_.get() + slot * frame_bytes_, in + done * frame_bytes_, run * frame_bytes_);
  });
}

}  // namespace quorwind::mci
