// Parsing of the command texts the service understands.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mci/mci.h"

namespace quorwind::mci {

enum class Verb { kOpen, kStatus, kClose, kPlay };

/// One parsed command: the verb, the device (element) name and the words after it.
struct ParsedCommand {
  Verb verb = Verb::kOpen;
  std::string device;
  std::vector<std::string> words;
};

/// Splits |text| into verb, device name and words. Words are separated by blanks
/// or tabs; a word starting with a double quote runs to the next double quote.
/// Verbs are matched in any case. Returns kOk or the error that |text| earns:
/// an empty text, an unknown verb, a missing or empty name, an unclosed quote.
MciError ParseCommand(std::string_view text, ParsedCommand& command);

/// True when |word| equals |keyword| ignoring ASCII case.
bool IsKeyword(std::string_view word, std::string_view keyword);

}  // namespace quorwind::mci
