// Command text parsing.
#include "mci/service/command.h"

#include <algorithm>
#include <optional>

namespace quorwind::mci {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

/// Reads the next word at |pos|; sets |quoted| when it was between quotes.
/// Returns false on an unclosed quote.
bool NextWord(std::string_view text, std::size_t& pos, std::string& word, bool& quoted) {
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  quoted = pos < text.size() && text[pos] == '"';
  if (quoted) {
    const std::size_t close = text.find('"', pos + 1);
    if (close == std::string_view::npos) return false;
    word.assign(text.substr(pos + 1, close - pos - 1));
    pos = close + 1;
    return true;
  }
  const std::size_t start = pos;
  while (pos < text.size() && !IsBlank(text[pos])) ++pos;
  word.assign(text.substr(start, pos - start));
  return true;
}

std::optional<Verb> VerbOf(std::string_view word) {
  if (IsKeyword(word, "open")) return Verb::kOpen;
  if (IsKeyword(word, "status")) return Verb::kStatus;
  if (IsKeyword(word, "close")) return Verb::kClose;
  if (IsKeyword(word, "play")) return Verb::kPlay;
  return std::nullopt;
}

}  // namespace

bool IsKeyword(std::string_view word, std::string_view keyword) {
  return std::equal(word.begin(), word.end(), keyword.begin(), keyword.end(), [](char a, char b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(a) == lower(b);
  });
}

MciError ParseCommand(std::string_view text, ParsedCommand& command) {
  std::size_t pos = 0;
  std::string word;
  bool quoted = false;
  if (!NextWord(text, pos, word, quoted)) return kNoClosingQuote;
  if (word.empty() && !quoted) return kMissingCommandString;
  const std::optional<Verb> verb = quoted ? std::nullopt : VerbOf(word);
  if (!verb) return kUnrecognizedCommand;
  command.verb = *verb;

  if (!NextWord(text, pos, command.device, quoted)) return kNoClosingQuote;
  if (command.device.empty()) return quoted ? kInvalidDeviceName : kMissingDeviceName;

  command.words.clear();
  while (true) {
    if (!NextWord(text, pos, word, quoted)) return kNoClosingQuote;
    if (word.empty() && !quoted) break;
    command.words.push_back(word);
  }
  return kOk;
}

}  // namespace quorwind::mci
