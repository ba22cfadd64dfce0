// Decoding in a child process that can reach nothing but the media file.
#pragma once

#include <memory>

#include "mci/decoders/decoder.h"

namespace quorwind::mci {

/// Opens |fd| with the factory that |make| makes, in a child process:
/// - the child makes the factory and prepares it (loads the decoder's module,
///   reads its soundfont...), closes every descriptor but the media's and its
///   pipe's, sets no_new_privs and installs the system-call filter of
///   syscall_filter.h; only then does the decoder parse the media;
/// - it sends the stream's format, then its frames, through the pipe.
/// |decoder| becomes the parent's end: a Decoder that reads the pipe. A child
/// that dies reads as the end of the frames.
MciError OpenInDecoderProcess(MakeDecoderFactory make, UniqueFd fd,
                              std::unique_ptr<Decoder>& decoder);

}  // namespace quorwind::mci
