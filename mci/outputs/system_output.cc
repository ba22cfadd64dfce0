// The system's output: the first back end whose sound system answers.
#include "mci/module_loader.h"
#include "mci/outputs/audio_output.h"

namespace quorwind::mci {

namespace {

class FirstAnsweringOutput : public AudioOutput {
 public:
  void Prepare() override {
    active_ = CreatePulseOutput();
    active_->Prepare();
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

}  // namespace

std::unique_ptr<AudioOutput> CreateAlsaOutput() {
  using Create = AudioOutput* (*)() noexcept;
  const auto create =
      reinterpret_cast<Create>(LoadModuleEntry("libquorwind-alsa.so", "QuorwindCreateOutput"));
  return std::unique_ptr<AudioOutput>(create ? create() : nullptr);
}

std::unique_ptr<AudioOutput> CreateSystemOutput() {
  return std::make_unique<FirstAnsweringOutput>();
}

}  // namespace quorwind::mci
