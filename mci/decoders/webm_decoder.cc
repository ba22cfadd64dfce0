// The module libquorwind-webm.so: Opus and Vorbis in WebM and Matroska by
// libwebm's parser and libopus or libvorbis, which load in a millisecond
// where FFmpeg takes tens. It takes a file with one audio track, in mono or
// stereo, unencrypted; anything else goes to FFmpeg.
#include <opus/opus.h>
#include <unistd.h>
#include <vorbis/codec.h>
#include <webm/callback.h>
#include <webm/reader.h>
#include <webm/status.h>
#include <webm/webm_parser.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mci/decoders/decoder.h"
#include "mci/module_loader.h"

namespace quorwind::mci {

namespace {

/// Opus always decodes at 48 kHz.
constexpr int kOpusRate = 48000;
/// The longest packet: 120 ms.
constexpr int kLongestPacket = kOpusRate * 120 / 1000;
/// A packet larger than this is no Opus packet (at most 48 frames of 1275).
constexpr std::uint64_t kLargestPacket = 48 * 1275 + 64;

/// libwebm's reader over the media's descriptor.
class FdReader : public webm::Reader {
 public:
  explicit FdReader(int fd) : fd_(fd) {}

  webm::Status Read(std::size_t count, std::uint8_t* buffer, std::uint64_t* got) override {
    const ssize_t n = ::read(fd_, buffer, count);
    *got = n > 0 ? static_cast<std::uint64_t>(n) : 0;
    if (n <= 0) return webm::Status(webm::Status::kEndOfFile);
    position_ += *got;
    return webm::Status(*got == count ? webm::Status::kOkCompleted : webm::Status::kOkPartial);
  }

  webm::Status Skip(std::uint64_t count, std::uint64_t* skipped) override {
    const off_t end = lseek(fd_, 0, SEEK_END);
    const std::uint64_t left = end > 0 && static_cast<std::uint64_t>(end) > position_
                                   ? static_cast<std::uint64_t>(end) - position_
                                   : 0;
    *skipped = std::min(count, left);
    position_ += *skipped;
    if (lseek(fd_, static_cast<off_t>(position_), SEEK_SET) < 0 || *skipped == 0) {
      *skipped = 0;
      return webm::Status(webm::Status::kEndOfFile);
    }
    return webm::Status(*skipped == count ? webm::Status::kOkCompleted : webm::Status::kOkPartial);
  }

  std::uint64_t Position() const override { return position_; }

 private:
  int fd_;
  std::uint64_t position_ = 0;
};

/// Where each packet of the one audio track lies, and what the track says of
/// its start and end.
class TrackIndex : public webm::Callback {
 public:
  struct Packet {
    std::uint64_t position;
    std::uint32_t size;
  };

  /// False where the file is not one this module takes.
  bool Usable() const {
    return audio_tracks_ == 1 && !encoded_ && !packets_.empty() && !head_.empty();
  }

  /// The track's codec, as Matroska names it ("A_OPUS", "A_VORBIS").
  const std::string& codec() const { return codec_; }
  const std::vector<Packet>& packets() const { return packets_; }
  const std::vector<std::uint8_t>& head() const { return head_; }
  /// Nanoseconds of padding the last block discards.
  std::int64_t last_discard_padding() const { return last_discard_padding_; }

  webm::Status OnTrackEntry(const webm::ElementMetadata&, const webm::TrackEntry& track) override {
    if (track.track_type.value() != webm::TrackType::kAudio) return Ok();
    ++audio_tracks_;
    track_ = track.track_number.value();
    codec_ = track.codec_id.value();
    encoded_ = track.content_encodings.is_present();
    head_ = track.codec_private.value();
    return Ok();
  }

  webm::Status OnSimpleBlockBegin(const webm::ElementMetadata&, const webm::SimpleBlock& block,
                                  webm::Action* action) override {
    return OnAnyBlock(block, action);
  }

  webm::Status OnBlockBegin(const webm::ElementMetadata&, const webm::Block& block,
                            webm::Action* action) override {
    return OnAnyBlock(block, action);
  }

  webm::Status OnBlockGroupEnd(const webm::ElementMetadata&,
                               const webm::BlockGroup& group) override {
    if (in_track_) last_discard_padding_ = group.discard_padding.value();
    return Ok();
  }

  webm::Status OnFrame(const webm::FrameMetadata& frame, webm::Reader* reader,
                       std::uint64_t* remaining) override {
    if (frame.size == 0 || frame.size > kLargestPacket) {
      return webm::Status(webm::Status::kInvalidElementValue);
    }
    packets_.push_back({frame.position, static_cast<std::uint32_t>(frame.size)});
    return Callback::OnFrame(frame, reader, remaining);  // skips its bytes
  }

 private:
  static webm::Status Ok() { return webm::Status(webm::Status::kOkCompleted); }

  webm::Status OnAnyBlock(const webm::Block& block, webm::Action* action) {
    in_track_ = audio_tracks_ == 1 && block.track_number == track_;
    // A later block, of a simple kind, discards nothing.
    if (in_track_) last_discard_padding_ = 0;
    *action = in_track_ ? webm::Action::kRead : webm::Action::kSkip;
    return Ok();
  }

  int audio_tracks_ = 0;
  std::uint64_t track_ = 0;
  std::string codec_;
  bool encoded_ = false;
  bool in_track_ = false;
  std::vector<std::uint8_t> head_;
  std::vector<Packet> packets_;
  std::int64_t last_discard_padding_ = 0;
};

/// One codec as the module uses it: set up from the track's private data,
/// each packet's count of frames told from its first bytes, and packets
/// decoded, in order, into interleaved frames.
class PacketCodec {
 public:
  virtual ~PacketCodec() = default;
  /// False where the stream is not one this module takes.
  virtual bool SetUp(const std::vector<std::uint8_t>& head) = 0;
  virtual int Rate() const = 0;
  virtual int Channels() const = 0;
  /// Frames the stream's start asks to drop.
  virtual std::uint64_t PreSkip() const { return 0; }
  /// The frames the next packet of the stream decodes to; negative where it
  /// is no packet of this stream. Called once for every packet, in order.
  virtual long CountFrames(const std::vector<std::uint8_t>& packet) = 0;
  /// Decodes the next packet into |frames|; false where it cannot.
  virtual bool Decode(const std::vector<std::uint8_t>& packet, std::vector<float>& frames) = 0;
};

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

class WebmDecoder : public CountedDecoder {
 public:
  MciError Open(UniqueFd fd);

  std::vector<Speaker> Layout() const override {
    if (channels_ == 1) return {Speaker::kMono};
    return {Speaker::kFrontLeft, Speaker::kFrontRight};
  }

  std::size_t Read(float* out, std::size_t frames) override {
    frames = FramesWithinLength(frames_, delivered_, frames);
    const std::size_t got = pending_.Deliver(out, frames, static_cast<std::size_t>(channels_),
                                             [&] { return DecodeNext(); });
    delivered_ += got;
    return got;
  }

 private:
  /// Decodes the next packet into pending_, dropping what the pre-skip
  /// still asks to drop; false at the end.
  bool DecodeNext();
  /// Reads packet |index| into packet_; false if it cannot.
  bool ReadPacket(std::size_t index);

  UniqueFd fd_;
  TrackIndex index_;
  std::unique_ptr<PacketCodec> codec_;
  std::size_t next_ = 0;
  std::uint64_t to_skip_ = 0;
  std::uint64_t delivered_ = 0;
  std::vector<std::uint8_t> packet_;
  PendingFrames pending_;
};

bool WebmDecoder::ReadPacket(std::size_t index) {
  const TrackIndex::Packet& packet = index_.packets()[index];
  packet_.resize(packet.size);
  return pread(fd_.get(), packet_.data(), packet.size, static_cast<off_t>(packet.position)) ==
         static_cast<ssize_t>(packet.size);
}

MciError WebmDecoder::Open(UniqueFd fd) {
  fd_ = std::move(fd);
  FdReader reader(fd_.get());
  webm::WebmParser parser;
  const webm::Status status = parser.Feed(&index_, &reader);
  // A file cut short ends where its last whole packet does, as with FFmpeg;
  // a damaged one goes to FFmpeg.
  if ((!status.completed_ok() && status.code != webm::Status::kEndOfFile) || !index_.Usable()) {
    return kInvalidFile;
  }
  if (index_.codec() == "A_OPUS") {
    codec_ = std::make_unique<OpusCodec>();
  } else if (index_.codec() == "A_VORBIS") {
    codec_ = std::make_unique<VorbisCodec>();
  } else {
    return kInvalidFile;
  }
  if (!codec_->SetUp(index_.head())) return kInvalidFile;
  rate_ = codec_->Rate();
  channels_ = codec_->Channels();

  // Every packet's count of frames, read from its first bytes: exact, and
  // cheap. The last block's discard padding is cut, as the pre-skip is.
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < index_.packets().size(); ++i) {
    if (!ReadPacket(i)) return kInvalidFile;
    const long frames = codec_->CountFrames(packet_);
    if (frames < 0) return kInvalidFile;
    total += static_cast<std::uint64_t>(frames);
  }
  // Past an hour, any padding is more than the track holds.
  const std::int64_t padding =
      std::clamp<std::int64_t>(index_.last_discard_padding(), 0, 3'600'000'000'000);
  const auto cut = static_cast<std::uint64_t>((padding * rate_ + 500'000'000) / 1'000'000'000);
  const std::uint64_t pre_skip = codec_->PreSkip();
  if (total <= pre_skip + cut) return kInvalidFile;
  frames_ = total - pre_skip - cut;
  to_skip_ = pre_skip;
  return kOk;
}

bool WebmDecoder::DecodeNext() {
  const auto channels = static_cast<std::size_t>(channels_);
  while (next_ < index_.packets().size()) {
    if (!ReadPacket(next_++) || !codec_->Decode(packet_, pending_.samples)) return false;
    const std::uint64_t decoded = pending_.samples.size() / channels;
    const std::uint64_t skipped = std::min(to_skip_, decoded);
    to_skip_ -= skipped;
    pending_.at = static_cast<std::size_t>(skipped) * channels;
    if (pending_.at < pending_.samples.size()) return true;
  }
  return false;
}

}  // namespace

}  // namespace quorwind::mci

QUORWIND_DECODER_MODULE(quorwind::mci::ModuleDecoderFactory<quorwind::mci::WebmDecoder>)
