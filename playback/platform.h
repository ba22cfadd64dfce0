// What the play-and-wait sequence needs from its surroundings: a caption holder
// and the platform's operations, abstract so that they can be faked in tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorwind {

class RuntimeError;

/// Anything with a settable and readable caption; the media path lives there.
class CaptionHolder {
 public:
  virtual ~CaptionHolder() = default;

  /// Replaces the caption. Throws RuntimeError(kCaptionAccess) on failure.
  virtual void SetCaption(std::u16string_view caption) = 0;

  /// Returns the caption as it stands now. Throws RuntimeError(kCaptionAccess).
  virtual std::u16string GetCaption() const = 0;
};

/// The platform operations of the sequence, under their platform names where
/// they have one. Any of them may throw RuntimeError(kMissingEntry) when the
/// library or entry behind it cannot be found at its first call.
class PlaybackPlatform {
 public:
  virtual ~PlaybackPlatform() = default;

  /// The argument portion of the process command line, unchanged.
  virtual std::u16string ArgumentText() = 0;

  /// Wide text to the 8-bit text that mciSendStringA takes (the ANSI code page).
  virtual std::string ToNarrow(std::u16string_view wide) = 0;

  /// 8-bit text written by mciSendStringA back to wide text; |narrow| may hold NULs,
  /// each of which becomes one NUL character.
  virtual std::u16string ToWide(std::string_view narrow) = 0;

  /// Sends a NUL-terminated command text. |reply| has room for |reply_capacity|
  /// characters. Returns the service's error code, which the sequence ignores.
  virtual std::uint32_t mciSendStringA(const char* command, char* reply,
                                       std::uint32_t reply_capacity,
                                       std::uintptr_t callback_window) = 0;

  /// Suspends the calling thread for |milliseconds|.
  virtual void Sleep(std::uint32_t milliseconds) = 0;

  /// Reports a run-time error to the user: the program's one error report.
  virtual void ReportRuntimeError(const RuntimeError& error) = 0;

  /// Ends the program at once with |exit_status|; nothing else runs after it.
  [[noreturn]] virtual void EndProgram(int exit_status) = 0;
};

}  // namespace quorwind
