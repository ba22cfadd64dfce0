// Tests of the play-and-wait sequence against a recording fake platform.
#include "playback/play_and_wait.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "playback/runtime_error.h"

namespace quorwind {
namespace {

/// Thrown by the fake's EndProgram so that the test regains control.
struct ProgramEnded {
  int status;
};

/// A caption holder like a label; it can be made to fail or to drift.
class FakeLabel : public CaptionHolder {
 public:
  void SetCaption(std::u16string_view caption) override {
    if (fail_set) throw RuntimeError(RuntimeErrorKind::kCaptionAccess, "caption");
    caption_ = caption;
  }
  std::u16string GetCaption() const override {
    ++reads;
    if (fail_get) throw RuntimeError(RuntimeErrorKind::kCaptionAccess, "caption");
    return on_get ? on_get(caption_, reads) : caption_;
  }

  bool fail_set = false;
  bool fail_get = false;
  /// When set, what a read returns, from the stored caption and the read's number.
  std::function<std::u16string(const std::u16string&, int)> on_get;
  mutable int reads = 0;

 private:
  std::u16string caption_ = u"Label1";
};

struct MciCall {
  std::string command;  // bytes before the terminating NUL
  bool reply_given;
  std::uint32_t capacity;
  std::uintptr_t callback;
};

/// Records every platform call in order, as text events and structured calls.
class RecordingPlatform : public PlaybackPlatform {
 public:
  std::u16string ArgumentText() override {
    events.push_back("args");
    return argument_text;
  }
  /// A one-byte code page: characters above U+00FF become '?'.
  std::string ToNarrow(std::u16string_view wide) override {
    std::string narrow;
    for (char16_t c : wide) narrow.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
    return narrow;
  }
  std::u16string ToWide(std::string_view narrow) override {
    if (to_wide) return to_wide(narrow);
    std::u16string wide;
    for (char c : narrow) wide.push_back(static_cast<unsigned char>(c));
    return wide;
  }
  std::uint32_t mciSendStringA(const char* command, char* reply, std::uint32_t capacity,
                               std::uintptr_t callback) override {
    if (missing_mci) throw RuntimeError(RuntimeErrorKind::kMissingEntry, "winmm.dll");
    calls.push_back({command, reply != nullptr, capacity, callback});
    events.push_back("mci " + std::string(command));
    if (capacity > 0) {
      // The service writes at most |capacity| bytes, including its NUL.
      EXPECT_EQ(std::string(reply, capacity), std::string(capacity, '\0'));
      std::memcpy(reply, length_reply.data(), std::min<std::size_t>(length_reply.size(), capacity));
    }
    return 263;  // an error code, which must change nothing
  }
  void Sleep(std::uint32_t milliseconds) override {
    sleeps.push_back(milliseconds);
    events.push_back("sleep " + std::to_string(milliseconds));
  }
  void ReportRuntimeError(const RuntimeError& error) override {
    reports.push_back(error.ReportText());
    events.push_back("report");
  }
  [[noreturn]] void EndProgram(int exit_status) override {
    events.push_back("end " + std::to_string(exit_status));
    throw ProgramEnded{exit_status};
  }

  std::u16string argument_text;
  std::string length_reply;  // bytes written into the reply buffer
  bool missing_mci = false;
  std::function<std::u16string(std::string_view)> to_wide;

  std::vector<std::string> events;
  std::vector<MciCall> calls;
  std::vector<std::uint32_t> sleeps;
  std::vector<std::string> reports;
};

int RunToEnd(FakeLabel& label, RecordingPlatform& platform) {
  try {
    PlayAndWait(label, platform);
  } catch (const ProgramEnded& ended) {
    return ended.status;
  }
  ADD_FAILURE() << "PlayAndWait returned";
  return -1;
}

std::vector<std::string> Commands(const RecordingPlatform& platform) {
  std::vector<std::string> commands;
  for (const MciCall& call : platform.calls) commands.push_back(call.command);
  return commands;
}

TEST(PlayAndWaitTest, FourCommandsThenOneSleepThenTheEnd) {
  FakeLabel label;
  RecordingPlatform platform;
  platform.argument_text = u"\"C:\\Media\\a b.wav\"";
  platform.length_reply = std::string("500\0", 4);

  EXPECT_EQ(RunToEnd(label, platform), kExitPlayed);
  EXPECT_EQ(platform.events, (std::vector<std::string>{
                                 "args",
                                 "mci open \"C:\\Media\\a b.wav\"",
                                 "mci status \"C:\\Media\\a b.wav\" length",
                                 "mci close \"C:\\Media\\a b.wav\"",
                                 "mci play \"C:\\Media\\a b.wav\"",
                                 "sleep 500",
                                 "end 0",
                             }));
  const std::uint32_t capacities[] = {0, 20, 0, 0};
  for (std::size_t i = 0; i < platform.calls.size(); ++i) {
    EXPECT_TRUE(platform.calls[i].reply_given);
    EXPECT_EQ(platform.calls[i].capacity, capacities[i]);
    EXPECT_EQ(platform.calls[i].callback, 0u);
  }
  EXPECT_EQ(label.GetCaption(), u"C:\\Media\\a b.wav");
}

TEST(PlayAndWaitTest, NothingPlayableStillSendsAllFourAndWaitsZero) {
  for (std::u16string argument : {u"", u"missing.wav", u"\"\""}) {
    FakeLabel label;
    RecordingPlatform platform;
    platform.argument_text = argument;  // the service leaves the reply all NUL
    EXPECT_EQ(RunToEnd(label, platform), kExitNothingPlayed);
    ASSERT_EQ(platform.calls.size(), 4u);
    EXPECT_EQ(platform.sleeps, std::vector<std::uint32_t>{0});
    EXPECT_TRUE(platform.reports.empty());
  }
  FakeLabel label;
  RecordingPlatform platform;
  RunToEnd(label, platform);
  EXPECT_EQ(Commands(platform)[0], "open \"\"");
  EXPECT_EQ(label.GetCaption(), u"");
}

TEST(PlayAndWaitTest, LengthIsRoundedAndNegativeWaitsZero) {
  struct Case {
    std::string reply;
    std::uint32_t sleep;
    int status;
  };
  const Case cases[] = {
      {"12.5", 12, kExitPlayed},
      {"13.5", 14, kExitPlayed},
      {" 150", 150, kExitPlayed},
      {"-1", 0, kExitNothingPlayed},
      {"-2147483648", 0, kExitNothingPlayed},
      {"0.4", 0, kExitNothingPlayed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    FakeLabel label;
    RecordingPlatform platform;
    platform.argument_text = u"a.wav";
    platform.length_reply = c.reply;
    EXPECT_EQ(RunToEnd(label, platform), c.status);
    EXPECT_EQ(platform.sleeps, std::vector<std::uint32_t>{c.sleep});
  }
}

TEST(PlayAndWaitTest, OverflowReportsAfterPlayAndSkipsTheWait) {
  FakeLabel label;
  RecordingPlatform platform;
  platform.argument_text = u"a.wav";
  platform.length_reply = "2147483648";

  EXPECT_EQ(RunToEnd(label, platform), kExitRuntimeError);
  EXPECT_EQ(platform.calls.size(), 4u);
  EXPECT_EQ(platform.events.back(), "end 2");
  EXPECT_EQ(platform.events[platform.events.size() - 2], "report");
  EXPECT_EQ(platform.events[platform.events.size() - 3], "mci play \"a.wav\"");
  EXPECT_TRUE(platform.sleeps.empty());
  EXPECT_EQ(platform.reports, std::vector<std::string>{"Run-time error: Overflow"});
}

TEST(PlayAndWaitTest, CaptionOrLibraryFailureEndsAtOnceWithTheReport) {
  {
    FakeLabel label;
    label.fail_set = true;
    RecordingPlatform platform;
    EXPECT_EQ(RunToEnd(label, platform), kExitRuntimeError);
    EXPECT_TRUE(platform.calls.empty());
    EXPECT_EQ(platform.events, (std::vector<std::string>{"args", "report", "end 2"}));
  }
  {
    FakeLabel label;
    label.fail_get = true;
    RecordingPlatform platform;
    EXPECT_EQ(RunToEnd(label, platform), kExitRuntimeError);
    EXPECT_TRUE(platform.calls.empty());
    EXPECT_TRUE(platform.sleeps.empty());
  }
  {
    FakeLabel label;
    RecordingPlatform platform;
    platform.missing_mci = true;
    EXPECT_EQ(RunToEnd(label, platform), kExitRuntimeError);
    EXPECT_EQ(platform.events, (std::vector<std::string>{"args", "report", "end 2"}));
    EXPECT_EQ(platform.reports, std::vector<std::string>{"Run-time error: winmm.dll"});
  }
}

TEST(PlayAndWaitTest, CaptionIsTheOnlyStoreOfThePath) {
  // Each read of the caption returns a different text: each command must carry
  // exactly what its own read returned, the length query the first read.
  FakeLabel label;
  label.on_get = [](const std::u16string& stored, int read) {
    return stored + u"#" + static_cast<char16_t>(u'0' + read);
  };
  RecordingPlatform platform;
  platform.argument_text = u"x";
  RunToEnd(label, platform);
  EXPECT_EQ(Commands(platform), (std::vector<std::string>{
                                    "open \"x#2\"",
                                    "status \"x#1\" length",
                                    "close \"x#3\"",
                                    "play \"x#4\"",
                                }));
  EXPECT_EQ(label.reads, 4);
}

TEST(PlayAndWaitTest, ShortConvertedReplyLeavesBlanksBehindIt) {
  // A code page in which the reply's bytes convert to fewer characters: the
  // rest of the buffer is blanks, which the reading skips, so the digits that
  // came back are the whole number.
  FakeLabel label;
  RecordingPlatform platform;
  platform.argument_text = u"a.wav";
  platform.length_reply = "1234";
  std::string seen;
  platform.to_wide = [&seen](std::string_view narrow) {
    seen = std::string(narrow);
    return std::u16string(u"98");
  };
  EXPECT_EQ(RunToEnd(label, platform), kExitPlayed);
  EXPECT_EQ(seen, std::string("1234") + std::string(16, '\0'));  // all 20 bytes converted
  EXPECT_EQ(platform.sleeps, std::vector<std::uint32_t>{98});

  platform = RecordingPlatform{};
  platform.argument_text = u"a.wav";
  // A longer one is cut at 20: the digits behind the cut would overflow.
  platform.to_wide = [](std::string_view) { return std::u16string(u"1 2 3 4 5 6 7 8 9 0 1 2"); };
  EXPECT_EQ(RunToEnd(label, platform), kExitPlayed);
  EXPECT_EQ(platform.sleeps, std::vector<std::uint32_t>{1234567890});
}

TEST(PlayAndWaitTest, UnrepresentableCharactersArriveAsTheConversionLeavesThem) {
  FakeLabel label;
  RecordingPlatform platform;
  platform.argument_text = u"\"\u00e9\u266b.wav\"";
  RunToEnd(label, platform);
  EXPECT_EQ(Commands(platform)[0], "open \"\xe9?.wav\"");
  EXPECT_EQ(label.GetCaption(), u"\u00e9\u266b.wav");
}

}  // namespace
}  // namespace quorwind
