// Media files: the decoders that may read a file, chosen by its first bytes.
#include "mci/decoders/media_file.h"

#include "mci/decoders/id3v2.h"
#include "mci/decoders/media_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace quorwind::mci {

namespace {

/// The first bytes of a file, enough to tell its family.
struct Head {
  unsigned char bytes[64] = {};
  std::size_t size = 0;

  void Read(int fd, std::uint64_t offset) {
    const ssize_t got = pread(fd, bytes, sizeof bytes, static_cast<off_t>(offset));
    size = got > 0 ? static_cast<std::size_t>(got) : 0;
  }

  bool StartsWith(const char* magic, std::size_t at = 0) const {
    const std::size_t length = std::strlen(magic);
    return at + length <= size && std::memcmp(bytes + at, magic, length) == 0;
  }
};

bool IsMidi(const Head& head) {
  return head.StartsWith("MThd") || (head.StartsWith("RIFF") && head.StartsWith("RMID", 8));
}

/// What libsndfile reads, behind whatever tag.
bool IsSndfileFormat(const Head& head) {
  return head.StartsWith("fLaC") || head.StartsWith("RIFF") || head.StartsWith("RF64") ||
         head.StartsWith("FORM") || head.StartsWith("OggS");
}

/// The ISO base media format (MP4, M4A, 3GP, QuickTime's successors).
bool IsMp4(const Head& head) { return head.StartsWith("ftyp", 4); }

/// What only FFmpeg reads here: ASF (WMA), Monkey's Audio, Musepack, raw
/// AC-3 and E-AC-3 (a frame's sync word). Trying libsndfile first would only
/// cost a child.
bool IsFfmpegOnly(const Head& head) {
  static constexpr unsigned char kAsf[] = {0x30, 0x26, 0xb2, 0x75, 0x8e, 0x66, 0xcf, 0x11};
  return (head.size >= sizeof kAsf && std::memcmp(head.bytes, kAsf, sizeof kAsf) == 0) ||
         head.StartsWith("MAC ") || head.StartsWith("MPCK") || head.StartsWith("MP+") ||
         head.StartsWith("\x0b\x77");
}

/// Matroska and WebM: an EBML header.
bool IsEbml(const Head& head) {
  static constexpr unsigned char kEbml[] = {0x1a, 0x45, 0xdf, 0xa3};
  return head.size >= sizeof kEbml && std::memcmp(head.bytes, kEbml, sizeof kEbml) == 0;
}

/// AAC in ADTS frames: a frame header of layer 0 at the start.
bool IsAdts(const Head& head) {
  return head.size >= 7 && head.bytes[0] == 0xff && (head.bytes[1] & 0xf6) == 0xf0;
}

/// MPEG audio: a layer I-III frame header at the start.
bool IsMpegAudio(const Head& head) {
  if (head.size < 4 || head.bytes[0] != 0xff || (head.bytes[1] & 0xe0) != 0xe0) return false;
  const int version = (head.bytes[1] >> 3) & 3;
  const int layer = (head.bytes[1] >> 1) & 3;
  const int bitrate = head.bytes[2] >> 4;
  const int rate = (head.bytes[2] >> 2) & 3;
  return version != 1 && layer != 0 && bitrate != 15 && rate != 3;
}

}  // namespace

MciError OpenInThisProcess(MakeDecoderFactory make, UniqueFd fd,
                           std::unique_ptr<Decoder>& decoder) {
  const std::unique_ptr<DecoderFactory> factory = make();
  if (!factory) return kInvalidFile;
  const MciError error = factory->Prepare();
  return error == kOk ? factory->Open(std::move(fd), decoder) : error;
}

bool StartsAsMedia(const unsigned char* bytes, std::size_t size) {
  Head head;
  head.size = std::min(size, sizeof head.bytes);
  std::memcpy(head.bytes, bytes, head.size);
  return IsMidi(head) || IsSndfileFormat(head) || IsMp4(head) || IsAdts(head) ||
         head.StartsWith("wvpk") || IsEbml(head) || IsFfmpegOnly(head) || IsMpegAudio(head) ||
         Id3v2Size(head.bytes, head.size) > 0;
}

MciError OpenMediaFile(const std::string& path, std::unique_ptr<Decoder>& file,
                       const OpenWithFactory& open) {
  UniqueFd fd;
  if (MciError error = OpenMediaInput(path, fd); error != kOk) return error;
  return OpenMediaFile(std::move(fd), file, open);
}

MciError OpenMediaFile(UniqueFd fd, std::unique_ptr<Decoder>& file, const OpenWithFactory& open) {
  struct stat status {};
  if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return kInvalidFile;
  Head head;
  head.Read(fd.get(), 0);
  // An ID3v2 tag says nothing of the format: the bytes after it do (a FLAC
  // or WAV file may carry one too). Junk after a tag is taken as MPEG audio.
  bool mpeg = IsMpegAudio(head);
  bool adts = IsAdts(head);
  if (const std::uint64_t tag = Id3v2Size(head.bytes, head.size)) {
    Head after;
    after.Read(fd.get(), tag);
    adts = IsAdts(after);
    mpeg = !adts && !IsSndfileFormat(after);
  }

  // FFmpeg, the heaviest, comes last: most files never load it.
  const MakeDecoderFactory sndfile = MakeFactoryOf<OpenSndfileDecoder>;
  const MakeDecoderFactory mpg123 = MakeFactoryOf<OpenMpg123Decoder>;
  std::vector<MakeDecoderFactory> candidates = {sndfile, MakeFfmpegFactory};
  if (IsMidi(head)) {
    candidates = {MakeMidiFactory};
  } else if (IsMp4(head) || adts) {
    candidates = {MakeAacFactory, MakeFfmpegFactory};
  } else if (head.StartsWith("wvpk")) {
    candidates = {MakeWavpackFactory, MakeFfmpegFactory};
  } else if (IsEbml(head)) {
    candidates = {MakeWebmFactory, MakeFfmpegFactory};
  } else if (IsFfmpegOnly(head)) {
    candidates = {MakeFfmpegFactory};
  } else if (mpeg) {
    candidates = {mpg123, MakeFfmpegFactory};
  }
  for (const MakeDecoderFactory make : candidates) {
    UniqueFd copy(fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
    if (copy.get() < 0) return kOutOfMemory;
    lseek(copy.get(), 0, SEEK_SET);
    if (open(make, std::move(copy), file) == kOk) return kOk;
  }
  return kInvalidFile;
}

}  // namespace quorwind::mci
