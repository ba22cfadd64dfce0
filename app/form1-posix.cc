// Form1's load step on POSIX.
#include "app/form1-posix.h"

#include "playback/play_and_wait.h"

namespace quorwind {

void Form1::Load(PlaybackPlatform& platform) { PlayAndWait(Label1, platform); }

}  // namespace quorwind
