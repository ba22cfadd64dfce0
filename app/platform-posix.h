// The platform operations on POSIX: arguments, UTF-8, the media-control module
// loaded at the first call, nanosleep, standard error and _exit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mci/mci.h"
#include "playback/platform.h"

namespace quorwind {

class PosixPlatform : public PlaybackPlatform {
 public:
  /// |module_path| is the media-control module, loaded at the first command;
  /// any path but an absolute one is a run-time error then.
  PosixPlatform(int argc, char** argv, std::string module_path);
  ~PosixPlatform() override;
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;

  /// The module's place: lib/quorwind beside the executable's bin directory,
  /// found through |executable_link|; empty when that cannot be read.
  static std::string ModulePathBesideExecutable(const char* executable_link = "/proc/self/exe");

  std::u16string ArgumentText() override;
  std::string ToNarrow(std::u16string_view wide) override;
  std::u16string ToWide(std::string_view narrow) override;
  std::uint32_t mciSendStringA(const char* command, char* reply, std::uint32_t reply_capacity,
                               std::uintptr_t callback_window) override;
  void Sleep(std::uint32_t milliseconds) override;
  void ReportRuntimeError(const RuntimeError& error) override;
  [[noreturn]] void EndProgram(int exit_status) override;

 private:
  std::vector<std::string> arguments_;
  std::string module_path_;
  void* module_ = nullptr;
  mci::MciSendString send_ = nullptr;
};

}  // namespace quorwind
