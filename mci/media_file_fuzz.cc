// Fuzz target: any bytes opened as a media file by every decoder: the length
// query and a full read finish, in bounded time and memory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mci/media_file.h"

namespace {

/// More frames than any seed holds; a file claiming more is read this far.
constexpr std::size_t kMostFrames = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorwind::mci;
  const UniqueFd memory(memfd_create("media", MFD_CLOEXEC));
  if (memory.get() < 0 || write(memory.get(), data, size) != static_cast<ssize_t>(size)) return 0;
  std::unique_ptr<Decoder> file;
  if (OpenMediaFile("/proc/self/fd/" + std::to_string(memory.get()), file) != kOk) return 0;
  (void)file->LengthMilliseconds();
  (void)file->Layout();
  std::vector<float> block(1024 * static_cast<std::size_t>(file->Channels()));
  for (std::size_t frames = 0; frames < kMostFrames;) {
    const std::size_t got = file->Read(block.data(), 1024);
    if (got == 0) break;
    frames += got;
  }
  return 0;
}
