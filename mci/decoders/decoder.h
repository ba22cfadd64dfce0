// Decoders: each family of formats in a file of its own, behind one contract.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <utility>

#include "mci/frame_source.h"
#include "mci/mci.h"
#include "mci/unique_fd.h"

namespace quorwind::mci {

/// One open media stream. Contract of every decoder:
/// - It is opened from a descriptor of a regular file, positioned at its
///   start, which it owns from then on.
/// - Open returns kInvalidFile for what it cannot decode, without reading
///   more than it needs to tell; another decoder may then be tried.
/// - LengthMilliseconds is exact: Read delivers, rounded to the nearest
///   millisecond, that many milliseconds of frames, unless the file changes
///   underneath (then Read ends early, quietly).
/// - Neither opening nor reading ever prints, whatever the file holds, and no
///   header field makes it allocate more than the stream needs.
class Decoder : public FrameSource {
 public:
  virtual std::uint64_t LengthMilliseconds() const = 0;
};

using OpenDecoder = MciError (*)(UniqueFd fd, std::unique_ptr<Decoder>& decoder);

/// libsndfile: WAV, AIFF, FLAC, Ogg Vorbis, Opus and the rest of its formats.
MciError OpenSndfileDecoder(UniqueFd fd, std::unique_ptr<Decoder>& decoder);
/// libmpg123: MPEG audio layers I to III, gapless, with exact lengths.
MciError OpenMpg123Decoder(UniqueFd fd, std::unique_ptr<Decoder>& decoder);
/// FFmpeg, loaded on first use: AAC, ALAC, WMA, AC-3, the sound of videos...
MciError OpenFfmpegDecoder(UniqueFd fd, std::unique_ptr<Decoder>& decoder);
/// Standard MIDI files through FluidSynth, loaded on first use.
MciError OpenMidiDecoder(UniqueFd fd, std::unique_ptr<Decoder>& decoder);

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

/// The body of a decoder module's entry: |Module| is default-constructed,
/// then opened from |fd| with Open(UniqueFd).
template <typename Module>
MciError OpenInModule(int fd, Decoder** decoder) {
  UniqueFd owned(fd);
  try {
    auto opened = std::make_unique<Module>();
    if (MciError error = opened->Open(std::move(owned)); error != kOk) return error;
    *decoder = opened.release();
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

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

/// The entry of a decoder module (libquorwind-ffmpeg.so, libquorwind-midi.so):
/// the Open of its decoder, under one name.
extern "C" quorwind::mci::MciError QuorwindOpenDecoder(int fd, quorwind::mci::Decoder** decoder);
