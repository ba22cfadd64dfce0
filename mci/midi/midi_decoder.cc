// The module libquorwind-midi.so: Standard MIDI files rendered by FluidSynth
// with the system's General MIDI soundfont.
#include <fluidsynth.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <vector>

#include "mci/decoders/decoder.h"
#include "mci/midi/midi_file.h"

namespace quorwind::mci {

namespace {

constexpr int kRate = 44100;
constexpr std::size_t kLargestFile = 64 << 20;
/// The soundfonts looked for: one the build names, then the system's choice.
constexpr const char* kSoundfonts[] = {
#ifdef QUORWIND_SOUNDFONT
    QUORWIND_SOUNDFONT,
#endif
    "/usr/share/sounds/sf2/default-GM.sf2",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",
    "/usr/share/sounds/sf2/FluidR3_GM.sf2",
};

void Quiet(int, const char*, void*) {}

class MidiDecoder : public Decoder {
 public:
  MidiDecoder() = default;
  ~MidiDecoder() override {
    if (player_) delete_fluid_player(player_);
    if (synth_) delete_fluid_synth(synth_);
    if (settings_) delete_fluid_settings(settings_);
  }
  MidiDecoder(const MidiDecoder&) = delete;
  MidiDecoder& operator=(const MidiDecoder&) = delete;

  MciError Open(UniqueFd fd);

  std::uint64_t LengthMilliseconds() const override { return FramesToMilliseconds(frames_, kRate); }
  int SampleRate() const override { return kRate; }
  int Channels() const override { return 2; }
  std::vector<Speaker> Layout() const override {
    return {Speaker::kFrontLeft, Speaker::kFrontRight};
  }
  std::size_t Read(float* out, std::size_t frames) override;

 private:
  std::vector<std::uint8_t> song_;
  fluid_settings_t* settings_ = nullptr;
  fluid_synth_t* synth_ = nullptr;
  fluid_player_t* player_ = nullptr;
  std::uint64_t frames_ = 0;
  std::uint64_t delivered_ = 0;
};

bool ReadWhole(int fd, std::vector<std::uint8_t>& bytes) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || status.st_size <= 0 ||
      static_cast<std::uint64_t>(status.st_size) > kLargestFile) {
    return false;
  }
  bytes.resize(static_cast<std::size_t>(status.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  bytes.resize(done);
  return true;
}

MciError MidiDecoder::Open(UniqueFd fd) {
  std::vector<std::uint8_t> file;
  if (!ReadWhole(fd.get(), file)) return kInvalidFile;
  const auto smf = StandardMidiData(file);
  const auto microseconds = MidiLengthMicroseconds(smf);
  if (!microseconds) return kInvalidFile;
  song_.assign(smf.begin(), smf.end());
  // Rounded to the millisecond, then to the frame: the reply is exact.
  frames_ = (*microseconds + 500) / 1000 * kRate / 1000;

  for (int level = 0; level < LAST_LOG_LEVEL; ++level)
    fluid_set_log_function(level, Quiet, nullptr);
  settings_ = new_fluid_settings();
  if (!settings_) return kOutOfMemory;
  fluid_settings_setnum(settings_, "synth.sample-rate", kRate);
  fluid_settings_setint(settings_, "synth.threadsafe-api", 0);
  // FluidSynth's default gain of 0.2 is far quieter than other players.
  fluid_settings_setnum(settings_, "synth.gain", 0.8);
  fluid_settings_setstr(settings_, "player.timing-source", "sample");
  synth_ = new_fluid_synth(settings_);
  if (!synth_) return kOutOfMemory;
  bool loaded = false;
  for (const char* soundfont : kSoundfonts) {
    if (access(soundfont, R_OK) == 0 && fluid_synth_sfload(synth_, soundfont, 1) != FLUID_FAILED) {
      loaded = true;
      break;
    }
  }
  if (!loaded) return kInvalidFile;  // nothing to play the notes with

  // FluidSynth knows no SMPTE division: a frame becomes a quarter note of
  // the frame's duration, which supersedes the file's (ignored) tempo.
  const int division = song_[12] << 8 | song_[13];
  player_ = new_fluid_player(synth_);
  if (!player_) return kOutOfMemory;
  if (division & 0x8000) {
    const int fps = -static_cast<int>(static_cast<std::int8_t>(division >> 8));
    song_[12] = 0;
    song_[13] = static_cast<std::uint8_t>(division & 0xff);
    fluid_player_set_tempo(player_, FLUID_PLAYER_TEMPO_EXTERNAL_MIDI,
                           1e6 / (fps == 29 ? 29.97 : fps));
  }
  if (fluid_player_add_mem(player_, song_.data(), song_.size()) != FLUID_OK ||
      fluid_player_play(player_) != FLUID_OK) {
    return kInvalidFile;
  }
  return kOk;
}

std::size_t MidiDecoder::Read(float* out, std::size_t frames) {
  frames = static_cast<std::size_t>(std::min<std::uint64_t>(frames, frames_ - delivered_));
  if (frames == 0) return 0;
  fluid_synth_write_float(synth_, static_cast<int>(frames), out, 0, 2, out, 1, 2);
  delivered_ += frames;
  return frames;
}

}  // namespace

}  // namespace quorwind::mci

extern "C" __attribute__((visibility("default"))) quorwind::mci::MciError QuorwindOpenDecoder(
    int fd, quorwind::mci::Decoder** decoder) {
  return quorwind::mci::OpenInModule<quorwind::mci::MidiDecoder>(fd, decoder);
}
