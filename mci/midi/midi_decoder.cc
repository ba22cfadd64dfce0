// The module libquorwind-midi.so: Standard MIDI files rendered by FluidSynth
// with the system's General MIDI soundfont.
#include <fcntl.h>
#include <fluidsynth.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mci/decoders/decoder.h"
#include "mci/midi/midi_file.h"
#include "mci/midi/soundfont_subset.h"
#include "mci/module_loader.h"

namespace quorwind::mci {

namespace {

constexpr int kRate = 44100;
constexpr std::size_t kLargestFile = 64 << 20;
constexpr std::size_t kLargestSoundfont = 1ull << 30;
/// The soundfonts looked for: one the build names, then the system's choice
/// of SoundFont 2, then its choice among every General MIDI soundfont (a
/// SoundFont 3 one, with compressed samples, among them).
constexpr const char* kSoundfonts[] = {
#ifdef QUORWIND_SOUNDFONT
    QUORWIND_SOUNDFONT,
#endif
    "/usr/share/sounds/sf2/default-GM.sf2",
    "/usr/share/sounds/sf3/default-GM.sf3",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",
    "/usr/share/sounds/sf2/FluidR3_GM.sf2",
};

void Quiet(int, const char*, void*) {}

/// FluidSynth's synthesiser takes about 4 MB of fresh memory as it is made
/// (its voices, mixer buffers, reverb and chorus lines): page by page, a
/// thousand page faults, 5-6 ms on a virtual machine. The heap is grown by
/// that much beforehand, its pages made present in one call, and kept when
/// freed, so that the synthesiser's allocations find them ready.
void ReserveHeapForSynthesiser() {
  constexpr std::size_t kBytes = 4 << 20;
  mallopt(M_MMAP_THRESHOLD, 2 * kBytes);  // from the heap, not mappings of their own
  mallopt(M_TRIM_THRESHOLD, 4 * kBytes);  // kept once freed
  void* block = std::malloc(kBytes);
  if (!block) return;
  const auto page = static_cast<std::uintptr_t>(getpagesize());
  const auto begin = (reinterpret_cast<std::uintptr_t>(block) + page - 1) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(block) + kBytes) & ~(page - 1);
  // Kernels before 5.14 refuse it: the pages then come as they are touched.
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
  std::free(block);
}

/// A soundfont mapped into memory, read by FluidSynth through a loader of
/// ours: the synthesiser is set up without opening any file, and only the
/// parts it reads are ever paged in. It may be cut down to a song's presets.
/// FluidSynth names what it loads by a file name only, so the name carries
/// the address.
struct SoundfontInMemory {
  SoundfontInMemory() = default;
  SoundfontInMemory(SoundfontInMemory&& other) noexcept
      : mapped(std::exchange(other.mapped, {})), subset(std::move(other.subset)) {}
  SoundfontInMemory& operator=(SoundfontInMemory&& other) noexcept {
    std::swap(mapped, other.mapped);
    std::swap(subset, other.subset);
    return *this;
  }
  ~SoundfontInMemory() {
    if (!mapped.empty()) munmap(const_cast<std::uint8_t*>(mapped.data()), mapped.size());
  }

  /// Maps the soundfont at |path|; false when it cannot.
  bool Map(const char* path) {
    const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (fd.get() < 0 || fstat(fd.get(), &status) != 0 || status.st_size <= 0 ||
        static_cast<std::uint64_t>(status.st_size) > kLargestSoundfont) {
      return false;
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    void* bytes = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (bytes == MAP_FAILED) return false;
    *this = SoundfontInMemory();
    mapped = {static_cast<const std::uint8_t*>(bytes), size};
    return true;
  }

  /// Keeps only what a song calling for |sounds| can select, when the soundfont is
  /// laid out as expected; FluidSynth then parses a few presets, not all.
  void Restrict(const MidiSounds& sounds) {
    try {
      subset = SubsetSoundfont(mapped, sounds);
    } catch (const std::bad_alloc&) {
      subset.reset();  // the whole soundfont, then
    }
  }

  bool empty() const { return mapped.empty(); }
  std::size_t size() const {
    return subset ? subset->kept + subset->presets.size() : mapped.size();
  }

  /// Copies |count| bytes from |at|, within size(): the subset is the
  /// mapped file up to |kept| (with its RIFF size rewritten), then |presets|.
  void Copy(std::size_t at, std::size_t count, std::uint8_t* out) const {
    if (!subset) {
      std::memcpy(out, mapped.data() + at, count);
      return;
    }
    std::uint8_t riff_size[4];
    for (int i = 0; i < 4; ++i)
      riff_size[i] = static_cast<std::uint8_t>(subset->riff_size >> (8 * i));
    const struct {
      std::size_t end;
      const std::uint8_t* bytes;  // of the part that ends at |end|, from its start
      std::size_t start;
    } parts[] = {{4, mapped.data(), 0},
                 {8, riff_size, 4},
                 {subset->kept, mapped.data(), 0},
                 {subset->kept + subset->presets.size(), subset->presets.data(), subset->kept}};
    for (const auto& part : parts) {
      if (count == 0) return;
      if (at >= part.end) continue;
      const std::size_t taken = std::min(count, part.end - at);
      std::memcpy(out, part.bytes + (at - part.start), taken);
      out += taken;
      at += taken;
      count -= taken;
    }
  }

  std::span<const std::uint8_t> mapped;
  std::optional<SoundfontSubset> subset;

  std::string Name() const {
    return "&soundfont:" + std::to_string(reinterpret_cast<std::uintptr_t>(this));
  }

  struct Reader {
    const SoundfontInMemory* font;
    std::size_t at = 0;
  };
  static void* Open(const char* name) {
    const std::string_view prefix = "&soundfont:";
    if (std::string_view(name).substr(0, prefix.size()) != prefix) return nullptr;
    const auto address = std::strtoull(name + prefix.size(), nullptr, 10);
    return new (std::nothrow) Reader{reinterpret_cast<const SoundfontInMemory*>(address)};
  }
  static int Read(void* buffer, fluid_long_long_t count, void* handle) {
    auto* reader = static_cast<Reader*>(handle);
    if (count < 0 || static_cast<std::size_t>(count) > reader->font->size() - reader->at)
      return FLUID_FAILED;
    reader->font->Copy(reader->at, static_cast<std::size_t>(count),
                       static_cast<std::uint8_t*>(buffer));
    reader->at += static_cast<std::size_t>(count);
    return FLUID_OK;
  }
  static int Seek(void* handle, fluid_long_long_t offset, int origin) {
    auto* reader = static_cast<Reader*>(handle);
    const auto size = static_cast<fluid_long_long_t>(reader->font->size());
    const fluid_long_long_t base = origin == SEEK_SET   ? 0
                                   : origin == SEEK_CUR ? static_cast<fluid_long_long_t>(reader->at)
                                                        : size;
    if (offset < -base || offset > size - base) return FLUID_FAILED;
    reader->at = static_cast<std::size_t>(base + offset);
    return FLUID_OK;
  }
  static fluid_long_long_t Tell(void* handle) {
    return static_cast<fluid_long_long_t>(static_cast<Reader*>(handle)->at);
  }
  static int Close(void* handle) {
    delete static_cast<Reader*>(handle);
    return FLUID_OK;
  }
};

class MidiDecoder : public Decoder {
 public:
  explicit MidiDecoder(SoundfontInMemory soundfont) : soundfont_(std::move(soundfont)) {}
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
  /// The synthesiser, its soundfont and the player: made at the first Read,
  /// so that a length query never loads the soundfont.
  bool SetUpSynthesiser();

  std::vector<std::uint8_t> song_;
  fluid_settings_t* settings_ = nullptr;
  fluid_synth_t* synth_ = nullptr;
  fluid_player_t* player_ = nullptr;
  std::uint64_t frames_ = 0;
  std::uint64_t delivered_ = 0;
  SoundfontInMemory soundfont_;
  bool synthesiser_ready_ = false;
  bool set_up_failed_ = false;
};

bool ReadWhole(int fd, std::vector<std::uint8_t>& bytes, std::size_t largest) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || status.st_size <= 0 ||
      static_cast<std::uint64_t>(status.st_size) > largest) {
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
  if (!ReadWhole(fd.get(), file, kLargestFile)) return kInvalidFile;
  const auto smf = StandardMidiData(file);
  const auto microseconds = MidiLengthMicroseconds(smf);
  if (!microseconds) return kInvalidFile;
  // FluidSynth's player loses events that continue a running status after a
  // meta event: it gets every status written out.
  song_ = WithExplicitStatus(smf);
  if (song_.empty()) return kInvalidFile;
  // Rounded to the millisecond, then to the frame: the reply is exact. A song
  // too long to count saturates, and its length reads as an overflow.
  const std::uint64_t milliseconds = *microseconds / 1000 + (*microseconds % 1000 >= 500);
  frames_ = milliseconds > UINT64_MAX / kRate ? UINT64_MAX : milliseconds * kRate / 1000;
  return soundfont_.empty() ? kInvalidFile : kOk;  // nothing to play the notes with
}

bool MidiDecoder::SetUpSynthesiser() {
  for (int level = 0; level < LAST_LOG_LEVEL; ++level)
    fluid_set_log_function(level, Quiet, nullptr);
  ReserveHeapForSynthesiser();
  settings_ = new_fluid_settings();
  if (!settings_) return false;
  fluid_settings_setnum(settings_, "synth.sample-rate", kRate);
  fluid_settings_setint(settings_, "synth.threadsafe-api", 0);
  // FluidSynth's default gain of 0.2 is far quieter than other players.
  fluid_settings_setnum(settings_, "synth.gain", 0.8);
  fluid_settings_setint(settings_, "synth.dynamic-sample-loading", 1);
  fluid_settings_setstr(settings_, "player.timing-source", "sample");
  synth_ = new_fluid_synth(settings_);
  if (!synth_) return false;
  fluid_sfloader_t* loader = new_fluid_defsfloader(settings_);
  if (!loader) return false;
  fluid_sfloader_set_callbacks(loader, SoundfontInMemory::Open, SoundfontInMemory::Read,
                               SoundfontInMemory::Seek, SoundfontInMemory::Tell,
                               SoundfontInMemory::Close);
  fluid_synth_add_sfloader(synth_, loader);  // the synthesiser owns it
  soundfont_.Restrict(MidiSoundsOf(song_));
  if (fluid_synth_sfload(synth_, soundfont_.Name().c_str(), 1) == FLUID_FAILED) return false;

  // FluidSynth knows no SMPTE division: a frame becomes a quarter note of
  // the frame's duration, which supersedes the file's (ignored) tempo.
  const int division = song_[12] << 8 | song_[13];
  player_ = new_fluid_player(synth_);
  if (!player_) return false;
  if (division & 0x8000) {
    const int fps = -static_cast<int>(static_cast<std::int8_t>(division >> 8));
    song_[12] = 0;
    song_[13] = static_cast<std::uint8_t>(division & 0xff);
    fluid_player_set_tempo(player_, FLUID_PLAYER_TEMPO_EXTERNAL_MIDI,
                           1e6 / (fps == 29 ? 29.97 : fps));
  }
  return fluid_player_add_mem(player_, song_.data(), song_.size()) == FLUID_OK &&
         fluid_player_play(player_) == FLUID_OK;
}

std::size_t MidiDecoder::Read(float* out, std::size_t frames) {
  frames = FramesWithinLength(frames_, delivered_, frames);
  if (frames == 0) return 0;
  if (!synthesiser_ready_) {
    if (set_up_failed_ || !SetUpSynthesiser()) {
      set_up_failed_ = true;
      return 0;
    }
    synthesiser_ready_ = true;
  }
  fluid_synth_write_float(synth_, static_cast<int>(frames), out, 0, 2, out, 1, 2);
  delivered_ += frames;
  return frames;
}

/// Maps the soundfont before the song is parsed.
class MidiFactory : public DecoderFactory {
 public:
  MciError Prepare() override {
    for (const char* path : kSoundfonts) {
      if (soundfont_.Map(path)) return kOk;
    }
    return kInvalidFile;  // nothing to play the notes with
  }
  MciError Open(UniqueFd fd, std::unique_ptr<Decoder>& decoder) override {
    return OpenInModule<MidiDecoder>(std::move(fd), decoder, std::move(soundfont_));
  }

 private:
  SoundfontInMemory soundfont_;
};

}  // namespace

}  // namespace quorwind::mci

QUORWIND_DECODER_MODULE(quorwind::mci::MidiFactory)
