// Opus and Vorbis as the WebM module decodes them.
#include "mci/webm/webm_codecs.h"

#include <opus/opus.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <cstring>

namespace quorwind::mci {

namespace {

/// Opus always decodes at 48 kHz.
constexpr int kOpusRate = 48000;
/// The longest packet: 120 ms.
constexpr int kLongestPacket = kOpusRate * 120 / 1000;

struct OpusDecoderDeleter {
  void operator()(OpusDecoder* decoder) const { opus_decoder_destroy(decoder); }
};

class OpusCodec : public PacketCodec {
 public:
  bool SetUp(const std::vector<std::uint8_t>& head) override {
    // The identification header: "OpusHead", version, channels, pre-skip,
    // input rate, output gain, mapping family.
    if (head.size() < 19 || std::memcmp(head.data(), "OpusHead", 8) != 0 || (head[8] & 0xf0) != 0) {
      return false;
    }
    channels_ = head[9];
    pre_skip_ = head[10] | (head[11] << 8);
    const auto gain = static_cast<std::int16_t>(head[16] | (head[17] << 8));
    if (head[18] != 0 || (channels_ != 1 && channels_ != 2)) return false;
    int error = OPUS_OK;
    decoder_.reset(opus_decoder_create(kOpusRate, channels_, &error));
    return error == OPUS_OK && decoder_ &&
           opus_decoder_ctl(decoder_.get(), OPUS_SET_GAIN(gain)) == OPUS_OK;
  }
  int Rate() const override { return kOpusRate; }
  int Channels() const override { return channels_; }
  std::uint64_t PreSkip() const override { return pre_skip_; }
  void RestartDecoding() override { opus_decoder_ctl(decoder_.get(), OPUS_RESET_STATE); }
  long CountFrames(const std::vector<std::uint8_t>& packet) override {
    const int frames = opus_packet_get_nb_samples(
        packet.data(), static_cast<opus_int32>(packet.size()), kOpusRate);
    return frames > 0 && frames <= kLongestPacket ? frames : -1;
  }
  bool Decode(const std::vector<std::uint8_t>& packet, std::vector<float>& frames) override {
    frames.resize(kLongestPacket * static_cast<std::size_t>(channels_));
    const int got =
        opus_decode_float(decoder_.get(), packet.data(), static_cast<opus_int32>(packet.size()),
                          frames.data(), kLongestPacket, 0);
    frames.resize(got > 0 ? static_cast<std::size_t>(got * channels_) : 0);
    return got >= 0;
  }

 private:
  std::unique_ptr<OpusDecoder, OpusDecoderDeleter> decoder_;
  int channels_ = 0;
  std::uint64_t pre_skip_ = 0;
};

/// Vorbis: the three headers are the track's private data, in Xiph lacing.
/// A packet decodes to a quarter of its block and of the block before it,
/// the first to nothing, as FFmpeg's decoder gives them.
class VorbisCodec : public PacketCodec {
 public:
  VorbisCodec() {
    vorbis_info_init(&info_);
    vorbis_comment_init(&comment_);
  }
  ~VorbisCodec() override {
    if (synthesising_) {
      vorbis_block_clear(&block_);
      vorbis_dsp_clear(&dsp_);
    }
    vorbis_comment_clear(&comment_);
    vorbis_info_clear(&info_);
  }
  VorbisCodec(const VorbisCodec&) = delete;
  VorbisCodec& operator=(const VorbisCodec&) = delete;

  bool SetUp(const std::vector<std::uint8_t>& head) override {
    // The count of headers less one, the sizes of all but the last (each a
    // run of 255s and the byte that ends it), then the headers.
    if (head.empty() || head[0] != 2) return false;
    std::size_t at = 1;
    std::size_t sizes[3] = {};
    for (int i = 0; i < 2; ++i) {
      while (at < head.size() && head[at] == 255) sizes[i] += head[at++];
      if (at == head.size()) return false;
      sizes[i] += head[at++];
    }
    if (sizes[0] + sizes[1] > head.size() - at) return false;
    sizes[2] = head.size() - at - sizes[0] - sizes[1];
    for (int i = 0; i < 3; ++i) {
      ogg_packet header = Packet(head.data() + at, sizes[i]);
      header.b_o_s = i == 0;
      if (vorbis_synthesis_headerin(&info_, &comment_, &header) != 0) return false;
      at += sizes[i];
    }
    if ((info_.channels != 1 && info_.channels != 2) || info_.rate <= 0 || info_.rate > 768000 ||
        vorbis_synthesis_init(&dsp_, &info_) != 0) {
      return false;
    }
    if (vorbis_block_init(&dsp_, &block_) != 0) {
      vorbis_dsp_clear(&dsp_);
      return false;
    }
    synthesising_ = true;
    return true;
  }
  int Rate() const override { return static_cast<int>(info_.rate); }
  int Channels() const override { return info_.channels; }
  void RestartCount() override { last_block_ = 0; }
  void RestartDecoding() override { vorbis_synthesis_restart(&dsp_); }
  int PacketsBeforeOutput() const override { return 1; }
  long CountFrames(const std::vector<std::uint8_t>& packet) override {
    ogg_packet counted = Packet(packet.data(), packet.size());
    const long block = vorbis_packet_blocksize(&info_, &counted);
    if (block <= 0) return -1;
    const long frames = last_block_ > 0 ? (last_block_ + block) / 4 : 0;
    last_block_ = block;
    return frames;
  }
  bool Decode(const std::vector<std::uint8_t>& packet, std::vector<float>& frames) override {
    ogg_packet audio = Packet(packet.data(), packet.size());
    if (vorbis_synthesis(&block_, &audio) != 0 || vorbis_synthesis_blockin(&dsp_, &block_) != 0) {
      return false;
    }
    float** pcm = nullptr;
    const int got = vorbis_synthesis_pcmout(&dsp_, &pcm);
    const auto channels = static_cast<std::size_t>(info_.channels);
    frames.resize(static_cast<std::size_t>(std::max(got, 0)) * channels);
    for (std::size_t frame = 0; frame * channels < frames.size(); ++frame) {
      for (std::size_t channel = 0; channel < channels; ++channel)
        frames[frame * channels + channel] = pcm[channel][frame];
    }
    vorbis_synthesis_read(&dsp_, std::max(got, 0));
    return true;
  }

 private:
  ogg_packet Packet(const std::uint8_t* bytes, std::size_t size) {
    ogg_packet packet{};
    packet.packet = const_cast<unsigned char*>(bytes);
    packet.bytes = static_cast<long>(size);
    packet.packetno = packet_number_++;
    return packet;
  }

  vorbis_info info_;
  vorbis_comment comment_;
  vorbis_dsp_state dsp_{};
  vorbis_block block_{};
  bool synthesising_ = false;
  long last_block_ = 0;
  ogg_int64_t packet_number_ = 0;
};

}  // namespace

std::unique_ptr<PacketCodec> MakePacketCodec(const std::string& codec) {
  if (codec == "A_OPUS") return std::make_unique<OpusCodec>();
  if (codec == "A_VORBIS") return std::make_unique<VorbisCodec>();
  return nullptr;
}

}  // namespace quorwind::mci
