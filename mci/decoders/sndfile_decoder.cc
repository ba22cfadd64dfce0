// libsndfile's formats.
#include <sndfile.h>
#include <unistd.h>

#include "mci/decoders/decoder.h"

namespace quorwind::mci {

namespace {

class SndfileDecoder : public Decoder {
 public:
  /// Takes ownership of |file|.
  SndfileDecoder(SNDFILE* file, const SF_INFO& info) : file_(file), info_(info) {}
  ~SndfileDecoder() override { sf_close(file_); }
  SndfileDecoder(const SndfileDecoder&) = delete;
  SndfileDecoder& operator=(const SndfileDecoder&) = delete;

  std::uint64_t LengthMilliseconds() const override {
    return FramesToMilliseconds(static_cast<std::uint64_t>(info_.frames),
                                static_cast<std::uint64_t>(info_.samplerate));
  }
  int SampleRate() const override { return info_.samplerate; }
  int Channels() const override { return info_.channels; }
  std::vector<Speaker> Layout() const override;
  std::size_t Read(float* out, std::size_t frames) override {
    const sf_count_t read = sf_readf_float(file_, out, static_cast<sf_count_t>(frames));
    return read > 0 ? static_cast<std::size_t>(read) : 0;
  }

 private:
  SNDFILE* file_;
  SF_INFO info_;
};

std::vector<Speaker> SndfileDecoder::Layout() const {
  static constexpr std::pair<int, Speaker> kSpeakers[] = {
      {SF_CHANNEL_MAP_MONO, Speaker::kMono},
      {SF_CHANNEL_MAP_LEFT, Speaker::kFrontLeft},
      {SF_CHANNEL_MAP_FRONT_LEFT, Speaker::kFrontLeft},
      {SF_CHANNEL_MAP_RIGHT, Speaker::kFrontRight},
      {SF_CHANNEL_MAP_FRONT_RIGHT, Speaker::kFrontRight},
      {SF_CHANNEL_MAP_CENTER, Speaker::kFrontCenter},
      {SF_CHANNEL_MAP_FRONT_CENTER, Speaker::kFrontCenter},
      {SF_CHANNEL_MAP_REAR_CENTER, Speaker::kRearCenter},
      {SF_CHANNEL_MAP_REAR_LEFT, Speaker::kRearLeft},
      {SF_CHANNEL_MAP_REAR_RIGHT, Speaker::kRearRight},
      {SF_CHANNEL_MAP_LFE, Speaker::kLowFrequency},
      {SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER, Speaker::kFrontLeftOfCenter},
      {SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER, Speaker::kFrontRightOfCenter},
      {SF_CHANNEL_MAP_SIDE_LEFT, Speaker::kSideLeft},
      {SF_CHANNEL_MAP_SIDE_RIGHT, Speaker::kSideRight},
      {SF_CHANNEL_MAP_TOP_CENTER, Speaker::kTopCenter},
      {SF_CHANNEL_MAP_TOP_FRONT_LEFT, Speaker::kTopFrontLeft},
      {SF_CHANNEL_MAP_TOP_FRONT_RIGHT, Speaker::kTopFrontRight},
      {SF_CHANNEL_MAP_TOP_FRONT_CENTER, Speaker::kTopFrontCenter},
      {SF_CHANNEL_MAP_TOP_REAR_LEFT, Speaker::kTopRearLeft},
      {SF_CHANNEL_MAP_TOP_REAR_RIGHT, Speaker::kTopRearRight},
      {SF_CHANNEL_MAP_TOP_REAR_CENTER, Speaker::kTopRearCenter},
  };
  std::vector<int> map(static_cast<std::size_t>(info_.channels));
  if (sf_command(file_, SFC_GET_CHANNEL_MAP_INFO, map.data(),
                 static_cast<int>(map.size() * sizeof(int))) != SF_TRUE) {
    return {};
  }
  return SpeakersFromCodes(map, kSpeakers);
}

}  // namespace

MciError OpenSndfileDecoder(UniqueFd fd, std::unique_ptr<Decoder>& decoder) {
  SF_INFO info{};
  SNDFILE* file = sf_open_fd(fd.release(), SFM_READ, &info, SF_TRUE);
  if (!file) return kInvalidFile;  // sf_open_fd closes fd on failure
  if (info.samplerate <= 0 || info.channels <= 0 || info.frames < 0 ||
      info.frames == SF_COUNT_MAX) {
    sf_close(file);
    return kInvalidFile;
  }
  decoder = std::make_unique<SndfileDecoder>(file, info);
  return kOk;
}

}  // namespace quorwind::mci
