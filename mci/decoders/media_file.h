// Opening a media file: the decoder is chosen by the file's content.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "mci/decoders/decoder.h"

namespace quorwind::mci {

/// Opens |fd| with the decoder of the factory that |make| makes. Where the
/// decoder runs is the caller's choice: the player's is a sandboxed child.
using OpenWithFactory = std::function<MciError(MakeDecoderFactory make, UniqueFd fd,
                                               std::unique_ptr<Decoder>& decoder)>;

/// Opens in this process (the fuzz targets' and tools' choice).
MciError OpenInThisProcess(MakeDecoderFactory make, UniqueFd fd, std::unique_ptr<Decoder>& decoder);

/// Opens the regular file at |path| with the first decoder that takes it,
/// each tried through |open|.
/// Returns kFileNotFound when there is no such file, kInvalidFile when it is
/// not a regular file or no decoder can read it.
MciError OpenMediaFile(const std::string& path, std::unique_ptr<Decoder>& file,
                       const OpenWithFactory& open);

}  // namespace quorwind::mci
