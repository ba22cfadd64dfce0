// Decoding in a child process that can reach nothing but the media file.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "mci/decoders/decoder.h"

namespace quorwind::mci {

/// What the decoding child may take: a decoder that hangs, spins or grows
/// is stopped by these, never the player.
struct DecoderProcessBounds {
  /// From the fork until the stream's format arrives. The slowest legitimate
  /// opens measured: FFmpeg's packet scan of a 2 GB Matroska video, 4.8 s;
  /// the length scan of a 10-hour MP3, 0.4 s.
  std::chrono::milliseconds open{10000};
  /// How long a Read may wait for the child's next frames: a child that
  /// delivers nothing for this long while the output waits is killed, and
  /// the frames end there.
  std::chrono::milliseconds stall{3000};
  /// The child's data (heap and private writable mappings), set before the
  /// filter. Measured peaks: FFmpeg on a 2 GB video, 33 MB; FluidSynth with
  /// the 148 MB FluidR3 soundfont (mapped, not counted), 16 MB. Past the
  /// limit, allocations fail inside the decoder.
  std::uint64_t data_bytes = std::uint64_t{1} << 30;
};

/// Opens |fd| with the factory that |make| makes, in a child process:
/// - the child dies with the thread that forks it (call from one that lives
///   as long as the decoder: the player's main thread), and with its decoder;
/// - it makes the factory and prepares it (loads the decoder's module,
///   maps its soundfont...), limits its data to |bounds|, closes every
///   descriptor but the media's and its pipe's, sets no_new_privs and
///   installs the system-call filter of syscall_filter.h; only then does the
///   decoder parse the media;
/// - it sends the stream's format, then its frames, through the pipe.
/// |decoder| becomes the parent's end: a Decoder that reads the pipe. A child
/// that dies, or stalls past the bound, reads as the end of the frames; one
/// whose format does not arrive in time is killed and the file is invalid.
/// |while_child_opens|, if given, runs in the parent between the fork and the
/// wait for the format: work that the child's open need not wait for.
MciError OpenInDecoderProcess(MakeDecoderFactory make, UniqueFd fd,
                              std::unique_ptr<Decoder>& decoder,
                              const DecoderProcessBounds& bounds = {},
                              const std::function<void()>& while_child_opens = {});

}  // namespace quorwind::mci
