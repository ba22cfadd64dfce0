// The module libquorwind-aac.so: AAC-LC in MP4 files (.m4a, .mp4, .m4b) and
// ADTS streams (.aac) by libfaad2, a decoder a hundredth of FFmpeg's size, so
// that the common files start as soon as a WAV. Files it does not take (other
// codecs, HE-AAC, more than two channels, fragments) go to FFmpeg.
#include <neaacdec.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "mci/decoders/adts_track.h"
#include "mci/decoders/decoder.h"
#include "mci/decoders/mp4_audio_track.h"
#include "mci/module_loader.h"

namespace quorwind::mci {

namespace {

/// An MPEG-4 audio elementary stream, in a descriptor's object type.
constexpr std::uint8_t kMpeg4Audio = 0x40;
/// AAC's low-complexity profile, in the audio object types.
constexpr unsigned char kAacLowComplexity = 2;
constexpr std::uint32_t kFramesPerAccessUnit = 1024;
/// An access unit holds at most 6144 bits per channel.
constexpr std::uint32_t kLargestAccessUnit = 2 * 6144 / 8;
/// libfaad2 outputs nothing for the first access unit, whose frames the
/// decoder's overlap has not completed; other decoders output them.
constexpr std::uint64_t kFramesWithheld = kFramesPerAccessUnit;

/// The channel configuration of an AudioSpecificConfig that starts with the
/// AAC-LC object type (libfaad2's parser reports mono as stereo).
int ChannelConfiguration(const std::vector<std::uint8_t>& config) {
  if (config.size() < 2 || config[0] >> 3 != kAacLowComplexity) return 0;
  const int rate_index = (config[0] & 7) << 1 | config[1] >> 7;
  if (rate_index != 15) return (config[1] >> 3) & 15;
  // An explicit 24-bit rate after the index.
  return config.size() < 5 ? 0 : (config[4] >> 3) & 15;
}

class AacDecoder : public Decoder {
 public:
  AacDecoder() = default;
  ~AacDecoder() override {
    if (decoder_) NeAACDecClose(decoder_);
  }
  AacDecoder(const AacDecoder&) = delete;
  AacDecoder& operator=(const AacDecoder&) = delete;

  MciError Open(UniqueFd fd);

  std::uint64_t LengthMilliseconds() const override {
    return FramesToMilliseconds(track_.length, track_.time_scale);
  }
  int SampleRate() const override { return static_cast<int>(track_.time_scale); }
  int Channels() const override { return channels_; }
  std::vector<Speaker> Layout() const override {
    if (channels_ == 1) return {Speaker::kMono};
    return {Speaker::kFrontLeft, Speaker::kFrontRight};
  }
  std::size_t Read(float* out, std::size_t frames) override;

 private:
  /// Decodes the next access unit into pending_; false at the end.
  bool DecodeMore();
  /// Whether libfaad2 announces |rate| for the media's: at 24 kHz and below
  /// it announces the rate implicit SBR would give, and without SBR data
  /// (see CarriesSbr) decodes at the media's.
  bool IsMediaRate(unsigned long rate) const {
    return rate == track_.time_scale ||
           (track_.time_scale <= 24000 && rate == 2ul * track_.time_scale);
  }
  /// Whether the first access units carry SBR data (HE-AAC signalled only
  /// by its presence), which FFmpeg would play at twice the rate.
  bool CarriesSbr();

  UniqueFd fd_;
  Mp4AudioTrack track_;
  NeAACDecHandle decoder_ = nullptr;
  int channels_ = 0;
  /// libfaad2 outputs a mono stream as two equal channels, in case of
  /// parametric stereo; the stream's own count is channels_.
  int decoded_channels_ = 0;
  std::size_t next_sample_ = 0;
  std::uint64_t to_skip_ = 0;  ///< decoded frames before the stream's first
  std::uint64_t delivered_ = 0;
  std::vector<std::uint8_t> unit_;
  PendingFrames pending_;
};

MciError AacDecoder::Open(UniqueFd fd) {
  fd_ = std::move(fd);
  struct stat status {};
  if (fstat(fd_.get(), &status) != 0) return kInvalidFile;
  const auto size = static_cast<std::uint64_t>(status.st_size);
  auto track = ReadMp4AudioTrack(fd_.get(), size);
  if (!track) track = ReadAdtsTrack(fd_.get(), size);
  if (!track || track->object_type != kMpeg4Audio ||
      track->frames_per_sample != kFramesPerAccessUnit) {
    return kInvalidFile;
  }
  track_ = std::move(*track);
  for (const Mp4Sample& sample : track_.samples) {
    if (sample.size > kLargestAccessUnit) return kInvalidFile;
  }

  // Plain AAC-LC at the media's rate; SBR, signalled or implicit, would
  // change the rate and is left to FFmpeg, whose choices the others follow.
  // Implicit SBR is possible at 24 kHz and below: the first units tell.
  channels_ = ChannelConfiguration(track_.decoder_config);
  mp4AudioSpecificConfig config{};
  if (NeAACDecAudioSpecificConfig(track_.decoder_config.data(), track_.decoder_config.size(),
                                  &config) != 0 ||
      config.objectTypeIndex != kAacLowComplexity || config.sbr_present_flag == 1 ||
      channels_ < 1 || channels_ > 2 || !IsMediaRate(config.samplingFrequency) ||
      (track_.time_scale <= 24000 && CarriesSbr())) {
    return kInvalidFile;
  }
  decoder_ = NeAACDecOpen();
  if (!decoder_) return kOutOfMemory;
  NeAACDecConfigurationPtr settings = NeAACDecGetCurrentConfiguration(decoder_);
  settings->outputFormat = FAAD_FMT_FLOAT;
  settings->downMatrix = 0;
  settings->dontUpSampleImplicitSBR = 1;
  if (!NeAACDecSetConfiguration(decoder_, settings)) return kInvalidFile;
  unsigned long rate = 0;
  unsigned char channels = 0;
  if (NeAACDecInit2(decoder_, track_.decoder_config.data(),
                    static_cast<unsigned long>(track_.decoder_config.size()), &rate,
                    &channels) != 0 ||
      !IsMediaRate(rate) || (channels != channels_ && !(channels == 2 && channels_ == 1))) {
    return kInvalidFile;
  }
  decoded_channels_ = channels;
  // The first access unit's frames, which libfaad2 keeps back, are the
  // priming an edit list skips; a file without one gets them as silence.
  if (track_.skip >= kFramesWithheld) {
    to_skip_ = track_.skip - kFramesWithheld;
  } else {
    pending_.samples.assign((kFramesWithheld - track_.skip) * static_cast<std::size_t>(channels_),
                            0.0f);
  }
  unit_.resize(kLargestAccessUnit + 8);  // zeros past the end for the bit reader
  return kOk;
}

bool AacDecoder::CarriesSbr() {
  constexpr std::size_t kUnitsLooked = 4;
  NeAACDecHandle probe = NeAACDecOpen();
  if (!probe) return true;
  NeAACDecConfigurationPtr settings = NeAACDecGetCurrentConfiguration(probe);
  settings->outputFormat = FAAD_FMT_FLOAT;
  settings->dontUpSampleImplicitSBR = 1;
  unsigned long rate = 0;
  unsigned char channels = 0;
  bool sbr = !NeAACDecSetConfiguration(probe, settings) ||
             NeAACDecInit2(probe, track_.decoder_config.data(),
                           static_cast<unsigned long>(track_.decoder_config.size()), &rate,
                           &channels) != 0;
  std::vector<std::uint8_t> unit(kLargestAccessUnit + 8);
  for (std::size_t i = 0; i < std::min(kUnitsLooked, track_.samples.size()) && !sbr; ++i) {
    const Mp4Sample& sample = track_.samples[i];
    std::fill(unit.begin(), unit.end(), 0);
    if (pread(fd_.get(), unit.data(), sample.size, static_cast<off_t>(sample.offset)) !=
        static_cast<ssize_t>(sample.size)) {
      break;
    }
    NeAACDecFrameInfo info{};
    NeAACDecDecode(probe, &info, unit.data(), sample.size);
    sbr = info.error == 0 && info.sbr != NO_SBR;
  }
  NeAACDecClose(probe);
  return sbr;
}

bool AacDecoder::DecodeMore() {
  const auto channels = static_cast<std::size_t>(channels_);
  while (next_sample_ < track_.samples.size()) {
    const Mp4Sample& sample = track_.samples[next_sample_++];
    if (pread(fd_.get(), unit_.data(), sample.size, static_cast<off_t>(sample.offset)) !=
        static_cast<ssize_t>(sample.size)) {
      return false;  // the file shrank underneath
    }
    std::memset(unit_.data() + sample.size, 0, unit_.size() - sample.size);
    NeAACDecFrameInfo info{};
    const auto* decoded =
        static_cast<const float*>(NeAACDecDecode(decoder_, &info, unit_.data(), sample.size));
    const auto step = static_cast<std::size_t>(decoded_channels_);
    const std::size_t frames = info.samples / step;
    if (!decoded || info.error || info.channels != decoded_channels_ ||
        info.samplerate != track_.time_scale || frames > kFramesPerAccessUnit) {
      // A damaged unit is heard as its length of silence, which keeps time.
      pending_.samples.assign(next_sample_ == 1 ? 0 : kFramesPerAccessUnit * channels, 0.0f);
    } else {
      pending_.samples.resize(frames * channels);
      for (std::size_t i = 0; i < frames; ++i) {
        std::copy_n(decoded + i * step, channels,
                    pending_.samples.begin() + static_cast<std::ptrdiff_t>(i * channels));
      }
    }
    // The priming the edit list skips.
    const std::size_t skipped =
        std::min<std::uint64_t>(to_skip_, pending_.samples.size() / channels);
    to_skip_ -= skipped;
    pending_.at = skipped * channels;
    if (pending_.at < pending_.samples.size()) return true;
  }
  return false;
}

std::size_t AacDecoder::Read(float* out, std::size_t frames) {
  frames = FramesWithinLength(track_.length, delivered_, frames);
  const std::size_t filled = pending_.Deliver(out, frames, static_cast<std::size_t>(channels_),
                                              [this] { return DecodeMore(); });
  delivered_ += filled;
  return filled;
}

}  // namespace

}  // namespace quorwind::mci

QUORWIND_DECODER_MODULE(quorwind::mci::ModuleDecoderFactory<quorwind::mci::AacDecoder>)
