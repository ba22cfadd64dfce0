// Standard MIDI files: the song's length from its tempo map.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorwind::mci {

/// The Standard MIDI File inside |file|: the file itself, or the data chunk
/// of a RIFF RMID file. Empty when there is none.
std::span<const std::uint8_t> StandardMidiData(std::span<const std::uint8_t> file);

/// The time of the last event of a Standard MIDI File (types 0, 1 and 2;
/// quarter-note or SMPTE time division), in microseconds, through the file's
/// tempo changes; nothing when the file is malformed.
/// Saturates at UINT64_MAX: a song too long to count is the longest.
std::optional<std::uint64_t> MidiLengthMicroseconds(std::span<const std::uint8_t> smf);

/// The Standard MIDI File |smf| with every event's status byte written out,
/// where the file continued a running status (also past meta events, which
/// some players misread); empty when it is malformed.
std::vector<std::uint8_t> WithExplicitStatus(std::span<const std::uint8_t> smf);

/// The sounds a song can call for.
struct MidiSounds {
  /// The programs its program changes select, on any channel, and program
  /// 0, every channel's first.
  std::bitset<128> programs;
  /// Whether it may play percussion: events on channel 10, or system
  /// exclusive messages, which can make any channel a percussion one.
  bool percussion = false;
  /// The velocities each key is struck with (note-ons of velocity 0 are
  /// note-offs), on any channel: |velocities[key][velocity]|.
  std::array<std::bitset<128>, 128> velocities;
};
MidiSounds MidiSoundsOf(std::span<const std::uint8_t> smf);

}  // namespace quorwind::mci
