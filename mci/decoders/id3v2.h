// The ID3v2 tag that MP3, AAC, FLAC and WAV files may carry in front of the
// media: it says nothing of the format, and decoders start after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorwind::mci {

/// The size of the ID3v2 tag that |head| (the file's first bytes) starts
/// with, its header and footer included; 0 when there is none.
inline std::uint64_t Id3v2Size(const unsigned char* head, std::size_t size) {
  if (size < 10 || std::memcmp(head, "ID3", 3) != 0) return 0;
  std::uint64_t tag = 0;
  for (int i = 6; i < 10; ++i) tag = tag << 7 | (head[i] & 0x7f);  // syncsafe
  return 10 + tag + (head[5] & 0x10 ? 10 : 0);
}

}  // namespace quorwind::mci
