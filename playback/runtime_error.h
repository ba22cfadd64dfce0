// The one typed error of the program: a run-time error that ends the sequence.
#pragma once

#include <stdexcept>
#include <string>

namespace quorwind {

/// What went wrong; the shell's error report names it.
enum class RuntimeErrorKind {
  kOverflow,       ///< The length reply does not fit a signed 32-bit count.
  kCaptionAccess,  ///< The caption holder could not be set or read.
  kMissingEntry,   ///< A platform library or entry could not be found at its first call.
  kWindowSystem,   ///< The window system refused the main window or its controls.
};

/// Thrown by the text work and by platform bindings; caught once, in PlayAndWait.
class RuntimeError : public std::runtime_error {
 public:
  RuntimeError(RuntimeErrorKind kind, const std::string& detail)
      : std::runtime_error(detail), kind_(kind) {}

  RuntimeErrorKind kind() const { return kind_; }

  /// The full text of the report, e.g. "Run-time error: Overflow".
  std::string ReportText() const;

 private:
  RuntimeErrorKind kind_;
};

}  // namespace quorwind
