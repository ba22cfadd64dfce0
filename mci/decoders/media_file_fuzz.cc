// Fuzz target: any bytes opened as a media file by every decoder: the length
// query and a full read finish, in bounded time and memory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mci/decoders/media_file.h"

using namespace quorwind::mci;

namespace {

/// More frames than any seed holds; a file claiming more is read this far.
constexpr std::size_t kMostFrames = 1 << 20;

/// A decoder opened from |bytes| through a memfd, as a file would be.
MciError OpenBytes(const std::uint8_t* data, std::size_t size, std::unique_ptr<Decoder>& file) {
  const UniqueFd memory(memfd_create("media", MFD_CLOEXEC));
  if (memory.get() < 0 || write(memory.get(), data, size) != static_cast<ssize_t>(size)) {
    return kInvalidFile;
  }
  // The decoders themselves are fuzzed, in this process.
  return OpenMediaFile("/proc/self/fd/" + std::to_string(memory.get()), file, OpenInThisProcess);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // One MIDI decoder stays open for the whole run: FluidSynth sets up its
  // instrument library (GLib types, never freed) whenever no synthesizer
  // exists, and that would make every MIDI input look like a possible leak,
  // each checked at great cost.
  static constexpr std::uint8_t kSong[] = {
      'M', 'T', 'h', 'd', 0,  0, 0,    6,    0,    1,    0,    1,    1, 0xe0, 'M',  'T',  'r',
      'k', 0,   0,   0,   12, 0, 0x90, 0x45, 0x64, 0x60, 0x80, 0x45, 0, 0,    0xff, 0x2f, 0};
  static std::unique_ptr<Decoder> kept;
  // The synthesizer is made at the first read.
  float frames[2 * 64];
  if (OpenBytes(kSong, sizeof kSong, kept) == kOk) kept->Read(frames, 64);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<Decoder> file;
  if (OpenBytes(data, size, file) != kOk) return 0;
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
