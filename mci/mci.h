// The media-control entry this module exports, with the error codes it returns.
#pragma once

#include <cstdint>

namespace quorwind::mci {

/// Error codes, numbered as the media-control interface numbers them.
enum MciError : std::uint32_t {
  kOk = 0,
  kUnrecognizedKeyword = 259,
  kUnrecognizedCommand = 261,
  kInvalidDeviceName = 263,
  kOutOfMemory = 264,
  kDeviceOpen = 265,
  kMissingCommandString = 267,
  kParamOverflow = 268,
  kMissingParameter = 273,
  kFileNotFound = 275,
  kDeviceNotReady = 276,
  kInternal = 277,
  kMissingDeviceName = 292,
  kNoClosingQuote = 294,
  kInvalidFile = 296,
  kDeviceNotInstalled = 306,
};

}  // namespace quorwind::mci

extern "C" {
/// Executes one command text. |reply| receives at most |reply_capacity| bytes,
/// NUL included; |callback_window| is accepted and not used (no command sent
/// here asks for a notification). Returns 0 or one of the codes above.
__attribute__((visibility("default"))) std::uint32_t mciSendStringA(const char* command,
                                                                    char* reply,
                                                                    std::uint32_t reply_capacity,
                                                                    std::uintptr_t callback_window);
}

namespace quorwind::mci {
/// The entry's type, for those that look it up in the module.
using MciSendString = decltype(&mciSendStringA);
}  // namespace quorwind::mci
