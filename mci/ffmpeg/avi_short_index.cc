// An AVI file's view with each audio stream's index cut to its last entries.
#include "mci/ffmpeg/avi_short_index.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

namespace quorwind::mci {

namespace {

constexpr std::size_t kEntryBytes = 16;
/// The largest chunk size a demuxer's index entry holds (30 bits).
constexpr std::int64_t kLargestEntrySize = 0x3FFFFFFF;
/// Headers larger than this are no AVI file's.
constexpr std::uint32_t kLargestHeaderList = 4 << 20;
constexpr std::uint32_t kKeyFrame = 0x10;

std::uint32_t Le32(const std::uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void PutLe32(std::uint8_t* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool ReadExactlyAt(int fd, std::int64_t offset, void* out, std::size_t size) {
  return offset >= 0 && pread(fd, out, size, offset) == static_cast<ssize_t>(size);
}

/// The units a chunk of |size| bytes adds to its stream's time: its bytes
/// where |block_align| is 0, else its blocks, the last one partly filled.
std::int64_t ChunkUnits(std::uint32_t block_align, std::uint32_t size) {
  return block_align == 0 ? size : (std::int64_t{size} + block_align - 1) / block_align;
}

bool IsId(const std::uint8_t* bytes, const char* id) { return std::memcmp(bytes, id, 4) == 0; }

/// A RIFF chunk: its four-letter id, and where its data lies.
struct Chunk {
  std::uint8_t id[4];
  std::int64_t data;
  std::uint32_t size;
  std::int64_t Next() const { return data + size + (size & 1); }
};

/// The chunks of |bytes| (a list's data in memory), in order.
std::vector<Chunk> ChunksIn(const std::vector<std::uint8_t>& bytes, std::size_t from,
                            std::size_t to) {
  std::vector<Chunk> chunks;
  while (from + 8 <= to) {
    Chunk chunk{};
    std::memcpy(chunk.id, &bytes[from], 4);
    chunk.size = Le32(&bytes[from + 4]);
    chunk.data = static_cast<std::int64_t>(from + 8);
    if (chunk.data + chunk.size > static_cast<std::int64_t>(to)) break;
    chunks.push_back(chunk);
    from = static_cast<std::size_t>(chunk.Next());
  }
  return chunks;
}

/// The audio streams' index units from the header list `hdrl`: by stream
/// number, 0 where the index counts bytes, else the block size. Streams
/// that count chunks (neither) are left out. False on an OpenDML index.
bool ReadAudioStreams(const std::vector<std::uint8_t>& header,
                      std::map<int, std::uint32_t>& block_aligns) {
  int number = 0;
  for (const Chunk& list : ChunksIn(header, 4, header.size())) {
    if (!IsId(list.id, "LIST") || list.size < 4 || !IsId(&header[list.data], "strl")) continue;
    const auto from = static_cast<std::size_t>(list.data + 4);
    const auto to = static_cast<std::size_t>(list.data + list.size);
    bool audio = false;
    std::uint32_t sample_size = 0;
    std::uint32_t block_align = 0;
    for (const Chunk& chunk : ChunksIn(header, from, to)) {
      const std::uint8_t* data = &header[chunk.data];
      if (IsId(chunk.id, "indx")) return false;
      if (IsId(chunk.id, "strh") && chunk.size >= 48) {
        audio = IsId(data, "auds");
        sample_size = Le32(data + 44);
      } else if (IsId(chunk.id, "strf") && chunk.size >= 14) {
        block_align = data[12] | data[13] << 8;
      }
    }
    // As a demuxer reads it: a sample size other than the block size is the
    // block size, and one frame of AAC or MP3 per block counts blocks.
    if (sample_size != 0 && block_align != 0) sample_size = block_align;
    if (sample_size == 1024 || sample_size == 1152 || sample_size == 4096) sample_size = 0;
    if (audio && (sample_size != 0 || block_align != 0)) {
      block_aligns[number] = sample_size != 0 ? 0 : block_align;
    }
    ++number;
  }
  return true;
}

/// An index entry as the file holds it.
struct RawEntry {
  std::uint8_t tag[4];
  std::uint32_t flags;
  std::int64_t position;
  std::uint32_t size;
};

/// The number of the stream an index entry's tag names ("01wb"), or -1.
int StreamOfTag(const std::uint8_t* tag) {
  if (tag[0] < '0' || tag[0] > '9' || tag[1] < '0' || tag[1] > '9') return -1;
  return (tag[0] - '0') * 10 + (tag[1] - '0');
}

void AppendEntry(std::vector<std::uint8_t>& out, const std::uint8_t* tag, std::uint32_t flags,
                 std::int64_t position, std::uint32_t size) {
  std::uint8_t entry[kEntryBytes];
  std::memcpy(entry, tag, 4);
  PutLe32(entry + 4, flags);
  PutLe32(entry + 8, static_cast<std::uint32_t>(position));
  PutLe32(entry + 12, size);
  out.insert(out.end(), entry, entry + kEntryBytes);
}

/// The chunks that matter at the top of an AVI file.
struct Layout {
  std::vector<std::uint8_t> header;  ///< the `hdrl` list's data
  std::int64_t movi = -1;            ///< where the `movi` list's type lies
  std::int64_t movi_end = -1;
  Chunk index{};  ///< `idx1`; its data at -1 where none
};

/// The top-level chunks of an AVI file of one RIFF chunk that ends where
/// the file does; nothing where it is not one.
std::optional<Layout> ReadLayout(int fd, std::int64_t file_size) {
  std::uint8_t head[12];
  if (!ReadExactlyAt(fd, 0, head, sizeof head) || !IsId(head, "RIFF") || !IsId(head + 8, "AVI ")) {
    return std::nullopt;
  }
  const std::int64_t riff_size = Le32(head + 4);
  if (8 + riff_size + (riff_size & 1) != file_size && 8 + riff_size != file_size)
    return std::nullopt;
  Layout layout;
  layout.index.data = -1;
  for (std::int64_t at = 12; at + 8 <= file_size;) {
    std::uint8_t bytes[12];
    Chunk chunk{};
    if (!ReadExactlyAt(fd, at, bytes, 8)) return std::nullopt;
    std::memcpy(chunk.id, bytes, 4);
    chunk.size = Le32(bytes + 4);
    chunk.data = at + 8;
    if (chunk.data + chunk.size > file_size) return std::nullopt;
    if (IsId(chunk.id, "LIST") && chunk.size >= 4) {
      if (!ReadExactlyAt(fd, chunk.data, bytes + 8, 4)) return std::nullopt;
      if (IsId(bytes + 8, "hdrl") && layout.header.empty() && chunk.size <= kLargestHeaderList) {
        layout.header.resize(chunk.size);
        if (!ReadExactlyAt(fd, chunk.data, layout.header.data(), chunk.size)) return std::nullopt;
      } else if (IsId(bytes + 8, "movi") && layout.movi < 0) {
        layout.movi = chunk.data;
        layout.movi_end = chunk.data + chunk.size;
      }
    } else if (IsId(chunk.id, "idx1") && layout.index.data < 0) {
      layout.index = chunk;
    }
    at = chunk.Next();
  }
  if (layout.header.empty() || layout.movi < 0 || layout.index.data < layout.movi_end ||
      layout.index.size % kEntryBytes != 0) {
    return std::nullopt;
  }
  return layout;
}

/// One audio stream's entries while the index is read: the last ones, and
/// the units of those before them.
struct StreamScan {
  std::uint32_t block_align = 0;
  std::int64_t first_position = -1;
  std::uint64_t entries = 0;
  std::int64_t stands_for = 0;
  std::deque<RawEntry> last;
};

/// Reads the index |layout| found: each audio stream's last entries, where
/// their chunks lie (found from the first entry, whether its offsets count
/// from the `movi` list or from the file's start), and the first chunk's
/// position. False where the index does not lead to its chunks.
bool ScanIndex(int fd, const Layout& layout, std::map<int, StreamScan>& scans,
               std::int64_t& first_chunk) {
  constexpr std::size_t kBlock = 4096 * kEntryBytes;
  std::vector<std::uint8_t> block;
  std::int64_t base = -1;
  for (std::int64_t done = 0; done < layout.index.size;) {
    const std::size_t size =
        std::min<std::size_t>(kBlock, static_cast<std::size_t>(layout.index.size - done));
    block.resize(size);
    if (!ReadExactlyAt(fd, layout.index.data + done, block.data(), size)) return false;
    for (std::size_t at = 0; at < size; at += kEntryBytes) {
      RawEntry entry{};
      std::memcpy(entry.tag, &block[at], 4);
      entry.flags = Le32(&block[at + 4]);
      entry.position = Le32(&block[at + 8]);
      entry.size = Le32(&block[at + 12]);
      if (base < 0) {
        std::uint8_t tag[4];
        for (const std::int64_t each : {layout.movi, std::int64_t{0}}) {
          if (ReadExactlyAt(fd, each + entry.position, tag, 4) &&
              std::memcmp(tag, entry.tag, 4) == 0) {
            base = each;
            break;
          }
        }
        if (base < 0) return false;
        first_chunk = base + entry.position;
      }
      entry.position += base;
      const auto scan = scans.find(StreamOfTag(entry.tag));
      if (scan == scans.end()) continue;
      StreamScan& stream = scan->second;
      if (stream.first_position < 0) stream.first_position = entry.position;
      ++stream.entries;
      stream.last.push_back(entry);
      if (stream.last.size() > ShortenedAviIndex::kKeptEntries) {
        stream.stands_for += ChunkUnits(stream.block_align, stream.last.front().size);
        stream.last.pop_front();
      }
    }
    done += static_cast<std::int64_t>(size);
  }
  return base >= 0;
}

}  // namespace

std::int64_t ShortenedAviIndex::Stream::Units(std::uint32_t size) const {
  return ChunkUnits(block_align, size);
}

std::optional<ShortenedAviIndex> ShortenedAviIndex::Read(int fd, std::int64_t file_size) {
  const std::optional<Layout> layout = ReadLayout(fd, file_size);
  std::map<int, std::uint32_t> block_aligns;
  if (!layout || !ReadAudioStreams(layout->header, block_aligns)) return std::nullopt;
  std::map<int, StreamScan> scans;
  for (const auto& [number, block_align] : block_aligns) scans[number].block_align = block_align;
  std::int64_t first_chunk = -1;
  if (scans.empty() || !ScanIndex(fd, *layout, scans, first_chunk)) return std::nullopt;

  ShortenedAviIndex view;
  std::vector<RawEntry> standing;  // one a stream, for the chunks left out
  std::vector<RawEntry> kept;
  for (const auto& [number, scan] : scans) {
    const std::int64_t left_out =
        scan.block_align == 0 ? scan.stands_for : scan.stands_for * scan.block_align;
    if (scan.entries < 2 * kKeptEntries || left_out <= 0 || left_out > kLargestEntrySize) continue;
    Stream stream{number, scan.block_align, scan.stands_for, scan.entries, {}};
    for (const RawEntry& entry : scan.last) {
      if (entry.position < layout->movi || entry.position + 8 + entry.size > layout->movi_end) {
        return std::nullopt;
      }
      stream.kept.push_back({entry.position, entry.size});
      kept.push_back(entry);
    }
    RawEntry stands = scan.last.front();
    stands.flags = kKeyFrame;
    stands.position = scan.first_position;
    stands.size = static_cast<std::uint32_t>(left_out);
    standing.push_back(stands);
    view.streams_.push_back(std::move(stream));
  }
  if (standing.empty()) return std::nullopt;
  // A demuxer takes the index's first entry for the file's first chunk,
  // whose place tells it how the offsets count: the stream whose first
  // chunk that is comes first, or else the first stream's entry stands there.
  const auto first = std::find_if(standing.begin(), standing.end(), [&](const RawEntry& entry) {
    return entry.position == first_chunk;
  });
  if (first != standing.end()) std::rotate(standing.begin(), first, first + 1);
  standing.front().position = first_chunk;
  std::stable_sort(kept.begin(), kept.end(),
                   [](const RawEntry& a, const RawEntry& b) { return a.position < b.position; });

  view.file_size_ = file_size;
  view.index_start_ = layout->index.data - 8;
  view.index_end_ = layout->index.Next();
  const std::size_t entries = standing.size() + kept.size();
  view.index_ = {'i', 'd', 'x', '1', 0, 0, 0, 0};
  PutLe32(&view.index_[4], static_cast<std::uint32_t>(entries * kEntryBytes));
  for (const std::vector<RawEntry>* part : {&standing, &kept}) {
    for (const RawEntry& entry : *part) {
      AppendEntry(view.index_, entry.tag, entry.flags, entry.position, entry.size);
    }
  }
  PutLe32(view.riff_size_, static_cast<std::uint32_t>(view.Size() - 8));
  return view;
}

const ShortenedAviIndex::Stream* ShortenedAviIndex::StreamNumbered(int number) const {
  for (const Stream& stream : streams_) {
    if (stream.number == number) return &stream;
  }
  return nullptr;
}

std::size_t ShortenedAviIndex::ReadAt(int fd, std::int64_t offset, std::uint8_t* out,
                                      std::size_t size) const {
  const auto index_size = static_cast<std::int64_t>(index_.size());
  std::size_t done = 0;
  while (done < size && offset < Size()) {
    std::size_t length = size - done;
    if (offset < index_start_) {
      length = static_cast<std::size_t>(std::min<std::int64_t>(length, index_start_ - offset));
      const ssize_t got = pread(fd, out + done, length, offset);
      if (got <= 0) break;
      length = static_cast<std::size_t>(got);
      for (std::int64_t at = std::max<std::int64_t>(offset, 4); at < 8 && at < offset + got; ++at) {
        out[done + static_cast<std::size_t>(at - offset)] = riff_size_[at - 4];
      }
    } else if (offset < index_start_ + index_size) {
      length = static_cast<std::size_t>(
          std::min<std::int64_t>(length, index_start_ + index_size - offset));
      std::memcpy(out + done, &index_[static_cast<std::size_t>(offset - index_start_)], length);
    } else {
      const ssize_t got =
          pread(fd, out + done, length, offset - index_size + index_end_ - index_start_);
      if (got <= 0) break;
      length = static_cast<std::size_t>(got);
    }
    done += length;
    offset += static_cast<std::int64_t>(length);
  }
  return done;
}

}  // namespace quorwind::mci
