// Opening what a media path names: a regular file as it is, and a pipe, a
// FIFO, a socket or a device read through to its end into a memory file, so
// that a decoder always gets a regular descriptor it can seek and size.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "mci/decoders/decoder.h"

namespace quorwind::mci {

/// What reading an input that is not a regular file may take.
struct InputBounds {
  /// Larger inputs are nothing to play: 1 GiB, or a quarter of the
  /// machine's memory where that is less.
  std::uint64_t largest_bytes = DefaultLargestInput();
  /// A writer that holds the input open and gives nothing for this long
  /// has nothing to play.
  std::chrono::milliseconds patience = std::chrono::seconds(10);

  static std::uint64_t DefaultLargestInput();
};

/// Opens |path| for reading into |fd|. A regular file is opened as it is.
/// A FIFO, pipe or socket is read to its end, and a character device that
/// is not a terminal likewise when its first bytes are a media file's, into
/// an anonymous memory file. Never blocks in open(2): a FIFO with no writer
/// is nothing to play at once.
/// Returns kFileNotFound when there is no such file, kInvalidFile when
/// there is nothing to play (a directory, a terminal, an input that ends
/// empty, stalls or passes |bounds|).
MciError OpenMediaInput(const std::string& path, UniqueFd& fd, const InputBounds& bounds = {});

/// Whether |bytes| start as some media file this service plays may start
/// (a container's or a codec's signature, or a tag before one).
bool StartsAsMedia(const unsigned char* bytes, std::size_t size);

}  // namespace quorwind::mci
