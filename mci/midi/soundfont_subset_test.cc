// Songs rendered by FluidSynth from the whole system soundfont and from the
// subset cut for each: the frames must be the same, bit for bit.
#include "mci/midi/soundfont_subset.h"

#include <fluidsynth.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "mci/midi/midi_file.h"

namespace quorwind::mci {
namespace {

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

/// A type 0 file at 480 ticks per quarter of |events| (delta-timed).
std::vector<std::uint8_t> Song(const std::vector<std::uint8_t>& events) {
  std::vector<std::uint8_t> track = events;
  track.insert(track.end(), {0x00, 0xff, 0x2f, 0x00});
  std::vector<std::uint8_t> file = {'M', 'T', 'h', 'd',  0,    0,   0,   6,   0,
                                    0,   0,   1,   0x01, 0xe0, 'M', 'T', 'r', 'k'};
  for (int shift = 24; shift >= 0; shift -= 8)
    file.push_back(static_cast<std::uint8_t>(track.size() >> shift));
  file.insert(file.end(), track.begin(), track.end());
  return file;
}

/// The song's first second as FluidSynth renders it with |soundfont|.
std::vector<float> Render(const std::string& soundfont, const std::vector<std::uint8_t>& song) {
  fluid_settings_t* settings = new_fluid_settings();
  fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
  fluid_settings_setstr(settings, "player.timing-source", "sample");
  fluid_synth_t* synth = new_fluid_synth(settings);
  fluid_player_t* player = new_fluid_player(synth);
  std::vector<float> frames(2 * 44100);
  if (fluid_synth_sfload(synth, soundfont.c_str(), 1) != FLUID_FAILED &&
      fluid_player_add_mem(player, song.data(), song.size()) == FLUID_OK &&
      fluid_player_play(player) == FLUID_OK) {
    fluid_synth_write_float(synth, 44100, frames.data(), 0, 2, frames.data(), 1, 2);
  } else {
    frames.clear();
  }
  delete_fluid_player(player);
  delete_fluid_synth(synth);
  delete_fluid_settings(settings);
  return frames;
}

/// The soundfonts a Debian system offers as its General MIDI set: the small
/// one the build needs, and FluidR3 where the tests' dependencies put it.
std::vector<std::string> SystemSoundfonts() {
  std::vector<std::string> found;
  for (const char* path :
       {"/usr/share/sounds/sf2/TimGM6mb.sf2", "/usr/share/sounds/sf2/FluidR3_GM.sf2"}) {
    if (std::filesystem::exists(path)) found.push_back(path);
  }
  return found;
}

/// Each of the system's General MIDI soundfonts, as a test of its own so
/// that they run side by side: SoundFont 2 files, and a SoundFont 3 one,
/// whose samples are compressed.
class SoundfontSubsetSongTest : public testing::TestWithParam<const char*> {};

INSTANTIATE_TEST_SUITE_P(SystemSoundfonts, SoundfontSubsetSongTest,
                         testing::Values("sf2/TimGM6mb.sf2", "sf2/FluidR3_GM.sf2",
                                         "sf3/FluidR3Mono_GM.sf3"));

TEST_P(SoundfontSubsetSongTest, SongsSoundTheSameAsWithTheWholeSoundfont) {
  const std::string whole = std::string("/usr/share/sounds/") + GetParam();
  // TimGM6mb comes with the build; the others with the tests' dependencies.
  if (!std::filesystem::exists(whole)) GTEST_SKIP() << whole << " is not installed";
  for (int level = 0; level < LAST_LOG_LEVEL; ++level)
    fluid_set_log_function(level, nullptr, nullptr);
  const std::string cut = std::filesystem::temp_directory_path() /
                          ("quorwind-subset-" + std::to_string(getpid()) + ".sf2");

  struct Case {
    const char* name;
    std::vector<std::uint8_t> events;
    bool percussion;
  };
  const Case cases[] = {
      {"organ", {0x00, 0xc0, 19, 0x00, 0x90, 69, 100, 0x83, 0x60, 0x80, 69, 0}, false},
      {"piano by default", {0x00, 0x90, 60, 100, 0x83, 0x60, 0x80, 60, 0}, false},
      {"notes across the keyboard, soft and hard",
       {0x00, 0xc0, 0,    0x00, 0x90, 21,   20,   0x00, 0x90, 108, 127,  0x81, 0x70, 0x90,
        45,   1,    0x00, 0x90, 84,   64,   0x81, 0x70, 0x80, 21,  0,    0x00, 0x90, 33,
        127,  0x00, 0x90, 96,   30,   0x81, 0x70, 0x90, 60,   90,  0x00, 0x90, 60,   127},
       false},
      {"drums",
       {0x00, 0x99, 36, 110, 0x00, 0x90, 48, 90, 0x81, 0x70, 0x99, 38, 110, 0x81, 0x70, 0x89, 36,
        0},
       true},
      {"drum keys soft and hard",
       {0x00, 0x99, 35, 20, 0x00, 0x99, 42, 127, 0x00, 0x99, 49,   64, 0x81, 0x70, 0x99, 42, 30,
        0x00, 0x99, 57, 1,  0x00, 0x99, 81, 100, 0x81, 0x70, 0x99, 38, 127,  0x00, 0x99, 46, 50},
       true},
      {"a bank the soundfont lacks falls back to bank 0",
       {0x00, 0xb0, 0, 8, 0x00, 0xc0, 25, 0x00, 0x90, 64, 100, 0x83, 0x60, 0x80, 64, 0},
       false},
      {"programs change on two channels",
       {0x00, 0xc0, 40,   0x00, 0xc1, 73,   0x00, 0x90, 67,   100,  0x00, 0x91, 72, 100,
        0x81, 0x70, 0xc0, 56,   0x00, 0x90, 60,   100,  0x81, 0x70, 0x80, 67,   0},
       false},
      {"system exclusive",
       {0x00, 0xf0, 0x05, 0x7e, 0x7f, 0x09, 0x01, 0xf7, 0x00, 0x90, 55, 100, 0x83, 0x60, 0x80, 55,
        0},
       true},
  };
  {
    const std::vector<std::uint8_t> soundfont = ReadFile(whole);
    ASSERT_FALSE(soundfont.empty());
    for (const Case& c : cases) {
      SCOPED_TRACE(whole + ": " + c.name);
      const std::vector<std::uint8_t> song = Song(c.events);
      const MidiSounds sounds = MidiSoundsOf(song);
      EXPECT_EQ(sounds.percussion, c.percussion);
      const auto subset = SubsetSoundfont(soundfont, sounds);
      ASSERT_TRUE(subset);
      EXPECT_LT(subset->kept + subset->presets.size(), soundfont.size());
      std::vector<std::uint8_t> bytes(
          soundfont.begin(), soundfont.begin() + static_cast<std::ptrdiff_t>(subset->kept));
      bytes.insert(bytes.end(), subset->presets.begin(), subset->presets.end());
      for (int i = 0; i < 4; ++i)
        bytes[4 + i] = static_cast<std::uint8_t>(subset->riff_size >> (8 * i));
      std::ofstream(cut, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));

      const std::vector<float> expected = Render(whole, song);
      ASSERT_FALSE(expected.empty());
      EXPECT_TRUE(Render(cut, song) == expected);
    }
  }
  std::filesystem::remove(cut);
}

TEST(SoundfontSubsetTest, DamagedPresetDataIsNotCut) {
  const std::vector<std::uint8_t> soundfont = ReadFile(SystemSoundfonts().at(0));
  MidiSounds sounds;
  sounds.programs.set(0);
  sounds.percussion = true;
  ASSERT_TRUE(SubsetSoundfont(soundfont, sounds));
  // The preset headers' table ends with a terminal record whose zone index
  // bounds the last preset's zones.
  const std::string_view text(reinterpret_cast<const char*>(soundfont.data()), soundfont.size());
  const std::size_t table = text.rfind("phdr");
  ASSERT_NE(table, std::string_view::npos);
  const std::size_t size = soundfont[table + 4] | soundfont[table + 5] << 8;
  struct Damage {
    const char* name;
    std::size_t at;  ///< the byte set to 0xff, or the size the file is cut to
    bool cut;
  };
  const Damage damages[] = {
      {"cut short", soundfont.size() - 1, true},
      {"cut in its samples", soundfont.size() / 2, true},
      {"a zone index past the table", table + 8 + size - 38 + 25, false},
      {"a table of a size no record fits", table + 4, false},
  };
  for (const Damage& damage : damages) {
    std::vector<std::uint8_t> damaged = soundfont;
    if (damage.cut) {
      damaged.resize(damage.at);
    } else {
      damaged[damage.at] = 0xff;
    }
    EXPECT_FALSE(SubsetSoundfont(damaged, sounds)) << damage.name;
  }
}

}  // namespace
}  // namespace quorwind::mci
