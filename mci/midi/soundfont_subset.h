// A SoundFont 2 file cut down to the presets and zones one song can select, so
// that the synthesiser parses and loads a handful of samples instead of a
// whole General MIDI set.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "mci/midi/midi_file.h"

namespace quorwind::mci {

/// The subset, as the bytes that replace the end of the original file: the
/// file is |original[0, kept)| with its RIFF size set to |riff_size|, then
/// |presets| (a new preset-data chunk) in place of the original's.
struct SoundfontSubset {
  std::size_t kept = 0;
  std::uint32_t riff_size = 0;
  std::vector<std::uint8_t> presets;
};

/// Keeps the presets of |sounds|' programs in every bank, every percussion
/// kit (bank 128) when it may play percussion, and of these the zones whose
/// key and velocity ranges hold one of its notes, with the instruments and
/// samples those use: all that FluidSynth selects for the song, its fallbacks
/// included (bank 0 of the same program, then program 0, which |sounds|
/// must hold). Nothing when |soundfont| is not laid out as this reader
/// expects.
std::optional<SoundfontSubset> SubsetSoundfont(std::span<const std::uint8_t> soundfont,
                                               const MidiSounds& sounds);

}  // namespace quorwind::mci
