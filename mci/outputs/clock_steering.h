// Keeps a stream's playback on the system clock when the device's clock runs
// at a pace of its own.
#pragma once

namespace quorwind::mci {

/// A controller of proportional and integral terms that turns how far the
/// heard position of a stream has drifted from the system clock into the
/// pace at which the device should take the stream's frames. Both clocks count
/// from the first audible frame. The offset seen in its first second is the
/// start's, not drift, and is left alone; corrections stay within ±1 %
/// and change gently, so that nobody hears them.
class ClockSteering {
 public:
  /// Stream frames per device frame: 1 at first, then what Update answered.
  double pace() const { return pace_; }

  /// Fed the seconds of the stream heard, by the device's count, when
  /// |elapsed| seconds have passed on the system clock; answers the new pace.
  /// Below 1 when the device runs fast, above 1 when it runs slow.
  double Update(double heard, double elapsed);

  /// The stream was already |seconds| heard when the clock's count began:
  /// its start was learnt that late. Unlike the rest of the start's offset,
  /// this lead is taken back, gently, so that the sound ends with a wait
  /// counted from when the start was learnt; but not its last milliseconds,
  /// and never more than wake-ups explain, since a sound stretched past that
  /// wait would lose its last frames.
  void SetLead(double seconds);

 private:
  double pace_ = 1.0;
  double lead_ = 0.0;
  double baseline_sum_ = 0.0;
  int baseline_count_ = 0;
  double filtered_ = 0.0;
  double integral_ = 0.0;
  double last_elapsed_ = 0.0;
};

}  // namespace quorwind::mci
