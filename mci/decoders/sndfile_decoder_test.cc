// Every format and codec libsndfile writes, written here and played back
// with its exact length, the codecs that cannot seek included.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "mci/decoders/decoder.h"

namespace quorwind::mci {
namespace {

constexpr int kRate = 8000;
constexpr sf_count_t kFrames = 12345;

/// Writes a tone of kFrames frames in |format|; false where libsndfile
/// cannot write it after all.
bool WriteTone(const std::string& path, int format, int channels) {
  SF_INFO info{};
  info.samplerate = kRate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) return false;
  std::vector<float> frames(static_cast<std::size_t>(kFrames * channels));
  for (std::size_t i = 0; i < frames.size(); ++i) {
    frames[i] = 0.5f * static_cast<float>(std::sin(i / static_cast<double>(channels) * 0.3));
  }
  const bool written = sf_writef_float(file, frames.data(), kFrames) == kFrames;
  return sf_close(file) == 0 && written;
}

/// Whether the ffmpeg program decodes any sound from |path|.
bool FfmpegDecodes(const std::string& path) {
  const std::string command =
      "ffmpeg -loglevel quiet -i '" + path + "' -f s16le - 2>/dev/null | head -c 1 | grep -q .";
  return std::system(command.c_str()) == 0;
}

TEST(SndfileDecoderTest, EveryWritableCodecPlaysItsExactLengthOrFfmpegRefusesItToo) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("quorwind-sndfile-test-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  int majors = 0;
  int subtypes = 0;
  sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majors, sizeof majors);
  sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &subtypes, sizeof subtypes);
  int played = 0;
  int unseekable = 0;
  // Every pair that libsndfile lists, and DWVW in AIFF, which it writes
  // without listing it.
  std::vector<std::pair<SF_FORMAT_INFO, SF_FORMAT_INFO>> pairs;
  for (int m = 0; m < majors; ++m) {
    SF_FORMAT_INFO major{};
    major.format = m;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &major, sizeof major);
    // Raw data has no header to tell it by.
    if ((major.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW) continue;
    for (int s = 0; s < subtypes; ++s) {
      SF_FORMAT_INFO subtype{};
      subtype.format = s;
      sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &subtype, sizeof subtype);
      pairs.emplace_back(major, subtype);
    }
    if ((major.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AIFF) {
      for (const int dwvw : {SF_FORMAT_DWVW_12, SF_FORMAT_DWVW_16, SF_FORMAT_DWVW_24}) {
        pairs.emplace_back(major, SF_FORMAT_INFO{dwvw, "DWVW", nullptr});
      }
    }
  }
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    {
      const auto& [major, subtype] = pairs[i];
      const int format = major.format | subtype.format;
      // G.721 and DWVW are written in mono only.
      const int codec = subtype.format & SF_FORMAT_SUBMASK;
      const bool mono_only = codec == SF_FORMAT_G721_32 || codec == SF_FORMAT_DWVW_12 ||
                             codec == SF_FORMAT_DWVW_16 || codec == SF_FORMAT_DWVW_24;
      const int channels = mono_only ? 1 : 2;
      SF_INFO check{0, kRate, channels, format, 0, 0};
      if (!sf_format_check(&check)) continue;
      const std::string path = (dir / (std::to_string(i) + "." + major.extension)).string();
      if (!WriteTone(path, format, channels)) continue;
      SCOPED_TRACE(std::string(major.name) + ", " + subtype.name);
      std::unique_ptr<Decoder> decoder;
      if (OpenSndfileDecoder(UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), decoder) !=
          kOk) {
        EXPECT_FALSE(FfmpegDecodes(path));
        continue;
      }
      ++played;
      std::vector<float> block(4096 * static_cast<std::size_t>(channels));
      std::uint64_t delivered = 0;
      while (const std::size_t got = decoder->Read(block.data(), 4096)) delivered += got;
      // Block codecs (ADPCM, GSM, Vorbis...) end with their last block.
      EXPECT_EQ(decoder->LengthMilliseconds(), FramesToMilliseconds(delivered, kRate));
      EXPECT_NEAR(static_cast<double>(delivered), kFrames, 2048);
      if (codec == SF_FORMAT_DWVW_12 || codec == SF_FORMAT_DWVW_16 || codec == SF_FORMAT_DWVW_24 ||
          format == (SF_FORMAT_PAF | SF_FORMAT_PCM_24)) {
        ++unseekable;
      }
    }
  }
  // DWVW in AIFF at three widths, and PAF's 24-bit: their last frame cannot
  // be sought, so they are counted.
  EXPECT_GE(unseekable, 4);
  EXPECT_GT(played, 40);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quorwind::mci
