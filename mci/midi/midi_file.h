// Standard MIDI files: the song's length from its tempo map.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace quorwind::mci {

/// The Standard MIDI File inside |file|: the file itself, or the data chunk
/// of a RIFF RMID file. Empty when there is none.
std::span<const std::uint8_t> StandardMidiData(std::span<const std::uint8_t> file);

/// The time of the last event of a Standard MIDI File (types 0, 1 and 2;
/// quarter-note or SMPTE time division), in microseconds, through the file's
/// tempo changes; nothing when the file is malformed.
std::optional<std::uint64_t> MidiLengthMicroseconds(std::span<const std::uint8_t> smf);

}  // namespace quorwind::mci
