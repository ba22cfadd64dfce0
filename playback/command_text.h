// The media path and the four command texts sent to the media-control service.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorwind {

/// Returns the argument text with every U+0022 removed; nothing else changes.
std::u16string StripQuotes(std::u16string_view argument_text);

/// The only commands the program ever forms.
enum class Command { kOpen, kLengthQuery, kClose, kPlay };

/// The command text for |media_path|: verb, blank, the quoted path, and for the
/// length query a blank and "length" behind the closing quote.
std::u16string CommandText(Command command, std::u16string_view media_path);

/// How many characters of reply the command is sent with: 20 for the length
/// query, 0 for the others.
std::uint32_t ReplyCapacity(Command command);

}  // namespace quorwind
