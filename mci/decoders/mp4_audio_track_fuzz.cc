// Fuzz target: the MP4 sample-table reader on any bytes; every sample it
// returns lies within the file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "mci/decoders/mp4_audio_track.h"
#include "mci/unique_fd.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorwind::mci;
  const UniqueFd memory(memfd_create("mp4", MFD_CLOEXEC));
  if (memory.get() < 0 || write(memory.get(), data, size) != static_cast<ssize_t>(size)) return 0;
  const auto track = ReadMp4AudioTrack(memory.get(), size);
  if (!track) return 0;
  for (const Mp4Sample& sample : track->samples) {
    if (sample.offset > size || sample.size > size - sample.offset) std::abort();
  }
  return 0;
}
