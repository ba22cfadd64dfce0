// Win32 platform operations.
#include "app/platform-win32.h"

#include "playback/runtime_error.h"

namespace quorwind {

namespace {

std::string Narrow(std::wstring_view text) {
  std::string narrow;
  for (wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return narrow;
}

/// Looks |entry| up in |library|, loaded from |path|; a missing library or
/// entry is a run-time error naming it.
FARPROC BindEntry(const std::wstring& path, const char* entry) {
  HMODULE library = LoadLibraryExW(path.c_str(), nullptr, 0);
  if (!library) {
    throw RuntimeError(RuntimeErrorKind::kMissingEntry, "File not found: " + Narrow(path));
  }
  FARPROC address = GetProcAddress(library, entry);
  if (!address) {
    throw RuntimeError(RuntimeErrorKind::kMissingEntry,
                       std::string("Can't find DLL entry point ") + entry + " in " + Narrow(path));
  }
  return address;
}

/// Converts an entry's address to its own type.
template <typename Function>
Function EntryAs(FARPROC address) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

/// The full path of |name| in the system directory, so that no copy planted
/// beside the executable or in the working directory is ever loaded.
std::wstring SystemLibraryPath(const wchar_t* name) {
  wchar_t directory[MAX_PATH];
  const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    throw RuntimeError(RuntimeErrorKind::kMissingEntry,
                       "File not found: " + Narrow(name) + " (no system directory)");
  }
  return std::wstring(directory, length) + L"\\" + name;
}

}  // namespace

std::wstring WideString(std::u16string_view text) { return {text.begin(), text.end()}; }
std::u16string U16String(std::wstring_view text) { return {text.begin(), text.end()}; }

Win32Platform::Win32Platform(const wchar_t* command_line)
    : argument_text_(U16String(command_line ? command_line : L"")) {}

std::u16string Win32Platform::ArgumentText() { return argument_text_; }

std::string Win32Platform::ToNarrow(std::u16string_view wide) {
  if (wide.empty()) return {};
  const std::wstring text = WideString(wide);
  const int size = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) {
    WideCharToMultiByte(CP_ACP, 0, text.data(), size, narrow.data(), bytes, nullptr, nullptr);
  }
  return narrow;
}

std::u16string Win32Platform::ToWide(std::string_view narrow) {
  if (narrow.empty()) return {};
  const int size = static_cast<int>(narrow.size());
  const int units = MultiByteToWideChar(CP_ACP, 0, narrow.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
  if (units > 0) MultiByteToWideChar(CP_ACP, 0, narrow.data(), size, wide.data(), units);
  return U16String(wide);
}

std::uint32_t Win32Platform::mciSendStringA(const char* command, char* reply,
                                            std::uint32_t reply_capacity,
                                            std::uintptr_t callback_window) {
  if (!send_) {
    send_ = EntryAs<MciSendStringFunction>(
        BindEntry(SystemLibraryPath(L"winmm.dll"), "mciSendStringA"));
  }
  return send_(command, reply, reply_capacity, reinterpret_cast<HWND>(callback_window));
}

void Win32Platform::Sleep(std::uint32_t milliseconds) {
  if (!sleep_) {
    sleep_ = EntryAs<SleepFunction>(BindEntry(SystemLibraryPath(L"kernel32.dll"), "Sleep"));
  }
  sleep_(milliseconds);
}

void Win32Platform::ReportRuntimeError(const RuntimeError& error) {
  const std::u16string text = ToWide(error.ReportText());
  MessageBoxW(nullptr, WideString(text).c_str(), L"Quorwind",
              MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

void Win32Platform::EndProgram(int exit_status) { ExitProcess(static_cast<UINT>(exit_status)); }

}  // namespace quorwind
