// The whole work of the program: ask the length, play, wait, end.
#pragma once

#include "playback/platform.h"

namespace quorwind {

/// Exit statuses of the program.
enum ExitStatus : int {
  kExitPlayed = 0,         ///< A positive wait was made.
  kExitNothingPlayed = 1,  ///< The wait was 0: no argument, no file, an empty reply.
  kExitRuntimeError = 2,   ///< A run-time error was reported; no wait was made.
};

/// Sets |label|'s caption to the unquoted argument text, sends open, length
/// query, close and play in that order, waits the reported length and ends the
/// program through |platform|. The media path is read back from |label| for every
/// command. A run-time error skips the rest, is reported, and ends with status 2.
[[noreturn]] void PlayAndWait(CaptionHolder& label, PlaybackPlatform& platform);

}  // namespace quorwind
