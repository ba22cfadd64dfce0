// The one sound track of an MP4 (ISO base media) file, as its sample table
// and edit list describe it: where each coded frame lies, and which decoded
// frames are the stream.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quorwind::mci {

/// One coded sample (an AAC access unit) in the file.
struct Mp4Sample {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
};

/// A non-fragmented file's single sound track whose samples all stand for
/// the same number of frames at the media's own time scale. Anything else
/// (fragments, several sound tracks, several edits, a time scale other than
/// the sample rate) is left to a fuller demuxer.
struct Mp4AudioTrack {
  std::uint32_t time_scale = 0;              ///< the media's, equal to its sample rate
  std::uint32_t sample_entry = 0;            ///< the sample entry's four-character code
  std::uint8_t object_type = 0;              ///< the elementary stream's, from its descriptor
  std::vector<std::uint8_t> decoder_config;  ///< the decoder-specific information
  std::vector<Mp4Sample> samples;
  std::uint32_t frames_per_sample = 0;
  /// Frames of the decoded samples, from the first, that are not the stream
  /// (the encoder's priming), and the stream's length in frames after them:
  /// from the edit list, or without one from the gapless record.
  std::uint64_t skip = 0;
  std::uint64_t length = 0;
};

/// The gapless record an encoder leaves in an MP4 file's metadata (iTunes'
/// iTunSMPB): its priming, and the stream's own length after it, in frames;
/// what lies beyond is padding.
struct GaplessRecord {
  std::uint64_t priming = 0;
  std::uint64_t length = 0;
};

/// The record from its text (hexadecimal fields: 0, the priming, the
/// padding, the length, ...); nothing when |text| is not one.
std::optional<GaplessRecord> ParseGaplessRecord(std::string_view text);

/// Reads the track from the file open at |fd|, whose size is |file_size|;
/// nothing when the file is not one this reader takes.
std::optional<Mp4AudioTrack> ReadMp4AudioTrack(int fd, std::uint64_t file_size);

}  // namespace quorwind::mci
