// Copy-back and reading of the length reply, independent of the C locale.
#include "playback/reply.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "playback/runtime_error.h"

namespace quorwind {

void CopyReplyBack(std::u16string_view converted, ReplyBuffer& buffer) {
  const std::size_t kept = std::min(converted.size(), buffer.size());
  std::copy_n(converted.begin(), kept, buffer.begin());
  std::fill(buffer.begin() + kept, buffer.end(), u' ');
}

namespace {

bool IsSkipped(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n'; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

/// Collects the number's characters in plain ASCII, blanks removed: an optional
/// '-', digits, and at most one period with the digits behind it.
std::string CollectNumber(const ReplyBuffer& buffer, bool& any_digit) {
  std::string number;
  bool signed_already = false;
  bool seen_period = false;
  any_digit = false;
  for (char16_t c : buffer) {
    if (IsSkipped(c)) continue;
    if (IsDigit(c)) {
      number.push_back(static_cast<char>(c));
      any_digit = true;
    } else if (c == u'.' && !seen_period) {
      number.push_back('.');
      seen_period = true;
    } else if ((c == u'+' || c == u'-') && !signed_already && number.empty()) {
      if (c == u'-') number.push_back('-');
      signed_already = true;
    } else {
      break;
    }
  }
  return number;
}

}  // namespace

std::int32_t ReadLength(const ReplyBuffer& buffer) {
  bool any_digit = false;
  const std::string number = CollectNumber(buffer, any_digit);
  if (!any_digit) return 0;

  // from_chars reads with the nearest double and never consults the locale.
  double value = 0;
  std::from_chars(number.data(), number.data() + number.size(), value, std::chars_format::fixed);

  double rounded = std::floor(value);
  const double fraction = value - rounded;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0)) rounded += 1;

  if (rounded < -2147483648.0 || rounded > 2147483647.0) {
    throw RuntimeError(RuntimeErrorKind::kOverflow, "Overflow");
  }
  return static_cast<std::int32_t>(rounded);
}

}  // namespace quorwind
