// A long stream's count of decoded frames, read from its two ends, for the
// FFmpeg module: what decoding the whole stream would count, where the
// container's structure shows that its middle holds no surprise.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <optional>

namespace quorwind::mci {

/// Whether CountFramesAtTheEnds may count this stream: a stream of a minute
/// or more, in a container it knows. Where not, it reads nothing.
bool CountableAtTheEnds(const AVFormatContext* format, const AVCodecContext* codec);

/// The frames that decoding stream |stream| of |format| through |codec|
/// (both just opened) yields, found by decoding its first and last packets:
/// - raw AC-3 and E-AC-3: the frame grid, one frame size and one count of
///   samples at both ends, the first frame at the file's start and the last
///   at its end (|file_size|);
/// - containers with timestamps and an index (Matroska, ASF, AVI, MPEG-TS,
///   MP4): the decoded frames' times run as their counts at the start and
///   after a seek near the end, so the frames before the end are where
///   their times say; in MPEG-TS, whose timestamps are its only timeline,
///   the timeline sampled through the file must run evenly too.
/// Nothing where a check fails, a container is none of these, or the stream
/// is short enough to count whole; |format| and |codec| are then wherever
/// the count stopped, and are to be opened afresh.
std::optional<std::uint64_t> CountFramesAtTheEnds(AVFormatContext* format, AVCodecContext* codec,
                                                  int stream, std::int64_t file_size);

/// Whether CountByTheChunks may count this stream of |chunks| chunks: MPEG
/// audio in a long AVI file. Where not, it reads nothing.
bool CountableByTheChunks(const AVFormatContext* format, const AVCodecContext* codec,
                          std::uint64_t chunks);

/// The frames of an AVI file's MPEG audio stream |stream| whose index holds
/// |chunks| chunks of it: each chunk one frame of one count of samples, as
/// the first and the last frames decoded show (|format| and |codec| just
/// opened). A stream of a variable bitrate whose chunks are timed by their
/// bytes has times that run as no count of frames, but its chunks do.
/// Nothing where a check fails: |format| and |codec| are then to be opened
/// afresh.
std::optional<std::uint64_t> CountByTheChunks(AVFormatContext* format, AVCodecContext* codec,
                                              int stream, std::uint64_t chunks);

/// Whether a stream of |format| that CountFramesAtTheEnds cannot count is
/// counted by CountPacketFrames: an MPEG transport or program stream, whose
/// parser gives every packet its frames' duration.
bool CountedByPackets(const AVFormatContext* format);

/// The frames of stream |stream| (at |rate| frames a second), each of its
/// packets read from where |format| is, without decoding, and its duration
/// added up; nothing where a packet has none.
std::optional<std::uint64_t> CountPacketFrames(AVFormatContext* format, int stream, int rate);

}  // namespace quorwind::mci
