// Randomized properties of the Win32 text conversions, with a fixed seed.
#include "app/platform-win32.h"

#include "app/form1-win32.h"
#include "playback/runtime_error.h"

#include <gtest/gtest.h>

#include <random>

#include "playback/reply.h"

namespace quorwind {
namespace {

class Win32TextTest : public testing::Test {
 protected:
  /// Whether the ANSI code page maps |c| to a byte sequence and back.
  static bool Representable(wchar_t c) {
    BOOL used_default = FALSE;
    char bytes[8];
    return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &c, 1, bytes, sizeof bytes, nullptr,
                               &used_default) > 0 &&
           !used_default;
  }

  Win32Platform platform_{L""};
  std::mt19937 random_{20261208};
};

TEST_F(Win32TextTest, RepresentableTextSurvivesTheCodePageWithItsNuls) {
  std::vector<char16_t> alphabet = {u'\0', u'"', u' ', u'\\'};
  for (char16_t c = 1; c < 0xd800; ++c) {
    if (Representable(static_cast<wchar_t>(c))) alphabet.push_back(c);
  }
  for (int round = 0; round < 2000; ++round) {
    std::u16string text(random_() % 64, u'\0');
    for (char16_t& c : text) c = alphabet[random_() % alphabet.size()];
    ASSERT_EQ(platform_.ToWide(platform_.ToNarrow(text)), text) << "round " << round;
  }
}

TEST_F(Win32TextTest, UnpairedSurrogatesAndAnyBytesConvertWithoutHarm) {
  CPINFO info{};
  ASSERT_TRUE(GetCPInfo(CP_ACP, &info));
  for (int round = 0; round < 2000; ++round) {
    std::u16string text(random_() % 32, u'\0');
    for (char16_t& c : text)
      c = static_cast<char16_t>(random_() % 2 ? 0xd800 + random_() % 0x800 : random_());
    const std::string narrow = platform_.ToNarrow(text);
    EXPECT_LE(narrow.size(), text.size() * info.MaxCharSize);

    // The 20 bytes of the reply buffer come back as at most 20 characters,
    // and the copy-back fills the buffer whatever they are.
    std::string reply(kReplyLength, '\0');
    for (char& byte : reply) byte = static_cast<char>(random_() % 3 ? random_() : 0);
    const std::u16string wide = platform_.ToWide(reply);
    EXPECT_LE(wide.size(), kReplyLength);
    if (info.MaxCharSize == 1) {
      EXPECT_EQ(platform_.ToNarrow(wide), reply);
    }
    ReplyBuffer buffer{};
    CopyReplyBack(wide, buffer);
  }
}

TEST(Form1Test, ARefusedWindowIsReportedWithItsCause) {
  // The second registration of the class is refused: the report says so,
  // where before a caption error of Label1 stood in its place.
  quorwind::Form1 first;
  try {
    first.Create(GetModuleHandleW(nullptr));
  } catch (const RuntimeError&) {
    // Without a display Wine makes no window; the class is registered.
  }
  quorwind::Form1 second;
  try {
    second.Create(GetModuleHandleW(nullptr));
    ADD_FAILURE() << "a second class registration was not refused";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.kind(), RuntimeErrorKind::kWindowSystem);
    EXPECT_NE(error.ReportText().find("Cannot create the window class of Form1 (error 1410"),
              std::string::npos)
        << error.ReportText();
  }
}

}  // namespace
}  // namespace quorwind
