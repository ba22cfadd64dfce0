// Decoders kept in modules of their own beside this one, loaded only for the
// files that need them, so that other files never map their libraries.
#include "mci/decoders/decoder.h"
#include "mci/module_loader.h"

namespace quorwind::mci {

namespace {

/// A missing module, or one whose libraries are missing, leaves its formats
/// unplayable: no factory, quietly.
std::unique_ptr<DecoderFactory> MakeFactoryFromModule(const char* name) {
  const auto make = reinterpret_cast<decltype(&QuorwindNewDecoderFactory)>(
      LoadModuleEntry(name, "QuorwindNewDecoderFactory"));
  return std::unique_ptr<DecoderFactory>(make ? make() : nullptr);
}

}  // namespace

std::unique_ptr<DecoderFactory> MakeFfmpegFactory() {
  return MakeFactoryFromModule("libquorwind-ffmpeg.so");
}

std::unique_ptr<DecoderFactory> MakeAacFactory() {
  return MakeFactoryFromModule("libquorwind-aac.so");
}

std::unique_ptr<DecoderFactory> MakeWavpackFactory() {
  return MakeFactoryFromModule("libquorwind-wavpack.so");
}

std::unique_ptr<DecoderFactory> MakeWebmFactory() {
  return MakeFactoryFromModule("libquorwind-webm.so");
}

std::unique_ptr<DecoderFactory> MakeMidiFactory() {
  return MakeFactoryFromModule("libquorwind-midi.so");
}

}  // namespace quorwind::mci
