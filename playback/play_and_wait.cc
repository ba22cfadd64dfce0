// The play-and-wait sequence, written against the abstract platform.
#include "playback/play_and_wait.h"

#include <cstdlib>
#include <string>

#include "playback/command_text.h"
#include "playback/reply.h"
#include "playback/runtime_error.h"

namespace quorwind {

namespace {

/// Sends a command that takes no reply: an empty 8-bit buffer, capacity 0.
void SendWithoutReply(PlaybackPlatform& platform, const std::u16string& text) {
  const std::string narrow = platform.ToNarrow(text);
  char no_reply[1] = {'\0'};
  platform.mciSendStringA(narrow.c_str(), no_reply, 0, 0);
}

void SendCaptionCommand(CaptionHolder& label, PlaybackPlatform& platform, Command command) {
  SendWithoutReply(platform, CommandText(command, label.GetCaption()));
}

/// One run, steps 3 to 7 of doc/design.md; returns the milliseconds waited.
std::uint32_t RunSequence(CaptionHolder& label, PlaybackPlatform& platform) {
  label.SetCaption(StripQuotes(platform.ArgumentText()));
  const std::u16string length_query = CommandText(Command::kLengthQuery, label.GetCaption());

  SendCaptionCommand(label, platform, Command::kOpen);

  ReplyBuffer reply{};
  std::string narrow_reply = platform.ToNarrow(std::u16string_view(reply.data(), reply.size()));
  if (narrow_reply.size() < kReplyLength) narrow_reply.resize(kReplyLength, '\0');
  const std::string narrow_query = platform.ToNarrow(length_query);
  platform.mciSendStringA(narrow_query.c_str(), narrow_reply.data(),
                          ReplyCapacity(Command::kLengthQuery), 0);
  CopyReplyBack(platform.ToWide(narrow_reply), reply);

  SendCaptionCommand(label, platform, Command::kClose);
  SendCaptionCommand(label, platform, Command::kPlay);

  const std::int32_t length = ReadLength(reply);
  // A negative length waits nothing rather than wrapping to about 49 days.
  const std::uint32_t wait = length > 0 ? static_cast<std::uint32_t>(length) : 0;
  platform.Sleep(wait);
  return wait;
}

}  // namespace

void PlayAndWait(CaptionHolder& label, PlaybackPlatform& platform) {
  int status = kExitRuntimeError;
  try {
    status = RunSequence(label, platform) > 0 ? kExitPlayed : kExitNothingPlayed;
  } catch (const RuntimeError& error) {
    platform.ReportRuntimeError(error);
  }
  platform.EndProgram(status);
  std::abort();  // EndProgram does not return; should a binding, nothing more runs
}

}  // namespace quorwind
