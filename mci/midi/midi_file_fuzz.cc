// Fuzz target: the MIDI file reader on any bytes: the length, the rewrite
// with explicit status bytes, the sounds the song calls for, and the
// soundfont cut to them (the build's small soundfont).
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <span>
#include <vector>

#include "mci/midi/midi_file.h"
#include "mci/midi/soundfont_subset.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorwind::mci;
  static const std::vector<std::uint8_t> soundfont = [] {
    std::ifstream file(QUORWIND_FUZZ_SOUNDFONT, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
  }();
  const auto smf = StandardMidiData(std::span(data, size));
  const auto length = MidiLengthMicroseconds(smf);
  const std::vector<std::uint8_t> rewritten = WithExplicitStatus(smf);
  // The rewrite changes no event's time: the song keeps its length.
  if (!rewritten.empty() && length && MidiLengthMicroseconds(rewritten) != length) std::abort();
  const MidiSounds sounds = MidiSoundsOf(smf);
  (void)SubsetSoundfont(soundfont, sounds);
  return 0;
}
