// Lossless conversion between 8-bit UTF-8 text and 16-bit wide text.
#pragma once

#include <string>
#include <string_view>

namespace quorwind {

/// Decodes UTF-8. Each byte that is not part of a valid sequence becomes the
/// lone surrogate U+DC00 + byte (U+DC80 to U+DCFF), so that Utf8FromWide gives
/// the same bytes back. NUL bytes become NUL characters.
std::u16string WideFromUtf8(std::string_view bytes);

/// Encodes wide text as UTF-8; lone surrogates U+DC80 to U+DCFF become the byte
/// they stand for, other lone surrogates their three-byte form.
std::string Utf8FromWide(std::u16string_view wide);

}  // namespace quorwind
