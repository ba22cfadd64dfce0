// The one audio track of a WebM or Matroska file as libwebm's parser finds
// it: what the track says of itself, and its packets, found a little at a
// time from any cluster on, so that neither the start nor the length of a
// long file costs a read of all of it.
#pragma once

#include "mci/decoders/timed_counts.h"

#include <webm/callback.h>
#include <webm/reader.h>
#include <webm/webm_parser.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace quorwind::mci {

/// libwebm's reader over the media's descriptor from |position| on, a block
/// at a time (the parser asks for a few bytes at once). It reads up to a
/// limit that its user raises (then answers kWouldBlock, so that the parse
/// pauses there); skips are not limited.
class LimitedFdReader : public webm::Reader {
 public:
  LimitedFdReader(int fd, std::uint64_t position, std::uint64_t file_size);

  /// Reads on from |position|.
  void MoveTo(std::uint64_t position) { position_ = position; }
  /// Lets the parse read |bytes| more from where it is.
  void Allow(std::uint64_t bytes) { limit_ = position_ + bytes; }

  webm::Status Read(std::size_t count, std::uint8_t* buffer, std::uint64_t* got) override;
  webm::Status Skip(std::uint64_t count, std::uint64_t* skipped) override;
  std::uint64_t Position() const override { return position_; }
  int fd() const { return fd_; }

 private:
  int fd_;
  std::uint64_t position_;
  std::uint64_t file_size_;
  std::uint64_t limit_ = UINT64_MAX;
  std::vector<std::uint8_t> block_;
  std::uint64_t block_start_ = 0;  ///< the file position of block_'s first byte
};

/// One packet of the audio track: where its bytes lie and when it starts.
struct WebmPacket {
  std::uint64_t position;
  std::uint32_t size;
  std::int64_t time;         ///< its block's, in the segment's ticks
  std::int64_t discard = 0;  ///< nanoseconds its block drops from the end
  /// Whether it is its block's first: the block's time is its own. A laced
  /// block's later packets start where the ones before them end.
  bool starts_block = true;
};

/// What the track and its segment say of themselves.
struct WebmTrackInfo {
  int audio_tracks = 0;
  std::uint64_t number = 0;
  std::string codec;  ///< as Matroska names it ("A_OPUS", "A_VORBIS")
  bool encoded = false;
  std::vector<std::uint8_t> head;  ///< the codec's private data
  std::uint64_t tick_nanoseconds = 1'000'000;
  std::uint64_t segment_data = 0;          ///< where the segment's body starts
  std::uint64_t segment_end = UINT64_MAX;  ///< UINT64_MAX: unknown
};

/// A cue point of the track: a cluster where its time is found.
struct WebmCue {
  std::uint64_t time;              ///< in ticks
  std::uint64_t cluster_position;  ///< from the segment's body
};

/// The packets of the track, parsed from the file's start, or from a cluster
/// when given the track's info.
class WebmTrackParser : public webm::Callback {
 public:
  /// From the start of the file.
  WebmTrackParser(int fd, std::uint64_t file_size);
  /// From the element at |position| (a cluster) of a file whose track is
  /// |info|.
  WebmTrackParser(int fd, std::uint64_t file_size, std::uint64_t position,
                  const WebmTrackInfo& info);

  /// Parses on until at least |wanted| packets wait or the parse ends;
  /// false where the file is damaged (a file cut short simply ends).
  bool FindPackets(std::size_t wanted);
  /// Takes the parse up again at the next cluster after where it failed;
  /// false where none follows.
  bool Resume();
  /// Whether the parse reached the file's end.
  bool ended() const { return ended_; }

  const WebmTrackInfo& info() const { return info_; }
  /// Packets found and not yet taken, in order.
  std::deque<WebmPacket>& packets() { return packets_; }
  const std::vector<WebmCue>& cues() const { return cues_; }

  webm::Status OnSegmentBegin(const webm::ElementMetadata& metadata, webm::Action* action) override;
  webm::Status OnInfo(const webm::ElementMetadata&, const webm::Info& info) override;
  webm::Status OnTrackEntry(const webm::ElementMetadata&, const webm::TrackEntry& track) override;
  webm::Status OnClusterBegin(const webm::ElementMetadata&, const webm::Cluster& cluster,
                              webm::Action* action) override;
  webm::Status OnSimpleBlockBegin(const webm::ElementMetadata&, const webm::SimpleBlock& block,
                                  webm::Action* action) override;
  webm::Status OnBlockBegin(const webm::ElementMetadata&, const webm::Block& block,
                            webm::Action* action) override;
  webm::Status OnBlockGroupEnd(const webm::ElementMetadata&,
                               const webm::BlockGroup& group) override;
  webm::Status OnFrame(const webm::FrameMetadata& frame, webm::Reader* reader,
                       std::uint64_t* remaining) override;
  webm::Status OnCuePoint(const webm::ElementMetadata&, const webm::CuePoint& cue) override;
  webm::Status OnElementBegin(const webm::ElementMetadata& metadata, webm::Action* action) override;

 private:
  webm::Status OnAnyBlock(const webm::ElementMetadata& metadata, const webm::Block& block,
                          webm::Action* action);

  LimitedFdReader reader_;
  std::unique_ptr<webm::WebmParser> parser_ = std::make_unique<webm::WebmParser>();
  std::uint64_t file_size_;
  WebmTrackInfo info_;
  bool ended_ = false;
  /// Set where the parse starts at a cluster: the index is not read there
  /// (a muxer that writes cues at the end writes megabytes of them).
  bool skips_index_ = false;
  bool in_track_ = false;
  bool block_begun_ = false;
  /// A block of fixed-size lacing: where it ends, and its frames left.
  /// (libwebm reports such a block's frames before where they lie.)
  bool fixed_lacing_ = false;
  std::uint64_t block_end_ = 0;
  int frames_left_ = 0;
  std::int64_t cluster_time_ = 0;
  std::int64_t block_time_ = 0;
  std::deque<WebmPacket> packets_;
  std::vector<WebmCue> cues_;
};

/// Whether the cues of |cues| run in the order of their times and places,
/// and a cluster lies where each of a few, spread from the first to the last,
/// says: the middle of the file is as its index says. (Reading them all
/// would cost a long file a seek per cluster.)
bool CuesPointAtClusters(int fd, const WebmTrackInfo& info, const std::vector<WebmCue>& cues);

/// Where the file's bytes from |from| to |to| hold a cluster's ID, the last
/// first: where clusters may start.
std::vector<std::uint64_t> ClusterIdsBetween(int fd, std::uint64_t from, std::uint64_t to);

/// The track's timeline at |count| points spread from |from| to |to|: at
/// each, the first cluster after it that parses, and the time of its first
/// packet of the track, in ticks. A point with no cluster before the next
/// is passed over.
std::vector<TimelineSample> ClusterTimesBetween(int fd, std::uint64_t file_size,
                                                const WebmTrackInfo& info, std::uint64_t from,
                                                std::uint64_t to, int count);

}  // namespace quorwind::mci
