// Copy-back and reading of the length reply, independent of the C locale.
#include "playback/reply.h"

#include <algorithm>
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

/// The number as read: sign, integer digits and fraction digits, without
/// leading zeros of the integer part.
struct DecimalNumber {
  bool negative = false;
  std::string integer;
  std::string fraction;
  bool any_digit = false;
};

DecimalNumber Collect(const ReplyBuffer& buffer) {
  DecimalNumber number;
  bool signed_already = false;
  bool seen_period = false;
  for (char16_t c : buffer) {
    if (IsSkipped(c)) continue;
    if (IsDigit(c)) {
      const char digit = static_cast<char>(c);
      if (seen_period) {
        number.fraction.push_back(digit);
      } else if (!number.integer.empty() || digit != '0') {
        number.integer.push_back(digit);
      }
      number.any_digit = true;
    } else if (c == u'.' && !seen_period) {
      seen_period = true;
    } else if ((c == u'+' || c == u'-') && !signed_already && !number.any_digit && !seen_period) {
      number.negative = c == u'-';
      signed_already = true;
    } else {
      break;
    }
  }
  return number;
}

std::uint64_t PowerOfTen(std::size_t exponent) {
  std::uint64_t power = 1;
  while (exponent-- > 0) power *= 10;
  return power;
}

int FloorLog2(std::uint64_t value) {
  int log = -1;
  for (; value != 0; value >>= 1) ++log;
  return log;
}

/// Whether the magnitude |integer| + 0.fraction rounds to the integer above,
/// as it would when first read into the nearest 64-bit double and then rounded
/// half to even. Only a fraction near one half can differ from exact decimal
/// rounding: the double reads it as exactly one half when it lies within half
/// a unit in the last place of the double, and the tie goes to the even side.
bool RoundsUp(std::uint64_t integer, const std::string& fraction) {
  const std::size_t digits = std::min<std::size_t>(fraction.size(), 19);
  if (digits == 0) return false;
  std::uint64_t scaled = 0;  // the fraction times 10^digits
  for (std::size_t i = 0; i < digits; ++i) scaled = scaled * 10 + (fraction[i] - '0');
  const bool beyond = fraction.find_first_not_of('0', digits) != std::string::npos;
  const std::uint64_t unit = PowerOfTen(digits);  // one, scaled
  const std::uint64_t half = unit / 2;            // exact: digits >= 1 here

  // Distance from one half, scaled; |beyond| adds a sliver above |scaled|.
  const bool above = scaled > half || (scaled == half && beyond);
  const std::uint64_t distance = above ? scaled - half : half - scaled;

  // The double's exponent near the value, and so half its unit in the last place:
  // 2^(exponent - 53). The distance is within it when distance * 2^(53 - exponent)
  // <= unit, i.e. distance <= unit >> (53 - exponent).
  const int exponent = integer != 0 ? FloorLog2(integer) : (above || distance == 0 ? -1 : -2);
  const int shift = 53 - exponent;
  const std::uint64_t half_ulp = shift >= 64 ? 0 : unit >> shift;
  const bool reads_as_half = distance <= half_ulp;
  if (reads_as_half) return integer % 2 == 1;
  return above;
}

}  // namespace

std::int32_t ReadLength(const ReplyBuffer& buffer) {
  const DecimalNumber number = Collect(buffer);
  if (!number.any_digit) return 0;

  // More than ten significant integer digits is beyond 2^31 whatever follows.
  if (number.integer.size() > 10) throw RuntimeError(RuntimeErrorKind::kOverflow, "Overflow");
  std::uint64_t magnitude = 0;
  for (char digit : number.integer) magnitude = magnitude * 10 + (digit - '0');
  if (RoundsUp(magnitude, number.fraction)) ++magnitude;

  const std::uint64_t limit = number.negative ? 2147483648u : 2147483647u;
  if (magnitude > limit) throw RuntimeError(RuntimeErrorKind::kOverflow, "Overflow");
  return number.negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                         : static_cast<std::int32_t>(magnitude);
}

}  // namespace quorwind
