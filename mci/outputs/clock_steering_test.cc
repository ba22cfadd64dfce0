// The drift controller against simulated devices whose clocks run off.
#include "mci/outputs/clock_steering.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quorwind::mci {
namespace {

TEST(ClockSteeringTest, HoldsTheHeardPositionOnTheSystemClock) {
  // device speed, start offset (s), timing noise (s), largest error after
  // 10 s, and the lead (s) of a start learnt late, of which all but 2 ms is
  // taken back
  struct Case {
    double speed, start_offset, noise, bound, lead;
  };
  for (const Case& c : {Case{1.0, 0.0, 0.0, 1e-6, 0}, Case{1.0, 0.001, 0.0, 1e-6, 0.001},
                        Case{1.003, 0.0, 0.0, 0.003, 0}, Case{0.997, 0.02, 0.0, 0.003, 0},
                        Case{1.0001, -0.05, 0.001, 0.002, 0}, Case{0.997, 0.0, 0.002, 0.004, 0},
                        Case{1.02, 0.0, 0.0, 1.0, 0}, Case{1.0, 0.012, 0.0, 0.001, 0.012},
                        Case{0.997, 0.03, 0.001, 0.003, 0.012}}) {
    SCOPED_TRACE(testing::Message()
                 << "speed " << c.speed << " noise " << c.noise << " lead " << c.lead);
    ClockSteering steering;
    steering.SetLead(c.lead);
    double heard = c.start_offset;
    double largest_error = 0;
    double largest_step = 0;
    double largest_early = 0;
    for (int tick = 1; tick <= 600; ++tick) {  // 60 s, measured every 100 ms
      const double before = steering.pace();
      heard += 0.1 * c.speed * before;
      const double elapsed = 0.1 * tick;
      if (elapsed <= 10)
        largest_early = std::max(largest_early, std::abs(heard - c.start_offset - elapsed));
      const double noise = c.noise * std::sin(tick * 2.3);
      const double pace = steering.Update(heard + noise, elapsed);
      EXPECT_LE(std::abs(pace - 1.0), 0.01 + 1e-12);
      largest_step = std::max(largest_step, std::abs(pace - before));
      if (elapsed > 10)
        largest_error =
            std::max(largest_error,
                     std::abs(heard - (c.start_offset - std::max(0.0, c.lead - 0.002)) - elapsed));
    }
    EXPECT_LE(largest_error, c.bound);
    if (c.bound < 1) {
      EXPECT_LE(largest_early, 0.006 + c.lead);
    }
    EXPECT_LE(largest_step, 0.003);  // gentle: never a jump a listener hears
  }
}

}  // namespace
}  // namespace quorwind::mci
