// The codecs of the WebM module: Opus through libopus and Vorbis through
// libvorbis, each told its stream by a Matroska track's private data.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorwind::mci {

/// One codec as the module uses it: set up from the track's private data,
/// each packet's count of frames told from its first bytes, and packets
/// decoded, in order, into interleaved frames.
class PacketCodec {
 public:
  virtual ~PacketCodec() = default;
  /// False where the stream is not one this module takes.
  virtual bool SetUp(const std::vector<std::uint8_t>& head) = 0;
  virtual int Rate() const = 0;
  virtual int Channels() const = 0;
  /// Frames the stream's start asks to drop.
  virtual std::uint64_t PreSkip() const { return 0; }
  /// The frames the next packet of the stream decodes to; negative where it
  /// is no packet of this stream. Called once for every packet, in order,
  /// since the last RestartCount.
  virtual long CountFrames(const std::vector<std::uint8_t>& packet) = 0;
  /// Counts from here as if the next packet were the stream's first (a
  /// Vorbis packet's count depends on the one before it, so the first
  /// counted after a restart counts nothing).
  virtual void RestartCount() {}
  /// Decodes from here as if the next packet were the stream's first.
  virtual void RestartDecoding() = 0;
  /// The packets that decode to nothing after a restart.
  virtual int PacketsBeforeOutput() const { return 0; }
  /// Decodes the next packet into |frames|; false where it cannot.
  virtual bool Decode(const std::vector<std::uint8_t>& packet, std::vector<float>& frames) = 0;
};

/// The codec of a track whose codec Matroska names |codec| ("A_OPUS",
/// "A_VORBIS"); null for any other.
std::unique_ptr<PacketCodec> MakePacketCodec(const std::string& codec);

}  // namespace quorwind::mci
