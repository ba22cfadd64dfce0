// The sound track of an MP4 file: its boxes read from the movie header alone,
// every count and size checked against what the file can hold.
#include "mci/decoders/mp4_audio_track.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <span>
#include <string_view>

namespace quorwind::mci {

namespace {

constexpr std::uint32_t Code(const char (&text)[5]) {
  return static_cast<std::uint32_t>(text[0]) << 24 | static_cast<std::uint32_t>(text[1]) << 16 |
         static_cast<std::uint32_t>(text[2]) << 8 | static_cast<std::uint32_t>(text[3]);
}

/// The movie header box is read whole; real ones are a few hundred kB.
constexpr std::uint64_t kLargestMovieBox = 64 << 20;

/// Big-endian fields read from a span of bytes; a read past its end fails
/// the cursor, and every later read gives 0.
class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool ok() const { return ok_; }
  std::size_t left() const { return ok_ ? bytes_.size() - at_ : 0; }

  std::uint64_t Read(int size) {
    if (!ok_ || static_cast<std::size_t>(size) > bytes_.size() - at_) {
      ok_ = false;
      return 0;
    }
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) value = value << 8 | bytes_[at_++];
    return value;
  }
  std::uint32_t U8() { return static_cast<std::uint32_t>(Read(1)); }
  std::uint32_t U16() { return static_cast<std::uint32_t>(Read(2)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Read(4)); }
  std::uint64_t U64() { return Read(8); }
  void Skip(std::size_t count) {
    if (count > left()) ok_ = false;
    at_ += ok_ ? count : 0;
  }
  std::span<const std::uint8_t> Take(std::size_t count) {
    if (count > left()) {
      ok_ = false;
      return {};
    }
    at_ += count;
    return bytes_.subspan(at_ - count, count);
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

/// The children of a box's body, by type.
class Boxes {
 public:
  explicit Boxes(std::span<const std::uint8_t> body) : rest_(body) {}

  /// The next child's type and body; false at the end or on a damaged size.
  bool Next(std::uint32_t& type, std::span<const std::uint8_t>& body) {
    Cursor cursor(rest_);
    std::uint64_t size = cursor.U32();
    type = cursor.U32();
    if (size == 1) size = cursor.U64();
    if (size == 0) size = rest_.size();
    const std::size_t header = rest_.size() - cursor.left();
    if (!cursor.ok() || size < header || size > rest_.size()) return false;
    body = rest_.subspan(header, static_cast<std::size_t>(size) - header);
    rest_ = rest_.subspan(static_cast<std::size_t>(size));
    return true;
  }

  /// The first child of |type|; empty when there is none.
  static std::span<const std::uint8_t> Find(std::span<const std::uint8_t> parent,
                                            std::uint32_t wanted) {
    Boxes boxes(parent);
    std::uint32_t type = 0;
    std::span<const std::uint8_t> body;
    while (boxes.Next(type, body)) {
      if (type == wanted) return body;
    }
    return {};
  }

 private:
  std::span<const std::uint8_t> rest_;
};

/// A descriptor's length: up to four bytes of seven bits.
std::uint32_t DescriptorLength(Cursor& cursor) {
  std::uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t byte = cursor.U8();
    length = length << 7 | (byte & 0x7f);
    if (!(byte & 0x80)) break;
  }
  return length;
}

/// The elementary stream descriptor: object type and decoder-specific info.
bool ReadEsDescriptor(std::span<const std::uint8_t> esds, Mp4AudioTrack& track) {
  Cursor cursor(esds);
  cursor.Skip(4);  // version and flags
  if (cursor.U8() != 0x03) return false;
  DescriptorLength(cursor);
  cursor.Skip(2);  // the stream's id
  const std::uint32_t flags = cursor.U8();
  if (flags & 0x80) cursor.Skip(2);            // depends on another stream
  if (flags & 0x40) cursor.Skip(cursor.U8());  // a URL
  if (flags & 0x20) cursor.Skip(2);            // an OCR stream
  if (cursor.U8() != 0x04) return false;
  DescriptorLength(cursor);
  track.object_type = static_cast<std::uint8_t>(cursor.U8());
  cursor.Skip(12);  // stream type, buffer size, bit rates
  if (cursor.U8() != 0x05) return false;
  const auto info = cursor.Take(DescriptorLength(cursor));
  track.decoder_config.assign(info.begin(), info.end());
  return cursor.ok() && !info.empty();
}

/// The sample description: one MPEG-4 audio entry, its descriptor inside.
bool ReadSampleDescription(std::span<const std::uint8_t> stsd, Mp4AudioTrack& track) {
  Cursor cursor(stsd);
  cursor.Skip(4);
  if (cursor.U32() != 1) return false;
  Boxes entries(cursor.Take(cursor.left()));
  std::uint32_t type = 0;
  std::span<const std::uint8_t> entry;
  if (!entries.Next(type, entry) || type != Code("mp4a")) return false;
  track.sample_entry = type;
  Cursor fields(entry);
  fields.Skip(8);  // reserved, data reference
  const std::uint32_t version = fields.U16();
  if (version != 0) return false;  // QuickTime's sound descriptions
  fields.Skip(18);                 // revision to the 16.16 rate
  const auto esds = Boxes::Find(fields.Take(fields.left()), Code("esds"));
  return fields.ok() && !esds.empty() && ReadEsDescriptor(esds, track);
}

/// Where each sample lies, from the sizes, chunks and chunk offsets.
bool ReadSampleTable(std::span<const std::uint8_t> stbl, std::uint64_t file_size,
                     Mp4AudioTrack& track) {
  Cursor sizes(Boxes::Find(stbl, Code("stsz")));
  sizes.Skip(4);
  const std::uint32_t fixed_size = sizes.U32();
  const std::uint32_t count = sizes.U32();
  // Every sample is at least a byte of the file, and listed sizes are four
  // bytes each of the header already read: nothing outgrows the file.
  if (!sizes.ok() || count == 0 || count > file_size ||
      (fixed_size == 0 && sizes.left() / 4 < count)) {
    return false;
  }

  const bool wide = Boxes::Find(stbl, Code("stco")).empty();
  Cursor offsets(Boxes::Find(stbl, Code(wide ? "co64" : "stco")));
  offsets.Skip(4);
  const std::uint32_t chunks = offsets.U32();
  if (!offsets.ok() || offsets.left() / (wide ? 8 : 4) < chunks) return false;

  Cursor runs(Boxes::Find(stbl, Code("stsc")));
  runs.Skip(4);
  std::uint32_t run_count = runs.U32();
  if (!runs.ok() || runs.left() / 12 < run_count || run_count == 0) return false;

  track.samples.reserve(count);
  std::uint32_t first_chunk = runs.U32();
  std::uint32_t per_chunk = runs.U32();
  runs.Skip(4);
  if (first_chunk != 1) return false;
  --run_count;
  std::uint32_t next_first = run_count ? runs.U32() : std::numeric_limits<std::uint32_t>::max();
  for (std::uint32_t chunk = 1; chunk <= chunks && track.samples.size() < count; ++chunk) {
    if (chunk == next_first) {
      per_chunk = runs.U32();
      runs.Skip(4);
      --run_count;
      const std::uint32_t following =
          run_count ? runs.U32() : std::numeric_limits<std::uint32_t>::max();
      if (following <= next_first) return false;
      next_first = following;
    }
    std::uint64_t offset = wide ? offsets.U64() : offsets.U32();
    for (std::uint32_t i = 0; i < per_chunk && track.samples.size() < count; ++i) {
      const std::uint32_t size = fixed_size ? fixed_size : sizes.U32();
      if (size == 0 || offset > file_size || size > file_size - offset) return false;
      track.samples.push_back({offset, size});
      offset += size;
    }
  }
  return runs.ok() && offsets.ok() && sizes.ok() && track.samples.size() == count;
}

/// The frames each sample stands for: all alike, but the last may be fewer.
/// Returns their sum, or 0 when they vary.
std::uint64_t ReadSampleDurations(std::span<const std::uint8_t> stts, Mp4AudioTrack& track) {
  Cursor cursor(stts);
  cursor.Skip(4);
  const std::uint32_t entries = cursor.U32();
  std::uint64_t samples = 0;
  std::uint64_t frames = 0;
  for (std::uint32_t i = 0; i < entries && cursor.ok(); ++i) {
    const std::uint32_t count = cursor.U32();
    const std::uint32_t duration = cursor.U32();
    if (track.frames_per_sample == 0) track.frames_per_sample = duration;
    const bool last_alone = i + 1 == entries && count == 1 && duration <= track.frames_per_sample;
    if (duration != track.frames_per_sample && !last_alone) return 0;
    samples += count;
    frames += static_cast<std::uint64_t>(count) * duration;
  }
  return cursor.ok() && samples == track.samples.size() && track.frames_per_sample ? frames : 0;
}

/// The media's time scale and duration from its header.
bool ReadMediaHeader(std::span<const std::uint8_t> header, std::uint32_t& scale,
                     std::uint64_t& duration) {
  Cursor cursor(header);
  const bool wide = cursor.U8() == 1;
  cursor.Skip(3 + (wide ? 16 : 8));
  scale = cursor.U32();
  duration = wide ? cursor.U64() : cursor.U32();
  return cursor.ok() && scale != 0;
}

/// The track's part of the media that is the stream, as its edit list says:
/// one edit at normal speed, or none (the whole media).
bool ApplyEditList(std::span<const std::uint8_t> trak, std::uint32_t movie_scale,
                   std::uint64_t media_frames, Mp4AudioTrack& track) {
  const auto edits = Boxes::Find(trak, Code("edts"));
  if (edits.empty()) {
    track.length = media_frames;
    return true;
  }
  Cursor cursor(Boxes::Find(edits, Code("elst")));
  const bool wide = cursor.U8() == 1;
  cursor.Skip(3);
  if (cursor.U32() != 1) return false;
  const std::uint64_t duration = wide ? cursor.U64() : cursor.U32();
  const std::uint64_t start = wide ? cursor.U64() : cursor.U32();
  const std::uint32_t speed = cursor.U32();
  if (!cursor.ok() || speed != 0x10000 || movie_scale == 0 || duration == 0 ||
      duration > std::numeric_limits<std::uint32_t>::max() || start >= media_frames) {
    return false;  // an empty edit reads as a huge start; long lists go elsewhere
  }
  // In the movie's time scale, rounded to the nearest of the media's.
  const std::uint64_t edited = (duration * track.time_scale + movie_scale / 2) / movie_scale;
  track.skip = start;
  track.length = std::min(edited, media_frames - start);
  return true;
}

/// The text of the gapless record in the movie's metadata (udta/meta/ilst,
/// the freeform item com.apple.iTunes:iTunSMPB); empty when there is none.
std::string_view GaplessRecordText(std::span<const std::uint8_t> movie) {
  auto meta = Boxes::Find(Boxes::Find(movie, Code("udta")), Code("meta"));
  // MP4's meta is a full box (version and flags first); QuickTime's is not.
  if (meta.size() >= 4 && meta[0] == 0 && meta[1] == 0 && meta[2] == 0 && meta[3] == 0) {
    meta = meta.subspan(4);
  }
  Boxes items(Boxes::Find(meta, Code("ilst")));
  std::uint32_t type = 0;
  std::span<const std::uint8_t> item;
  while (items.Next(type, item)) {
    if (type != Code("----")) continue;
    const auto name = Boxes::Find(item, Code("name"));
    const std::string_view wanted = "iTunSMPB";
    if (name.size() != 4 + wanted.size() ||
        !std::equal(wanted.begin(), wanted.end(), name.begin() + 4)) {
      continue;
    }
    const auto data = Boxes::Find(item, Code("data"));  // type and locale, then the text
    if (data.size() <= 8) return {};
    return {reinterpret_cast<const char*>(data.data()) + 8, data.size() - 8};
  }
  return {};
}

}  // namespace

std::optional<GaplessRecord> ParseGaplessRecord(std::string_view text) {
  // Hexadecimal fields: 0, the priming, the padding, the stream's length.
  std::uint64_t fields[4] = {};
  std::size_t field = 0;
  bool in_field = false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (!std::isxdigit(byte)) {
      if (in_field && ++field == 4) break;
      in_field = false;
      if (byte != ' ') return std::nullopt;
      continue;
    }
    if (fields[field] >> 60) return std::nullopt;  // longer than any stream
    const int digit = std::isdigit(byte) ? byte - '0' : std::tolower(byte) - 'a' + 10;
    fields[field] = fields[field] << 4 | static_cast<std::uint64_t>(digit);
    in_field = true;
  }
  if (in_field && field < 4) ++field;
  if (field < 4 || fields[3] == 0) return std::nullopt;
  return GaplessRecord{fields[1], fields[3]};
}

std::optional<Mp4AudioTrack> ReadMp4AudioTrack(int fd, std::uint64_t file_size) {
  // The movie box, wherever it is among the top-level boxes.
  std::uint64_t at = 0;
  std::vector<std::uint8_t> movie;
  while (at + 8 <= file_size) {
    std::uint8_t header[16];
    if (pread(fd, header, sizeof header, static_cast<off_t>(at)) < 8) return std::nullopt;
    Cursor cursor(header);
    std::uint64_t size = cursor.U32();
    const std::uint32_t type = cursor.U32();
    const std::uint64_t header_size = size == 1 ? 16 : 8;
    if (size == 1) size = cursor.U64();
    if (size == 0) size = file_size - at;
    if (!cursor.ok() || size < header_size || size > file_size - at) return std::nullopt;
    if (type == Code("moov")) {
      if (size > kLargestMovieBox) return std::nullopt;
      movie.resize(static_cast<std::size_t>(size - header_size));
      const auto got = pread(fd, movie.data(), movie.size(), static_cast<off_t>(at + header_size));
      if (got != static_cast<ssize_t>(movie.size())) return std::nullopt;
      break;
    }
    if (type == Code("moof")) return std::nullopt;
    at += size;
  }
  if (movie.empty() || !Boxes::Find(movie, Code("mvex")).empty()) return std::nullopt;

  std::uint32_t movie_scale = 0;
  std::uint64_t movie_duration = 0;
  if (!ReadMediaHeader(Boxes::Find(movie, Code("mvhd")), movie_scale, movie_duration)) {
    return std::nullopt;
  }

  std::optional<Mp4AudioTrack> found;
  Boxes tracks(movie);
  std::uint32_t type = 0;
  std::span<const std::uint8_t> trak;
  while (tracks.Next(type, trak)) {
    if (type != Code("trak")) continue;
    const auto media = Boxes::Find(trak, Code("mdia"));
    Cursor handler(Boxes::Find(media, Code("hdlr")));
    handler.Skip(8);
    if (handler.U32() != Code("soun")) continue;
    if (found) return std::nullopt;  // which to play is a fuller demuxer's choice

    Mp4AudioTrack track;
    std::uint64_t media_duration = 0;
    const auto stbl = Boxes::Find(Boxes::Find(media, Code("minf")), Code("stbl"));
    if (!ReadMediaHeader(Boxes::Find(media, Code("mdhd")), track.time_scale, media_duration) ||
        !ReadSampleDescription(Boxes::Find(stbl, Code("stsd")), track) ||
        !ReadSampleTable(stbl, file_size, track)) {
      return std::nullopt;
    }
    std::uint64_t frames = ReadSampleDurations(Boxes::Find(stbl, Code("stts")), track);
    if (frames == 0) return std::nullopt;
    if (media_duration > 0) frames = std::min(frames, media_duration);
    if (!ApplyEditList(trak, movie_scale, frames, track) || track.length == 0) return std::nullopt;
    // Without an edit list, the standard's own means, an encoder's gapless
    // record says which frames are the stream: its priming and padding are not.
    const auto gapless = ParseGaplessRecord(GaplessRecordText(movie));
    if (Boxes::Find(trak, Code("edts")).empty() && gapless && gapless->priming < frames &&
        gapless->length <= frames - gapless->priming) {
      track.skip = gapless->priming;
      track.length = gapless->length;
    }
    found = std::move(track);
  }
  return found;
}

}  // namespace quorwind::mci
