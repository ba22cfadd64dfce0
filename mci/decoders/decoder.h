// Decoders: each family of formats in a file of its own, behind one contract.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "mci/frame_source.h"
#include "mci/mci.h"
#include "mci/module_loader.h"
#include "mci/unique_fd.h"

namespace quorwind::mci {

/// |frames| at |rate| in milliseconds, rounded to the nearest; saturates
/// instead of overflowing.
inline std::uint64_t FramesToMilliseconds(std::uint64_t frames, std::uint64_t rate) {
  if (rate == 0) return 0;
  // Split so that no header, however large its frame count, overflows.
  const std::uint64_t rest = ((frames % rate) * 1000 + rate / 2) / rate;
  const std::uint64_t seconds = frames / rate;
  if (seconds > (UINT64_MAX - 1000) / 1000) return UINT64_MAX;
  return seconds * 1000 + rest;
}

/// One open media stream. Contract of every decoder:
/// - It is opened from a descriptor of a regular file, positioned at its
///   start, which it owns from then on.
/// - Open returns kInvalidFile for what it cannot decode, without reading
///   more than it needs to tell; another decoder may then be tried.
/// - LengthMilliseconds is exact: Read delivers, rounded to the nearest
///   millisecond, that many milliseconds of frames, unless the file changes
///   underneath (then Read ends early, quietly). It is the count of what the
///   decoder delivers, never what the file claims: a header's frame count, a
///   sample table, a container's duration or a packet's timestamp is checked
///   (cheaply: the claimed last frame decodes, the last page ends the only
///   stream) and, where the check fails, the frames are counted by decoding,
///   or the file is left to a decoder that counts.
/// - Neither opening nor reading ever prints, whatever the file holds, and no
///   header field makes it allocate more than the stream needs.
/// - Read and Layout never throw.
class Decoder : public FrameSource {
 public:
  virtual std::uint64_t LengthMilliseconds() const = 0;
};

/// A decoder whose stream is a count of frames at a rate: its length, rate
/// and channel count are what it sets in these fields.
class CountedDecoder : public Decoder {
 public:
  std::uint64_t LengthMilliseconds() const override {
    return FramesToMilliseconds(frames_, static_cast<std::uint64_t>(rate_));
  }
  int SampleRate() const override { return rate_; }
  int Channels() const override { return channels_; }

 protected:
  int rate_ = 0;
  int channels_ = 0;
  std::uint64_t frames_ = 0;
};

using OpenDecoder = MciError (*)(UniqueFd fd, std::unique_ptr<Decoder>& decoder);

/// How one family of formats is opened, in two steps, so that the second can
/// run where nothing outside the media can be reached:
/// - Prepare loads what decoding needs from outside the media file (a
///   module's libraries are loaded before; a soundfont, say);
/// - Open then reads only the media's descriptor, as Decoder's contract says.
/// A factory opens one file. Neither step throws.
class DecoderFactory {
 public:
  virtual ~DecoderFactory() = default;
  virtual MciError Prepare() { return kOk; }
  virtual MciError Open(UniqueFd fd, std::unique_ptr<Decoder>& decoder) = 0;
};

/// Makes a family's factory; null when the family cannot be reached (its
/// module or one of its libraries is missing).
using MakeDecoderFactory = std::unique_ptr<DecoderFactory> (*)();

/// The factory of a family whose decoder needs nothing from outside.
template <OpenDecoder open>
std::unique_ptr<DecoderFactory> MakeFactoryOf() {
  struct Factory : DecoderFactory {
    MciError Open(UniqueFd fd, std::unique_ptr<Decoder>& decoder) override {
      try {
        return open(std::move(fd), decoder);
      } catch (const std::bad_alloc&) {
        return kOutOfMemory;
      } catch (...) {
        return kInternal;
      }
    }
  };
  return std::make_unique<Factory>();
}

/// libsndfile: WAV, AIFF, FLAC, Ogg Vorbis, Opus and the rest of its formats.
MciError OpenSndfileDecoder(UniqueFd fd, std::unique_ptr<Decoder>& decoder);
/// libmpg123: MPEG audio layers I to III, gapless, with exact lengths.
MciError OpenMpg123Decoder(UniqueFd fd, std::unique_ptr<Decoder>& decoder);
/// FFmpeg, from its module: AAC, ALAC, WMA, AC-3, the sound of videos...
std::unique_ptr<DecoderFactory> MakeFfmpegFactory();
/// AAC-LC in MP4 files through libfaad2, from its module: what FFmpeg
/// would play, without loading FFmpeg.
std::unique_ptr<DecoderFactory> MakeAacFactory();
/// WavPack through libwavpack, from its module: what FFmpeg would play,
/// without loading FFmpeg.
std::unique_ptr<DecoderFactory> MakeWavpackFactory();
/// Opus in WebM and Matroska through libwebm and libopus, from its module:
/// what FFmpeg would play, without loading FFmpeg.
std::unique_ptr<DecoderFactory> MakeWebmFactory();
/// Standard MIDI files through FluidSynth, from its module.
std::unique_ptr<DecoderFactory> MakeMidiFactory();

/// How many of |wanted| frames a Read delivers when |delivered| of the
/// stream's |length| frames are out: never past the length it reported, so
/// that what is heard is exactly what the reply said.
inline std::size_t FramesWithinLength(std::uint64_t length, std::uint64_t delivered,
                                      std::size_t wanted) {
  return delivered >= length
             ? 0
             : static_cast<std::size_t>(std::min<std::uint64_t>(wanted, length - delivered));
}

/// Frames decoded a block at a time and not yet delivered.
struct PendingFrames {
  std::vector<float> samples;  ///< interleaved
  std::size_t at = 0;          ///< the next sample to deliver

  /// Fills |out| with up to |frames| frames of |channels| channels, calling
  /// |refill| (which replaces samples and at; false at the end) whenever all
  /// are out. Returns the frames filled.
  template <typename Refill>
  std::size_t Deliver(float* out, std::size_t frames, std::size_t channels, Refill refill) {
    std::size_t filled = 0;
    while (filled < frames) {
      if (at + channels > samples.size()) {
        if (!refill()) break;
        continue;
      }
      const std::size_t take = std::min(frames - filled, (samples.size() - at) / channels);
      std::memcpy(out + filled * channels, samples.data() + at, take * channels * sizeof(float));
      at += take * channels;
      filled += take;
    }
    return filled;
  }
};

/// Opens |fd| with the decoder class |Module| of a module: default-constructed,
/// then opened with Open(UniqueFd). Nothing thrown leaves the module.
template <typename Module, typename... Arguments>
MciError OpenInModule(UniqueFd fd, std::unique_ptr<Decoder>& decoder, Arguments&&... arguments) {
  try {
    auto opened = std::make_unique<Module>(std::forward<Arguments>(arguments)...);
    if (MciError error = opened->Open(std::move(fd)); error != kOk) return error;
    decoder = std::move(opened);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (...) {
    return kInternal;
  }
}

/// The factory of a module's decoder class |Module| that needs nothing from
/// outside the media: what a module's entry returns.
template <typename Module>
class ModuleDecoderFactory : public DecoderFactory {
 public:
  MciError Open(UniqueFd fd, std::unique_ptr<Decoder>& decoder) override {
    return OpenInModule<Module>(std::move(fd), decoder);
  }
};

/// The speaker of each of a stream's channels, from the codes of a library's
/// layout, through |table| (pairs of a code and a speaker); empty when a
/// code is not in the table.
template <typename Code, std::size_t N>
std::vector<Speaker> SpeakersFromCodes(const std::vector<Code>& codes,
                                       const std::pair<Code, Speaker> (&table)[N]) {
  std::vector<Speaker> speakers;
  for (const Code code : codes) {
    const auto* found = std::find_if(std::begin(table), std::end(table),
                                     [&](const auto& entry) { return entry.first == code; });
    if (found == std::end(table)) return {};
    speakers.push_back(found->second);
  }
  return speakers;
}

}  // namespace quorwind::mci

/// The entry of a decoder module (libquorwind-aac.so, libquorwind-wavpack.so,
/// libquorwind-ffmpeg.so, libquorwind-midi.so):
/// a new factory of its decoder, owned by the caller; null when out of memory.
extern "C" quorwind::mci::DecoderFactory* QuorwindNewDecoderFactory() noexcept;

/// Defines a decoder module's exports: its ABI version, and the entry that
/// makes a |Factory| (a DecoderFactory, named in full).
#define QUORWIND_DECODER_MODULE(Factory)                                           \
  QUORWIND_MODULE_ABI;                                                             \
  extern "C" __attribute__((visibility("default"))) quorwind::mci::DecoderFactory* \
  QuorwindNewDecoderFactory() noexcept {                                           \
    return new (std::nothrow) Factory();                                           \
  }
