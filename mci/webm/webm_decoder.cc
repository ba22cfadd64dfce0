// The module libquorwind-webm.so: Opus and Vorbis in WebM and Matroska by
// libwebm's parser and libopus or libvorbis, which load in a millisecond
// where FFmpeg takes tens. It takes a file with one audio track, in mono or
// stereo, unencrypted; anything else goes to FFmpeg.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include "mci/decoders/decoder.h"
#include "mci/decoders/timed_counts.h"
#include "mci/module_loader.h"
#include "mci/webm/webm_codecs.h"
#include "mci/webm/webm_track.h"

namespace quorwind::mci {

namespace {

/// Packets, and blocks, read from the start to learn how the track's times
/// run (a muxer may lace eight packets to a block).
constexpr std::size_t kHeadPackets = 32;
constexpr std::size_t kHeadBlocks = 8;
/// Points of the timeline sampled between the ends.
constexpr int kTimelineSamples = 16;
/// Packets parsed ahead of the one decoded.
constexpr std::size_t kReadAhead = 64;
/// The last clusters are looked for this much at a time, back to this far
/// from the file's end.
constexpr std::uint64_t kTailWindow = 1 << 20;
constexpr std::uint64_t kTailReach = 16 << 20;

/// Where the track's times put its decoded frames: a packet at |time| starts
/// at frame FrameAt(time) of the stream (pre-skip included).
struct TrackClock {
  std::int64_t first_time = 0;
  long double frames_per_tick = 0;
  std::int64_t offset = 0;

  std::int64_t FrameAt(std::int64_t time) const {
    return static_cast<std::int64_t>(std::llround((time - first_time) * frames_per_tick)) + offset;
  }
};

/// The blocks of |packets| (whose counts of frames are |counts|), from the
/// first that starts at or after packet |from|: each where |clock| puts its
/// time, with its packets' frames. |first| is set to that block's first
/// packet.
template <typename Packets>
std::vector<TimedCount> BlocksOf(const Packets& packets, const std::vector<long>& counts,
                                 const TrackClock& clock, std::size_t from, std::size_t& first) {
  std::vector<TimedCount> blocks;
  first = packets.size();
  for (std::size_t k = from; k < packets.size(); ++k) {
    if (packets[k].starts_block) {
      if (blocks.empty()) first = k;
      blocks.push_back({clock.FrameAt(packets[k].time), 0});
    }
    if (!blocks.empty()) blocks.back().frames += counts[k];
  }
  return blocks;
}

/// How many of |packets| start a block.
template <typename Packets>
std::size_t BlockCount(const Packets& packets) {
  return static_cast<std::size_t>(
      std::count_if(packets.begin(), packets.end(),
                    [](const WebmPacket& packet) { return packet.starts_block; }));
}

/// The frames of a stream, and what its last block drops from its end.
struct PacketCount {
  std::uint64_t frames = 0;
  std::int64_t last_discard = 0;  ///< nanoseconds
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
  /// Reads |packet|'s bytes into packet_; false if it cannot.
  bool ReadPacket(const WebmPacket& packet);
  /// Each of |packets|' counts of frames, counted afresh; nothing where one
  /// is no packet of the stream.
  template <typename Packets>
  std::optional<std::vector<long>> CountEach(const Packets& packets);
  /// Every packet's count, parsed and read from the file's start to its end.
  std::optional<PacketCount> CountAll();
  /// The count from the last clusters and the times of the packets: where
  /// the track's times run as its packets' counts at both ends, its segment
  /// ends with the file and its index points at clusters. Nothing where a
  /// check fails.
  std::optional<PacketCount> CountFromTail();
  /// The count from the packets of the cluster at |position| on, whose
  /// frames after the first packet lie where |clock| says.
  std::optional<PacketCount> CountTailAt(std::uint64_t position, const TrackClock& clock,
                                         std::int64_t tolerance, TimelineSample& tail_start);
  /// Whether the track's timeline runs evenly from the head's first packet
  /// through clusters spread between to |tail_start|.
  bool TimelineRunsEvenlyTo(const TimelineSample& tail_start);
  /// Takes the track up again at the next whole cluster after damage, with
  /// silence for the frames lost, so that the rest plays at its time.
  bool ResumeAfterDamage();

  UniqueFd fd_;
  std::uint64_t file_size_ = 0;
  std::unique_ptr<WebmTrackParser> track_;
  std::unique_ptr<PacketCodec> codec_;
  /// Set where the length was read from the track's times.
  std::optional<TrackClock> clock_;
  /// The stream's frames decoded so far, pre-skip included.
  std::int64_t decoded_ = 0;
  std::uint64_t to_skip_ = 0;
  std::uint64_t delivered_ = 0;
  std::vector<std::uint8_t> packet_;
  PendingFrames pending_;
};

bool WebmDecoder::ReadPacket(const WebmPacket& packet) {
  packet_.resize(packet.size);
  return pread(fd_.get(), packet_.data(), packet.size, static_cast<off_t>(packet.position)) ==
         static_cast<ssize_t>(packet.size);
}

MciError WebmDecoder::Open(UniqueFd fd) {
  fd_ = std::move(fd);
  struct stat status {};
  if (fstat(fd_.get(), &status) != 0 || status.st_size <= 0) return kInvalidFile;
  file_size_ = static_cast<std::uint64_t>(status.st_size);
  track_ = std::make_unique<WebmTrackParser>(fd_.get(), file_size_);
  // A file cut short ends where its last whole packet does, as with FFmpeg;
  // a damaged one goes to FFmpeg.
  for (std::size_t wanted = kHeadPackets; !track_->ended(); wanted *= 2) {
    if (!track_->FindPackets(wanted)) return kInvalidFile;
    if (BlockCount(track_->packets()) >= kHeadBlocks) break;
  }
  const WebmTrackInfo& info = track_->info();
  if (info.audio_tracks != 1 || info.encoded || info.head.empty() || track_->packets().empty()) {
    return kInvalidFile;
  }
  codec_ = MakePacketCodec(info.codec);
  if (!codec_ || !codec_->SetUp(info.head)) return kInvalidFile;
  rate_ = codec_->Rate();
  channels_ = codec_->Channels();

  // Every packet's count of frames, read from its first bytes, is exact;
  // a long file's is read at its ends, where its times agree with it.
  std::optional<PacketCount> count;
  if (track_->ended()) {
    if (const auto each = CountEach(track_->packets())) {
      count = PacketCount{0, track_->packets().back().discard};
      for (const long frames : *each) count->frames += static_cast<std::uint64_t>(frames);
    }
  } else {
    count = CountFromTail();
    if (!count) count = CountAll();
  }
  if (!count) return kInvalidFile;
  // The last block's discard padding is cut, as the pre-skip is; past an
  // hour, any padding is more than the track holds.
  const std::int64_t padding = std::clamp<std::int64_t>(count->last_discard, 0, 3'600'000'000'000);
  const auto cut = static_cast<std::uint64_t>((padding * rate_ + 500'000'000) / 1'000'000'000);
  const std::uint64_t pre_skip = codec_->PreSkip();
  if (count->frames <= pre_skip + cut) return kInvalidFile;
  frames_ = count->frames - pre_skip - cut;
  to_skip_ = pre_skip;
  return kOk;
}

template <typename Packets>
std::optional<std::vector<long>> WebmDecoder::CountEach(const Packets& packets) {
  codec_->RestartCount();
  std::vector<long> counts;
  counts.reserve(packets.size());
  for (const WebmPacket& packet : packets) {
    if (!ReadPacket(packet)) return std::nullopt;
    counts.push_back(codec_->CountFrames(packet_));
    if (counts.back() < 0) return std::nullopt;
  }
  return counts;
}

std::optional<PacketCount> WebmDecoder::CountAll() {
  WebmTrackParser whole(fd_.get(), file_size_);
  PacketCount count;
  codec_->RestartCount();
  while (!whole.ended() || !whole.packets().empty()) {
    if (!whole.FindPackets(kReadAhead)) return std::nullopt;
    for (const WebmPacket& packet : whole.packets()) {
      if (!ReadPacket(packet)) return std::nullopt;
      const long frames = codec_->CountFrames(packet_);
      if (frames < 0) return std::nullopt;
      count.frames += static_cast<std::uint64_t>(frames);
      count.last_discard = packet.discard;
    }
    whole.packets().clear();
  }
  // A second segment's track (files joined) is left to FFmpeg.
  if (whole.info().audio_tracks != 1) return std::nullopt;
  return count;
}

std::optional<PacketCount> WebmDecoder::CountFromTail() {
  const WebmTrackInfo& info = track_->info();
  const std::deque<WebmPacket>& head = track_->packets();
  // Something after the segment, or a segment longer than the file, is a
  // file joined to another or cut short: counted whole. A segment of unknown
  // size (a live stream's) ends with the file, or its timeline shows the
  // join below.
  const bool ends_with_file = info.segment_end == file_size_ || info.segment_end == UINT64_MAX;
  if (!ends_with_file || BlockCount(head) < 4) return std::nullopt;
  const long double frames_per_tick =
      static_cast<long double>(info.tick_nanoseconds) * rate_ / 1'000'000'000;
  const auto tolerance = static_cast<std::int64_t>(std::ceil(frames_per_tick)) + 1;
  TrackClock clock{head.front().time, frames_per_tick, 0};
  // Where the decoded frames stand against the times (a Vorbis stream's
  // first packet decodes to nothing).
  const auto head_counts = CountEach(head);
  if (!head_counts) return std::nullopt;
  std::size_t first = 0;
  const std::vector<TimedCount> timed = BlocksOf(head, *head_counts, clock, 0, first);
  const std::optional<std::int64_t> offset = OffsetOfCountsFromTimes(timed, tolerance);
  if (!offset) return std::nullopt;
  clock.offset = *offset;
  for (std::uint64_t to = file_size_; to > head.back().position && file_size_ - to < kTailReach;) {
    const std::uint64_t from =
        std::max(to > kTailWindow ? to - kTailWindow : 0, head.back().position + head.back().size);
    for (const std::uint64_t position : ClusterIdsBetween(fd_.get(), from, to)) {
      TimelineSample tail_start{};
      if (auto count = CountTailAt(position, clock, tolerance, tail_start)) {
        if (!TimelineRunsEvenlyTo(tail_start)) return std::nullopt;
        clock_ = clock;
        return count;
      }
    }
    to = from + 3;  // an ID across the windows' edge is found in the next
    if (from <= head.back().position + head.back().size) break;
  }
  return std::nullopt;
}

std::optional<PacketCount> WebmDecoder::CountTailAt(std::uint64_t position, const TrackClock& clock,
                                                    std::int64_t tolerance,
                                                    TimelineSample& tail_start) {
  WebmTrackParser tail(fd_.get(), file_size_, position, track_->info());
  if (!tail.FindPackets(SIZE_MAX) || tail.packets().size() < 3) return std::nullopt;
  const std::deque<WebmPacket>& packets = tail.packets();
  if (packets.back().position + packets.back().size > file_size_) return std::nullopt;
  std::vector<WebmCue> cues = track_->cues();
  cues.insert(cues.end(), tail.cues().begin(), tail.cues().end());
  if (!CuesPointAtClusters(fd_.get(), track_->info(), cues)) return std::nullopt;
  const auto counts = CountEach(packets);  // the first counts nothing of Vorbis
  if (!counts) return std::nullopt;
  // From the second block on, each starts where the one before it ended.
  std::size_t first = 0;
  const std::vector<TimedCount> run = BlocksOf(packets, *counts, clock, 1, first);
  if (run.size() < 2 || packets[first].time <= track_->packets().back().time ||
      !RunsAsCounted(run, tolerance)) {
    return std::nullopt;
  }
  const std::int64_t start = run.front().at;
  if (start <= 0) return std::nullopt;
  PacketCount count{static_cast<std::uint64_t>(start), packets.back().discard};
  for (std::size_t k = first; k < packets.size(); ++k) {
    count.frames += static_cast<std::uint64_t>((*counts)[k]);
  }
  tail_start = {static_cast<std::int64_t>(position), packets.front().time};
  return count;
}

bool WebmDecoder::TimelineRunsEvenlyTo(const TimelineSample& tail_start) {
  const WebmPacket& first = track_->packets().front();
  const WebmPacket& last = track_->packets().back();
  std::vector<TimelineSample> samples = {{static_cast<std::int64_t>(first.position), first.time}};
  const std::vector<TimelineSample> middle =
      ClusterTimesBetween(fd_.get(), file_size_, track_->info(), last.position + last.size,
                          static_cast<std::uint64_t>(tail_start.position), kTimelineSamples);
  samples.insert(samples.end(), middle.begin(), middle.end());
  samples.push_back(tail_start);
  return TimelineRunsEvenly(samples);
}

bool WebmDecoder::DecodeNext() {
  const auto channels = static_cast<std::size_t>(channels_);
  std::deque<WebmPacket>& packets = track_->packets();
  for (;;) {
    if (packets.empty()) {
      const bool found = track_->FindPackets(kReadAhead);
      if (!found && !ResumeAfterDamage()) return false;
      if (found && packets.empty()) return false;
      if (!found) return true;
    }
    const WebmPacket packet = packets.front();
    packets.pop_front();
    if (!ReadPacket(packet) || !codec_->Decode(packet_, pending_.samples)) return false;
    const std::uint64_t decoded = pending_.samples.size() / channels;
    decoded_ += static_cast<std::int64_t>(decoded);
    const std::uint64_t skipped = std::min(to_skip_, decoded);
    to_skip_ -= skipped;
    pending_.at = static_cast<std::size_t>(skipped) * channels;
    if (pending_.at < pending_.samples.size()) return true;
  }
}

bool WebmDecoder::ResumeAfterDamage() {
  // Only a length read from the times can say where the rest belongs; a
  // counted one was counted without the damage.
  std::deque<WebmPacket>& packets = track_->packets();
  if (!clock_ || !track_->Resume() || !track_->FindPackets(kReadAhead) || packets.size() < 2) {
    return false;
  }
  // The codec starts afresh there: a Vorbis stream's first packet decodes
  // to nothing, so the silence reaches the packet after it.
  // Only a block's first packet carries its own time.
  codec_->RestartDecoding();
  for (int i = 0; i < codec_->PacketsBeforeOutput() || !packets.front().starts_block; ++i) {
    if (!ReadPacket(packets.front()) || !codec_->Decode(packet_, pending_.samples)) return false;
    packets.pop_front();
    if (packets.empty() && !track_->FindPackets(kReadAhead)) return false;
    if (packets.empty()) return false;
  }
  const std::int64_t lost = clock_->FrameAt(packets.front().time) - decoded_;
  if (lost <= 0 || lost > static_cast<std::int64_t>(frames_)) return false;
  pending_.samples.assign(static_cast<std::size_t>(lost) * static_cast<std::size_t>(channels_), 0);
  pending_.at = 0;
  decoded_ += lost;
  return true;
}

}  // namespace

}  // namespace quorwind::mci

QUORWIND_DECODER_MODULE(quorwind::mci::ModuleDecoderFactory<quorwind::mci::WebmDecoder>)
