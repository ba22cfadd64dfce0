// POSIX platform operations.
#include "app/platform-posix.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "app/utf8.h"
#include "playback/runtime_error.h"

namespace quorwind {

PosixPlatform::PosixPlatform(int argc, char** argv, std::string module_path)
    : arguments_(argv + (argc > 0 ? 1 : 0), argv + argc), module_path_(std::move(module_path)) {}

PosixPlatform::~PosixPlatform() {
  if (module_) dlclose(module_);
}

std::string PosixPlatform::ModulePathBesideExecutable(const char* executable_link) {
  std::string executable(4096, '\0');
  const ssize_t length = readlink(executable_link, executable.data(), executable.size());
  executable.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  // Never a path from the working directory, where anyone may put a module.
  if (executable.empty() || executable[0] != '/') return "";
  return executable.substr(0, executable.rfind('/')) + "/../lib/quorwind/libquorwind-mci.so";
}

std::u16string PosixPlatform::ArgumentText() {
  std::string joined;
  for (const std::string& argument : arguments_) {
    if (&argument != &arguments_.front()) joined.push_back(' ');
    joined += argument;
  }
  return WideFromUtf8(joined);
}

std::string PosixPlatform::ToNarrow(std::u16string_view wide) { return Utf8FromWide(wide); }

std::u16string PosixPlatform::ToWide(std::string_view narrow) { return WideFromUtf8(narrow); }

std::uint32_t PosixPlatform::mciSendStringA(const char* command, char* reply,
                                            std::uint32_t reply_capacity,
                                            std::uintptr_t callback_window) {
  if (!send_) {
    if (!module_) {
      if (module_path_.empty() || module_path_[0] != '/') {
        throw RuntimeError(
            RuntimeErrorKind::kMissingEntry,
            "Cannot load the media-control module (" +
                (module_path_.empty() ? std::string("the program's own path is unknown")
                                      : module_path_ + " is not an absolute path") +
                ")");
      }
      module_ = dlopen(module_path_.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!module_) {
        const char* reason = dlerror();
        throw RuntimeError(RuntimeErrorKind::kMissingEntry,
                           "Cannot load the media-control module (" +
                               std::string(reason ? reason : module_path_) + ")");
      }
    }
    send_ = reinterpret_cast<mci::MciSendString>(dlsym(module_, "mciSendStringA"));
    if (!send_) {
      throw RuntimeError(RuntimeErrorKind::kMissingEntry,
                         "Entry mciSendStringA not found in " + module_path_);
    }
  }
  return send_(command, reply, reply_capacity, callback_window);
}

void PosixPlatform::Sleep(std::uint32_t milliseconds) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1'000'000;
  if (deadline.tv_nsec >= 1'000'000'000) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1'000'000'000;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

void PosixPlatform::ReportRuntimeError(const RuntimeError& error) {
  std::string line = "quorwind: " + error.ReportText();
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  line.push_back('\n');
  for (std::size_t written = 0; written < line.size();) {
    const ssize_t n = write(STDERR_FILENO, line.data() + written, line.size() - written);
    if (n <= 0 && errno != EINTR) break;
    if (n > 0) written += static_cast<std::size_t>(n);
  }
}

void PosixPlatform::EndProgram(int exit_status) {
  // At once: the playing device and its thread go with the process.
  _exit(exit_status);
}

}  // namespace quorwind
