// Tests RewindableSource: frames given again after a rewind, in either
// format, and how far back its ring reaches.
#include "mci/pulse/rewindable_source.h"

#include <gtest/gtest.h>

namespace quorwind::mci {
namespace {

/// Gives |length| frames of two channels; frame n holds n and -n, as 16-bit
/// samples scaled to float.
class CountingSource : public FrameSource {
 public:
  explicit CountingSource(std::size_t length) : length_(length) {}
  int SampleRate() const override { return 48000; }
  int Channels() const override { return 2; }
  std::size_t Read(float* out, std::size_t frames) override {
    std::size_t got = 0;
    for (; got < frames && next_ < length_; ++got, ++next_) {
      out[2 * got] = static_cast<float>(next_) / 32768;
      out[2 * got + 1] = -static_cast<float>(next_) / 32768;
    }
    return got;
  }

 private:
  std::size_t length_;
  std::size_t next_ = 0;
};

TEST(RewindableSourceTest, GivesTheKeptFramesAgainThenTheSourcesNext) {
  struct Case {
    std::size_t kept, length, read_first, rewind, expected_back;
    SampleFormat format = SampleFormat::kFloat;
  };
  const Case cases[] = {
      {8, 100, 5, 3, 3},      // within the ring
      {8, 100, 20, 5, 5},     // the ring has wrapped
      {8, 100, 20, 30, 8},    // no further back than it keeps
      {8, 100, 3, 10, 3},     // no further back than was read
      {8, 10, 10, 4, 4},      // past the source's end
      {16, 100, 40, 16, 16},  // read in one piece larger than the ring
      {8, 100, 20, 5, 5, SampleFormat::kInt16},
      {16, 100, 40, 16, 16, SampleFormat::kInt16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "kept " << c.kept << ", read " << c.read_first << ", rewind " << c.rewind);
    CountingSource counting(c.length);
    RewindableSource source(counting, c.kept, c.format);
    std::vector<float> frames(2 * 64);
    std::vector<std::int16_t> samples(2 * 64);
    void* out = c.format == SampleFormat::kInt16 ? static_cast<void*>(samples.data())
                                                 : static_cast<void*>(frames.data());
    std::size_t position = 0;
    for (std::size_t step : {c.read_first / 2, c.read_first - c.read_first / 2}) {
      position += source.Read(out, step);
    }
    ASSERT_EQ(source.Rewind(c.rewind), c.expected_back);
    position -= c.expected_back;
    const std::size_t got = source.Read(out, 64);
    ASSERT_EQ(got, std::min<std::size_t>(64, c.length - position));
    for (std::size_t i = 0; i < got; ++i) {
      const auto n = static_cast<float>(position + i);
      if (c.format == SampleFormat::kInt16) {
        ASSERT_EQ(samples[2 * i], n) << "frame " << i;
        ASSERT_EQ(samples[2 * i + 1], -n);
      } else {
        ASSERT_EQ(frames[2 * i], n / 32768) << "frame " << i;
        ASSERT_EQ(frames[2 * i + 1], -n / 32768);
      }
    }
    EXPECT_EQ(source.Rewind(c.kept + 64), std::min(c.kept, position + got));
  }
}

}  // namespace
}  // namespace quorwind::mci
