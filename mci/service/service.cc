// Execution of command texts against the device table.
#include "mci/service/service.h"

#include "mci/decoders/media_input.h"
#include "mci/sandbox/decoder_process.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <charconv>
#include <cstring>

namespace quorwind::mci {

MciService::MciService(OutputFactory create_output) : create_output_(std::move(create_output)) {}

MciService::~MciService() = default;

MciError MciService::Execute(std::string_view text, char* reply, std::uint32_t reply_capacity) {
  ParsedCommand command;
  if (MciError error = ParseCommand(text, command); error != kOk) return error;
  std::lock_guard lock(mutex_);
  switch (command.verb) {
    case Verb::kOpen:
      return Open(command);
    case Verb::kStatus:
      return Status(command, reply, reply_capacity);
    case Verb::kClose:
      return Close(command);
    case Verb::kPlay:
      return Play(command);
  }
  return kUnrecognizedCommand;
}

bool MciService::Identify(const std::string& path, FileIdentity& identity) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return false;
  if (!S_ISREG(status.st_mode)) {
    identity = {static_cast<std::uint64_t>(status.st_dev),
                static_cast<std::uint64_t>(status.st_ino), 0, 0, false};
    return true;
  }
  identity = {
      static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
      static_cast<std::uint64_t>(status.st_size),
      static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
  return true;
}

MciError MciService::OpenFile(const std::string& path, Device& device) {
  ClosedFile kept = std::move(closed_);
  closed_ = {};
  // Taken before the open: a file replaced in between is not taken for it.
  const bool identified = Identify(path, device.identity);
  if (kept.file && kept.path == path && identified && device.identity == kept.identity) {
    device.file = std::move(kept.file);
    return kOk;
  }
  kept.file.reset();
  // The sound system is reached while the child opens the file and the rest
  // of the sequence runs: a file that exists is most likely played.
  const auto prepare_output = [this, identified] {
    if (!identified || next_output_ || !devices_.empty()) return;
    next_output_ = create_output_();
    if (next_output_) next_output_->Prepare();
  };
  UniqueFd input;
  if (read_input_ && identified && read_input_->identity == device.identity) {
    if (read_input_->error != kOk) return read_input_->error;
    input = UniqueFd(fcntl(read_input_->memory.get(), F_DUPFD_CLOEXEC, 0));
    if (input.get() < 0) return kOutOfMemory;
  } else {
    const bool read_through = identified && !device.identity.regular;
    if (read_through) prepare_output();  // a pipe takes its time
    const MciError error = OpenMediaInput(path, input);
    if (read_through) {
      read_input_ = {device.identity,
                     UniqueFd(error == kOk ? fcntl(input.get(), F_DUPFD_CLOEXEC, 0) : -1), error};
    }
    if (error != kOk) return error;
  }
  return OpenMediaFile(std::move(input), device.file,
                       [&](MakeDecoderFactory make, UniqueFd fd, std::unique_ptr<Decoder>& file) {
                         return OpenInDecoderProcess(make, std::move(fd), file, {}, prepare_output);
                       });
}

MciError MciService::Open(const ParsedCommand& command) {
  if (!command.words.empty()) return kUnrecognizedKeyword;
  if (devices_.contains(command.device)) return kDeviceOpen;
  Device opened;
  if (MciError error = OpenFile(command.device, opened); error != kOk) return error;
  devices_[command.device] = std::move(opened);
  return kOk;
}

MciError MciService::Status(const ParsedCommand& command, char* reply,
                            std::uint32_t reply_capacity) {
  if (command.words.empty()) return kMissingParameter;
  if (command.words.size() > 1 || !IsKeyword(command.words[0], "length")) {
    return kUnrecognizedKeyword;
  }
  // A device that is not open is opened for the query and closed after it.
  Device opened_here;
  const Decoder* file = nullptr;
  if (auto device = devices_.find(command.device); device != devices_.end()) {
    file = device->second.file.get();
  } else {
    if (MciError error = OpenFile(command.device, opened_here); error != kOk) return error;
    file = opened_here.file.get();
  }

  char text[24];
  const auto [end, ec] = std::to_chars(text, text + sizeof text - 1, file->LengthMilliseconds());
  *end = '\0';
  const std::size_t needed = static_cast<std::size_t>(end - text) + 1;
  if (!reply || reply_capacity < needed) {
    if (reply && reply_capacity > 0) reply[0] = '\0';
    return kParamOverflow;
  }
  std::memcpy(reply, text, needed);
  return kOk;
}

MciError MciService::Close(const ParsedCommand& command) {
  if (!command.words.empty()) return kUnrecognizedKeyword;
  auto device = devices_.find(command.device);
  if (device == devices_.end()) return kInvalidDeviceName;
  if (!device->second.output) {
    closed_ = {command.device, device->second.identity, std::move(device->second.file)};
  }
  devices_.erase(device);
  return kOk;
}

MciError MciService::Play(const ParsedCommand& command) {
  if (!command.words.empty()) return kUnrecognizedKeyword;
  auto device = devices_.find(command.device);
  if (device == devices_.end()) {
    // Not open: open it for playing; it stays open until closed.
    Device opened;
    if (MciError error = OpenFile(command.device, opened); error != kOk) return error;
    device = devices_.emplace(command.device, std::move(opened)).first;
  }
  Device& playing = device->second;
  if (playing.output) return kOk;  // already playing
  std::unique_ptr<AudioOutput> output = next_output_ ? std::move(next_output_) : create_output_();
  if (!output) return kOutOfMemory;
  const auto deadline = std::chrono::steady_clock::now() + kStartBound;
  if (MciError error = output->Start(*playing.file, deadline); error != kOk) return error;
  playing.output = std::move(output);
  return kOk;
}

}  // namespace quorwind::mci
