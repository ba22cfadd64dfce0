// The module libquorwind-webm.so: Opus in WebM and Matroska by libwebm's
// parser and libopus, which load in a millisecond where FFmpeg takes tens.
// It takes a file with one audio track, of Opus in mono or stereo, unencrypted;
// anything else goes to FFmpeg.
#include <opus/opus.h>
#include <unistd.h>
#include <webm/callback.h>
#include <webm/reader.h>
#include <webm/status.h>
#include <webm/webm_parser.h>

#include <cstring>
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
    return audio_tracks_ == 1 && opus_ && !encoded_ && !packets_.empty() && head_.size() >= 19;
  }

  const std::vector<Packet>& packets() const { return packets_; }
  const std::vector<std::uint8_t>& head() const { return head_; }
  /// Nanoseconds of padding the last block discards.
  std::int64_t last_discard_padding() const { return last_discard_padding_; }

  webm::Status OnTrackEntry(const webm::ElementMetadata&, const webm::TrackEntry& track) override {
    if (track.track_type.value() != webm::TrackType::kAudio) return Ok();
    ++audio_tracks_;
    track_ = track.track_number.value();
    opus_ = track.codec_id.value() == "A_OPUS";
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
  bool opus_ = false;
  bool encoded_ = false;
  bool in_track_ = false;
  std::vector<std::uint8_t> head_;
  std::vector<Packet> packets_;
  std::int64_t last_discard_padding_ = 0;
};

struct OpusDecoderDeleter {
  void operator()(OpusDecoder* decoder) const { opus_decoder_destroy(decoder); }
};

class WebmOpusDecoder : public CountedDecoder {
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
  std::unique_ptr<OpusDecoder, OpusDecoderDeleter> decoder_;
  std::size_t next_ = 0;
  std::uint64_t to_skip_ = 0;
  std::uint64_t delivered_ = 0;
  std::vector<std::uint8_t> packet_;
  PendingFrames pending_;
};

bool WebmOpusDecoder::ReadPacket(std::size_t index) {
  const TrackIndex::Packet& packet = index_.packets()[index];
  packet_.resize(packet.size);
  return pread(fd_.get(), packet_.data(), packet.size, static_cast<off_t>(packet.position)) ==
         static_cast<ssize_t>(packet.size);
}

MciError WebmOpusDecoder::Open(UniqueFd fd) {
  fd_ = std::move(fd);
  FdReader reader(fd_.get());
  webm::WebmParser parser;
  const webm::Status status = parser.Feed(&index_, &reader);
  // A file cut short ends where its last whole packet does, as with FFmpeg;
  // a damaged one goes to FFmpeg.
  if ((!status.completed_ok() && status.code != webm::Status::kEndOfFile) || !index_.Usable()) {
    return kInvalidFile;
  }
  // The identification header: "OpusHead", version, channels, pre-skip,
  // input rate, output gain, mapping family.
  const std::vector<std::uint8_t>& head = index_.head();
  if (std::memcmp(head.data(), "OpusHead", 8) != 0 || (head[8] & 0xf0) != 0) return kInvalidFile;
  channels_ = head[9];
  const unsigned pre_skip = head[10] | (head[11] << 8);
  const auto gain = static_cast<std::int16_t>(head[16] | (head[17] << 8));
  if (head[18] != 0 || (channels_ != 1 && channels_ != 2)) return kInvalidFile;
  rate_ = kOpusRate;

  int error = OPUS_OK;
  decoder_.reset(opus_decoder_create(kOpusRate, channels_, &error));
  if (error != OPUS_OK || !decoder_ ||
      opus_decoder_ctl(decoder_.get(), OPUS_SET_GAIN(gain)) != OPUS_OK) {
    return kInvalidFile;
  }
  // Every packet's count of frames, read from its first bytes: exact, and
  // cheap. The last block's discard padding is cut, as the pre-skip is.
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < index_.packets().size(); ++i) {
    if (!ReadPacket(i)) return kInvalidFile;
    const int samples = opus_packet_get_nb_samples(
        packet_.data(), static_cast<opus_int32>(packet_.size()), kOpusRate);
    if (samples <= 0 || samples > kLongestPacket) return kInvalidFile;
    total += static_cast<std::uint64_t>(samples);
  }
  // Past an hour, any padding is more than the track holds.
  const std::int64_t padding =
      std::clamp<std::int64_t>(index_.last_discard_padding(), 0, 3'600'000'000'000);
  const auto cut = static_cast<std::uint64_t>((padding * kOpusRate + 500'000'000) / 1'000'000'000);
  if (total <= pre_skip + cut) return kInvalidFile;
  frames_ = total - pre_skip - cut;
  to_skip_ = pre_skip;
  return kOk;
}

bool WebmOpusDecoder::DecodeNext() {
  const auto channels = static_cast<std::size_t>(channels_);
  while (next_ < index_.packets().size()) {
    if (!ReadPacket(next_++)) return false;
    pending_.samples.resize(kLongestPacket * channels);
    const int got =
        opus_decode_float(decoder_.get(), packet_.data(), static_cast<opus_int32>(packet_.size()),
                          pending_.samples.data(), kLongestPacket, 0);
    if (got < 0) return false;
    const std::uint64_t skipped =
        std::min<std::uint64_t>(to_skip_, static_cast<std::uint64_t>(got));
    to_skip_ -= skipped;
    pending_.samples.resize(static_cast<std::size_t>(got) * channels);
    pending_.at = static_cast<std::size_t>(skipped) * channels;
    if (pending_.at < pending_.samples.size()) return true;
  }
  return false;
}

}  // namespace

}  // namespace quorwind::mci

QUORWIND_DECODER_MODULE(quorwind::mci::ModuleDecoderFactory<quorwind::mci::WebmOpusDecoder>)
