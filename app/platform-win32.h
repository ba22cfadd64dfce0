// The platform operations on Win32: the command line, the ANSI code page,
// winmm and kernel32 bound by name at their first call, a message box and
// ExitProcess.
#pragma once

#include <windows.h>

#include <string>

#include "playback/platform.h"

namespace quorwind {

class Win32Platform : public PlaybackPlatform {
 public:
  /// |command_line| is the argument text wWinMain received.
  explicit Win32Platform(const wchar_t* command_line);

  std::u16string ArgumentText() override;
  std::string ToNarrow(std::u16string_view wide) override;
  std::u16string ToWide(std::string_view narrow) override;
  std::uint32_t mciSendStringA(const char* command, char* reply, std::uint32_t reply_capacity,
                               std::uintptr_t callback_window) override;
  void Sleep(std::uint32_t milliseconds) override;
  void ReportRuntimeError(const RuntimeError& error) override;
  [[noreturn]] void EndProgram(int exit_status) override;

 private:
  using MciSendStringFunction = DWORD(WINAPI*)(LPCSTR, LPSTR, UINT, HWND);
  using SleepFunction = void(WINAPI*)(DWORD);

  std::u16string argument_text_;
  MciSendStringFunction send_ = nullptr;
  SleepFunction sleep_ = nullptr;
};

/// Wide text between the program's char16_t and the platform's wchar_t.
std::wstring WideString(std::u16string_view text);
std::u16string U16String(std::wstring_view text);

}  // namespace quorwind
