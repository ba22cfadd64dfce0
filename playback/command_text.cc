// Media path and command texts.
#include "playback/command_text.h"

#include <algorithm>

#include "playback/reply.h"

namespace quorwind {

std::u16string StripQuotes(std::u16string_view argument_text) {
  std::u16string path;
  path.reserve(argument_text.size());
  std::copy_if(argument_text.begin(), argument_text.end(), std::back_inserter(path),
               [](char16_t c) { return c != u'"'; });
  return path;
}

namespace {

struct Affixes {
  std::u16string_view prefix;
  std::u16string_view suffix;
};

Affixes AffixesOf(Command command) {
  switch (command) {
    case Command::kOpen:
      return {u"open \"", u"\""};
    case Command::kLengthQuery:
      return {u"status \"", u"\" length"};
    case Command::kClose:
      return {u"close \"", u"\""};
    case Command::kPlay:
      break;
  }
  return {u"play \"", u"\""};
}

}  // namespace

std::u16string CommandText(Command command, std::u16string_view media_path) {
  const Affixes affixes = AffixesOf(command);
  std::u16string text;
  text.reserve(affixes.prefix.size() + media_path.size() + affixes.suffix.size());
  text.append(affixes.prefix).append(media_path).append(affixes.suffix);
  return text;
}

std::uint32_t ReplyCapacity(Command command) {
  return command == Command::kLengthQuery ? kReplyLength : 0;
}

}  // namespace quorwind
