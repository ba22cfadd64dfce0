// Writes a sine tone of exact length; used for the demo sound, by the tests and
// by the benchmarks.
//
//   make_tone OUT FORMAT SECONDS [RATE] [CHANNELS] [FREQUENCY]
//
// FORMAT is one of those of ToneSpec (tools/tone.h).
#include <cstdio>
#include <cstdlib>

#include "tools/tone.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: make_tone OUT FORMAT SECONDS [RATE] [CHANNELS] [FREQUENCY]\n");
    return 2;
  }
  quorwind::ToneSpec tone;
  tone.format = argv[2];
  tone.seconds = std::atof(argv[3]);
  if (argc > 4) tone.rate = std::atoi(argv[4]);
  if (argc > 5) tone.channels = std::atoi(argv[5]);
  if (argc > 6) tone.frequency = std::atof(argv[6]);
  const std::string error = quorwind::WriteTone(argv[1], tone);
  if (!error.empty()) {
    std::fprintf(stderr, "make_tone: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
