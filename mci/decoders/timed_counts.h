// Checks shared by the decoders that read a long stream's length at its two
// ends: whether the stream's times run as the counts of its frames.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

namespace quorwind::mci {

/// A packet or a decoded frame: where its time puts it, and what it holds.
struct TimedCount {
  std::int64_t at;      ///< where its time puts it, in frames from a fixed time
  std::int64_t frames;  ///< the frames it decodes to
};

/// How many frames are decoded before |head|'s packets beyond where their
/// times put them: the same for every one from the third on (the first may
/// decode short: a codec's priming, a Vorbis stream's first packet) within
/// |tolerance|, or nothing.
inline std::optional<std::int64_t> OffsetOfCountsFromTimes(const std::vector<TimedCount>& head,
                                                           std::int64_t tolerance) {
  if (head.size() < 3) return std::nullopt;
  // The last packet's offset, which every other must match.
  std::int64_t before_last = 0;
  for (std::size_t i = 0; i + 1 < head.size(); ++i) before_last += head[i].frames;
  const std::int64_t offset = before_last - head.back().at;
  std::int64_t before = head[0].frames + head[1].frames;
  for (std::size_t i = 2; i < head.size(); ++i) {
    if (std::abs(before - head[i].at - offset) > tolerance) return std::nullopt;
    before += head[i].frames;
  }
  return offset;
}

/// Whether each of |run| starts where the one before it ended, within
/// |tolerance|.
inline bool RunsAsCounted(const std::vector<TimedCount>& run, std::int64_t tolerance) {
  for (std::size_t k = 0; k + 1 < run.size(); ++k) {
    if (std::abs(run[k + 1].at - run[k].at - run[k].frames) > tolerance) return false;
  }
  return true;
}

}  // namespace quorwind::mci
