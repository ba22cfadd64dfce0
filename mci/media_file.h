// A decodable media file, read as interleaved float frames through libsndfile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "mci/frame_source.h"
#include "mci/mci.h"

typedef struct sf_private_tag SNDFILE;

namespace quorwind::mci {

class MediaFile : public FrameSource {
 public:
  /// Opens the regular file at |path|. Returns kFileNotFound when there is no
  /// such file, kInvalidFile when it is not a regular file or cannot be decoded.
  static MciError Open(const std::string& path, std::unique_ptr<MediaFile>& file);

  /// Takes ownership of |file|; use Open.
  MediaFile(SNDFILE* file, std::int64_t frames, int rate, int channels)
      : file_(file), frames_(frames), rate_(rate), channels_(channels) {}
  ~MediaFile() override;
  MediaFile(const MediaFile&) = delete;
  MediaFile& operator=(const MediaFile&) = delete;

  /// The length in milliseconds, rounded to the nearest.
  std::uint64_t LengthMilliseconds() const;

  int SampleRate() const override { return rate_; }
  int Channels() const override { return channels_; }
  std::vector<Speaker> Layout() const override;
  std::size_t Read(float* out, std::size_t frames) override;

 private:
  SNDFILE* file_;
  std::int64_t frames_;
  int rate_;
  int channels_;
};

}  // namespace quorwind::mci
