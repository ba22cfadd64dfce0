// The audio track's packets as libwebm's parser finds them, a little at a
// time, and the cheap checks of a file's index.
#include "mci/webm/webm_track.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace quorwind::mci {

namespace {

/// A packet larger than this is no audio packet of ours (Opus: at most 48
/// frames of 1275 bytes; a Vorbis packet is smaller still in practice).
constexpr std::uint64_t kLargestPacket = 48 * 1275 + 64;
/// How much a parse reads at a time before it looks at what it found.
constexpr std::uint64_t kParseStep = 64 * 1024;
/// What the reader reads at a time.
constexpr std::size_t kReadBlock = 16 * 1024;
constexpr std::uint8_t kClusterId[] = {0x1f, 0x43, 0xb6, 0x75};
/// How many of the index's cues are read for the cluster each names.
constexpr std::size_t kCuesRead = 16;

webm::Status Ok() { return webm::Status(webm::Status::kOkCompleted); }

}  // namespace

LimitedFdReader::LimitedFdReader(int fd, std::uint64_t position, std::uint64_t file_size)
    : fd_(fd), position_(position), file_size_(file_size) {}

webm::Status LimitedFdReader::Read(std::size_t count, std::uint8_t* buffer, std::uint64_t* got) {
  *got = 0;
  if (position_ >= limit_) return webm::Status(webm::Status::kWouldBlock);
  count = static_cast<std::size_t>(std::min<std::uint64_t>(count, limit_ - position_));
  if (position_ < block_start_ || position_ >= block_start_ + block_.size()) {
    block_.resize(kReadBlock);
    const ssize_t n = pread(fd_, block_.data(), block_.size(), static_cast<off_t>(position_));
    block_.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    block_start_ = position_;
    if (block_.empty()) return webm::Status(webm::Status::kEndOfFile);
  }
  const std::size_t at = static_cast<std::size_t>(position_ - block_start_);
  *got = std::min<std::uint64_t>(count, block_.size() - at);
  std::memcpy(buffer, block_.data() + at, static_cast<std::size_t>(*got));
  position_ += *got;
  return webm::Status(*got == count ? webm::Status::kOkCompleted : webm::Status::kOkPartial);
}

webm::Status LimitedFdReader::Skip(std::uint64_t count, std::uint64_t* skipped) {
  const std::uint64_t left = file_size_ > position_ ? file_size_ - position_ : 0;
  *skipped = std::min(count, left);
  position_ += *skipped;
  if (*skipped == 0) return webm::Status(webm::Status::kEndOfFile);
  return webm::Status(*skipped == count ? webm::Status::kOkCompleted : webm::Status::kOkPartial);
}

WebmTrackParser::WebmTrackParser(int fd, std::uint64_t file_size)
    : reader_(fd, 0, file_size), file_size_(file_size) {}

WebmTrackParser::WebmTrackParser(int fd, std::uint64_t file_size, std::uint64_t position,
                                 const WebmTrackInfo& info)
    : reader_(fd, position, file_size), file_size_(file_size), info_(info), skips_index_(true) {
  parser_->DidSeek();
}

bool WebmTrackParser::FindPackets(std::size_t wanted) {
  while (!ended_ && packets_.size() < wanted) {
    reader_.Allow(kParseStep);
    const webm::Status status = parser_->Feed(this, &reader_);
    if (status.code == webm::Status::kWouldBlock) continue;
    ended_ = true;
    if (!status.completed_ok() && status.code != webm::Status::kEndOfFile) return false;
  }
  // A packet whose bytes the file does not hold (cut short) is not one.
  while (!packets_.empty() && packets_.back().position + packets_.back().size > file_size_) {
    packets_.pop_back();
  }
  return true;
}

bool WebmTrackParser::Resume() {
  for (std::uint64_t from = reader_.Position() + 1; from < file_size_; from += kParseStep) {
    const std::uint64_t to = std::min(file_size_, from + kParseStep + sizeof kClusterId - 1);
    const std::vector<std::uint64_t> found = ClusterIdsBetween(reader_.fd(), from, to);
    if (found.empty()) continue;
    reader_.MoveTo(found.back());  // the first after |from|
    parser_ = std::make_unique<webm::WebmParser>();
    parser_->DidSeek();
    packets_.clear();
    ended_ = false;
    return true;
  }
  return false;
}

webm::Status WebmTrackParser::OnSegmentBegin(const webm::ElementMetadata& metadata,
                                             webm::Action* action) {
  info_.segment_data = metadata.position + metadata.header_size;
  info_.segment_end =
      metadata.size == webm::kUnknownElementSize ? UINT64_MAX : info_.segment_data + metadata.size;
  *action = webm::Action::kRead;
  return Ok();
}

webm::Status WebmTrackParser::OnInfo(const webm::ElementMetadata&, const webm::Info& info) {
  info_.tick_nanoseconds = info.timecode_scale.value();
  return Ok();
}

webm::Status WebmTrackParser::OnTrackEntry(const webm::ElementMetadata&,
                                           const webm::TrackEntry& track) {
  if (track.track_type.value() != webm::TrackType::kAudio) return Ok();
  ++info_.audio_tracks;
  info_.number = track.track_number.value();
  info_.codec = track.codec_id.value();
  info_.encoded = track.content_encodings.is_present();
  info_.head = track.codec_private.value();
  return Ok();
}

webm::Status WebmTrackParser::OnClusterBegin(const webm::ElementMetadata&,
                                             const webm::Cluster& cluster, webm::Action* action) {
  cluster_time_ = static_cast<std::int64_t>(cluster.timecode.value());
  *action = webm::Action::kRead;
  return Ok();
}

webm::Status WebmTrackParser::OnElementBegin(const webm::ElementMetadata& metadata,
                                             webm::Action* action) {
  *action =
      skips_index_ && metadata.id == webm::Id::kCues ? webm::Action::kSkip : webm::Action::kRead;
  return Ok();
}

webm::Status WebmTrackParser::OnSimpleBlockBegin(const webm::ElementMetadata& metadata,
                                                 const webm::SimpleBlock& block,
                                                 webm::Action* action) {
  return OnAnyBlock(metadata, block, action);
}

webm::Status WebmTrackParser::OnBlockBegin(const webm::ElementMetadata& metadata,
                                           const webm::Block& block, webm::Action* action) {
  return OnAnyBlock(metadata, block, action);
}

webm::Status WebmTrackParser::OnAnyBlock(const webm::ElementMetadata& metadata,
                                         const webm::Block& block, webm::Action* action) {
  in_track_ = info_.audio_tracks == 1 && block.track_number == info_.number;
  block_time_ = cluster_time_ + block.timecode;
  block_begun_ = false;
  fixed_lacing_ =
      block.lacing == webm::Lacing::kFixed && metadata.size != webm::kUnknownElementSize;
  block_end_ = metadata.position + metadata.header_size + metadata.size;
  frames_left_ = block.num_frames;
  *action = in_track_ ? webm::Action::kRead : webm::Action::kSkip;
  return Ok();
}

webm::Status WebmTrackParser::OnBlockGroupEnd(const webm::ElementMetadata&,
                                              const webm::BlockGroup& group) {
  if (in_track_ && !packets_.empty()) packets_.back().discard = group.discard_padding.value();
  return Ok();
}

webm::Status WebmTrackParser::OnFrame(const webm::FrameMetadata& frame, webm::Reader* reader,
                                      std::uint64_t* remaining) {
  if (frame.size == 0 || frame.size > kLargestPacket) {
    return webm::Status(webm::Status::kInvalidElementValue);
  }
  // Laced frames of one size fill the block to its end.
  const std::uint64_t position =
      fixed_lacing_ ? block_end_ - static_cast<std::uint64_t>(frames_left_) * frame.size
                    : frame.position;
  --frames_left_;
  packets_.push_back(
      {position, static_cast<std::uint32_t>(frame.size), block_time_, 0, !block_begun_});
  block_begun_ = true;
  return Callback::OnFrame(frame, reader, remaining);  // skips its bytes
}

webm::Status WebmTrackParser::OnCuePoint(const webm::ElementMetadata&, const webm::CuePoint& cue) {
  for (const auto& position : cue.cue_track_positions) {
    if (position.value().track.value() == info_.number) {
      cues_.push_back({cue.time.value(), position.value().cluster_position.value()});
    }
  }
  return Ok();
}

bool CuesPointAtClusters(int fd, const WebmTrackInfo& info, const std::vector<WebmCue>& cues) {
  for (std::size_t i = 1; i < cues.size(); ++i) {
    if (cues[i].time < cues[i - 1].time ||
        cues[i].cluster_position < cues[i - 1].cluster_position) {
      return false;
    }
  }
  const std::size_t read = std::min(cues.size(), kCuesRead);
  for (std::size_t k = 0; k < read; ++k) {
    const WebmCue& cue = cues[read == 1 ? 0 : k * (cues.size() - 1) / (read - 1)];
    std::array<std::uint8_t, sizeof kClusterId> id{};
    const std::uint64_t at = info.segment_data + cue.cluster_position;
    if (at < info.segment_data ||
        pread(fd, id.data(), id.size(), static_cast<off_t>(at)) !=
            static_cast<ssize_t>(id.size()) ||
        std::memcmp(id.data(), kClusterId, id.size()) != 0) {
      return false;
    }
  }
  return true;
}

std::vector<std::uint64_t> ClusterIdsBetween(int fd, std::uint64_t from, std::uint64_t to) {
  std::vector<std::uint8_t> tail(static_cast<std::size_t>(to > from ? to - from : 0));
  if (pread(fd, tail.data(), tail.size(), static_cast<off_t>(from)) !=
      static_cast<ssize_t>(tail.size())) {
    return {};
  }
  std::vector<std::uint64_t> found;
  if (tail.size() < sizeof kClusterId) return found;
  for (std::size_t start = tail.size() - sizeof kClusterId;; --start) {
    if (std::memcmp(tail.data() + start, kClusterId, sizeof kClusterId) == 0) {
      found.push_back(from + start);
    }
    if (start == 0) break;
  }
  return found;
}

std::vector<TimelineSample> ClusterTimesBetween(int fd, std::uint64_t file_size,
                                                const WebmTrackInfo& info, std::uint64_t from,
                                                std::uint64_t to, int count) {
  std::vector<TimelineSample> samples;
  const std::uint64_t step = to > from ? (to - from) / static_cast<std::uint64_t>(count + 1) : 0;
  for (int k = 1; step > 0 && k <= count; ++k) {
    const std::uint64_t point = from + step * static_cast<std::uint64_t>(k);
    for (std::uint64_t at = point; at < point + step; at += kParseStep) {
      const std::uint64_t end = std::min(point + step, at + kParseStep) + sizeof kClusterId - 1;
      std::vector<std::uint64_t> found = ClusterIdsBetween(fd, at, std::min(end, file_size));
      std::reverse(found.begin(), found.end());  // the first first
      const auto parsed = std::find_if(found.begin(), found.end(), [&](std::uint64_t position) {
        WebmTrackParser cluster(fd, file_size, position, info);
        if (!cluster.FindPackets(1) || cluster.packets().empty()) return false;
        samples.push_back({static_cast<std::int64_t>(position), cluster.packets().front().time});
        return true;
      });
      if (parsed != found.end()) break;
    }
  }
  return samples;
}

}  // namespace quorwind::mci
