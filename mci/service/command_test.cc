// Tests of command text parsing.
#include "mci/service/command.h"

#include <gtest/gtest.h>

namespace quorwind::mci {
namespace {

TEST(ParseCommandTest, ReadsVerbNameAndWordsInAnyCase) {
  struct Case {
    std::string text;
    Verb verb;
    std::string device;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"open \"/tmp/a b.wav\"", Verb::kOpen, "/tmp/a b.wav", {}},
      {"OPEN /tmp/a.wav", Verb::kOpen, "/tmp/a.wav", {}},
      {"  Status\t\"x.wav\"   LENGTH ", Verb::kStatus, "x.wav", {"LENGTH"}},
      {"status \"x.wav\"length", Verb::kStatus, "x.wav", {"length"}},
      {"close \"C:\\Music\\\u00e9.mp3\"", Verb::kClose, "C:\\Music\\\u00e9.mp3", {}},
      {"pLaY 'q'", Verb::kPlay, "'q'", {}},
      {"play \"a\" \"b c\" d", Verb::kPlay, "a", {"b c", "d"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ParsedCommand command;
    ASSERT_EQ(ParseCommand(c.text, command), kOk);
    EXPECT_EQ(command.verb, c.verb);
    EXPECT_EQ(command.device, c.device);
    EXPECT_EQ(command.words, c.words);
  }
}

TEST(ParseCommandTest, RejectsWhatItDoesNotUnderstand) {
  const std::pair<std::string, MciError> cases[] = {
      {"", kMissingCommandString},
      {"   \t ", kMissingCommandString},
      {"stop \"a.wav\"", kUnrecognizedCommand},
      {"opens a.wav", kUnrecognizedCommand},
      {"\"open\" a.wav", kUnrecognizedCommand},
      {"open", kMissingDeviceName},
      {"open   ", kMissingDeviceName},
      {"open \"\"", kInvalidDeviceName},
      {"open \"a.wav", kNoClosingQuote},
      {"status \"a.wav\" \"length", kNoClosingQuote},
      {"\"", kNoClosingQuote},
  };
  for (const auto& [text, error] : cases) {
    SCOPED_TRACE(text);
    ParsedCommand command;
    EXPECT_EQ(ParseCommand(text, command), error);
  }
}

}  // namespace
}  // namespace quorwind::mci
