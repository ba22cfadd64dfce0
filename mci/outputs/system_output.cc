// The system's output: the first back end whose sound system answers.
#include "mci/module_loader.h"
#include "mci/outputs/audio_output.h"

namespace quorwind::mci {

namespace {

class FirstAnsweringOutput : public AudioOutput {
 public:
  void Prepare() override {
    active_ = CreatePulseOutput();
    if (active_) active_->Prepare();
  }

  MciError Start(FrameSource& source, std::chrono::steady_clock::time_point deadline) override {
    MciError error = kDeviceNotInstalled;
    for (auto create : {CreatePulseOutput, CreateAlsaOutput}) {
      if (!active_) active_ = create();
      if (!active_) continue;
      error = active_->Start(source, deadline);
      if (error != kDeviceNotInstalled) return error;
      active_.reset();
    }
    return error;
  }

 private:
  std::unique_ptr<AudioOutput> active_;
};

/// The back end of the module file |name|: each links its own sound
/// system's library, loaded only when that system is tried.
std::unique_ptr<AudioOutput> CreateModuleOutput(const char* name) {
  using Create = AudioOutput* (*)() noexcept;
  const auto create = reinterpret_cast<Create>(LoadModuleEntry(name, "QuorwindCreateOutput"));
  return std::unique_ptr<AudioOutput>(create ? create() : nullptr);
}

}  // namespace

std::unique_ptr<AudioOutput> CreatePulseOutput() {
  return CreateModuleOutput("libquorwind-pulse.so");
}

std::unique_ptr<AudioOutput> CreateAlsaOutput() {
  return CreateModuleOutput("libquorwind-alsa.so");
}

std::unique_ptr<AudioOutput> CreateSystemOutput() {
  return std::make_unique<FirstAnsweringOutput>();
}

}  // namespace quorwind::mci
