// UTF-8 with escaped undecodable bytes.
#include "app/utf8.h"

namespace quorwind {

namespace {

/// Length of the valid UTF-8 sequence at |bytes|[i] and its code point, or 0.
std::size_t DecodeOne(std::string_view bytes, std::size_t i, char32_t& code_point) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[i + k]); };
  const unsigned char lead = byte(0);
  std::size_t length;
  char32_t minimum;
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, code_point = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, code_point = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > bytes.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0;
    code_point = (code_point << 6) | (byte(k) & 0x3F);
  }
  const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
  if (code_point < minimum || code_point > 0x10FFFF || surrogate) return 0;
  return length;
}

void AppendUtf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

}  // namespace

std::u16string WideFromUtf8(std::string_view bytes) {
  std::u16string wide;
  wide.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t code_point = 0;
    const std::size_t length = DecodeOne(bytes, i, code_point);
    if (length == 0) {
      wide.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[i])));
      ++i;
      continue;
    }
    if (code_point >= 0x10000) {
      code_point -= 0x10000;
      wide.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
      wide.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
    } else {
      wide.push_back(static_cast<char16_t>(code_point));
    }
    i += length;
  }
  return wide;
}

std::string Utf8FromWide(std::u16string_view wide) {
  std::string bytes;
  bytes.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const char16_t unit = wide[i];
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    if (high && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      AppendUtf8(bytes, 0x10000 + ((unit - 0xD800) << 10) + (wide[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
      bytes.push_back(static_cast<char>(unit - 0xDC00));
    } else {
      AppendUtf8(bytes, unit);
    }
  }
  return bytes;
}

}  // namespace quorwind
