// An AVI file seen with a short index, for counting a long stream at its ends
// through FFmpeg: its demuxer reads the whole index on opening (half a
// million entries in two hours of film), where the count needs only the
// audio streams' last entries and where they stand in each stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorwind::mci {

/// The file as it is, but for its index (`idx1`): each audio stream keeps its
/// last entries, after one entry that stands for every chunk of the stream
/// before them, so that a demuxer which dates chunks by adding up the index
/// dates the kept ones as the whole index would. Video and other streams
/// keep no entry; the RIFF header's size is the view's.
class ShortenedAviIndex {
 public:
  /// One chunk an audio stream keeps in the index.
  struct Entry {
    std::int64_t position;  ///< of its chunk header, from the file's start
    std::uint32_t size;     ///< of its data
  };
  /// What the index keeps of one audio stream.
  struct Stream {
    int number = 0;                 ///< its place among the file's streams
    std::uint32_t block_align = 0;  ///< 0 where the index counts bytes
    std::int64_t stands_for = 0;    ///< the units of the chunks left out
    std::uint64_t chunks = 0;       ///< in the whole index
    std::vector<Entry> kept;        ///< in the file's order
    /// The units that a chunk of |size| bytes adds to the stream's time:
    /// its bytes, or its blocks where the stream counts blocks.
    std::int64_t Units(std::uint32_t size) const;
  };

  /// Entries an audio stream keeps: more than a demuxer's seek to ten
  /// seconds before the end passes, at any rate of chunks a file uses.
  static constexpr std::size_t kKeptEntries = 2048;

  /// The view of the file |fd| (|file_size| bytes): nothing where it is no
  /// AVI file of one RIFF chunk that ends where the file does, with an
  /// index of 16-byte entries and no OpenDML index, or where no audio
  /// stream has over twice kKeptEntries entries.
  static std::optional<ShortenedAviIndex> Read(int fd, std::int64_t file_size);

  /// The view's size in bytes.
  std::int64_t Size() const { return file_size_ - (index_end_ - index_start_) + index_.size(); }
  /// Reads up to |size| bytes of the view at |offset| from the file |fd|;
  /// returns how many, 0 at the end or on a read error.
  std::size_t ReadAt(int fd, std::int64_t offset, std::uint8_t* out, std::size_t size) const;
  /// The audio stream numbered |number|, or nothing.
  const Stream* StreamNumbered(int number) const;

 private:
  std::int64_t file_size_ = 0;
  std::int64_t index_start_ = 0;     ///< the index chunk's header, in the file
  std::int64_t index_end_ = 0;       ///< the byte after its data and padding
  std::vector<std::uint8_t> index_;  ///< the view's index chunk, header included
  std::uint8_t riff_size_[4] = {};   ///< the view's RIFF size, little-endian
  std::vector<Stream> streams_;
};

}  // namespace quorwind::mci
