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

/// Opens the regular file |fd| with the first decoder that takes it, each
/// tried through |open|. Returns kInvalidFile when it is not a regular file
/// or no decoder can read it.
MciError OpenMediaFile(UniqueFd fd, std::unique_ptr<Decoder>& file, const OpenWithFactory& open);

/// Opens what |path| names (OpenMediaInput: a regular file, or what a pipe
/// or device gives to its end), then as above. Returns kFileNotFound when
/// there is no such file.
MciError OpenMediaFile(const std::string& path, std::unique_ptr<Decoder>& file,
                       const OpenWithFactory& open);

}  // namespace quorwind::mci
