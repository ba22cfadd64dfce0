// The modules made for one family (AAC, WavPack, Opus in WebM) against FFmpeg's: the same
// length, format and frames for the files they take, and no file taken that
// FFmpeg would play differently.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "mci/decoders/decoder.h"

namespace quorwind::mci {
namespace {

std::unique_ptr<Decoder> OpenWithModule(const char* module, const std::string& path) {
  void* handle = dlopen((std::string(QUORWIND_MODULE_DIR "/") + module).c_str(), RTLD_NOW);
  if (!handle) return nullptr;
  const auto make = reinterpret_cast<decltype(&QuorwindNewDecoderFactory)>(
      dlsym(handle, "QuorwindNewDecoderFactory"));
  std::unique_ptr<DecoderFactory> factory(make ? make() : nullptr);
  std::unique_ptr<Decoder> decoder;
  if (!factory || factory->Prepare() != kOk ||
      factory->Open(UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), decoder) != kOk) {
    return nullptr;
  }
  return decoder;
}

std::vector<float> ReadAll(Decoder& decoder) {
  std::vector<float> frames;
  std::vector<float> block(4096 * static_cast<std::size_t>(decoder.Channels()));
  while (const std::size_t got = decoder.Read(block.data(), 4096)) {
    frames.insert(frames.end(), block.begin(),
                  block.begin() + static_cast<std::ptrdiff_t>(got) * decoder.Channels());
  }
  return frames;
}

class ModuleDecoderTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("quorwind-module-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  /// A tone encoded by the ffmpeg program with |options|.
  std::string Encode(const std::string& name, const std::string& tone, const std::string& options) {
    const std::string path = (dir_ / name).string();
    const std::string command = "ffmpeg -loglevel quiet -y -f lavfi -i '" + tone + "' " + options +
                                " '" + path + "' </dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return path;
  }

  std::filesystem::path dir_;
};

TEST_F(ModuleDecoderTest, TakesWhatItCanPlayAsFfmpegDoes) {
  struct Case {
    const char* module;
    const char* name;
    const char* tone;
    const char* options;
    bool taken;  ///< by |module|; else left to FFmpeg
  };
  const Case cases[] = {
      {"libquorwind-aac.so", "stereo.m4a", "sine=f=440:d=2.5003:r=44100", "-ac 2 -c:a aac", true},
      {"libquorwind-aac.so", "mono48.mp4", "sine=f=1000:d=1.234:r=48000", "-c:a aac", true},
      {"libquorwind-aac.so", "short.m4a", "sine=f=440:d=0.01:r=44100", "-c:a aac", true},
      {"libquorwind-aac.so", "no-edit-list.m4a", "sine=f=440:d=1.5:r=44100",
       "-c:a aac -use_editlist 0", true},
      {"libquorwind-aac.so", "moov-first.m4a", "sine=f=440:d=1:r=32000",
       "-c:a aac -movflags +faststart", true},
      {"libquorwind-aac.so", "fragmented.m4a", "sine=f=440:d=1.2:r=48000",
       "-c:a aac -movflags +frag_keyframe+empty_moov", false},
      {"libquorwind-aac.so", "low-rate.m4a", "sine=f=440:d=1:r=22050", "-c:a aac", true},
      {"libquorwind-aac.so", "adts.aac", "sine=f=440:d=1.7:r=44100", "-ac 2 -c:a aac -f adts",
       true},
      {"libquorwind-aac.so", "adts-mono-16k.aac", "sine=f=440:d=0.9:r=16000", "-c:a aac -f adts",
       true},
      {"libquorwind-aac.so", "six.m4a", "sine=f=440:d=1:r=48000", "-ac 6 -c:a aac", false},
      {"libquorwind-aac.so", "alac.m4a", "sine=f=440:d=1:r=44100", "-c:a alac", false},
      {"libquorwind-wavpack.so", "stereo.wv", "sine=f=440:d=1.3:r=44100", "-ac 2 -c:a wavpack",
       true},
      {"libquorwind-wavpack.so", "mono-24bit.wv", "sine=f=440:d=0.7:r=96000",
       "-c:a wavpack -sample_fmt s32p", true},
      {"libquorwind-wavpack.so", "float-5.1.wv", "sine=f=440:d=1:r=48000",
       "-ac 6 -c:a wavpack -sample_fmt fltp", true},
      {"libquorwind-webm.so", "stereo.webm", "sine=f=440:d=2.3456:r=48000", "-ac 2 -c:a libopus",
       true},
      {"libquorwind-webm.so", "mono-44k.webm", "sine=f=1000:d=0.77:r=44100", "-c:a libopus", true},
      {"libquorwind-webm.so", "matroska.mka", "sine=f=440:d=1:r=48000", "-c:a libopus", true},
      {"libquorwind-webm.so", "with-video.webm", "sine=f=440:d=1.5:r=48000",
       "-f lavfi -i testsrc=size=64x48:rate=10:d=1.5 -c:v libvpx -c:a libopus -shortest", true},
      {"libquorwind-webm.so", "six.webm", "sine=f=440:d=1:r=48000", "-ac 6 -c:a libopus", false},
      {"libquorwind-webm.so", "vorbis.webm", "sine=f=440:d=1:r=44100", "-c:a libvorbis", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Encode(c.name, c.tone, c.options);
    const auto ours_decoder = OpenWithModule(c.module, path);
    const auto ffmpeg = OpenWithModule("libquorwind-ffmpeg.so", path);
    ASSERT_TRUE(ffmpeg);
    ASSERT_EQ(ours_decoder != nullptr, c.taken);
    if (!ours_decoder) continue;
    EXPECT_EQ(ours_decoder->LengthMilliseconds(), ffmpeg->LengthMilliseconds());
    ASSERT_EQ(ours_decoder->SampleRate(), ffmpeg->SampleRate());
    ASSERT_EQ(ours_decoder->Channels(), ffmpeg->Channels());
    EXPECT_EQ(ours_decoder->Layout(), ffmpeg->Layout());
    const std::vector<float> ours = ReadAll(*ours_decoder);
    const std::vector<float> theirs = ReadAll(*ffmpeg);
    ASSERT_EQ(ours.size(), theirs.size());
    double worst = 0;
    for (std::size_t i = 0; i < ours.size(); ++i) {
      worst = std::max(worst, static_cast<double>(std::fabs(ours[i] - theirs[i])));
    }
    EXPECT_LT(worst, 1.0 / 256);  // the two decoders' rounding differs
  }
}

}  // namespace
}  // namespace quorwind::mci
