// Opening a media file: the decoder is chosen by the file's content.
#pragma once

#include <memory>
#include <string>

#include "mci/decoders/decoder.h"

namespace quorwind::mci {

/// Where a decoder parses the file.
enum class Isolation {
  /// In a child process that can reach nothing but the media (the player's).
  kSandboxedProcess,
  /// In this process (the fuzz targets').
  kInProcess,
};

/// Opens the regular file at |path| with the first decoder that takes it.
/// Returns kFileNotFound when there is no such file, kInvalidFile when it is
/// not a regular file or no decoder can read it.
MciError OpenMediaFile(const std::string& path, std::unique_ptr<Decoder>& file,
                       Isolation isolation = Isolation::kSandboxedProcess);

}  // namespace quorwind::mci
