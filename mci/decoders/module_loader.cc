// Decoders kept in modules of their own beside this one, loaded only for the
// files that need them, so that other files never map their libraries.
#include <dlfcn.h>
#include <string>

#include "mci/decoders/decoder.h"

namespace quorwind::mci {

namespace {

/// A module's decoder, with the module held open as long as it lives.
class ModuleDecoder : public Decoder {
 public:
  ModuleDecoder(void* module, Decoder* decoder) : module_(module), decoder_(decoder) {}
  ~ModuleDecoder() override {
    decoder_.reset();
    dlclose(module_);
  }
  ModuleDecoder(const ModuleDecoder&) = delete;
  ModuleDecoder& operator=(const ModuleDecoder&) = delete;

  std::uint64_t LengthMilliseconds() const override { return decoder_->LengthMilliseconds(); }
  int SampleRate() const override { return decoder_->SampleRate(); }
  int Channels() const override { return decoder_->Channels(); }
  std::vector<Speaker> Layout() const override { return decoder_->Layout(); }
  std::size_t Read(float* out, std::size_t frames) override { return decoder_->Read(out, frames); }

 private:
  void* module_;
  std::unique_ptr<Decoder> decoder_;
};

/// The directory of this module, from which its siblings are loaded by
/// absolute path: never from the library search path.
std::string ThisModuleDirectory() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&ThisModuleDirectory), &info) || !info.dli_fname) return "";
  const std::string path = info.dli_fname;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

/// A missing module, or one whose libraries are missing, leaves its formats
/// unplayable: kInvalidFile, quietly.
MciError OpenFromModule(const char* name, UniqueFd fd, std::unique_ptr<Decoder>& decoder) {
  const std::string directory = ThisModuleDirectory();
  void* module = directory.empty()
                     ? nullptr
                     : dlopen((directory + name).c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  const auto open =
      module
          ? reinterpret_cast<decltype(&QuorwindOpenDecoder)>(dlsym(module, "QuorwindOpenDecoder"))
          : nullptr;
  if (!open) {
    if (module) dlclose(module);
    return kInvalidFile;
  }
  Decoder* opened = nullptr;
  const MciError error = open(fd.release(), &opened);
  if (error != kOk || !opened) {
    dlclose(module);
    return error != kOk ? error : kInvalidFile;
  }
  decoder = std::make_unique<ModuleDecoder>(module, opened);
  return kOk;
}

}  // namespace

MciError OpenFfmpegDecoder(UniqueFd fd, std::unique_ptr<Decoder>& decoder) {
  return OpenFromModule("libquorwind-ffmpeg.so", std::move(fd), decoder);
}

MciError OpenMidiDecoder(UniqueFd fd, std::unique_ptr<Decoder>& decoder) {
  return OpenFromModule("libquorwind-midi.so", std::move(fd), decoder);
}

}  // namespace quorwind::mci
