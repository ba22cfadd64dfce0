// Fuzz target: the MIDI file reader, on any bytes.
#include <cstdint>
#include <span>

#include "mci/midi/midi_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto smf = quorwind::mci::StandardMidiData(std::span(data, size));
  (void)quorwind::mci::MidiLengthMicroseconds(smf);
  return 0;
}
