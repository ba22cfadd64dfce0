// The media-control service: devices named by their file path, opened,
// queried, closed and played by command texts.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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
  /// What tells one file from another, or from itself after a change.
  struct FileIdentity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modified_ns = 0;
    bool regular = true;
    bool operator==(const FileIdentity&) const = default;
  };
  struct Device {
    std::unique_ptr<Decoder> file;
    FileIdentity identity;                // of the file when it was opened
    std::unique_ptr<AudioOutput> output;  // declared last: stops before the file closes
  };
  /// A decoder that was opened and closed but never read, kept so that a
  /// play of the same, unchanged file right after needs no second open.
  struct ClosedFile {
    std::string path;
    FileIdentity identity;
    std::unique_ptr<Decoder> file;
  };

  /// An input that is no regular file (a pipe, a FIFO), as it was read
  /// through: it gives its bytes once, and every later open of it finds
  /// them here, or the same refusal.
  struct ReadInput {
    FileIdentity identity;
    UniqueFd memory;
    MciError error = kOk;
  };

  /// A regular file by its place, size and time; anything else by its place
  /// alone, since reading a pipe changes its size and time.
  static bool Identify(const std::string& path, FileIdentity& identity);
  /// Opens |path|, or takes the kept decoder when it is of the same file.
  MciError OpenFile(const std::string& path, Device& device);

  MciError Open(const ParsedCommand& command);
  MciError Status(const ParsedCommand& command, char* reply, std::uint32_t reply_capacity);
  MciError Close(const ParsedCommand& command);
  MciError Play(const ParsedCommand& command);

  OutputFactory create_output_;
  /// Made, and connecting to its sound system, from the first open on.
  std::unique_ptr<AudioOutput> next_output_;
  std::mutex mutex_;
  std::map<std::string, Device, std::less<>> devices_;
  ClosedFile closed_;  // declared after devices_: released before them
  std::optional<ReadInput> read_input_;
};

}  // namespace quorwind::mci
