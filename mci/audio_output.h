// Audio output back ends: each plays one FrameSource on a thread of its own.
#pragma once

#include <memory>

#include "mci/mci.h"
#include "mci/media_file.h"

namespace quorwind::mci {

/// One playing stream. Contract of every back end:
/// - Start pulls frames from the source on the back end's own thread and
///   returns once the first frames are being played by the sound server (so a
///   wait counted from its return ends as the last frame is heard), or with an
///   error code when nothing will play. It never blocks for long: a server
///   that does not answer is an error after a bounded time.
/// - The destructor stops playback and returns only after the back end's
///   thread no longer touches the source; the source must outlive the output.
/// - Nothing is ever printed.
class AudioOutput {
 public:
  virtual ~AudioOutput() = default;
  virtual MciError Start(FrameSource& source) = 0;
};

/// The PulseAudio back end (also served by PipeWire's Pulse server).
std::unique_ptr<AudioOutput> CreatePulseOutput();

}  // namespace quorwind::mci
