// MPEG audio through libmpg123: quiet, gapless, and with exact lengths.
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include <vector>

#include "mci/decoders/decoder.h"

namespace quorwind::mci {

namespace {

constexpr std::uint64_t kShortestFrame = 24;

std::uint32_t BigEndian32(const unsigned char* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::uint32_t LittleEndian32(const unsigned char* p) {
  return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

/// Whether the file's Xing, Info or VBRI header (if any) states a stream size
/// that agrees with the file, and a frame count that fits in it: then its
/// frame count is the length. A file without one, truncated, joined to
/// another or with a damaged header disagrees.
bool HeaderAgreesWithFile(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return false;
  const auto file_size = static_cast<std::uint64_t>(status.st_size);

  unsigned char head[10];
  std::uint64_t start = 0;  // of the audio, behind an ID3v2 tag
  if (pread(fd, head, sizeof head, 0) == sizeof head && std::memcmp(head, "ID3", 3) == 0) {
    start = 10 + (std::uint64_t{head[6] & 0x7fu} << 21 | std::uint64_t{head[7] & 0x7fu} << 14 |
                  std::uint64_t{head[8] & 0x7fu} << 7 | (head[9] & 0x7fu));
    if (head[5] & 0x10) start += 10;  // footer
  }
  std::uint64_t end = file_size;  // of the audio, before ID3v1 and APE tags
  unsigned char tail[128];
  if (end >= start + 128 && pread(fd, tail, 3, static_cast<off_t>(end - 128)) == 3 &&
      std::memcmp(tail, "TAG", 3) == 0) {
    end -= 128;
  }
  if (end >= start + 32 && pread(fd, tail, 32, static_cast<off_t>(end - 32)) == 32 &&
      std::memcmp(tail, "APETAGEX", 8) == 0) {
    const std::uint64_t size = LittleEndian32(tail + 12) + ((tail[23] & 0x80) ? 32 : 0);
    end = size <= end - start ? end - size : start;
  }

  // The first frame header within the first few kilobytes of audio.
  unsigned char frame[4096];
  const ssize_t got = pread(fd, frame, sizeof frame, static_cast<off_t>(start));
  if (got < 64) return false;
  const auto size = static_cast<std::size_t>(got);
  for (std::size_t at = 0; at + 4 + 32 + 16 <= size; ++at) {
    if (frame[at] != 0xff || (frame[at + 1] & 0xe0) != 0xe0) continue;
    const bool mpeg1 = ((frame[at + 1] >> 3) & 3) == 3;
    const bool mono = (frame[at + 3] >> 6) == 3;
    const std::size_t side_info = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    std::optional<std::uint64_t> stated;
    std::uint64_t frames = 0;
    const unsigned char* xing = frame + at + 4 + side_info;
    const unsigned char* vbri = frame + at + 4 + 32;
    if (std::memcmp(xing, "Xing", 4) == 0 || std::memcmp(xing, "Info", 4) == 0) {
      const std::uint32_t flags = BigEndian32(xing + 4);
      if ((flags & 1) && (flags & 2)) {
        frames = BigEndian32(xing + 8);
        stated = BigEndian32(xing + 12);
      }
    } else if (std::memcmp(vbri, "VBRI", 4) == 0) {
      stated = BigEndian32(vbri + 10);
      frames = BigEndian32(vbri + 14);
    }
    // No MPEG audio frame is shorter than 24 bytes.
    if (!stated || frames * kShortestFrame > *stated) return false;
    const std::uint64_t audio = end - start - at;
    const std::uint64_t difference = *stated > audio ? *stated - audio : audio - *stated;
    return difference <= audio / 100;
  }
  return false;
}

/// The file, read through a buffer of our own: libmpg123 reads each frame
/// header and body with calls of their own, and a scan of every frame would
/// otherwise cost two system calls per frame.
class BufferedFile {
 public:
  explicit BufferedFile(int fd) : fd_(fd) {}

  static mpg123_ssize_t Read(void* self, void* out, std::size_t bytes) {
    return static_cast<BufferedFile*>(self)->Read(static_cast<unsigned char*>(out), bytes);
  }
  static off_t Seek(void* self, off_t offset, int whence) {
    return static_cast<BufferedFile*>(self)->Seek(offset, whence);
  }

 private:
  mpg123_ssize_t Read(unsigned char* out, std::size_t bytes) {
    if (at_ == filled_) {
      const ssize_t got = ::read(fd_, buffer_, sizeof buffer_);
      if (got < 0) return -1;
      at_ = 0;
      filled_ = static_cast<std::size_t>(got);
      position_ += got;
    }
    const std::size_t take = std::min(bytes, filled_ - at_);
    std::memcpy(out, buffer_ + at_, take);
    at_ += take;
    return static_cast<mpg123_ssize_t>(take);
  }
  off_t Seek(off_t offset, int whence) {
    const off_t logical = position_ - static_cast<off_t>(filled_ - at_);
    if (whence == SEEK_CUR) {
      offset += logical;
      whence = SEEK_SET;
    }
    const off_t result = lseek(fd_, offset, whence);
    if (result < 0) {
      lseek(fd_, position_, SEEK_SET);
      return -1;
    }
    position_ = result;
    at_ = filled_ = 0;
    return result;
  }

  int fd_;
  off_t position_ = 0;  ///< of the descriptor: the end of the buffered bytes
  std::size_t at_ = 0;
  std::size_t filled_ = 0;
  unsigned char buffer_[64 * 1024];
};

class Mpg123Decoder : public Decoder {
 public:
  Mpg123Decoder(mpg123_handle* handle, UniqueFd fd) : handle_(handle), fd_(std::move(fd)) {}
  ~Mpg123Decoder() override {
    mpg123_close(handle_);
    mpg123_delete(handle_);
  }
  Mpg123Decoder(const Mpg123Decoder&) = delete;
  Mpg123Decoder& operator=(const Mpg123Decoder&) = delete;

  MciError Open();

  std::uint64_t LengthMilliseconds() const override {
    return FramesToMilliseconds(frames_, static_cast<std::uint64_t>(rate_));
  }
  int SampleRate() const override { return static_cast<int>(rate_); }
  int Channels() const override { return channels_; }
  std::size_t Read(float* out, std::size_t frames) override;

 private:
  /// Whether any frame differs in rate or channel count from the first.
  bool FormatChanges();
  /// Decodes the whole stream to count its frames, then returns to its start.
  MciError CountDecodedFrames();

  mpg123_handle* handle_;
  UniqueFd fd_;
  BufferedFile file_{fd_.get()};
  long rate_ = 0;
  int channels_ = 0;
  std::uint64_t frames_ = 0;
  std::uint64_t delivered_ = 0;
};

MciError Mpg123Decoder::Open() {
  mpg123_param(handle_, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS | MPG123_FORCE_FLOAT, 0);
  mpg123_format_none(handle_);
  const long* rates = nullptr;
  std::size_t count = 0;
  mpg123_rates(&rates, &count);
  for (std::size_t i = 0; i < count; ++i) {
    mpg123_format(handle_, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
  }
  int encoding = 0;
  if (mpg123_replace_reader_handle(handle_, BufferedFile::Read, BufferedFile::Seek, nullptr) !=
          MPG123_OK ||
      mpg123_open_handle(handle_, &file_) != MPG123_OK ||
      mpg123_getformat(handle_, &rate_, &channels_, &encoding) != MPG123_OK || rate_ <= 0 ||
      channels_ <= 0) {
    return kInvalidFile;
  }
  // The whole stream comes out in its opening format: parts joined on in
  // another rate or channel count are resampled and mixed by libmpg123.
  mpg123_format_none(handle_);
  mpg123_format(handle_, rate_, channels_ == 1 ? MPG123_MONO : MPG123_STEREO, MPG123_ENC_FLOAT_32);
  // The header's frame count is the length when the header tells the truth;
  // otherwise every frame header is read (not decoded) to count them.
  if (!HeaderAgreesWithFile(fd_.get())) {
    if (mpg123_scan(handle_) != MPG123_OK) return kInvalidFile;
    // Frames counted at the opening rate miscount the others: such a
    // stream is counted as it is decoded.
    if (FormatChanges()) return CountDecodedFrames();
  }
  const off_t samples = mpg123_length(handle_);
  if (samples <= 0) return kInvalidFile;
  frames_ = static_cast<std::uint64_t>(samples);
  return kOk;
}

bool Mpg123Decoder::FormatChanges() {
  bool changes = false;
  mpg123_frameinfo first{};
  bool have_first = false;
  while (!changes && mpg123_framebyframe_next(handle_) >= MPG123_OK) {
    mpg123_frameinfo info{};
    if (mpg123_info(handle_, &info) != MPG123_OK) break;
    if (!have_first) {
      first = info;
      have_first = true;
    }
    changes =
        info.rate != first.rate || (info.mode == MPG123_M_MONO) != (first.mode == MPG123_M_MONO);
  }
  mpg123_seek(handle_, 0, SEEK_SET);
  return changes;
}

MciError Mpg123Decoder::CountDecodedFrames() {
  std::vector<unsigned char> scratch(64 * 1024);
  const std::size_t frame_bytes = sizeof(float) * static_cast<std::size_t>(channels_);
  std::uint64_t bytes = 0;
  for (;;) {
    std::size_t done = 0;
    const int result = mpg123_read(handle_, scratch.data(), scratch.size(), &done);
    bytes += done;
    if (result != MPG123_OK && result != MPG123_NEW_FORMAT) break;
  }
  frames_ = bytes / frame_bytes;
  if (frames_ == 0 || mpg123_seek(handle_, 0, SEEK_SET) < 0) return kInvalidFile;
  return kOk;
}

std::size_t Mpg123Decoder::Read(float* out, std::size_t frames) {
  frames = FramesWithinLength(frames_, delivered_, frames);
  const std::size_t frame_bytes = sizeof(float) * static_cast<std::size_t>(channels_);
  std::size_t filled = 0;
  while (filled < frames) {
    std::size_t done = 0;
    const int result =
        mpg123_read(handle_, reinterpret_cast<unsigned char*>(out + filled * channels_),
                    (frames - filled) * frame_bytes, &done);
    filled += done / frame_bytes;
    if (result != MPG123_OK && result != MPG123_NEW_FORMAT) break;
    if (done == 0 && result == MPG123_OK) break;
  }
  delivered_ += filled;
  return filled;
}

}  // namespace

MciError OpenMpg123Decoder(UniqueFd fd, std::unique_ptr<Decoder>& decoder) {
  mpg123_handle* handle = mpg123_new(nullptr, nullptr);
  if (!handle) return kOutOfMemory;
  auto opened = std::make_unique<Mpg123Decoder>(handle, std::move(fd));
  if (MciError error = opened->Open(); error != kOk) return error;
  decoder = std::move(opened);
  return kOk;
}

}  // namespace quorwind::mci
