// Tests of the lossless UTF-8 conversion.
#include "app/utf8.h"

#include <gtest/gtest.h>

namespace quorwind {
namespace {

TEST(Utf8Test, ValidTextConvertsBothWays) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"plain.wav", u"plain.wav"},
      {"caf\xc3\xa9", u"caf\u00e9"},
      {"\xe2\x99\xab \xef\xbc\x82", u"\u266b \uff02"},
      {"\xf0\x9f\x8e\xb5", u"\U0001F3B5"},
      {std::string("7\0\0", 3), std::u16string(u"7\0\0", 3)},
  };
  for (const auto& [bytes, wide] : cases) {
    EXPECT_EQ(WideFromUtf8(bytes), wide);
    EXPECT_EQ(Utf8FromWide(wide), bytes);
  }
}

TEST(Utf8Test, InvalidBytesSurviveTheRoundTrip) {
  const std::string cases[] = {
      "latin1-\xe9t\xe9.wav",      // single high bytes
      "\xc3",                      // truncated sequence at the end
      "\xc0\xaf",                  // overlong slash
      "\xed\xa0\x80\xed\xb2\x80",  // encoded surrogates
      "\xf4\x90\x80\x80",          // beyond U+10FFFF
      "\xff\xfe\x80\xbf",
      "ok\xf0\x9f\x8e\xb5\xdc\x80",  // a valid pair followed by bytes that look escaped
  };
  for (const std::string& bytes : cases) {
    const std::u16string wide = WideFromUtf8(bytes);
    EXPECT_EQ(Utf8FromWide(wide), bytes);
  }
  EXPECT_EQ(WideFromUtf8("\xe9"), u"\xdce9");
}

}  // namespace
}  // namespace quorwind
