// Tests of the service on real files written by the tone writer.
#include "mci/service/service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tools/tone.h"

namespace quorwind::mci {
namespace {

namespace fs = std::filesystem;

/// An output that plays nothing and records that it was started and stopped.
class FakeOutput : public AudioOutput {
 public:
  FakeOutput(int& started, int& stopped, MciError result)
      : started_(started), stopped_(stopped), result_(result) {}
  ~FakeOutput() override { ++stopped_; }
  MciError Start(FrameSource& source, std::chrono::steady_clock::time_point) override {
    float frame[64];
    EXPECT_GT(source.Read(frame, 1), 0u);
    ++started_;
    return result_;
  }

 private:
  int& started_;
  int& stopped_;
  MciError result_;
};

class ServiceTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new fs::path(fs::temp_directory_path() / ("quorwind-mci-" + std::to_string(getpid())));
    fs::create_directories(*dir_);
  }
  static void TearDownTestSuite() {
    fs::remove_all(*dir_);
    delete dir_;
  }

  static std::string Tone(const std::string& name, ToneSpec spec) {
    const std::string path = (*dir_ / name).string();
    if (!fs::exists(path)) {
      EXPECT_EQ(WriteTone(path, spec), "");
    }
    return path;
  }
  static std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = (*dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  MciService FakeService(MciError start_result = kOk) {
    return MciService([this, start_result] {
      return std::make_unique<FakeOutput>(started_, stopped_, start_result);
    });
  }

  std::string Length(MciService& service, const std::string& path, MciError& error,
                     std::uint32_t capacity = 20) {
    char reply[64];
    std::fill(std::begin(reply), std::end(reply), '\x7f');
    error = service.Execute("status \"" + path + "\" length", reply, capacity);
    for (std::size_t i = capacity; i < sizeof reply; ++i) {
      EXPECT_EQ(reply[i], '\x7f') << "reply overran its capacity at " << i;
    }
    return error == kOk ? std::string(reply) : std::string();
  }

  static fs::path* dir_;
  int started_ = 0;
  int stopped_ = 0;
};

fs::path* ServiceTest::dir_ = nullptr;

TEST_F(ServiceTest, LengthIsExactToTheMillisecondInEveryFormat) {
  MciService service = FakeService();
  for (const std::string format : {"wav", "aiff", "flac", "ogg", "mp3", "mp3vbr", "opus"}) {
    for (const int rate : {44100, 48000}) {
      for (const int channels : {1, 2}) {
        if (format == "opus" && rate != 48000) continue;  // Opus knows no 44.1 kHz
        SCOPED_TRACE(format + " " + std::to_string(rate) + " " + std::to_string(channels));
        const std::string path =
            Tone(std::to_string(rate) + "-" + std::to_string(channels) + "." + format,
                 {.format = format, .seconds = 1.5, .rate = rate, .channels = channels});
        MciError error;
        EXPECT_EQ(Length(service, path, error), "1500");
        EXPECT_EQ(error, kOk);
      }
    }
  }
  // Rounded to the nearest millisecond: 1001 frames at 1 kHz-ish rates.
  MciError error;
  EXPECT_EQ(Length(service, Tone("odd.wav", {.seconds = 0.0104, .rate = 48000}), error), "10");
  EXPECT_EQ(Length(service, Tone("odd2.wav", {.seconds = 0.0105, .rate = 8000}), error), "11");
}

TEST_F(ServiceTest, OpenCloseAndTheSequenceOfTheProgram) {
  MciService service = FakeService();
  const std::string path = Tone("seq.wav", {.seconds = 0.25});
  const std::string quoted = "\"" + path + "\"";
  char none[1] = {};
  EXPECT_EQ(service.Execute("open " + quoted, none, 0), kOk);
  EXPECT_EQ(service.Execute("open " + quoted, none, 0), kDeviceOpen);
  MciError error;
  EXPECT_EQ(Length(service, path, error), "250");
  EXPECT_EQ(service.Execute("close " + quoted, none, 0), kOk);
  EXPECT_EQ(service.Execute("close " + quoted, none, 0), kInvalidDeviceName);
  EXPECT_EQ(service.Execute("play " + quoted, none, 0), kOk);
  EXPECT_EQ(started_, 1);
  EXPECT_EQ(stopped_, 0);  // the device that play opened stays
  EXPECT_EQ(service.Execute("play " + quoted, none, 0), kOk);
  EXPECT_EQ(started_, 1);  // already playing
  EXPECT_EQ(service.Execute("CLOSE " + path, none, 0), kOk);
  EXPECT_EQ(stopped_, 1);
}

TEST_F(ServiceTest, PlayAfterCloseTakesTheFileAsItIsNow) {
  // The decoder kept from open and close serves play only for the same file.
  const std::string path = Tone("kept.wav", {.seconds = 0.25});
  const std::string other = Tone("kept-other.wav", {.seconds = 0.5});
  const std::pair<void (*)(const std::string&, const std::string&), std::string> cases[] = {
      {[](const std::string&, const std::string&) {}, "250"},
      {[](const std::string& file, const std::string& longer) {
         fs::copy_file(longer, file, fs::copy_options::overwrite_existing);
       },
       "500"},
      {[](const std::string& file, const std::string&) { fs::remove(file); }, ""},
  };
  for (const auto& [change, length] : cases) {
    SCOPED_TRACE(length);
    fs::copy_file(Tone("kept-source.wav", {.seconds = 0.25}), path,
                  fs::copy_options::overwrite_existing);
    MciService service = FakeService();
    char none[1] = {};
    MciError error;
    EXPECT_EQ(service.Execute("open \"" + path + "\"", none, 0), kOk);
    EXPECT_EQ(Length(service, path, error), "250");
    EXPECT_EQ(service.Execute("close \"" + path + "\"", none, 0), kOk);
    change(path, other);
    EXPECT_EQ(service.Execute("play \"" + path + "\"", none, 0),
              length.empty() ? kFileNotFound : kOk);
    EXPECT_EQ(Length(service, path, error), length);
  }
}

TEST_F(ServiceTest, DeviceNamesAreThePathExactly) {
  MciService service = FakeService();
  const std::string path = Tone("Case.wav", {.seconds = 0.1});
  char none[1] = {};
  EXPECT_EQ(service.Execute("open \"" + path + "\"", none, 0), kOk);
  std::string other_case = path;
  other_case.replace(other_case.size() - 8, 4, "case");
  EXPECT_EQ(service.Execute("close \"" + other_case + "\"", none, 0), kInvalidDeviceName);
  EXPECT_EQ(service.Execute("open \"" + other_case + "\"", none, 0), kFileNotFound);
}

TEST_F(ServiceTest, ReplyNeverOverrunsASmallCapacity) {
  MciService service = FakeService();
  const std::string path = Tone("cap.wav", {.seconds = 1.5});
  for (std::uint32_t capacity : {0u, 1u, 4u}) {
    MciError error;
    Length(service, path, error, capacity);
    EXPECT_EQ(error, kParamOverflow);
  }
  MciError error;
  EXPECT_EQ(Length(service, path, error, 5), "1500");
  EXPECT_EQ(service.Execute("status \"" + path + "\" length", nullptr, 20), kParamOverflow);
}

TEST_F(ServiceTest, BadTextsAndBadFilesGetErrorCodes) {
  MciService service = FakeService();
  const std::string tone = Tone("good.wav", {.seconds = 0.2});
  std::string header_only;
  {
    std::ifstream in(tone, std::ios::binary);
    header_only.assign(std::istreambuf_iterator<char>(in), {});
  }
  const std::string truncated = Write("truncated.wav", header_only.substr(0, 30));
  const std::string empty = Write("empty.wav", "");
  const std::string corrupt = Write("corrupt.mp3", std::string(4096, '\xff'));
  const std::string text = Write("notes.txt", "not a sound at all\n");
  const std::string fifo = (*dir_ / "fifo.wav").string();
  mkfifo(fifo.c_str(), 0600);
  const std::string directory = dir_->string();

  const std::pair<std::string, MciError> cases[] = {
      {"seek \"" + tone + "\" to start", kUnrecognizedCommand},
      {"open \"" + tone, kNoClosingQuote},
      {"open \"" + tone + "\" alias x", kUnrecognizedKeyword},
      {"close \"" + tone + "\" now", kUnrecognizedKeyword},
      {"status \"" + tone + "\"", kMissingParameter},
      {"status \"" + tone + "\" position", kUnrecognizedKeyword},
      {"status \"" + tone + "\" length length", kUnrecognizedKeyword},
      {"play \"\"", kInvalidDeviceName},
      {"open \"" + (*dir_ / "missing.wav").string() + "\"", kFileNotFound},
      {"open \"" + (*dir_ / "missing" / "a.wav").string() + "\"", kFileNotFound},
      {"open \"" + directory + "\"", kInvalidFile},
      {"open \"" + empty + "\"", kInvalidFile},
      {"open \"" + truncated + "\"", kInvalidFile},
      {"open \"" + corrupt + "\"", kInvalidFile},
      {"open \"" + text + "\"", kInvalidFile},
      {"open \"" + fifo + "\"", kInvalidFile},
      {"status \"" + corrupt + "\" length", kInvalidFile},
      {"play \"" + text + "\"", kInvalidFile},
  };
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  for (const auto& [command, error] : cases) {
    SCOPED_TRACE(command);
    char reply[20] = {};
    EXPECT_EQ(service.Execute(command, reply, sizeof reply), error);
    EXPECT_EQ(reply[0], '\0');
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(started_, 0);
}

TEST_F(ServiceTest, FailedStartLeavesNothingPlaying) {
  MciService service = FakeService(kDeviceNotReady);
  const std::string path = Tone("nostart.wav", {.seconds = 0.1});
  char none[1] = {};
  EXPECT_EQ(service.Execute("play \"" + path + "\"", none, 0), kDeviceNotReady);
  EXPECT_EQ(stopped_, 1);
}

TEST_F(ServiceTest, OutputWithoutASoundSystemFailsQuickly) {
  const char* saved = std::getenv("PULSE_SERVER");
  const std::string previous = saved ? saved : "";
  setenv("PULSE_SERVER", ("unix:" + (*dir_ / "no-server").string()).c_str(), 1);
  setenv("ALSA_CONFIG_PATH", Write("asound.conf", "pcm.!default { type hw card 31 }\n").c_str(), 1);
  MciService service;
  const std::string path = Tone("noserver.wav", {.seconds = 0.1});
  char none[1] = {};
  testing::internal::CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(service.Execute("play \"" + path + "\"", none, 0), kDeviceNotInstalled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  if (saved) {
    setenv("PULSE_SERVER", previous.c_str(), 1);
  } else {
    unsetenv("PULSE_SERVER");
  }
  unsetenv("ALSA_CONFIG_PATH");
}

}  // namespace
}  // namespace quorwind::mci
