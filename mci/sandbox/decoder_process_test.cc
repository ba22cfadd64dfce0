// A decoder that behaves as a compromised one would, run in the decoding
// process: everything it tries beyond its media and pipe fails, and the
// stream still arrives.
#include "mci/sandbox/decoder_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace quorwind::mci {
namespace {

/// Each attempt returns true when it got through.
const std::pair<const char*, std::function<bool()>> kAttempts[] = {
    {"open /etc/passwd", [] { return ::open("/etc/passwd", O_RDONLY) >= 0; }},
    {"create a socket", [] { return socket(AF_INET, SOCK_STREAM, 0) >= 0; }},
    {"connect to the sound server",
     [] {
       const char* runtime = std::getenv("XDG_RUNTIME_DIR");
       sockaddr_un address{};
       address.sun_family = AF_UNIX;
       std::snprintf(address.sun_path, sizeof address.sun_path, "%s/pulse/native",
                     runtime ? runtime : "/run/user/0");
       const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
       return fd >= 0 &&
              connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
     }},
    {"execve /bin/sh",
     [] {
       char* const arguments[] = {const_cast<char*>("sh"), nullptr};
       execve("/bin/sh", arguments, nullptr);
       return true;  // only reached when it failed
     } /* inverted below */},
    {"fork",
     [] {
       const pid_t child = fork();
       if (child == 0) _exit(0);
       return child > 0;
     }},
#ifndef QUORWIND_SANITIZE  // the sanitizers' builds let the child write their reports
    {"write to a descriptor it does not own",
     [] { return write(STDOUT_FILENO, "x", 1) == 1 || write(5, "x", 1) == 1; }},
#endif
    {"write the media file", [] { return pwrite(3, "x", 1, 0) == 1; }},
};

/// Makes every attempt in Open, then plays one second of silence whose
/// length in milliseconds carries, bit by bit, which attempts got through.
class HostileDecoder : public Decoder {
 public:
  MciError Open(UniqueFd fd) {
    fd_ = std::move(fd);
    for (std::size_t i = 0; i < std::size(kAttempts); ++i) {
      const bool through = kAttempts[i].second();
      const bool is_exec = std::strcmp(kAttempts[i].first, "execve /bin/sh") == 0;
      if (is_exec ? !through : through) escaped_ |= 1u << i;
    }
    return kOk;
  }
  std::uint64_t LengthMilliseconds() const override { return 1000 + escaped_; }
  int SampleRate() const override { return 1000; }
  int Channels() const override { return 1; }
  std::size_t Read(float* out, std::size_t frames) override {
    frames = std::min<std::size_t>(frames, 1000 - delivered_);
    std::fill(out, out + frames, 0.5f);
    delivered_ += frames;
    return frames;
  }

 private:
  UniqueFd fd_;
  std::uint32_t escaped_ = 0;
  std::size_t delivered_ = 0;
};

std::unique_ptr<DecoderFactory> MakeHostileFactory() {
  struct Factory : DecoderFactory {
    MciError Open(UniqueFd fd, std::unique_ptr<Decoder>& decoder) override {
      auto hostile = std::make_unique<HostileDecoder>();
      const MciError error = hostile->Open(std::move(fd));
      decoder = std::move(hostile);
      return error;
    }
  };
  return std::make_unique<Factory>();
}

TEST(DecoderProcessTest, ACompromisedDecoderReachesNothingAndTheStreamGoesOn) {
  std::unique_ptr<Decoder> decoder;
  ASSERT_EQ(
      OpenInDecoderProcess(MakeHostileFactory, UniqueFd(::open("/dev/null", O_RDONLY)), decoder),
      kOk);
  const std::uint64_t escaped = decoder->LengthMilliseconds() - 1000;
  for (std::size_t i = 0; i < std::size(kAttempts); ++i) {
    EXPECT_FALSE(escaped & (1u << i)) << kAttempts[i].first << " got through";
  }
  float frames[1500];
  EXPECT_EQ(decoder->Read(frames, 1500), 1000u);
  EXPECT_EQ(frames[999], 0.5f);
  EXPECT_EQ(decoder->Read(frames, 10), 0u);
}

TEST(DecoderProcessTest, AChildThatDiesReadsAsTheEnd) {
  struct Dying : DecoderFactory {
    MciError Open(UniqueFd, std::unique_ptr<Decoder>&) override { std::abort(); }
  };
  std::unique_ptr<Decoder> decoder;
  EXPECT_EQ(OpenInDecoderProcess(
                []() -> std::unique_ptr<DecoderFactory> { return std::make_unique<Dying>(); },
                UniqueFd(::open("/dev/null", O_RDONLY)), decoder),
            kInvalidFile);
  EXPECT_EQ(decoder, nullptr);
}

/// A decoder gone wrong in one of the ways a crafted file can make it.
enum class Fault { kHangsOpening, kStallsAfterASecond, kGrowsWithoutBound };

class FaultyDecoder : public Decoder {
 public:
  explicit FaultyDecoder(Fault fault) : fault_(fault) {}
  std::uint64_t LengthMilliseconds() const override { return 3000; }
  int SampleRate() const override { return 1000; }
  int Channels() const override { return 1; }
  std::size_t Read(float* out, std::size_t frames) override {
    if (delivered_ >= 1000) Spin();
    frames = std::min<std::size_t>(frames, 1000 - delivered_);
    std::fill(out, out + frames, 0.5f);
    delivered_ += frames;
    return frames;
  }
  [[noreturn]] static void Spin() {
    volatile unsigned turns = 0;
    for (;;) turns = turns + 1;
  }

 private:
  Fault fault_;
  std::size_t delivered_ = 0;
};

template <Fault fault>
std::unique_ptr<DecoderFactory> MakeFaultyFactory() {
  struct Factory : DecoderFactory {
    MciError Open(UniqueFd, std::unique_ptr<Decoder>& decoder) override {
      if (fault == Fault::kHangsOpening) FaultyDecoder::Spin();
      if (fault == Fault::kGrowsWithoutBound) {
        std::vector<std::unique_ptr<char[]>> blocks;
        try {
          for (;;) {
            blocks.push_back(std::make_unique<char[]>(1 << 20));
            std::fill_n(blocks.back().get(), 1 << 20, 1);
          }
        } catch (const std::bad_alloc&) {
          return kOutOfMemory;  // past the limit, as a decoder would report it
        }
      }
      decoder = std::make_unique<FaultyDecoder>(fault);
      return kOk;
    }
  };
  return std::make_unique<Factory>();
}

TEST(DecoderProcessTest, ADecoderThatHangsStallsOrGrowsIsStoppedAtItsBound) {
  using namespace std::chrono_literals;
  constexpr std::uint64_t kData = std::uint64_t{256} << 20;
  // Each case's own bound is the one it runs into; the others stay long, as
  // on a busy machine filling 256 MB or delivering the first frames can take
  // longer than a short bound.
  const struct {
    const char* name;
    MakeDecoderFactory make;
    DecoderProcessBounds bounds;
    MciError opened;
    std::size_t frames;  // read before the end
  } kCases[] = {
      {"hangs opening",
       MakeFaultyFactory<Fault::kHangsOpening>,
       {300ms, 3s, kData},
       kInvalidFile,
       0},
      {"stalls after a second",
       MakeFaultyFactory<Fault::kStallsAfterASecond>,
       {3s, 1s, kData},
       kOk,
       1000},
#ifndef QUORWIND_SANITIZE  // the sanitizers' builds set no memory limit
      {"grows without bound",
       MakeFaultyFactory<Fault::kGrowsWithoutBound>,
       {4s, 3s, kData},
       kOutOfMemory,
       0},
#endif
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<Decoder> decoder;
    ASSERT_EQ(
        OpenInDecoderProcess(c.make, UniqueFd(::open("/dev/null", O_RDONLY)), decoder, c.bounds),
        c.opened);
    std::vector<float> frames(4000);
    std::size_t read = 0;
    while (decoder) {
      const std::size_t got = decoder->Read(frames.data(), frames.size());
      if (got == 0) break;
      read += got;
    }
    EXPECT_EQ(read, c.frames);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // not hung, not crawling
  }
}

}  // namespace
}  // namespace quorwind::mci
