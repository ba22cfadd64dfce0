// libsndfile's formats.
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "mci/decoders/decoder.h"
#include "mci/decoders/id3v2.h"

namespace quorwind::mci {

namespace {

/// The media as libsndfile sees it: the file from |base| on, past any ID3v2
/// tag in front (libsndfile's own skip of a tag leaves its seeks failing).
struct MediaView {
  UniqueFd fd;
  sf_count_t base = 0;
  sf_count_t size = 0;

  static sf_count_t Length(void* self) { return static_cast<MediaView*>(self)->size; }
  static sf_count_t Seek(sf_count_t offset, int whence, void* self) {
    auto* view = static_cast<MediaView*>(self);
    if (whence == SEEK_END) {
      offset += view->size;
      whence = SEEK_SET;
    }
    if (whence == SEEK_SET) offset += view->base;
    const off_t at = lseek(view->fd.get(), static_cast<off_t>(offset), whence);
    return at < 0 ? -1 : at - view->base;
  }
  static sf_count_t Read(void* data, sf_count_t count, void* self) {
    const ssize_t got =
        ::read(static_cast<MediaView*>(self)->fd.get(), data, static_cast<std::size_t>(count));
    return got < 0 ? 0 : got;
  }
  static sf_count_t Tell(void* self) { return Seek(0, SEEK_CUR, self); }
  static sf_count_t Write(const void*, sf_count_t, void*) { return 0; }

  SF_VIRTUAL_IO io = {Length, Seek, Read, Write, Tell};
};

class SndfileDecoder : public Decoder {
 public:
  /// Takes ownership of |file|, which reads |view|.
  SndfileDecoder(std::unique_ptr<MediaView> view, SNDFILE* file, const SF_INFO& info)
      : view_(std::move(view)), file_(file), info_(info) {}
  ~SndfileDecoder() override { sf_close(file_); }
  SndfileDecoder(const SndfileDecoder&) = delete;
  SndfileDecoder& operator=(const SndfileDecoder&) = delete;

  std::uint64_t LengthMilliseconds() const override {
    return FramesToMilliseconds(static_cast<std::uint64_t>(info_.frames),
                                static_cast<std::uint64_t>(info_.samplerate));
  }
  int SampleRate() const override { return info_.samplerate; }
  int Channels() const override { return info_.channels; }
  std::vector<Speaker> Layout() const override;
  SampleFormat NativeFormat() const override {
    // libsndfile scales these codecs' 16-bit (or 8-bit) samples by 1/32768.
    switch (info_.format & SF_FORMAT_SUBMASK) {
      case SF_FORMAT_PCM_S8:
      case SF_FORMAT_PCM_U8:
      case SF_FORMAT_PCM_16:
      case SF_FORMAT_ULAW:
      case SF_FORMAT_ALAW:
      case SF_FORMAT_IMA_ADPCM:
      case SF_FORMAT_MS_ADPCM:
        return SampleFormat::kInt16;
      default:
        return SampleFormat::kFloat;
    }
  }
  std::size_t Read(float* out, std::size_t frames) override {
    const sf_count_t read = sf_readf_float(file_, out, static_cast<sf_count_t>(frames));
    return read > 0 ? static_cast<std::size_t>(read) : 0;
  }

 private:
  std::unique_ptr<MediaView> view_;
  SNDFILE* file_;
  SF_INFO info_;
};

std::vector<Speaker> SndfileDecoder::Layout() const {
  static constexpr std::pair<int, Speaker> kSpeakers[] = {
      {SF_CHANNEL_MAP_MONO, Speaker::kMono},
      {SF_CHANNEL_MAP_LEFT, Speaker::kFrontLeft},
      {SF_CHANNEL_MAP_FRONT_LEFT, Speaker::kFrontLeft},
      {SF_CHANNEL_MAP_RIGHT, Speaker::kFrontRight},
      {SF_CHANNEL_MAP_FRONT_RIGHT, Speaker::kFrontRight},
      {SF_CHANNEL_MAP_CENTER, Speaker::kFrontCenter},
      {SF_CHANNEL_MAP_FRONT_CENTER, Speaker::kFrontCenter},
      {SF_CHANNEL_MAP_REAR_CENTER, Speaker::kRearCenter},
      {SF_CHANNEL_MAP_REAR_LEFT, Speaker::kRearLeft},
      {SF_CHANNEL_MAP_REAR_RIGHT, Speaker::kRearRight},
      {SF_CHANNEL_MAP_LFE, Speaker::kLowFrequency},
      {SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER, Speaker::kFrontLeftOfCenter},
      {SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER, Speaker::kFrontRightOfCenter},
      {SF_CHANNEL_MAP_SIDE_LEFT, Speaker::kSideLeft},
      {SF_CHANNEL_MAP_SIDE_RIGHT, Speaker::kSideRight},
      {SF_CHANNEL_MAP_TOP_CENTER, Speaker::kTopCenter},
      {SF_CHANNEL_MAP_TOP_FRONT_LEFT, Speaker::kTopFrontLeft},
      {SF_CHANNEL_MAP_TOP_FRONT_RIGHT, Speaker::kTopFrontRight},
      {SF_CHANNEL_MAP_TOP_FRONT_CENTER, Speaker::kTopFrontCenter},
      {SF_CHANNEL_MAP_TOP_REAR_LEFT, Speaker::kTopRearLeft},
      {SF_CHANNEL_MAP_TOP_REAR_RIGHT, Speaker::kTopRearRight},
      {SF_CHANNEL_MAP_TOP_REAR_CENTER, Speaker::kTopRearCenter},
  };
  std::vector<int> map(static_cast<std::size_t>(info_.channels));
  if (sf_command(file_, SFC_GET_CHANNEL_MAP_INFO, map.data(),
                 static_cast<int>(map.size() * sizeof(int))) != SF_TRUE) {
    return {};
  }
  return SpeakersFromCodes(map, kSpeakers);
}

/// The last page of an Ogg file: the end of its last stream, in frames, and
/// whether that stream is the first one's (a chained file, as a stream
/// recorder or cat makes, holds several one after the other).
struct OggEnd {
  std::int64_t granule = 0;
  bool chained = false;
};

std::uint32_t LittleEndian32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

/// Whether a stream begins after the file's first page: the pages' headers
/// are walked (a few microseconds a page). Chained links may share a serial
/// number (cat of one file twice), so the begin-of-stream flag tells.
bool HasLaterStream(int fd, std::uint64_t base, std::uint64_t size) {
  unsigned char header[27 + 255];
  for (std::uint64_t at = base, page = 0; at + 27 <= size; ++page) {
    if (pread(fd, header, sizeof header, static_cast<off_t>(at)) < 27 ||
        std::memcmp(header, "OggS", 4) != 0) {
      return false;  // damaged: libsndfile reads what it can
    }
    if (page > 0 && (header[5] & 0x02)) return true;
    const unsigned segments = header[26];
    std::uint64_t body = 0;
    for (unsigned i = 0; i < segments; ++i) body += header[27 + i];
    at += 27 + segments + body;
  }
  return false;
}

/// Nothing when the media from |base| on is no Ogg file or has no last page
/// with a granule.
std::optional<OggEnd> LastOggPage(int fd, off_t base) {
  unsigned char first[18] = {};
  struct stat status {};
  if (pread(fd, first, sizeof first, base) != sizeof first || std::memcmp(first, "OggS", 4) != 0 ||
      fstat(fd, &status) != 0) {
    return std::nullopt;
  }
  // A page is at most 65,307 bytes long.
  std::vector<unsigned char> tail(static_cast<std::size_t>(std::min<off_t>(status.st_size, 65536)));
  const ssize_t got =
      pread(fd, tail.data(), tail.size(), status.st_size - static_cast<off_t>(tail.size()));
  if (got != static_cast<ssize_t>(tail.size())) return std::nullopt;
  for (std::size_t at = tail.size() < 27 ? 0 : tail.size() - 27 + 1; at-- > 0;) {
    if (std::memcmp(&tail[at], "OggS", 4) != 0 || tail[at + 4] != 0) continue;
    std::uint64_t granule = 0;
    for (int i = 7; i >= 0; --i)
      granule = granule << 8 | tail[at + 6 + static_cast<std::size_t>(i)];
    if (granule == UINT64_MAX) continue;
    return OggEnd{static_cast<std::int64_t>(granule),
                  LittleEndian32(&tail[at + 14]) != LittleEndian32(&first[14]) ||
                      HasLaterStream(fd, static_cast<std::uint64_t>(base),
                                     static_cast<std::uint64_t>(status.st_size))};
  }
  return std::nullopt;
}

/// Whether a FLAC frame near the end of the file open at |fd| ends at
/// |frames|, the count its STREAMINFO claims: libFLAC's own seek to the last
/// frame walks a file without a seek table (seconds for an hour), so the
/// frame headers of the tail are read instead. Each header carries its
/// frame's (fixed block size) or first sample's number and is guarded by a
/// CRC-8, so a header that ends exactly at the claimed count is the end.
bool FlacEndsAt(int fd, off_t base, std::uint64_t frames) {
  struct stat status {};
  unsigned char info[12] = {};  // "fLaC", the block header, the block sizes
  if (fstat(fd, &status) != 0 || pread(fd, info, sizeof info, base) != sizeof info ||
      std::memcmp(info, "fLaC", 4) != 0) {
    return false;
  }
  const std::uint64_t fixed_block = static_cast<std::uint64_t>(info[10]) << 8 | info[11];
  std::vector<unsigned char> tail(
      static_cast<std::size_t>(std::min<off_t>(status.st_size, 1 << 16)));
  if (pread(fd, tail.data(), tail.size(), status.st_size - static_cast<off_t>(tail.size())) !=
      static_cast<ssize_t>(tail.size())) {
    return false;
  }
  const auto crc8 = [](const unsigned char* bytes, std::size_t size) {
    unsigned crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
      crc ^= bytes[i];
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80 ? crc << 1 ^ 0x07 : crc << 1) & 0xff;
    }
    return crc;
  };
  for (std::size_t at = 0; at + 6 <= tail.size(); ++at) {
    const unsigned char* h = &tail[at];
    if (h[0] != 0xff || (h[1] & 0xfe) != 0xf8 || (h[3] & 1) != 0) continue;
    const bool variable = h[1] & 1;
    const unsigned size_code = h[2] >> 4;
    const unsigned rate_code = h[2] & 15;
    if (size_code == 0 || rate_code == 15) continue;
    // The frame or sample number, coded as UTF-8 is (up to 36 bits).
    std::size_t n = 4;
    std::uint64_t number = h[n];
    int more = 0;
    if (number < 0x80) {
    } else if ((number & 0xe0) == 0xc0) {
      number &= 0x1f, more = 1;
    } else if ((number & 0xf0) == 0xe0) {
      number &= 0x0f, more = 2;
    } else if ((number & 0xf8) == 0xf0) {
      number &= 0x07, more = 3;
    } else if ((number & 0xfc) == 0xf8) {
      number &= 0x03, more = 4;
    } else if ((number & 0xfe) == 0xfc) {
      number &= 0x01, more = 5;
    } else if (number == 0xfe) {
      number = 0, more = 6;
    } else {
      continue;
    }
    bool coded = at + n + 1 + static_cast<std::size_t>(more) + 3 <= tail.size();
    for (int i = 0; coded && i < more; ++i) {
      const unsigned byte = h[++n];
      coded = (byte & 0xc0) == 0x80;
      number = number << 6 | (byte & 0x3f);
    }
    if (!coded) continue;
    ++n;
    std::uint64_t block = 0;
    if (size_code == 1) {
      block = 192;
    } else if (size_code <= 5) {
      block = 576u << (size_code - 2);
    } else if (size_code == 6) {
      block = h[n++] + 1u;
    } else if (size_code == 7) {
      block = (static_cast<unsigned>(h[n]) << 8 | h[n + 1]) + 1u;
      n += 2;
    } else {
      block = 256u << (size_code - 8);
    }
    n += rate_code == 12 ? 1 : (rate_code == 13 || rate_code == 14) ? 2 : 0;
    if (at + n + 1 > tail.size() || crc8(h, n) != h[n]) continue;
    // A fixed-size stream numbers its frames, all |fixed_block| long but
    // the last; a variable-size one numbers its first samples.
    if ((variable ? number : number * fixed_block) + block == frames) return true;
  }
  return false;
}

/// Whether the last of the frames that the header claims decodes. A file
/// cut short (an interrupted download) claims frames it lacks; some codecs
/// cannot seek there at all (DWVW), so the claim cannot be checked.
enum class LastFrame { kDecodes, kMissing, kUnreachable };

LastFrame CheckLastFrame(SNDFILE* file, const SF_INFO& info) {
  if (info.frames == 0) return LastFrame::kDecodes;
  if (!info.seekable || sf_seek(file, info.frames - 1, SEEK_SET) < 0)
    return LastFrame::kUnreachable;
  std::vector<float> frame(static_cast<std::size_t>(info.channels));
  return sf_readf_float(file, frame.data(), 1) == 1 ? LastFrame::kDecodes : LastFrame::kMissing;
}

/// The most frames a codec's last block may fall short of its header's claim.
constexpr sf_count_t kLongestCodecBlock = 4096;

/// The frames libsndfile decodes from |file|, read to its end.
sf_count_t CountDecodedFrames(SNDFILE* file, const SF_INFO& info) {
  constexpr sf_count_t kBlock = 4096;
  std::vector<float> block(static_cast<std::size_t>(kBlock * info.channels));
  sf_count_t frames = 0;
  while (const sf_count_t got = sf_readf_float(file, block.data(), kBlock)) {
    if (got < 0) break;
    frames += got;
  }
  return frames;
}

/// Where the media starts: after the ID3v2 tag in front of it, if any.
off_t MediaStart(int fd) {
  unsigned char head[10] = {};
  const ssize_t got = pread(fd, head, sizeof head, 0);
  return static_cast<off_t>(Id3v2Size(head, got > 0 ? static_cast<std::size_t>(got) : 0));
}

}  // namespace

MciError OpenSndfileDecoder(UniqueFd fd, std::unique_ptr<Decoder>& decoder) {
  auto view = std::make_unique<MediaView>();
  struct stat status {};
  view->base = MediaStart(fd.get());
  if (fstat(fd.get(), &status) != 0 || view->base > status.st_size ||
      lseek(fd.get(), view->base, SEEK_SET) != view->base) {
    return kInvalidFile;
  }
  view->size = status.st_size - view->base;
  const std::optional<OggEnd> ogg_end = LastOggPage(fd.get(), static_cast<off_t>(view->base));
  view->fd = std::move(fd);
  SF_INFO info{};
  SNDFILE* file = sf_open_virtual(&view->io, SFM_READ, &info, view.get());
  if (!file) return kInvalidFile;
  // The claimed last frame must decode; where it cannot be reached, or a
  // codec's last block falls short of the claim (PAF's 24-bit), the frames
  // are counted by decoding. A file that lacks more than a block was cut
  // short: it goes to FFmpeg, which counts what it decodes.
  const auto reopen = [&] {
    sf_close(file);
    info = {};
    file = lseek(view->fd.get(), view->base, SEEK_SET) == view->base
               ? sf_open_virtual(&view->io, SFM_READ, &info, view.get())
               : nullptr;
    return file != nullptr;
  };
  if (!ogg_end && (info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_FLAC && info.channels > 0 &&
      info.frames >= 0) {
    const LastFrame last = CheckLastFrame(file, info);
    if (!reopen()) return kInvalidFile;
    if (last != LastFrame::kDecodes) {
      const sf_count_t counted = CountDecodedFrames(file, info);
      if (!reopen()) return kInvalidFile;
      if (last == LastFrame::kMissing && info.frames - counted > kLongestCodecBlock) {
        sf_close(file);
        return kInvalidFile;
      }
      info.frames = std::min(info.frames, counted);
    }
  }

  // Some encoders put the first audio packets on the last header page;
  // libsndfile then drops them, and its count falls short of the stream's
  // end. FFmpeg decodes such a file whole. (Compared as a difference: a
  // header can claim any count.)
  const auto loses_its_start = [&] {
    return (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_VORBIS && ogg_end &&
           ogg_end->granule > info.frames &&
           ogg_end->granule - info.frames > info.samplerate / 1000;
  };
  // A FLAC file cut short claims frames it lacks: FFmpeg counts what it
  // decodes. An Ogg stream's count already comes from its last page.
  const auto cut_short = [&] {
    return !ogg_end && (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC &&
           !FlacEndsAt(view->fd.get(), static_cast<off_t>(view->base),
                       static_cast<std::uint64_t>(info.frames));
  };
  // libsndfile reads the first stream of a chained file alone; FFmpeg
  // plays them all.
  const bool chained = ogg_end && ogg_end->chained;
  if (info.samplerate <= 0 || info.channels <= 0 || info.frames < 0 ||
      info.frames == SF_COUNT_MAX || chained || loses_its_start() || cut_short()) {
    sf_close(file);
    return kInvalidFile;
  }
  decoder = std::make_unique<SndfileDecoder>(std::move(view), file, info);
  return kOk;
}

}  // namespace quorwind::mci
