// Tests of the length reply: copy-back and the reading of the number.
#include "playback/reply.h"

#include <gtest/gtest.h>

#include <charconv>
#include <clocale>
#include <cmath>
#include <random>
#include <string>

#include "playback/runtime_error.h"

namespace quorwind {
namespace {

/// A reply as the service leaves it: the text, then NULs to the end.
ReplyBuffer Reply(std::u16string_view text) {
  ReplyBuffer buffer{};
  std::copy_n(text.begin(), std::min(text.size(), buffer.size()), buffer.begin());
  return buffer;
}

TEST(ReadLengthTest, ReadsTheNumberAtTheStart) {
  struct Case {
    std::u16string reply;
    std::int32_t length;
  };
  const Case cases[] = {
      {u"750", 750},
      {u"", 0},
      {u" 150", 150},
      {u"1 2", 12},
      {u"\t1\n2 . 5 ", 12},
      {u"12.5", 12},
      {u"13.5", 14},
      {u"0.5", 0},
      {u"1.5", 2},
      {u"2.5000001", 3},
      {u"2.4999999", 2},
      {u"3000.", 3000},
      {u".6", 1},
      {u"00042", 42},
      {u"12abc", 12},
      {u"1.2.3", 1},
      {u"1e5", 1},
      {u"0x1A", 0},
      {u"017", 17},
      {u"abc", 0},
      {u".", 0},
      {u"\r150", 0},
      {u"1,5", 1},
      {u"2147483647", 2147483647},
      {u"2147483647.4", 2147483647},
      {u"-2147483648", -2147483647 - 1},
      {u"+ 40", 40},
      {u"- 40", -40},
      {u"-2.5", -2},
      {u"--5", 0},
      {u"5-", 5},
      {u"4+", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.reply.begin(), c.reply.end()));
    EXPECT_EQ(ReadLength(Reply(c.reply)), c.length);
  }
}

TEST(ReadLengthTest, NearHalvesRoundAsTheNearestDoubleDoes) {
  // Within half a unit in the last place of a double, a value reads as
  // exactly one half, and the tie goes to the even side.
  struct Case {
    std::u16string reply;
    std::int32_t length;
  };
  const Case cases[] = {
      {u"0.500000000000000001", 0},         {u"2.500000000000000001", 2},
      {u"3.499999999999999999", 4},         {u"0.49999999999999999", 0},
      {u"0.4999999999999999999", 0},        {u"0.50000000000001", 1},
      {u"1000000.4999999999", 1000000},     {u"1000001.49999999999", 1000002},
      {u"2147483646.50000001", 2147483646},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.reply.begin(), c.reply.end()));
    EXPECT_EQ(ReadLength(Reply(c.reply)), c.length);
  }
}

TEST(ReadLengthTest, AgreesWithReadingIntoADoubleThenRounding) {
  // Reference: the nearest double (from_chars), rounded half to even.
  std::mt19937_64 random(20261207);
  const auto digits = [&](int count, bool near_half) {
    std::string text;
    for (int i = 0; i < count; ++i) {
      const bool pattern = near_half && i > 0;
      text.push_back(
          static_cast<char>('0' + (pattern ? (random() % 3 == 0 ? 9 : 0) : random() % 10)));
    }
    if (near_half && !text.empty()) text[0] = random() % 2 ? '5' : '4';
    return text;
  };
  for (int round = 0; round < 200000; ++round) {
    const int integer_digits = static_cast<int>(random() % 11);
    const int fraction_digits = static_cast<int>(random() % (19 - integer_digits));
    std::string text = random() % 4 == 0 ? "-" : "";
    text += digits(integer_digits, false);
    text += '.';
    text += digits(fraction_digits, random() % 2 == 0);
    if (text.find_first_of("0123456789") == std::string::npos) continue;
    double value = 0;
    std::from_chars(text.data() + (text[0] == '-'), text.data() + text.size(), value);
    if (text[0] == '-') value = -value;
    const double rounded = std::nearbyint(value);
    SCOPED_TRACE(text);
    const ReplyBuffer buffer = Reply(std::u16string(text.begin(), text.end()));
    if (rounded < -2147483648.0 || rounded > 2147483647.0) {
      EXPECT_THROW(ReadLength(buffer), RuntimeError);
    } else {
      ASSERT_EQ(ReadLength(buffer), static_cast<std::int32_t>(rounded));
    }
  }
}

TEST(ReadLengthTest, StopsAtTheNulThatEndsTheReply) {
  ReplyBuffer buffer = Reply(u"12");
  buffer[3] = u'9';  // behind the NUL at [2]: never part of the value
  EXPECT_EQ(ReadLength(buffer), 12);
}

TEST(ReadLengthTest, ReadsAllTwentyCharactersWithoutATerminator) {
  ReplyBuffer buffer;
  buffer.fill(u'0');
  buffer.back() = u'7';
  EXPECT_EQ(ReadLength(buffer), 7);
}

TEST(ReadLengthTest, OutOfRangeIsAnOverflow) {
  for (std::u16string reply :
       {u"2147483648", u"2147483647.5", u"-2147483649", u"99999999999999999999"}) {
    SCOPED_TRACE(std::string(reply.begin(), reply.end()));
    try {
      ReadLength(Reply(reply));
      ADD_FAILURE() << "no overflow";
    } catch (const RuntimeError& error) {
      EXPECT_EQ(error.kind(), RuntimeErrorKind::kOverflow);
      EXPECT_EQ(error.ReportText(), "Run-time error: Overflow");
    }
  }
}

TEST(ReadLengthTest, PeriodIsTheSeparatorWhateverTheLocale) {
  // A comma-decimal locale must not change the reading, where one is installed.
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE", "German"}) {
    if (std::setlocale(LC_NUMERIC, name)) break;
  }
  EXPECT_EQ(ReadLength(Reply(u"12.5")), 12);
  EXPECT_EQ(ReadLength(Reply(u"1,5")), 1);
  EXPECT_EQ(ReadLength(Reply(u"1.75")), 2);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(CopyReplyBackTest, ShorterReplyLeavesBlanksLongerIsCut) {
  ReplyBuffer buffer{};
  CopyReplyBack(u"12", buffer);
  EXPECT_EQ(std::u16string(buffer.begin(), buffer.end()), u"12" + std::u16string(18, u' '));
  EXPECT_EQ(ReadLength(buffer), 12);

  CopyReplyBack(u"123456789012345678901234", buffer);
  EXPECT_EQ(std::u16string(buffer.begin(), buffer.end()), u"12345678901234567890");
}

}  // namespace
}  // namespace quorwind
