// A long stream's decoded frames counted at its two ends, through FFmpeg.
#include "mci/ffmpeg/ffmpeg_ends.h"

#include "mci/decoders/timed_counts.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace quorwind::mci {

namespace {

/// Streams shorter than this are counted whole: it costs little.
constexpr std::int64_t kShortestCountedAtTheEnds = 60;  // seconds
/// Frames decoded at the start to learn how the stream's times run (a
/// Matroska muxer may lace eight to a block).
constexpr std::size_t kHeadFrames = 64;
/// Points of the timeline sampled between the ends, and the packets read
/// at each for one of the stream's with a time.
constexpr int kTimelineSamples = 16;
constexpr int kPacketsPerSample = 256;
constexpr std::size_t kRatePackets = 8;
/// How far before the end the tail's decoding starts.
constexpr std::int64_t kTailSeconds = 10;
/// Raw AC-3 frames decoded at the end.
constexpr std::int64_t kTailGridFrames = 16;

/// One decoded frame: its time, its samples and the packet it came from.
struct DecodedFrame {
  std::int64_t time;
  std::int64_t samples;
  std::int64_t position;
  int size;
};

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

/// Decodes the packets of |stream| from where |format| is, until at least
/// |wanted| frames are out or the stream ends, appending them to |frames|.
/// Packets timed before |from| (in the stream's time base) are passed over
/// undecoded, as a seek that landed on |from| would have passed them.
bool DecodeFrames(AVFormatContext* format, AVCodecContext* codec, int stream, std::size_t wanted,
                  std::vector<DecodedFrame>& frames, std::int64_t from = AV_NOPTS_VALUE) {
  const std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  const std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
  if (!packet || !frame) return false;
  bool draining = false;
  while (frames.size() < wanted) {
    const int received = avcodec_receive_frame(codec, frame.get());
    if (received == 0) {
      frames.push_back(
          {frame->best_effort_timestamp, frame->nb_samples, frame->pkt_pos, frame->pkt_size});
      av_frame_unref(frame.get());
      continue;
    }
    if (received != AVERROR(EAGAIN) || draining) return received == AVERROR_EOF || draining;
    for (;;) {
      if (av_read_frame(format, packet.get()) < 0) {
        draining = true;
        avcodec_send_packet(codec, nullptr);
        break;
      }
      const bool early =
          from != AV_NOPTS_VALUE && packet->pts != AV_NOPTS_VALUE && packet->pts < from;
      const bool ours = packet->stream_index == stream && !early;
      const int sent = ours ? avcodec_send_packet(codec, packet.get()) : -1;
      av_packet_unref(packet.get());
      if (sent == 0 || sent == AVERROR(EAGAIN)) break;
    }
  }
  return true;
}

/// The frames of |frames|, a packet's frames as one: a laced block's frames
/// share its place, and only its first has a time of its own.
std::vector<DecodedFrame> ByPacket(const std::vector<DecodedFrame>& frames) {
  std::vector<DecodedFrame> packets;
  for (const DecodedFrame& frame : frames) {
    if (!packets.empty() && frame.position >= 0 && frame.position == packets.back().position) {
      packets.back().samples += frame.samples;
    } else {
      packets.push_back(frame);
    }
  }
  return packets;
}

/// Where the tail's decoding starts: kTailSeconds before the stream's end,
/// by the container's duration, in the stream's time base.
std::int64_t NearTheEnd(const AVFormatContext* format, const AVStream* track) {
  const std::int64_t start = track->start_time != AV_NOPTS_VALUE ? track->start_time : 0;
  return start + av_rescale_q(format->duration, AV_TIME_BASE_Q, track->time_base) -
         av_rescale_q(kTailSeconds, AVRational{1, 1}, track->time_base);
}

/// Whether the container's timestamps are all there is to its timeline
/// (MPEG transport and program streams): no index or table states where
/// each packet belongs, and joined recordings begin again or jump ahead.
bool TimedOnlyByTimestamps(const AVFormatContext* format) {
  const char* name = format->iformat->name;
  return std::strcmp(name, "mpegts") == 0 || std::strcmp(name, "mpeg") == 0;
}

/// The stream's timeline at points spread through the file, each the first
/// timed packet of the stream after a seek there by bytes, with the rate of
/// the timeline over the next kRatePackets of them; false where a seek
/// fails.
bool SampleTimeline(AVFormatContext* format, int stream, std::int64_t file_size,
                    std::vector<TimelineSample>& samples) {
  const std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  if (!packet) return false;
  for (int k = 1; k <= kTimelineSamples; ++k) {
    const std::int64_t point = file_size * k / (kTimelineSamples + 1);
    if (av_seek_frame(format, -1, point, AVSEEK_FLAG_BYTE) < 0) return false;
    std::vector<TimelineSample> timed;
    for (int read = 0; read < kPacketsPerSample && timed.size() <= kRatePackets &&
                       av_read_frame(format, packet.get()) >= 0;
         ++read) {
      if (packet->stream_index == stream && packet->pts != AV_NOPTS_VALUE && packet->pos >= 0) {
        timed.push_back({packet->pos, packet->pts});
      }
      av_packet_unref(packet.get());
    }
    if (timed.empty()) continue;
    TimelineSample sample = timed.front();
    const std::int64_t bytes = timed.back().position - sample.position;
    const std::int64_t time = timed.back().time - sample.time;
    if (bytes > 0 && time > 0) sample.local_rate = static_cast<long double>(time) / bytes;
    samples.push_back(sample);
  }
  return true;
}

/// Raw AC-3 or E-AC-3: every frame of one size and one count, from the
/// file's first byte to its last.
std::optional<std::uint64_t> CountOnTheGrid(AVFormatContext* format, AVCodecContext* codec,
                                            int stream, std::int64_t file_size) {
  std::vector<DecodedFrame> head;
  if (!DecodeFrames(format, codec, stream, kHeadFrames, head) || head.size() < kHeadFrames) {
    return std::nullopt;
  }
  const std::int64_t size = head.front().size;
  const std::int64_t samples = head.front().samples;
  auto on_grid = [&](const std::vector<DecodedFrame>& frames) {
    return std::all_of(frames.begin(), frames.end(), [&](const DecodedFrame& frame) {
      return frame.size == size && frame.samples == samples && frame.position >= 0 &&
             frame.position % size == 0;
    });
  };
  if (size <= 0 || file_size % size != 0 || head.front().position != 0 || !on_grid(head)) {
    return std::nullopt;
  }
  if (av_seek_frame(format, -1, file_size - kTailGridFrames * size, AVSEEK_FLAG_BYTE) < 0) {
    return std::nullopt;
  }
  avcodec_flush_buffers(codec);
  std::vector<DecodedFrame> tail;
  if (!DecodeFrames(format, codec, stream, SIZE_MAX, tail) || tail.size() < 2 || !on_grid(tail) ||
      tail.back().position + size != file_size) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(file_size / size * samples);
}

/// Containers with timestamps: the frames' times against their counts.
std::optional<std::uint64_t> CountByTheTimes(AVFormatContext* format, AVCodecContext* codec,
                                             int stream, std::int64_t file_size) {
  const AVStream* track = format->streams[stream];
  const AVRational per_frame{1, codec->sample_rate};
  std::vector<DecodedFrame> head;
  if (!DecodeFrames(format, codec, stream, kHeadFrames, head) || head.size() < kHeadFrames) {
    return std::nullopt;
  }
  const std::int64_t first = head.front().time;
  const std::int64_t tolerance = av_rescale_q_rnd(1, track->time_base, per_frame, AV_ROUND_UP) + 1;
  auto frame_at = [&](std::int64_t time) {
    return av_rescale_q(time - first, track->time_base, per_frame);
  };
  std::vector<TimedCount> timed;
  for (const DecodedFrame& packet : ByPacket(head)) {
    if (packet.time == AV_NOPTS_VALUE) return std::nullopt;
    timed.push_back({frame_at(packet.time), packet.samples});
  }
  const std::optional<std::int64_t> offset = OffsetOfCountsFromTimes(timed, tolerance);
  if (!offset) return std::nullopt;
  // Near the end, by the container's index or its timestamps.
  const std::int64_t near_end = NearTheEnd(format, track);
  // A Matroska video's cues index its picture's key frames, not its sound,
  // and a seek without an index reads the file through: the seek goes by
  // the picture there, and may land a key frame's interval early, whose
  // sound is read but not decoded. (Other containers index every stream, or
  // search their timestamps.)
  const AVStream* by = track;
  const bool matroska = std::strcmp(format->iformat->name, "matroska,webm") == 0;
  for (unsigned i = 0; matroska && i < format->nb_streams; ++i) {
    const AVStream* other = format->streams[i];
    if (other->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(other->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      by = other;
      break;
    }
  }
  if (near_end <= head.back().time ||
      av_seek_frame(format, by->index, av_rescale_q(near_end, track->time_base, by->time_base),
                    AVSEEK_FLAG_BACKWARD) < 0) {
    return std::nullopt;
  }
  avcodec_flush_buffers(codec);
  std::vector<DecodedFrame> decoded;
  if (!DecodeFrames(format, codec, stream, SIZE_MAX, decoded, near_end)) return std::nullopt;
  const std::vector<DecodedFrame> tail = ByPacket(decoded);
  if (tail.size() < 3 || tail[1].time == AV_NOPTS_VALUE || tail[1].time <= head.back().time) {
    return std::nullopt;
  }
  // From the second frame on (the first may follow no frame the decoder
  // saw), each starts where the one before it ended; the last, drained from
  // the decoder, may have no time of its own.
  std::vector<TimedCount> run;
  std::int64_t frames = frame_at(tail[1].time) + *offset;
  for (std::size_t k = 1; k < tail.size(); ++k) {
    frames += tail[k].samples;
    if (tail[k].time != AV_NOPTS_VALUE) {
      run.push_back({frame_at(tail[k].time), tail[k].samples});
    } else if (k + 1 != tail.size()) {
      return std::nullopt;
    }
  }
  if (!RunsAsCounted(run, tolerance) || frames <= 0) return std::nullopt;
  // Where only timestamps say where packets belong, the span between the
  // ends is a length only if the timeline between runs evenly.
  if (TimedOnlyByTimestamps(format)) {
    const auto placed = [](const DecodedFrame& frame) {
      return frame.position >= 0 && frame.time != AV_NOPTS_VALUE;
    };
    const auto first = std::find_if(head.begin(), head.end(), placed);
    const auto last = std::find_if(tail.begin() + 1, tail.end(), placed);
    std::vector<TimelineSample> middle;
    if (first == head.end() || last == tail.end() ||
        !SampleTimeline(format, stream, file_size, middle)) {
      return std::nullopt;
    }
    std::vector<TimelineSample> samples = {{first->position, first->time}};
    for (const TimelineSample& sample : middle) {
      if (sample.position > first->position && sample.position < last->position) {
        samples.push_back(sample);
      }
    }
    samples.push_back({last->position, last->time});
    if (!TimelineRunsEvenly(samples)) return std::nullopt;
  }
  return static_cast<std::uint64_t>(frames);
}

bool NamedAmong(const char* name, std::initializer_list<const char*> names) {
  return std::any_of(names.begin(), names.end(),
                     [&](const char* each) { return std::strcmp(name, each) == 0; });
}

}  // namespace

bool CountableAtTheEnds(const AVFormatContext* format, const AVCodecContext* codec) {
  if (format->duration < kShortestCountedAtTheEnds * AV_TIME_BASE || codec->sample_rate <= 0) {
    return false;
  }
  const char* name = format->iformat->name;
  return NamedAmong(name, {"ac3", "eac3"}) ||
         (format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE &&
          NamedAmong(name, {"matroska,webm", "asf", "avi", "mpegts", "mov,mp4,m4a,3gp,3g2,mj2"}));
}

std::optional<std::uint64_t> CountFramesAtTheEnds(AVFormatContext* format, AVCodecContext* codec,
                                                  int stream, std::int64_t file_size) {
  if (!CountableAtTheEnds(format, codec)) return std::nullopt;
  if (NamedAmong(format->iformat->name, {"ac3", "eac3"})) {
    return CountOnTheGrid(format, codec, stream, file_size);
  }
  return CountByTheTimes(format, codec, stream, file_size);
}

bool CountableByTheChunks(const AVFormatContext* format, const AVCodecContext* codec,
                          std::uint64_t chunks) {
  const AVCodecID id = codec->codec_id;
  return CountableAtTheEnds(format, codec) && std::strcmp(format->iformat->name, "avi") == 0 &&
         chunks > 0 && (id == AV_CODEC_ID_MP1 || id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_MP3);
}

std::optional<std::uint64_t> CountByTheChunks(AVFormatContext* format, AVCodecContext* codec,
                                              int stream, std::uint64_t chunks) {
  if (!CountableByTheChunks(format, codec, chunks)) return std::nullopt;
  std::vector<DecodedFrame> head;
  if (!DecodeFrames(format, codec, stream, kHeadFrames, head) || head.size() < kHeadFrames) {
    return std::nullopt;
  }
  const std::int64_t samples = head.front().samples;
  // One frame to a chunk: each from a place of its own, all of one count.
  const auto one_each = [&](const std::vector<DecodedFrame>& frames) {
    const std::vector<DecodedFrame> packets = ByPacket(frames);
    return packets.size() == frames.size() &&
           std::all_of(packets.begin(), packets.end(), [&](const DecodedFrame& frame) {
             return frame.position >= 0 && frame.samples == samples;
           });
  };
  const std::int64_t near_end = NearTheEnd(format, format->streams[stream]);
  if (!one_each(head) || near_end <= head.back().time ||
      av_seek_frame(format, stream, near_end, AVSEEK_FLAG_BACKWARD) < 0) {
    return std::nullopt;
  }
  avcodec_flush_buffers(codec);
  std::vector<DecodedFrame> tail;
  if (!DecodeFrames(format, codec, stream, SIZE_MAX, tail, near_end) || tail.size() < 3) {
    return std::nullopt;
  }
  // The first after the seek may decode short: it follows no frame.
  tail.erase(tail.begin());
  if (!one_each(tail) || tail.front().position <= head.back().position) return std::nullopt;
  return chunks * static_cast<std::uint64_t>(samples);
}

bool CountedByPackets(const AVFormatContext* format) { return TimedOnlyByTimestamps(format); }

std::optional<std::uint64_t> CountPacketFrames(AVFormatContext* format, int stream, int rate) {
  const std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  if (!packet || rate <= 0) return std::nullopt;
  const AVRational time_base = format->streams[stream]->time_base;
  const AVRational per_frame{1, rate};
  std::uint64_t frames = 0;
  bool timed = true;
  while (timed && av_read_frame(format, packet.get()) >= 0) {
    if (packet->stream_index == stream) {
      // Each packet's own duration, in frames: a sum in the time base would
      // add up its rounding.
      timed = packet->duration > 0;
      frames += static_cast<std::uint64_t>(av_rescale_q(packet->duration, time_base, per_frame));
    }
    av_packet_unref(packet.get());
  }
  if (!timed || frames == 0) return std::nullopt;
  return frames;
}

}  // namespace quorwind::mci
