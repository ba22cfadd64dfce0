// The module libquorwind-ffmpeg.so: every audio format FFmpeg decodes, and the
// best audio stream of video files; the video itself is never decoded.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "mci/decoders/decoder.h"
#include "mci/decoders/mp4_audio_track.h"
#include "mci/ffmpeg/avi_short_index.h"
#include "mci/ffmpeg/ffmpeg_ends.h"
#include "mci/module_loader.h"

namespace quorwind::mci {

namespace {

constexpr int kIoBufferSize = 64 * 1024;
/// Channel counts beyond this are no sound a speaker set can render.
constexpr int kMaximumChannels = 32;
/// Streams are counted by decoding them when the file is at most this large
/// and the container states no longer duration: an hour of WMA decodes in
/// 1.5 s. Larger or longer files (long videos) keep the container's claim.
/// Both bounds are the file's own, so that a file gets one reply however
/// busy the machine.
constexpr std::int64_t kLargestCountedFile = 512 << 20;
constexpr std::int64_t kLongestCounted = 3600;  // seconds

/// Where FFmpeg reads: the file, or a view of it with a short index.
struct Source {
  int fd = -1;
  const ShortenedAviIndex* view = nullptr;
  std::int64_t position = 0;  ///< in the view
};

int ReadPacket(void* opaque, std::uint8_t* buffer, int size) {
  auto* source = static_cast<Source*>(opaque);
  ssize_t got = 0;
  if (source->view) {
    got = static_cast<ssize_t>(
        source->view->ReadAt(source->fd, source->position, buffer, static_cast<std::size_t>(size)));
    source->position += got;
  } else {
    got = ::read(source->fd, buffer, static_cast<std::size_t>(size));
  }
  return got > 0 ? static_cast<int>(got) : AVERROR_EOF;
}

std::int64_t SeekFile(void* opaque, std::int64_t offset, int whence) {
  auto* source = static_cast<Source*>(opaque);
  whence &= ~AVSEEK_FORCE;
  if (!source->view) {
    struct stat status {};
    if (whence != AVSEEK_SIZE) return lseek(source->fd, offset, whence);
    return fstat(source->fd, &status) == 0 ? status.st_size : -1;
  }
  const std::int64_t size = source->view->Size();
  if (whence == AVSEEK_SIZE) return size;
  const std::int64_t from = whence == SEEK_CUR ? source->position : whence == SEEK_END ? size : 0;
  if (offset < -from) return -1;
  return source->position = from + offset;
}

class FfmpegDecoder : public CountedDecoder {
 public:
  FfmpegDecoder() = default;
  ~FfmpegDecoder() override;
  FfmpegDecoder(const FfmpegDecoder&) = delete;
  FfmpegDecoder& operator=(const FfmpegDecoder&) = delete;

  MciError Open(UniqueFd fd);

  std::vector<Speaker> Layout() const override;
  std::size_t Read(float* out, std::size_t frames) override;

 private:
  /// Opens the container afresh at the file's start, closing what was
  /// open; |indexed| false tells the demuxer that the file cannot seek, so
  /// it reads no index at its end.
  MciError OpenContainer(bool indexed = true);
  void CloseContainer();
  /// Opens the container and its best audio stream's decoder.
  MciError OpenStream();
  /// Leaves every stream but the chosen one unread.
  void DiscardOtherStreams();
  /// Whether FFmpeg dates the chunks of the stream as the short index
  /// means: each kept one where it lies, after all those left out.
  bool DatedByTheShortIndex();
  /// Opens the stream's decoder and the converter after it, afresh.
  MciError OpenCodec();
  /// The frames the decoder yields, counted by decoding the whole stream;
  /// nothing when the file is too large or states too long a duration (the
  /// container and decoder are then where the count stopped).
  std::optional<std::uint64_t> CountDecodedFrames();
  /// The stream's length in frames as the container claims it: its stated
  /// duration, or where its last packet ends.
  std::uint64_t CountFrames();
  /// Reads the remaining packets; returns where the last of the stream ends,
  /// and sets end_discard_ to the samples its decoder drops from that end.
  std::int64_t ScanToEnd();
  /// Opens the container again at the file's start, its stream as chosen:
  /// after a scan, a seek back to the start loses the first block of some
  /// (Matroska with Opus).
  MciError ReopenContainer(bool indexed = true);
  /// Decodes the next frame into pending_; false at the end.
  bool DecodeMore();

  UniqueFd fd_;
  /// The view FFmpeg reads a long AVI file through while counting it.
  std::optional<ShortenedAviIndex> short_avi_;
  Source source_;
  AVIOContext* io_ = nullptr;
  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  SwrContext* resampler_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  int stream_ = -1;
  std::int64_t end_discard_ = 0;  ///< samples the last packet's side data discards
  /// The decoder's output format, which the resampler was made for.
  AVSampleFormat in_format_ = AV_SAMPLE_FMT_NONE;
  AVChannelLayout in_layout_{};
  std::uint64_t delivered_ = 0;
  bool draining_ = false;
  PendingFrames pending_;
};

FfmpegDecoder::~FfmpegDecoder() {
  av_channel_layout_uninit(&in_layout_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  swr_free(&resampler_);
  avcodec_free_context(&codec_);
  CloseContainer();
}

void FfmpegDecoder::CloseContainer() {
  avformat_close_input(&format_);
  if (io_) av_freep(&io_->buffer);
  avio_context_free(&io_);
}

MciError FfmpegDecoder::OpenContainer(bool indexed) {
  CloseContainer();
  if (lseek(fd_.get(), 0, SEEK_SET) != 0) return kInvalidFile;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (!buffer) return kOutOfMemory;
  source_ = {fd_.get(), short_avi_ ? &*short_avi_ : nullptr, 0};
  io_ = avio_alloc_context(buffer, kIoBufferSize, 0, &source_, ReadPacket, nullptr, SeekFile);
  format_ = avformat_alloc_context();
  if (!io_ || !format_) {
    if (!io_) av_free(buffer);
    return kOutOfMemory;
  }
  if (!indexed) io_->seekable = 0;
  format_->pb = io_;
  format_->flags |= AVFMT_FLAG_CUSTOM_IO;
  // A playlist or reference file names other files and addresses: none is
  // ever opened.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "none", 0);
  const int opened = avformat_open_input(&format_, nullptr, nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) return kInvalidFile;  // frees format_
  // Through the short index, the streams it leaves out are never read: the
  // demuxer would index their chunks as it met them, from the start, and a
  // seek would then start every stream there.
  for (unsigned i = 0; short_avi_ && i < format_->nb_streams; ++i) {
    if (!short_avi_->StreamNumbered(static_cast<int>(i))) {
      format_->streams[i]->discard = AVDISCARD_ALL;
    }
  }
  return avformat_find_stream_info(format_, nullptr) < 0 ? kInvalidFile : kOk;
}

MciError FfmpegDecoder::ReopenContainer(bool indexed) {
  if (MciError error = OpenContainer(indexed); error != kOk) return error;
  if (stream_ >= static_cast<int>(format_->nb_streams)) return kInvalidFile;
  DiscardOtherStreams();
  return kOk;
}

void FfmpegDecoder::DiscardOtherStreams() {
  for (unsigned i = 0; i < format_->nb_streams; ++i) {
    if (static_cast<int>(i) != stream_) format_->streams[i]->discard = AVDISCARD_ALL;
  }
}

MciError FfmpegDecoder::OpenStream() {
  if (MciError error = OpenContainer(); error != kOk) return error;
  const AVCodec* codec = nullptr;
  stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (stream_ < 0 || !codec) return kInvalidFile;  // no sound at all
  DiscardOtherStreams();
  return OpenCodec();
}

bool FfmpegDecoder::DatedByTheShortIndex() {
  const ShortenedAviIndex::Stream* viewed = short_avi_->StreamNumbered(stream_);
  AVStream* stream = format_->streams[stream_];
  if (!viewed ||
      avformat_index_get_entries_count(stream) != static_cast<int>(viewed->kept.size() + 1)) {
    return false;
  }
  std::int64_t time = avformat_index_get_entry(stream, 0)->timestamp + viewed->stands_for;
  for (std::size_t i = 0; i < viewed->kept.size(); ++i) {
    const AVIndexEntry* entry = avformat_index_get_entry(stream, static_cast<int>(i + 1));
    if (entry->timestamp != time || entry->pos != viewed->kept[i].position) return false;
    time += viewed->Units(viewed->kept[i].size);
  }
  return true;
}

MciError FfmpegDecoder::Open(UniqueFd fd) {
  av_log_set_level(AV_LOG_QUIET);
  fd_ = std::move(fd);
  struct stat status {};
  if (fstat(fd_.get(), &status) != 0) return kInvalidFile;
  // A long AVI file is counted at its ends through a view whose index is
  // short: FFmpeg reads the whole index of a file it opens.
  short_avi_ = ShortenedAviIndex::Read(fd_.get(), status.st_size);
  MciError error = OpenStream();
  if (error != kOk && short_avi_) {
    short_avi_.reset();
    error = OpenStream();
  }
  if (error != kOk) return error;
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  if (!packet_ || !frame_) return kOutOfMemory;
  // Timestamps and stated durations are claims that real files break (lost
  // last packets, padding, streams beside the sound): the length is what the
  // decoder yields, counted, where counting is cheap enough.
  // A long file's count is read at its ends where its structure allows.
  // Elsewhere the count decodes the file as it is, from its start.
  std::optional<std::uint64_t> decoded;
  const bool at_the_ends = CountableAtTheEnds(format_, codec_);
  if (at_the_ends && (!short_avi_ || DatedByTheShortIndex())) {
    // An AVI file's MPEG audio of one frame to a chunk is counted by its
    // chunks; its times may run by its bytes.
    const ShortenedAviIndex::Stream* viewed =
        short_avi_ ? short_avi_->StreamNumbered(stream_) : nullptr;
    if (viewed && CountableByTheChunks(format_, codec_, viewed->chunks)) {
      decoded = CountByTheChunks(format_, codec_, stream_, viewed->chunks);
      if (!decoded && ((error = ReopenContainer()) != kOk || (error = OpenCodec()) != kOk)) {
        return error;
      }
    }
    if (!decoded) decoded = CountFramesAtTheEnds(format_, codec_, stream_, status.st_size);
  }
  const bool viewed = short_avi_.has_value();
  short_avi_.reset();
  if (!decoded && (at_the_ends || viewed)) {
    if ((error = ReopenContainer()) != kOk || (error = OpenCodec()) != kOk) return error;
  }
  // An AVI file's index is read whole when the file opens; playing from
  // the start needs none, once the count at the ends has found the file
  // as its index says.
  const bool index_wanted = !decoded || std::strcmp(format_->iformat->name, "avi") != 0;
  // A long transport stream that its ends cannot count (recordings joined)
  // is counted by its packets, read but not decoded.
  if (!decoded && at_the_ends && CountedByPackets(format_)) {
    decoded = CountPacketFrames(format_, stream_, rate_);
    if (!decoded && ((error = ReopenContainer()) != kOk || (error = OpenCodec()) != kOk)) {
      return error;
    }
  }
  if (!decoded) decoded = CountDecodedFrames();
  if ((error = ReopenContainer(index_wanted)) != kOk || (error = OpenCodec()) != kOk) return error;
  // An MP4 file's stated duration is its edit list's, the standard's own
  // statement of where the stream ends: the decoder's padding beyond it is
  // not the stream, while a file cut short ends where its frames do.
  const bool stated_by_edit_list = std::strstr(format_->iformat->name, "mp4") != nullptr;
  frames_ = !decoded              ? CountFrames()
            : stated_by_edit_list ? std::min(*decoded, CountFrames())
                                  : *decoded;
  // An MP4 encoder's gapless record: FFmpeg skips its priming but plays its
  // padding, which the record says is not the stream. (Where an edit list
  // says otherwise, FFmpeg has applied it and it normally agrees.)
  if (std::strstr(format_->iformat->name, "mp4")) {
    const AVDictionaryEntry* record = av_dict_get(format_->metadata, "iTunSMPB", nullptr, 0);
    const auto gapless = record ? ParseGaplessRecord(record->value) : std::nullopt;
    if (gapless) frames_ = std::min(frames_, gapless->length);
  }
  return frames_ > 0 ? kOk : kInvalidFile;
}

MciError FfmpegDecoder::OpenCodec() {
  avcodec_free_context(&codec_);
  swr_free(&resampler_);
  av_channel_layout_uninit(&in_layout_);
  pending_ = {};
  draining_ = false;
  const AVStream* stream = format_->streams[stream_];
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!codec) return kInvalidFile;
  codec_ = avcodec_alloc_context3(codec);
  if (!codec_ || avcodec_parameters_to_context(codec_, stream->codecpar) < 0) return kInvalidFile;
  codec_->thread_count = 1;
  codec_->pkt_timebase = stream->time_base;
  if (avcodec_open2(codec_, codec, nullptr) < 0) return kInvalidFile;
  if ((rate_ != 0 && codec_->sample_rate != rate_) ||
      (channels_ != 0 && codec_->ch_layout.nb_channels != channels_)) {
    return kInvalidFile;  // the stream seen again is another one
  }
  rate_ = codec_->sample_rate;
  channels_ = codec_->ch_layout.nb_channels;
  if (rate_ <= 0 || channels_ <= 0 || channels_ > kMaximumChannels) return kInvalidFile;

  AVChannelLayout out_layout{};
  av_channel_layout_copy(&out_layout, &codec_->ch_layout);
  const int configured =
      swr_alloc_set_opts2(&resampler_, &out_layout, AV_SAMPLE_FMT_FLT, rate_, &codec_->ch_layout,
                          codec_->sample_fmt, rate_, 0, nullptr);
  av_channel_layout_uninit(&out_layout);
  if (configured < 0 || swr_init(resampler_) < 0) return kInvalidFile;
  in_format_ = codec_->sample_fmt;
  if (av_channel_layout_copy(&in_layout_, &codec_->ch_layout) < 0) return kOutOfMemory;
  return kOk;
}

std::optional<std::uint64_t> FfmpegDecoder::CountDecodedFrames() {
  struct stat status {};
  if (fstat(fd_.get(), &status) != 0 || status.st_size > kLargestCountedFile) return std::nullopt;
  if (format_->duration > kLongestCounted * AV_TIME_BASE) return std::nullopt;
  std::uint64_t frames = 0;
  while (DecodeMore()) frames += pending_.samples.size() / static_cast<std::size_t>(channels_);
  return frames;
}

std::uint64_t FfmpegDecoder::CountFrames() {
  const AVStream* stream = format_->streams[stream_];
  const AVRational time_base = stream->time_base;
  const int priming = std::max(0, stream->codecpar->initial_padding);
  const bool estimated = format_->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE;
  // MP4 and QuickTime state each stream's duration, edit lists applied; other
  // containers' durations are often those of the whole file or estimates.
  const bool stated = std::strstr(format_->iformat->name, "mp4") != nullptr;
  // Matroska's block durations leave out the last block's discard padding;
  // other demuxers (Ogg) trim the last packet's duration themselves.
  const bool padded_end = std::strstr(format_->iformat->name, "matroska") != nullptr;
  std::int64_t duration = 0;  // in the stream's time base
  if (stated && stream->duration > 0) {
    duration = stream->duration;
  } else {
    // The stream ends where its last packet ends: the packets are read (not
    // decoded) from near the stated end of the file, or from its start.
    const std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    std::int64_t end = AV_NOPTS_VALUE;
    if (format_->duration > 0 && !estimated) {
      const std::int64_t near_end = av_rescale_q(format_->duration, AV_TIME_BASE_Q, time_base) +
                                    start - av_rescale_q(10, AVRational{1, 1}, time_base);
      if (near_end > start &&
          av_seek_frame(format_, stream_, near_end, AVSEEK_FLAG_BACKWARD) >= 0) {
        end = ScanToEnd();
      }
    }
    if (end == AV_NOPTS_VALUE && avformat_seek_file(format_, -1, INT64_MIN, 0, 0, 0) >= 0) {
      end = ScanToEnd();
    }
    // |stream| is the closed container's from here on.
    if (end == AV_NOPTS_VALUE || end <= start || ReopenContainer() != kOk) return 0;
    duration = end - start;
  }
  // Less the priming and the end's padding that the decoder drops.
  const std::int64_t frames = av_rescale_q(duration, time_base, AVRational{1, rate_}) - priming -
                              (padded_end ? end_discard_ : 0);
  return frames > 0 ? static_cast<std::uint64_t>(frames) : 0;
}

std::int64_t FfmpegDecoder::ScanToEnd() {
  std::int64_t end = AV_NOPTS_VALUE;
  while (av_read_frame(format_, packet_) >= 0) {
    if (packet_->stream_index == stream_ && packet_->pts != AV_NOPTS_VALUE &&
        packet_->pts + packet_->duration >= end) {
      end = packet_->pts + packet_->duration;
      // Skip-samples side data: samples dropped from the start, then from
      // the end, each 32-bit little-endian (Matroska's discard padding).
      std::size_t size = 0;
      const std::uint8_t* skip = av_packet_get_side_data(packet_, AV_PKT_DATA_SKIP_SAMPLES, &size);
      end_discard_ = skip && size >= 8 ? static_cast<std::int64_t>(AV_RL32(skip + 4)) : 0;
    }
    av_packet_unref(packet_);
  }
  return end;
}

bool FfmpegDecoder::DecodeMore() {
  for (;;) {
    const int received = avcodec_receive_frame(codec_, frame_);
    if (received == 0) {
      // A frame whose format differs from the stream's, as a damaged file
      // can make, would be converted from the wrong planes: it is dropped.
      if (frame_->format != in_format_ || frame_->sample_rate != rate_ || !frame_->extended_data ||
          av_channel_layout_compare(&frame_->ch_layout, &in_layout_) != 0) {
        av_frame_unref(frame_);
        continue;
      }
      const int out_frames = swr_get_out_samples(resampler_, frame_->nb_samples);
      if (out_frames <= 0) continue;
      auto& pending = pending_.samples;
      pending.resize(static_cast<std::size_t>(out_frames) * static_cast<std::size_t>(channels_));
      auto* out = reinterpret_cast<std::uint8_t*>(pending.data());
      const int converted =
          swr_convert(resampler_, &out, out_frames,
                      const_cast<const std::uint8_t**>(frame_->extended_data), frame_->nb_samples);
      av_frame_unref(frame_);
      if (converted < 0) return false;
      pending.resize(static_cast<std::size_t>(converted) * static_cast<std::size_t>(channels_));
      pending_.at = 0;
      if (converted > 0) return true;
      continue;
    }
    if (received == AVERROR_EOF || draining_) return false;
    if (received != AVERROR(EAGAIN)) return false;
    // The decoder wants input: the next packet of our stream, or the end.
    for (;;) {
      if (av_read_frame(format_, packet_) < 0) {
        draining_ = true;
        avcodec_send_packet(codec_, nullptr);
        break;
      }
      if (packet_->stream_index != stream_) {
        av_packet_unref(packet_);
        continue;
      }
      const int sent = avcodec_send_packet(codec_, packet_);
      av_packet_unref(packet_);
      if (sent == 0 || sent == AVERROR(EAGAIN)) break;
      // A damaged packet is skipped, as players do.
    }
  }
}

std::size_t FfmpegDecoder::Read(float* out, std::size_t frames) {
  frames = FramesWithinLength(frames_, delivered_, frames);
  const std::size_t filled = pending_.Deliver(out, frames, static_cast<std::size_t>(channels_),
                                              [this] { return DecodeMore(); });
  delivered_ += filled;
  return filled;
}

std::vector<Speaker> FfmpegDecoder::Layout() const {
  static constexpr std::pair<AVChannel, Speaker> kSpeakers[] = {
      {AV_CHAN_FRONT_LEFT, Speaker::kFrontLeft},
      {AV_CHAN_FRONT_RIGHT, Speaker::kFrontRight},
      {AV_CHAN_FRONT_CENTER, Speaker::kFrontCenter},
      {AV_CHAN_LOW_FREQUENCY, Speaker::kLowFrequency},
      {AV_CHAN_BACK_LEFT, Speaker::kRearLeft},
      {AV_CHAN_BACK_RIGHT, Speaker::kRearRight},
      {AV_CHAN_BACK_CENTER, Speaker::kRearCenter},
      {AV_CHAN_SIDE_LEFT, Speaker::kSideLeft},
      {AV_CHAN_SIDE_RIGHT, Speaker::kSideRight},
      {AV_CHAN_FRONT_LEFT_OF_CENTER, Speaker::kFrontLeftOfCenter},
      {AV_CHAN_FRONT_RIGHT_OF_CENTER, Speaker::kFrontRightOfCenter},
      {AV_CHAN_TOP_CENTER, Speaker::kTopCenter},
      {AV_CHAN_TOP_FRONT_LEFT, Speaker::kTopFrontLeft},
      {AV_CHAN_TOP_FRONT_CENTER, Speaker::kTopFrontCenter},
      {AV_CHAN_TOP_FRONT_RIGHT, Speaker::kTopFrontRight},
      {AV_CHAN_TOP_BACK_LEFT, Speaker::kTopRearLeft},
      {AV_CHAN_TOP_BACK_CENTER, Speaker::kTopRearCenter},
      {AV_CHAN_TOP_BACK_RIGHT, Speaker::kTopRearRight},
  };
  const AVChannelLayout& layout = codec_->ch_layout;
  if (layout.order != AV_CHANNEL_ORDER_NATIVE) return {};
  if (channels_ == 1) return {Speaker::kMono};
  std::vector<AVChannel> channels;
  for (int i = 0; i < channels_; ++i) {
    channels.push_back(av_channel_layout_channel_from_index(&layout, static_cast<unsigned>(i)));
  }
  return SpeakersFromCodes(channels, kSpeakers);
}

}  // namespace

}  // namespace quorwind::mci

QUORWIND_DECODER_MODULE(quorwind::mci::ModuleDecoderFactory<quorwind::mci::FfmpegDecoder>)
