// The system's output: the first back end whose sound system answers.
#include "mci/outputs/audio_output.h"

namespace quorwind::mci {

namespace {

class FirstAnsweringOutput : public AudioOutput {
 public:
  MciError Start(FrameSource& source) override {
    MciError error = kDeviceNotInstalled;
    for (auto create : {CreatePulseOutput, CreateAlsaOutput}) {
      active_ = create();
      error = active_->Start(source);
      if (error != kDeviceNotInstalled) return error;
      active_.reset();
    }
    return error;
  }

 private:
  std::unique_ptr<AudioOutput> active_;
};

}  // namespace

std::unique_ptr<AudioOutput> CreateSystemOutput() {
  return std::make_unique<FirstAnsweringOutput>();
}

}  // namespace quorwind::mci
