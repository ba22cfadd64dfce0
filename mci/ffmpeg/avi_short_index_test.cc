// The short index against the whole one, as FFmpeg's demuxer reads both.
#include "mci/ffmpeg/avi_short_index.h"

extern "C" {
#include <libavformat/avformat.h>
}
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace quorwind::mci {
namespace {

/// The view's bytes, written to |path|.
void WriteView(const ShortenedAviIndex& view, int fd, const std::string& path) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(view.Size()));
  ASSERT_EQ(view.ReadAt(fd, 0, bytes.data(), bytes.size()), bytes.size());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

/// Each index entry's time by its chunk's position, for stream |number|.
std::map<std::int64_t, std::int64_t> TimesByPosition(AVFormatContext* format, int number) {
  std::map<std::int64_t, std::int64_t> times;
  AVStream* stream = format->streams[number];
  for (int i = 0; i < avformat_index_get_entries_count(stream); ++i) {
    const AVIndexEntry* entry = avformat_index_get_entry(stream, i);
    times[entry->pos] = entry->timestamp;
  }
  return times;
}

/// Every kept chunk of every audio stream is dated by the short index as by
/// the whole one; files of other shapes get no view.
TEST(ShortenedAviIndexTest, DatesTheKeptChunksAsTheWholeIndexDoes) {
  struct Case {
    const char* name;
    const char* options;
    int audio_streams;  ///< the view keeps; 0: no view
  };
  const Case cases[] = {
      {"mp3.avi", "-c:a mp3", 1},        // one frame a chunk: the index counts blocks
      {"pcm.avi", "-c:a pcm_s16le", 1},  // the index counts bytes
      {"two.avi", "-map 0:v -map 1:a -map 1:a -c:a:0 ac3 -c:a:1 mp3", 2},
      {"short.avi", "-c:a mp3 -t 60", 0},
      {"joined.avi", "-c:a mp3", 0},
  };
  const auto dir =
      std::filesystem::temp_directory_path() / ("quorwind-avi-test-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (dir / c.name).string();
    const std::string command =
        "ffmpeg -loglevel quiet -y -f lavfi -i color=s=16x16:r=2 -f lavfi -i "
        "sine=f=440:d=200:r=48000 -shortest -ac 2 -c:v mpeg4 " +
        std::string(c.options) + " '" + path + "' </dev/null" +
        (std::string(c.name) == "joined.avi"
             ? " && cp '" + path + "' '" + path + ".1' && cat '" + path + ".1' >> '" + path + "'"
             : "");
    ASSERT_EQ(std::system(command.c_str()), 0);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    ASSERT_EQ(fstat(fd, &status), 0);
    const std::optional<ShortenedAviIndex> view = ShortenedAviIndex::Read(fd, status.st_size);
    ASSERT_EQ(view.has_value(), c.audio_streams > 0);
    if (!view) {
      ::close(fd);
      continue;
    }
    AVFormatContext* whole = nullptr;
    ASSERT_EQ(avformat_open_input(&whole, path.c_str(), nullptr, nullptr), 0);
    WriteView(*view, fd, path + ".view");
    AVFormatContext* shortened = nullptr;
    ASSERT_EQ(avformat_open_input(&shortened, (path + ".view").c_str(), nullptr, nullptr), 0);
    int kept = 0;
    for (unsigned number = 0; number < whole->nb_streams; ++number) {
      const ShortenedAviIndex::Stream* stream = view->StreamNumbered(static_cast<int>(number));
      if (!stream) continue;
      ++kept;
      const auto all = TimesByPosition(whole, static_cast<int>(number));
      const auto short_times = TimesByPosition(shortened, static_cast<int>(number));
      EXPECT_EQ(short_times.size(), stream->kept.size() + 1);
      for (const ShortenedAviIndex::Entry& entry : stream->kept) {
        ASSERT_TRUE(all.count(entry.position) && short_times.count(entry.position));
        EXPECT_EQ(short_times.at(entry.position), all.at(entry.position));
      }
    }
    EXPECT_EQ(kept, c.audio_streams);
    avformat_close_input(&shortened);
    avformat_close_input(&whole);
    ::close(fd);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quorwind::mci
