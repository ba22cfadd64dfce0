// The module libquorwind-wavpack.so: WavPack files (.wv) by libwavpack, which
// loads in half a millisecond where FFmpeg takes tens. Files it does not
// take (DSD audio, no stated length, a last block missing) go to FFmpeg.
#include <sys/stat.h>
#include <unistd.h>
#include <wavpack/wavpack.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "mci/decoders/decoder.h"
#include "mci/module_loader.h"

namespace quorwind::mci {

namespace {

/// Channel counts beyond this are no sound a speaker set can render.
constexpr int kMaximumChannels = 32;

/// libwavpack's reader over the media's descriptor.
struct FileReader {
  static int32_t Read(void* id, void* data, int32_t count) {
    const ssize_t got = ::read(Fd(id), data, static_cast<std::size_t>(count));
    return got < 0 ? 0 : static_cast<int32_t>(got);
  }
  static int64_t Position(void* id) { return lseek(Fd(id), 0, SEEK_CUR); }
  static int SetAbsolute(void* id, int64_t at) {
    return lseek(Fd(id), static_cast<off_t>(at), SEEK_SET) < 0 ? -1 : 0;
  }
  static int SetRelative(void* id, int64_t delta, int whence) {
    return lseek(Fd(id), static_cast<off_t>(delta), whence) < 0 ? -1 : 0;
  }
  static int PushBack(void* id, int c) {
    return lseek(Fd(id), -1, SEEK_CUR) < 0 ? EOF : c;  // the byte just read
  }
  static int64_t Length(void* id) {
    struct stat status {};
    return fstat(Fd(id), &status) == 0 ? status.st_size : 0;
  }
  static int CanSeek(void*) { return 1; }
  static int Fd(void* id) { return static_cast<UniqueFd*>(id)->get(); }
};

WavpackStreamReader64 kReader = {FileReader::Read,
                                 nullptr,
                                 FileReader::Position,
                                 FileReader::SetAbsolute,
                                 FileReader::SetRelative,
                                 FileReader::PushBack,
                                 FileReader::Length,
                                 FileReader::CanSeek,
                                 nullptr,
                                 nullptr};

class WavpackDecoder : public CountedDecoder {
 public:
  WavpackDecoder() = default;
  ~WavpackDecoder() override {
    if (context_) WavpackCloseFile(context_);
  }
  WavpackDecoder(const WavpackDecoder&) = delete;
  WavpackDecoder& operator=(const WavpackDecoder&) = delete;

  MciError Open(UniqueFd fd);

  std::vector<Speaker> Layout() const override;
  std::size_t Read(float* out, std::size_t frames) override;

 private:
  UniqueFd fd_;
  WavpackContext* context_ = nullptr;
  bool float_ = false;
  float scale_ = 1.0f;  ///< of an integer sample to [-1, 1)
  std::uint64_t delivered_ = 0;
  std::vector<std::int32_t> unpacked_;
};

MciError WavpackDecoder::Open(UniqueFd fd) {
  fd_ = std::move(fd);
  char error[80] = {};
  context_ = WavpackOpenFileInputEx64(&kReader, &fd_, nullptr, error, OPEN_NORMALIZE, 0);
  if (!context_ || (WavpackGetQualifyMode(context_) & QMODE_DSD_AUDIO)) return kInvalidFile;
  rate_ = static_cast<int>(WavpackGetSampleRate(context_));
  channels_ = WavpackGetNumChannels(context_);
  const int bytes = WavpackGetBytesPerSample(context_);
  const std::int64_t claimed = WavpackGetNumSamples64(context_);
  if (rate_ <= 0 || channels_ <= 0 || channels_ > kMaximumChannels || bytes < 1 || bytes > 4 ||
      claimed <= 0) {
    return kInvalidFile;
  }
  float_ = (WavpackGetMode(context_) & MODE_FLOAT) != 0;
  scale_ = 1.0f / static_cast<float>(std::uint64_t{1} << (8 * bytes - 1));
  // The stated count is a claim: its last frame must decode (a file cut
  // short fails, and FFmpeg counts what it decodes instead).
  std::vector<std::int32_t> last(static_cast<std::size_t>(channels_));
  if (!WavpackSeekSample64(context_, claimed - 1) ||
      WavpackUnpackSamples(context_, last.data(), 1) != 1 || !WavpackSeekSample64(context_, 0)) {
    return kInvalidFile;
  }
  frames_ = static_cast<std::uint64_t>(claimed);
  return kOk;
}

std::vector<Speaker> WavpackDecoder::Layout() const {
  // The channel mask's bits, in the order of WAVEFORMATEXTENSIBLE's.
  static constexpr Speaker kBits[] = {
      Speaker::kFrontLeft,         Speaker::kFrontRight,         Speaker::kFrontCenter,
      Speaker::kLowFrequency,      Speaker::kRearLeft,           Speaker::kRearRight,
      Speaker::kFrontLeftOfCenter, Speaker::kFrontRightOfCenter, Speaker::kRearCenter,
      Speaker::kSideLeft,          Speaker::kSideRight,          Speaker::kTopCenter,
      Speaker::kTopFrontLeft,      Speaker::kTopFrontCenter,     Speaker::kTopFrontRight,
      Speaker::kTopRearLeft,       Speaker::kTopRearCenter,      Speaker::kTopRearRight,
  };
  if (channels_ == 1) return {Speaker::kMono};
  const auto mask = static_cast<std::uint32_t>(WavpackGetChannelMask(context_));
  if (std::popcount(mask) != channels_ || (mask >> std::size(kBits)) != 0) return {};
  std::vector<Speaker> speakers;
  for (std::size_t bit = 0; bit < std::size(kBits); ++bit) {
    if (mask & (1u << bit)) speakers.push_back(kBits[bit]);
  }
  return speakers;
}

std::size_t WavpackDecoder::Read(float* out, std::size_t frames) {
  frames = FramesWithinLength(frames_, delivered_, frames);
  const auto channels = static_cast<std::size_t>(channels_);
  unpacked_.resize(frames * channels);
  const std::size_t got = frames == 0 ? 0
                                      : WavpackUnpackSamples(context_, unpacked_.data(),
                                                             static_cast<std::uint32_t>(frames));
  for (std::size_t i = 0; i < got * channels; ++i) {
    out[i] =
        float_ ? std::bit_cast<float>(unpacked_[i]) : static_cast<float>(unpacked_[i]) * scale_;
  }
  delivered_ += got;
  return got;
}

}  // namespace

}  // namespace quorwind::mci

QUORWIND_DECODER_MODULE(quorwind::mci::ModuleDecoderFactory<quorwind::mci::WavpackDecoder>)
