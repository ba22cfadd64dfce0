// Modules of the service kept in files of their own beside it, loaded only
// when a file or the sound system needs them.
#pragma once

#include <cstdint>

namespace quorwind::mci {

/// The version of the interface between the service and its modules: the
/// C++ classes they pass, built against separately linked runtimes. Raised
/// whenever Decoder, FrameSource or AudioOutput change.
inline constexpr std::uint32_t kModuleAbiVersion = 2;

/// The entry |symbol| of the module file |name|, loaded by absolute path from
/// this module's directory (never from the library search path), or null
/// when the module, one of its libraries, or a matching ABI version is
/// missing. A loaded module stays loaded.
void* LoadModuleEntry(const char* name, const char* symbol);

}  // namespace quorwind::mci

/// Exported by every output module: its ABI version and QuorwindCreateOutput,
/// which makes an |OutputClass| (null when that throws), owned by the caller.
#define QUORWIND_OUTPUT_MODULE(OutputClass)                                     \
  QUORWIND_MODULE_ABI;                                                          \
  extern "C" __attribute__((visibility("default"))) quorwind::mci::AudioOutput* \
  QuorwindCreateOutput() noexcept {                                             \
    try {                                                                       \
      return new OutputClass();                                                 \
    } catch (...) {                                                             \
      return nullptr;                                                           \
    }                                                                           \
  }

/// Exported by every module: the kModuleAbiVersion it was built with.
#define QUORWIND_MODULE_ABI                                                                 \
  extern "C" __attribute__((visibility("default"))) const std::uint32_t QuorwindModuleAbi = \
      quorwind::mci::kModuleAbiVersion
