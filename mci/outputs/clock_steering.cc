// The drift controller shared by the output back ends.
#include "mci/outputs/clock_steering.h"

#include <algorithm>

namespace quorwind::mci {

namespace {

/// Offsets before this are not trusted: a device's delay settles once its
/// stream runs. Until kSettleSeconds they are the start's, and averaged.
constexpr double kUntrustedSeconds = 0.4;
constexpr double kSettleSeconds = 1.0;
/// Loop gains: a natural frequency of 0.7 rad/s, damped at 0.7, cancels a
/// constant drift within a few seconds without following timing noise.
constexpr double kProportional = 1.0;
constexpr double kIntegral = 0.5;
/// Weight of a new measurement in the smoothed offset.
constexpr double kSmoothing = 0.3;
constexpr double kLargestCorrection = 0.01;
/// Of a lead, the seconds kept and the most taken back; and how fast it is
/// taken back: 0.4 %, 10 ms in 2.5 s.
constexpr double kLeadKept = 0.002;
constexpr double kLargestLead = 0.025;
constexpr double kLeadPerSecond = 0.004;

}  // namespace

void ClockSteering::SetLead(double seconds) {
  lead_ = std::clamp(seconds - kLeadKept, 0.0, kLargestLead);
}

double ClockSteering::Update(double heard, double elapsed) {
  const double offset = heard - elapsed;  // seconds the device is ahead
  if (elapsed < kUntrustedSeconds) return pace_;
  if (elapsed < kSettleSeconds) {
    baseline_sum_ += offset;
    ++baseline_count_;
    last_elapsed_ = elapsed;
    return pace_;
  }
  const double taken_back = std::min(lead_, kLeadPerSecond * (elapsed - kSettleSeconds));
  const double drift =
      offset - (baseline_count_ ? baseline_sum_ / baseline_count_ : 0.0) + taken_back;
  filtered_ += kSmoothing * (drift - filtered_);
  const double step = std::max(0.0, elapsed - last_elapsed_);
  last_elapsed_ = elapsed;
  const double wanted = kProportional * filtered_ + kIntegral * (integral_ + filtered_ * step);
  // The integral stops growing while the correction is at its bound.
  if (wanted > -kLargestCorrection && wanted < kLargestCorrection) integral_ += filtered_ * step;
  pace_ = 1.0 - std::clamp(wanted, -kLargestCorrection, kLargestCorrection);
  return pace_;
}

}  // namespace quorwind::mci
