// Audio output back ends: each plays one FrameSource on a thread of its own.
#pragma once

#include <chrono>
#include <memory>

#include "mci/frame_source.h"
#include "mci/mci.h"

namespace quorwind::mci {

/// One playing stream. Contract of every back end:
/// - Start pulls frames from the source on the back end's own thread, at the
///   source's rate, channel count and layout, and returns once the first
///   frames are audible (so a wait counted from its return ends as the last
///   frame is heard), or with an error code when nothing will play:
///   kDeviceNotInstalled when its sound system is absent (no server answers,
///   no device can be opened; nothing was read from the source, so another
///   back end may be tried), another code otherwise. Start returns by its
///   deadline whatever the sound system does: a server that does not answer,
///   a device whose open hangs, or a stream that does not start is an error
///   then (a call that may block is made where it can be abandoned).
/// - While playing, a sound system that goes away costs no one a wait: the
///   back end's thread keeps no one waiting, and the program's wait runs
///   on. The Pulse back end takes the sound up again on a server that comes
///   back, at the frame then due: it plays again what the lost server still
///   held, as far as its ring of the latest frames reaches, and what fell
///   due while no server was there is left silent, never played late. The
///   ALSA back end ends playback quietly when its device goes.
/// - The destructor stops playback and returns only after the back end's
///   thread no longer touches the source; the source must outlive the output.
/// - Nothing is ever printed, and the process may end by _exit at any moment.
class AudioOutput {
 public:
  virtual ~AudioOutput() = default;
  /// Begins reaching the sound system in the background, without waiting,
  /// so that a Start after it finds the connection ready. Optional.
  virtual void Prepare() {}
  virtual MciError Start(FrameSource& source, std::chrono::steady_clock::time_point deadline) = 0;
};

/// How long a play may take to start, every back end tried included: past
/// it, the program waits out the length in silence, as with no sound system.
/// A server answers in a few milliseconds; a hung one is given up on after
/// this, so that the run ends within a second of the length.
inline constexpr std::chrono::milliseconds kStartBound{800};

/// The PulseAudio back end (also served by PipeWire's Pulse server), from the
/// module libquorwind-pulse.so; null when that module cannot be loaded.
std::unique_ptr<AudioOutput> CreatePulseOutput();

/// The ALSA back end: libasound's "default" device, from the module
/// libquorwind-alsa.so; null when that module cannot be loaded.
std::unique_ptr<AudioOutput> CreateAlsaOutput();

/// The system's output: a Pulse server where one answers, ALSA otherwise.
std::unique_ptr<AudioOutput> CreateSystemOutput();

}  // namespace quorwind::mci
