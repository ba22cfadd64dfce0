// Execution of command texts against the device table.
#include "mci/service/service.h"

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

MciError MciService::Open(const ParsedCommand& command) {
  if (!command.words.empty()) return kUnrecognizedKeyword;
  if (devices_.contains(command.device)) return kDeviceOpen;
  std::unique_ptr<Decoder> file;
  if (MciError error = OpenMediaFile(command.device, file); error != kOk) return error;
  devices_[command.device].file = std::move(file);
  return kOk;
}

MciError MciService::Status(const ParsedCommand& command, char* reply,
                            std::uint32_t reply_capacity) {
  if (command.words.empty()) return kMissingParameter;
  if (command.words.size() > 1 || !IsKeyword(command.words[0], "length")) {
    return kUnrecognizedKeyword;
  }
  // A device that is not open is opened for the query and closed after it.
  std::unique_ptr<Decoder> opened_here;
  const Decoder* file = nullptr;
  if (auto device = devices_.find(command.device); device != devices_.end()) {
    file = device->second.file.get();
  } else {
    if (MciError error = OpenMediaFile(command.device, opened_here); error != kOk) return error;
    file = opened_here.get();
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
  devices_.erase(device);
  return kOk;
}

MciError MciService::Play(const ParsedCommand& command) {
  if (!command.words.empty()) return kUnrecognizedKeyword;
  auto device = devices_.find(command.device);
  if (device == devices_.end()) {
    // Not open: open it for playing; it stays open until closed.
    std::unique_ptr<Decoder> file;
    if (MciError error = OpenMediaFile(command.device, file); error != kOk) return error;
    device = devices_.try_emplace(command.device).first;
    device->second.file = std::move(file);
  }
  Device& playing = device->second;
  if (playing.output) return kOk;  // already playing
  std::unique_ptr<AudioOutput> output = create_output_();
  if (!output) return kOutOfMemory;
  if (MciError error = output->Start(*playing.file); error != kOk) return error;
  playing.output = std::move(output);
  return kOk;
}

}  // namespace quorwind::mci
