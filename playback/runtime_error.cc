// Report text of the program's run-time error.
#include "playback/runtime_error.h"

namespace quorwind {

std::string RuntimeError::ReportText() const {
  std::string detail = what();
  return detail.empty() ? "Run-time error" : "Run-time error: " + detail;
}

}  // namespace quorwind
