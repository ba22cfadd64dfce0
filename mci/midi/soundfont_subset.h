// A SoundFont 2 file cut down to the presets one song can select, so that the
// synthesiser parses a handful of presets instead of a whole General MIDI set.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorwind::mci {

/// The subset, as the bytes that replace the end of the original file: the
/// file is |original[0, kept)| with its RIFF size set to |riff_size|, then
/// |presets| (a new preset-data chunk) in place of the original's.
struct SoundfontSubset {
  std::size_t kept = 0;
  std::uint32_t riff_size = 0;
  std::vector<std::uint8_t> presets;
};

/// Keeps the presets of |programs| in every bank, every percussion kit (bank
/// 128) when |percussion|, and the instruments and samples they use: all
/// that FluidSynth selects for a song whose program changes are |programs|,
/// its fallbacks included (bank 0 of the same program, then program 0, which
/// |programs| must hold). Nothing when |soundfont| is not laid out as this
/// reader expects.
std::optional<SoundfontSubset> SubsetSoundfont(std::span<const std::uint8_t> soundfont,
                                               const std::bitset<128>& programs, bool percussion);

}  // namespace quorwind::mci
