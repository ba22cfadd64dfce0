// Checks shared by the decoders that read a long stream's length at its two
// ends: whether the stream's times run as the counts of its frames, and
// whether its timeline runs through the file without a restart or a jump.
#pragma once

#include <algorithm>
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

/// Where a sample of the timeline lies in the file, and its time there.
struct TimelineSample {
  std::int64_t position;  ///< in bytes
  std::int64_t time;      ///< in any one unit
  /// Time per byte just after it, from a few packets on; 0 where unknown.
  long double local_rate = 0;
};

/// How much faster a span's time may run for its bytes than the timeline
/// runs just after either of its ends: the rate drifts over a span, a jump
/// of the timestamps inside it does not.
constexpr long double kFastestThanLocal = 1.5;

/// How much faster than the median span of the file a span's time may run
/// for its bytes: a quiet passage codes in fewer bytes, but a jump of the
/// timestamps, such as a recorder's discontinuity, runs far faster.
constexpr std::int64_t kFastestSpan = 6;

/// Whether the timeline sampled at |samples| (in the file's order, at
/// least three) runs on at every step, never back nor standing, and no span
/// runs kFastestSpan times faster for its bytes than the median span, nor,
/// where its ends' local rates are known, kFastestThanLocal times faster
/// than the faster of them: a file whose timestamps begin again (files
/// joined), or jump ahead, fails, and the span from its first time to its
/// last is then no length.
inline bool TimelineRunsEvenly(const std::vector<TimelineSample>& samples) {
  if (samples.size() < 3) return false;
  std::vector<long double> rates;
  for (std::size_t i = 1; i < samples.size(); ++i) {
    const std::int64_t bytes = samples[i].position - samples[i - 1].position;
    const std::int64_t time = samples[i].time - samples[i - 1].time;
    if (bytes <= 0 || time <= 0) return false;
    rates.push_back(static_cast<long double>(time) / bytes);
  }
  std::vector<long double> sorted = rates;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  const long double median = sorted[sorted.size() / 2];
  for (std::size_t i = 0; i < rates.size(); ++i) {
    const long double local = std::max(samples[i].local_rate, samples[i + 1].local_rate);
    if (rates[i] > median * kFastestSpan || (local > 0 && rates[i] > local * kFastestThanLocal)) {
      return false;
    }
  }
  return true;
}

}  // namespace quorwind::mci
