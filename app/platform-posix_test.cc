// Tests of the POSIX platform operations that need no sound.
#include "app/platform-posix.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

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

TEST(PosixPlatformTest, MissingModuleOrEntryIsARuntimeErrorNamingIt) {
  // libc loads but has no mciSendStringA; a module is never looked for
  // through the search path or the working directory.
  Dl_info libc{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&printf), &libc), 0);
  const std::pair<std::string, std::string> cases[] = {
      {"/nonexistent/libquorwind-mci.so", "/nonexistent/libquorwind-mci.so"},
      {libc.dli_fname, "mciSendStringA"},
      {"libc.so.6", "libc.so.6 is not an absolute path"},
      {PosixPlatform::ModulePathBesideExecutable("/nonexistent"), "own path is unknown"},
  };
  EXPECT_EQ(PosixPlatform::ModulePathBesideExecutable().front(), '/');
  for (const auto& [module, named] : cases) {
    PosixPlatform platform(0, nullptr, module);
    char reply[1] = {};
    try {
      platform.mciSendStringA("open \"x\"", reply, 0, 0);
      ADD_FAILURE() << "no error for " << module;
    } catch (const RuntimeError& error) {
      EXPECT_EQ(error.kind(), RuntimeErrorKind::kMissingEntry);
      EXPECT_NE(error.ReportText().find(named), std::string::npos) << error.ReportText();
    }
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
