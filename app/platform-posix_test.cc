// Tests of the POSIX platform operations that need no sound.
#include "app/platform-posix.h"

#include <gtest/gtest.h>

#include <chrono>

#include "playback/runtime_error.h"

namespace quorwind {
namespace {

TEST(PosixPlatformTest, ArgumentsAreJoinedBySingleBlanks) {
  char name[] = "quorwind", a[] = "/tmp/my", b[] = "dir/\xe9.wav", empty[] = "";
  char* argv[] = {name, a, b, empty, nullptr};
  PosixPlatform platform(4, argv, "/nonexistent");
  EXPECT_EQ(platform.ToNarrow(platform.ArgumentText()), "/tmp/my dir/\xe9.wav ");

  char* only_name[] = {name, nullptr};
  EXPECT_EQ(PosixPlatform(1, only_name, "").ArgumentText(), u"");
  EXPECT_EQ(PosixPlatform(0, only_name, "").ArgumentText(), u"");
}

TEST(PosixPlatformTest, MissingModuleIsARuntimeErrorNamingIt) {
  PosixPlatform platform(0, nullptr, "/nonexistent/libquorwind-mci.so");
  char reply[1] = {};
  try {
    platform.mciSendStringA("open \"x\"", reply, 0, 0);
    ADD_FAILURE() << "no error";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.kind(), RuntimeErrorKind::kMissingEntry);
    EXPECT_NE(error.ReportText().find("/nonexistent/libquorwind-mci.so"), std::string::npos);
  }
}

TEST(PosixPlatformTest, ModuleWithoutTheEntryIsARuntimeError) {
  PosixPlatform platform(0, nullptr, "libc.so.6");
  char reply[1] = {};
  try {
    platform.mciSendStringA("open \"x\"", reply, 0, 0);
    ADD_FAILURE() << "no error";
  } catch (const RuntimeError& error) {
    EXPECT_NE(error.ReportText().find("mciSendStringA"), std::string::npos);
  }
}

TEST(PosixPlatformTest, SleepWaitsAtLeastTheCount) {
  PosixPlatform platform(0, nullptr, "");
  const auto start = std::chrono::steady_clock::now();
  platform.Sleep(120);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(120));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
}

}  // namespace
}  // namespace quorwind
