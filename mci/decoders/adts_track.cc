// ADTS frame headers, read in large blocks: a four-minute file has ten
// thousand of them.
#include "mci/decoders/adts_track.h"

#include "mci/decoders/id3v2.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace quorwind::mci {

namespace {

constexpr std::uint32_t kSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                          22050, 16000, 12000, 11025, 8000,  7350};
constexpr std::size_t kBlockBytes = 256 * 1024;
/// An MPEG-4 audio elementary stream, in a descriptor's object type.
constexpr std::uint8_t kMpeg4Audio = 0x40;

/// The file read forward through a buffer of whole blocks.
class ForwardReader {
 public:
  ForwardReader(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  /// The |count| bytes at |offset| (at or after the last asked for), or null
  /// past the end.
  const std::uint8_t* At(std::uint64_t offset, std::size_t count) {
    if (offset + count > size_) return nullptr;
    if (offset < start_ || offset + count > start_ + buffer_.size()) {
      buffer_.resize(
          static_cast<std::size_t>(std::min<std::uint64_t>(kBlockBytes, size_ - offset)));
      if (pread(fd_, buffer_.data(), buffer_.size(), static_cast<off_t>(offset)) !=
          static_cast<ssize_t>(buffer_.size())) {
        buffer_.clear();
        return nullptr;
      }
      start_ = offset;
    }
    return buffer_.data() + (offset - start_);
  }

 private:
  int fd_;
  std::uint64_t size_;
  std::uint64_t start_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace

std::optional<Mp4AudioTrack> ReadAdtsTrack(int fd, std::uint64_t file_size) {
  ForwardReader reader(fd, file_size);
  Mp4AudioTrack track;
  std::uint32_t profile = 0, rate_index = 0, channels = 0;  // of the first frame
  const std::uint8_t* head = reader.At(0, 10);
  std::uint64_t at = head ? Id3v2Size(head, 10) : 0;
  bool cut_short = false;
  while (const std::uint8_t* h = reader.At(at, 7)) {
    if (h[0] != 0xff || (h[1] & 0xf6) != 0xf0) break;  // not a frame: junk or a tag
    const std::uint32_t this_profile = h[2] >> 6;
    const std::uint32_t this_rate = (h[2] >> 2) & 15;
    const std::uint32_t this_channels = (h[2] & 1u) << 2 | h[3] >> 6;
    const std::uint32_t header = (h[1] & 1) ? 7 : 9;  // a CRC follows without protection_absent
    const std::uint32_t length = static_cast<std::uint32_t>(h[3] & 3) << 11 |
                                 static_cast<std::uint32_t>(h[4]) << 3 | h[5] >> 5;
    if ((h[6] & 3) != 0 || length <= header) return std::nullopt;  // several blocks: not ours
    if (track.samples.empty()) {
      profile = this_profile;
      rate_index = this_rate;
      channels = this_channels;
    }
    if (this_profile != profile || this_rate != rate_index || this_channels != channels) {
      return std::nullopt;
    }
    if (at + length > file_size) {
      cut_short = true;
      break;
    }
    track.samples.push_back({at + header, length - header});
    at += length;
  }
  // The stream alone, or followed by an ID3v1 tag; anything else (junk to
  // resync over) is left to a fuller demuxer.
  const std::uint8_t* tag = reader.At(at, 3);
  const bool ends_in_tag =
      at + 128 == file_size && tag && tag[0] == 'T' && tag[1] == 'A' && tag[2] == 'G';
  if (track.samples.empty() || !(at == file_size || cut_short || ends_in_tag) ||
      rate_index >= std::size(kSampleRates)) {
    return std::nullopt;
  }
  track.time_scale = kSampleRates[rate_index];
  track.object_type = kMpeg4Audio;
  // The AudioSpecificConfig: object type (5 bits), rate index (4), channels (4).
  const std::uint32_t object_type = profile + 1;
  track.decoder_config = {static_cast<std::uint8_t>(object_type << 3 | rate_index >> 1),
                          static_cast<std::uint8_t>((rate_index & 1) << 7 | channels << 3)};
  track.frames_per_sample = 1024;
  track.skip = 0;
  track.length = track.samples.size() * std::uint64_t{1024};
  return track;
}

}  // namespace quorwind::mci
