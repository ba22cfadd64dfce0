// The media-control service: devices named by their file path, opened,
// queried, closed and played by command texts.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "mci/decoders/media_file.h"
#include "mci/outputs/audio_output.h"
#include "mci/service/command.h"

namespace quorwind::mci {

class MciService {
 public:
  using OutputFactory = std::function<std::unique_ptr<AudioOutput>()>;

  /// |create_output| makes the output that play starts; the system's by default.
  explicit MciService(OutputFactory create_output = CreateSystemOutput);
  ~MciService();

  /// Executes one command text; see mciSendStringA. Safe from any thread.
  MciError Execute(std::string_view text, char* reply, std::uint32_t reply_capacity);

 private:
  struct Device {
    std::unique_ptr<Decoder> file;
    std::unique_ptr<AudioOutput> output;  // declared last: stops before the file closes
  };

  MciError Open(const ParsedCommand& command);
  MciError Status(const ParsedCommand& command, char* reply, std::uint32_t reply_capacity);
  MciError Close(const ParsedCommand& command);
  MciError Play(const ParsedCommand& command);

  OutputFactory create_output_;
  std::mutex mutex_;
  std::map<std::string, Device, std::less<>> devices_;
};

}  // namespace quorwind::mci
