// Fuzz target: command texts through the service, with reply capacities from
// 0 to 64 and guard bytes around the reply.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mci/service/service.h"

namespace quorwind::mci {
namespace {

/// Plays nothing: pulls a few frames, as an output would, and says it plays.
class SilentOutput : public AudioOutput {
 public:
  MciError Start(FrameSource& source, std::chrono::steady_clock::time_point) override {
    std::string frames(sizeof(float) * 64 * static_cast<std::size_t>(source.Channels()), '\0');
    source.Read(reinterpret_cast<float*>(frames.data()), 64);
    return kOk;
  }
};

constexpr std::size_t kGuard = 16;
constexpr char kGuardByte = '\x5a';

}  // namespace
}  // namespace quorwind::mci

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorwind::mci;
  if (size == 0) return 0;
  static MciService service([] { return std::make_unique<SilentOutput>(); });
  const std::uint32_t capacity = data[0] % 65;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  char reply[kGuard + 64 + kGuard];
  std::memset(reply, kGuardByte, sizeof reply);
  const MciError error = service.Execute(text.c_str(), reply + kGuard, capacity);
  for (std::size_t i = 0; i < sizeof reply; ++i) {
    if ((i < kGuard || i >= kGuard + capacity) && reply[i] != kGuardByte) std::abort();
  }
  // A reply, when there is one, ends within the capacity.
  if (error == kOk && capacity > 0 && reply[kGuard] != kGuardByte &&
      std::memchr(reply + kGuard, '\0', capacity) == nullptr) {
    std::abort();
  }
  return 0;
}
