// The length reply: its 20-character buffer and the reading of the number in it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorwind {

/// Characters in the reply buffer of the length query.
inline constexpr std::size_t kReplyLength = 20;

/// The reply buffer; value-initialised it holds 20 NUL characters.
using ReplyBuffer = std::array<char16_t, kReplyLength>;

/// Copies a converted reply into |buffer| from its start. A shorter reply leaves
/// the rest of the buffer blanks; a longer one is cut at the buffer's length.
void CopyReplyBack(std::u16string_view converted, ReplyBuffer& buffer);

/// Reads the millisecond count from the reply: decimal digits with at most one
/// period and fraction digits; blanks, tabs and line feeds are skipped wherever
/// they stand; a '+' or '-' before the first digit is the sign; reading stops at
/// the first character that cannot continue the number (exponents and radix
/// prefixes are not read). No digit reads as 0. The value is rounded half to even.
/// Throws RuntimeError(kOverflow) when the rounded value does not fit in 32 bits.
std::int32_t ReadLength(const ReplyBuffer& buffer);

}  // namespace quorwind
