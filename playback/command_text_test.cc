// Tests of the media path and the command texts.
#include "playback/command_text.h"

#include <gtest/gtest.h>

namespace quorwind {
namespace {

TEST(StripQuotesTest, RemovesEveryDoubleQuoteAndNothingElse) {
  struct Case {
    std::u16string argument;
    std::u16string path;
  };
  const Case cases[] = {
      {u"\"C:\\My Music\\a.wav\"", u"C:\\My Music\\a.wav"},
      {u"C:\\My Music\\a.wav", u"C:\\My Music\\a.wav"},
      {u"a.wav b.wav", u"a.wav b.wav"},
      {u"a\"b\"\"c", u"abc"},
      {u"  \" padded \"  ", u"   padded   "},
      {u"\uFF02wide\uFF02 \u201Ctypo\u201D", u"\uFF02wide\uFF02 \u201Ctypo\u201D"},
      {u"\"\"", u""},
      {u"", u""},
      {u"Caf\u00e9 \U0001F3B5.wav", u"Caf\u00e9 \U0001F3B5.wav"},
  };
  for (const Case& c : cases) EXPECT_EQ(StripQuotes(c.argument), c.path);
}

TEST(CommandTextTest, QuotesThePathBetweenPrefixAndSuffix) {
  EXPECT_EQ(CommandText(Command::kOpen, u"a b.wav"), u"open \"a b.wav\"");
  EXPECT_EQ(CommandText(Command::kLengthQuery, u"a b.wav"), u"status \"a b.wav\" length");
  EXPECT_EQ(CommandText(Command::kClose, u"a b.wav"), u"close \"a b.wav\"");
  EXPECT_EQ(CommandText(Command::kPlay, u"a b.wav"), u"play \"a b.wav\"");
}

}  // namespace
}  // namespace quorwind
