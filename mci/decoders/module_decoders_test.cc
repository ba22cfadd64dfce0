// The modules made for one family (AAC, WavPack, Opus and Vorbis in WebM) against FFmpeg's: the
// same length, format and frames for the files they take, and no file taken that FFmpeg would play
// differently. The MIDI module against FluidSynth's defaults. FluidSynth is not linked here: the
// MIDI module must bring its own.
#include <dlfcn.h>
#include <fcntl.h>
#include <fluidsynth.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
      {"libquorwind-webm.so", "vorbis.webm", "sine=f=440:d=1.2345:r=44100", "-ac 2 -c:a libvorbis",
       true},
      {"libquorwind-webm.so", "vorbis-mono-22k.mka", "sine=f=1000:d=0.61:r=22050", "-c:a libvorbis",
       true},
      {"libquorwind-webm.so", "vorbis-with-video.webm", "sine=f=440:d=1.5:r=48000",
       "-f lavfi -i testsrc=size=64x48:rate=10:d=1.5 -c:v libvpx -c:a libvorbis -shortest", true},
      {"libquorwind-webm.so", "vorbis-six.webm", "sine=f=440:d=1:r=48000", "-ac 6 -c:a libvorbis",
       false},
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

/// The frames |decoder| delivers, counted.
std::uint64_t CountDelivered(Decoder& decoder) {
  std::vector<float> block(4096 * static_cast<std::size_t>(decoder.Channels()));
  std::uint64_t frames = 0;
  while (const std::size_t got = decoder.Read(block.data(), 4096)) frames += got;
  return frames;
}

/// Milliseconds of sound the ffmpeg program decodes from |path|.
double DecodedByTheFfmpegProgram(const std::string& path) {
  const std::string command =
      "ffmpeg -loglevel quiet -i '" + path + "' -vn -f s16le -ac 1 -ar 48000 - | wc -c";
  FILE* pipe = popen(command.c_str(), "r");
  double bytes = 0;
  if (pipe) {
    if (std::fscanf(pipe, "%lf", &bytes) != 1) bytes = 0;
    pclose(pipe);
  }
  return bytes / 2 / 48;
}

/// Long files' lengths are read near their ends, where the container's
/// structure is checked; files joined or cut short fail a check or keep what
/// their frames say. Every reply is within a codec frame of what FFmpeg
/// decodes, and is what the decoder then delivers.
TEST_F(ModuleDecoderTest, LongFilesAreCountedAtTheirEndsAsEveryFrameDecodes) {
  struct Case {
    const char* module;
    const char* name;
    const char* options;
    const char* change;  ///< "joined", "jumped" (joined, the second's times ahead), "cut" or ""
    int frame;           ///< samples of one codec frame at 48 kHz
    int seconds = 90;
    /// Another muxer's command that remakes the file {} from {}.in (the
    /// ffmpeg program's), or makes it itself.
    const char* remux = nullptr;
  };
  const char* const kVideo = "-f lavfi -i color=s=32x32:r=2 -shortest ";
  const char* const kGstTone =
      "gst-launch-1.0 -q audiotestsrc num-buffers=NUM samplesperbuffer=1024 "
      "! audio/x-raw,rate=48000,channels=2 ! audioconvert ! ";
  const Case cases[] = {
      {"libquorwind-webm.so", "opus.webm", "-c:a libopus", "", 960},
      {"libquorwind-webm.so", "vorbis.mka", "-c:a libvorbis", "", 1024},
      {"libquorwind-webm.so", "joined.webm", "-c:a libopus", "joined", 960},
      {"libquorwind-webm.so", "cut.webm", "-c:a libopus", "cut", 960},
      {"libquorwind-ffmpeg.so", "wma.wma", "-c:a wmav2", "", 2048},
      {"libquorwind-ffmpeg.so", "ac3.ac3", "-c:a ac3", "", 1536},
      {"libquorwind-ffmpeg.so", "joined.eac3", "-c:a eac3", "joined", 1536},
      {"libquorwind-ffmpeg.so", "cut.ac3", "-c:a ac3", "cut", 1536},
      {"libquorwind-ffmpeg.so", "video.mkv", "-c:a aac -c:v mpeg4", "", 1024},
      {"libquorwind-ffmpeg.so", "cut-video.mkv", "-c:a aac -c:v mpeg4", "cut", 1024},
      {"libquorwind-ffmpeg.so", "video.avi", "-c:a mp3 -c:v mpeg4", "", 1152, 200},
      {"libquorwind-ffmpeg.so", "cut-video.avi", "-c:a mp3 -c:v mpeg4", "cut", 1152},
      {"libquorwind-ffmpeg.so", "video.ts", "-c:a aac -c:v mpeg2video", "", 1024},
      {"libquorwind-ffmpeg.so", "joined.ts", "-c:a aac -f mpegts", "joined", 1024},
      {"libquorwind-ffmpeg.so", "jumped.ts", "-c:a aac -f mpegts", "jumped", 1024},
      {"libquorwind-ffmpeg.so", "jumped-short.ts", "-c:a mp2 -f mpegts", "jumped", 1152, 3},
      // 20 s ahead, less than four of the spans between the points sampled.
      {"libquorwind-ffmpeg.so", "jumped-a-little.ts", "-c:a aac -f mpegts", "jumped-20", 1024},
      {"libquorwind-webm.so", "live.webm", "-c:a libopus -f webm -live 1", "", 960},
      {"libquorwind-webm.so", "joined-live.webm", "-c:a libopus -f webm -live 1", "joined", 960},
      {"libquorwind-webm.so", "laced-vorbis.mka", "-c:a libvorbis -f ogg", "", 1024, 90,
       "mkvmerge -q -o {} {}.in"},
      {"libquorwind-webm.so", "mkvmerge-opus.webm", "-c:a libopus -f ogg", "", 960, 90,
       "mkvmerge -q --webm -o {} {}.in"},
      {"libquorwind-webm.so", "gstreamer-opus.webm", "", "", 960, 90,
       "opusenc ! webmmux ! filesink location={}"},
      {"libquorwind-ffmpeg.so", "mkvmerge-video.mkv", "-c:a aac -c:v mpeg4 -f mp4", "", 1024, 90,
       "mkvmerge -q -o {} {}.in"},
      {"libquorwind-ffmpeg.so", "fragmented.mp4", "-c:a aac -movflags frag_keyframe+empty_moov", "",
       1024},
      {"libquorwind-ffmpeg.so", "gstreamer-fragmented.mp4", "-c:a aac -f adts", "", 1024, 90,
       "gst-launch-1.0 -q filesrc location={}.in ! aacparse ! mp4mux fragment-duration=1000 "
       "! filesink location={}"},
      {"libquorwind-ffmpeg.so", "gstreamer.avi", "", "", 1152, 90,
       "lamemp3enc ! avimux ! filesink location={}"},
      {"libquorwind-ffmpeg.so", "gstreamer-video.avi", "", "", 1152, 200,
       "lamemp3enc ! m. videotestsrc num-buffers=2000 ! video/x-raw,width=32,height=32,"
       "framerate=10/1 ! jpegenc ! avimux name=m ! filesink location={}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string options = std::string("-ac 2 ") + c.options;
    if (std::string(c.name).find("video") != std::string::npos) options = kVideo + options;
    const std::string tone = "sine=f=440:d=" + std::to_string(c.seconds) + ":r=48000";
    const std::string path = Encode(c.name, tone, options);
    if (c.remux) {
      std::string command = c.remux;
      if (command.find("webmmux") != std::string::npos ||
          command.find("avimux") != std::string::npos) {
        command = kGstTone + command;
        command.replace(command.find("NUM"), 3, std::to_string(c.seconds * 48000 / 1024));
      }
      for (std::size_t at; (at = command.find("{}")) != std::string::npos;) {
        command.replace(at, 2, "'" + path + "'");
      }
      std::filesystem::rename(path, path + ".in");
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    const std::string change = c.change;
    if (change.starts_with("jumped")) {
      // The second part's timestamps start an hour on, or 20 s after the
      // first's end, as after a recorder's discontinuity.
      const int offset = change == "jumped" ? 3600 : c.seconds + 20;
      Encode("second.ts", tone, options + " -output_ts_offset " + std::to_string(offset));
      ASSERT_EQ(
          std::system(("cat '" + (dir_ / "second.ts").string() + "' >> '" + path + "'").c_str()),
          0);
    } else if (change == "joined") {
      ASSERT_EQ(std::system(("cat '" + path + "' '" + path + "' > '" + path + ".j' && mv '" + path +
                             ".j' '" + path + "'")
                                .c_str()),
                0);
    } else if (change == "cut") {
      std::filesystem::resize_file(path, std::filesystem::file_size(path) * 2 / 3);
    }
    const double decoded = DecodedByTheFfmpegProgram(path);
    auto decoder = OpenWithModule(c.module, path);
    // A file as its muxer wrote it is the module's own; changed, it may go on.
    ASSERT_TRUE(decoder || !change.empty());
    if (!decoder) decoder = OpenWithModule("libquorwind-ffmpeg.so", path);
    ASSERT_TRUE(decoder);
    const double length = static_cast<double>(decoder->LengthMilliseconds());
    EXPECT_NEAR(length, decoded, 1 + c.frame / 48.0);
    const std::uint64_t delivered = CountDelivered(*decoder);
    EXPECT_EQ(FramesToMilliseconds(delivered, static_cast<std::uint64_t>(decoder->SampleRate())),
              decoder->LengthMilliseconds());
  }
}

/// Frames of |path| from the MIDI module, loaded in a child process as the
/// player loads it: the libraries FluidSynth links for its drivers, shell
/// and DLS reader are then the module's stand-ins. Empty if they are not.
std::vector<float> FromMidiModuleWithItsStandIns(const std::string& path) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    const std::unique_ptr<Decoder> module = OpenWithModule("libquorwind-midi.so", path);
    bool standins = module != nullptr;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* all_standins) {
          const std::string name = info->dlpi_name;
          for (const char* soname : {"/libasound.so.2", "/libSDL2-2.0.so.0", "/libjack.so.0",
                                     "/libreadline.so.8", "/libinstpatch-1.0.so.2"}) {
            if (name.ends_with(soname) &&
                name.find(QUORWIND_MODULE_DIR "/fluidsynth-standins/") != 0) {
              *static_cast<bool*>(all_standins) = false;
            }
          }
          return 0;
        },
        &standins);
    if (standins) {
      const std::vector<float> frames = ReadAll(*module);
      const char* bytes = reinterpret_cast<const char*>(frames.data());
      for (std::size_t done = 0, size = frames.size() * sizeof(float); done < size;) {
        const ssize_t wrote = write(pipe_fds[1], bytes + done, size - done);
        if (wrote <= 0) break;
        done += static_cast<std::size_t>(wrote);
      }
    }
    _exit(0);
  }
  close(pipe_fds[1]);
  std::vector<float> frames;
  float block[4096];
  while (true) {
    const ssize_t got = read(pipe_fds[0], block, sizeof block);
    if (got <= 0) break;
    frames.insert(frames.end(), block, block + got / static_cast<ssize_t>(sizeof(float)));
  }
  close(pipe_fds[0]);
  waitpid(child, nullptr, 0);
  return frames;
}

/// The MIDI module sets FluidSynth up its own way (a soundfont cut to the
/// song, stand-ins for the libraries it does not use); a chord of more voices
/// than FluidSynth has must still sound as FluidSynth's defaults make it, with
/// the whole soundfont and FluidSynth's own libraries.
TEST_F(ModuleDecoderTest, MidiSoundsAsFluidSynthPlaysItWithTheWholeSoundfont) {
  const char* soundfont = "/usr/share/sounds/sf2/default-GM.sf2";
  if (!std::filesystem::exists(soundfont)) GTEST_SKIP() << "no system soundfont";
  // Strings on eight channels, twelve notes each at once, then forty more:
  // each string note starts two voices or more.
  std::vector<std::uint8_t> track;
  for (int channel = 0; channel < 8; ++channel) {
    track.insert(track.end(), {0x00, static_cast<std::uint8_t>(0xc0 | channel), 48});
    for (int key = 0; key < 12; ++key) {
      track.insert(track.end(), {0x00, static_cast<std::uint8_t>(0x90 | channel),
                                 static_cast<std::uint8_t>(40 + 3 * key + channel), 90});
    }
  }
  track.insert(track.end(), {0x83, 0x60, 0x91, 30, 100});  // half a second on
  for (int key = 1; key < 40; ++key)
    track.insert(track.end(), {0x00, 0x91, static_cast<std::uint8_t>(30 + key), 100});
  track.insert(track.end(), {0x87, 0x40, 0xff, 0x2f, 0x00});  // ends a second later
  std::vector<std::uint8_t> song = {'M', 'T', 'h', 'd',  0,    0,   0,   6,   0,
                                    0,   0,   1,   0x01, 0xe0, 'M', 'T', 'r', 'k'};
  for (int shift = 24; shift >= 0; shift -= 8)
    song.push_back(static_cast<std::uint8_t>(track.size() >> shift));
  song.insert(song.end(), track.begin(), track.end());
  const std::string path = (dir_ / "chords.mid").string();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(song.data()), static_cast<std::streamsize>(song.size()));

  // Before FluidSynth is loaded here, with its own libraries, for the reference.
  const std::vector<float> heard = FromMidiModuleWithItsStandIns(path);
  ASSERT_EQ(heard.size(), 2u * 66150) << "the module failed, or loaded FluidSynth's libraries";

  void* fluidsynth = dlopen("libfluidsynth.so.3", RTLD_NOW);
  ASSERT_TRUE(fluidsynth) << dlerror();
#define FLUID(function) reinterpret_cast<decltype(&function)>(dlsym(fluidsynth, #function))
  for (int level = 0; level < LAST_LOG_LEVEL; ++level)
    FLUID(fluid_set_log_function)(level, nullptr, nullptr);
  fluid_settings_t* settings = FLUID(new_fluid_settings)();
  FLUID(fluid_settings_setnum)(settings, "synth.gain", 0.8);
  FLUID(fluid_settings_setstr)(settings, "player.timing-source", "sample");
  fluid_synth_t* synth = FLUID(new_fluid_synth)(settings);
  fluid_player_t* player = FLUID(new_fluid_player)(synth);
  std::vector<float> expected(heard.size());
  ASSERT_NE(FLUID(fluid_synth_sfload)(synth, soundfont, 1), FLUID_FAILED);
  ASSERT_EQ(FLUID(fluid_player_add_mem)(player, song.data(), song.size()), FLUID_OK);
  ASSERT_EQ(FLUID(fluid_player_play)(player), FLUID_OK);
  for (std::size_t at = 0; at < expected.size(); at += 2 * 4096) {
    const int frames = static_cast<int>(std::min<std::size_t>(4096, (expected.size() - at) / 2));
    FLUID(fluid_synth_write_float)
    (synth, frames, expected.data() + at, 0, 2, expected.data() + at, 1, 2);
  }
  FLUID(delete_fluid_player)(player);
  FLUID(delete_fluid_synth)(synth);
  FLUID(delete_fluid_settings)(settings);
#undef FLUID
  EXPECT_TRUE(heard == expected);
}

}  // namespace
}  // namespace quorwind::mci
