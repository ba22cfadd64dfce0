// Media files through libsndfile.
#include "mci/media_file.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quorwind::mci {

MciError MediaFile::Open(const std::string& path, std::unique_ptr<MediaFile>& file) {
  // Opened once and checked on the descriptor itself, so that a FIFO or a
  // device never blocks the caller and the file checked is the file decoded.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? kFileNotFound : kInvalidFile;
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return kInvalidFile;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

  SF_INFO info{};
  SNDFILE* handle = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
  if (!handle) return kInvalidFile;  // sf_open_fd closes fd on failure
  if (info.samplerate <= 0 || info.channels <= 0 || info.frames < 0 ||
      info.frames == SF_COUNT_MAX) {
    sf_close(handle);
    return kInvalidFile;
  }
  file = std::make_unique<MediaFile>(handle, info.frames, info.samplerate, info.channels);
  return kOk;
}

MediaFile::~MediaFile() { sf_close(file_); }

std::vector<Speaker> MediaFile::Layout() const {
  std::vector<int> map(static_cast<std::size_t>(channels_));
  if (sf_command(file_, SFC_GET_CHANNEL_MAP_INFO, map.data(),
                 static_cast<int>(map.size() * sizeof(int))) != SF_TRUE) {
    return {};
  }
  std::vector<Speaker> layout;
  for (const int channel : map) {
    switch (channel) {
      case SF_CHANNEL_MAP_MONO:
        layout.push_back(Speaker::kMono);
        break;
      case SF_CHANNEL_MAP_LEFT:
      case SF_CHANNEL_MAP_FRONT_LEFT:
        layout.push_back(Speaker::kFrontLeft);
        break;
      case SF_CHANNEL_MAP_RIGHT:
      case SF_CHANNEL_MAP_FRONT_RIGHT:
        layout.push_back(Speaker::kFrontRight);
        break;
      case SF_CHANNEL_MAP_CENTER:
      case SF_CHANNEL_MAP_FRONT_CENTER:
        layout.push_back(Speaker::kFrontCenter);
        break;
      case SF_CHANNEL_MAP_REAR_CENTER:
        layout.push_back(Speaker::kRearCenter);
        break;
      case SF_CHANNEL_MAP_REAR_LEFT:
        layout.push_back(Speaker::kRearLeft);
        break;
      case SF_CHANNEL_MAP_REAR_RIGHT:
        layout.push_back(Speaker::kRearRight);
        break;
      case SF_CHANNEL_MAP_LFE:
        layout.push_back(Speaker::kLowFrequency);
        break;
      case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER:
        layout.push_back(Speaker::kFrontLeftOfCenter);
        break;
      case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER:
        layout.push_back(Speaker::kFrontRightOfCenter);
        break;
      case SF_CHANNEL_MAP_SIDE_LEFT:
        layout.push_back(Speaker::kSideLeft);
        break;
      case SF_CHANNEL_MAP_SIDE_RIGHT:
        layout.push_back(Speaker::kSideRight);
        break;
      case SF_CHANNEL_MAP_TOP_CENTER:
        layout.push_back(Speaker::kTopCenter);
        break;
      case SF_CHANNEL_MAP_TOP_FRONT_LEFT:
        layout.push_back(Speaker::kTopFrontLeft);
        break;
      case SF_CHANNEL_MAP_TOP_FRONT_RIGHT:
        layout.push_back(Speaker::kTopFrontRight);
        break;
      case SF_CHANNEL_MAP_TOP_FRONT_CENTER:
        layout.push_back(Speaker::kTopFrontCenter);
        break;
      case SF_CHANNEL_MAP_TOP_REAR_LEFT:
        layout.push_back(Speaker::kTopRearLeft);
        break;
      case SF_CHANNEL_MAP_TOP_REAR_RIGHT:
        layout.push_back(Speaker::kTopRearRight);
        break;
      case SF_CHANNEL_MAP_TOP_REAR_CENTER:
        layout.push_back(Speaker::kTopRearCenter);
        break;
      default:
        return {};  // unknown or ambisonic: the default layout serves
    }
  }
  return layout;
}

std::uint64_t MediaFile::LengthMilliseconds() const {
  // Split so that no header, however large its frame count, overflows.
  const auto frames = static_cast<std::uint64_t>(frames_);
  const auto rate = static_cast<std::uint64_t>(rate_);
  const std::uint64_t rest = ((frames % rate) * 1000 + rate / 2) / rate;
  const std::uint64_t seconds = frames / rate;
  if (seconds > (UINT64_MAX - 1000) / 1000) return UINT64_MAX;
  return seconds * 1000 + rest;
}

std::size_t MediaFile::Read(float* out, std::size_t frames) {
  const sf_count_t read = sf_readf_float(file_, out, static_cast<sf_count_t>(frames));
  return read > 0 ? static_cast<std::size_t>(read) : 0;
}

}  // namespace quorwind::mci
