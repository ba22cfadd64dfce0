// A raw AAC stream in ADTS frames (.aac), described as an MP4 track would be,
// so that one decoder plays both.
#pragma once

#include <cstdint>
#include <optional>

#include "mci/decoders/mp4_audio_track.h"

namespace quorwind::mci {

/// The access units of the ADTS stream in the file open at |fd|, whose size
/// is |file_size|, and the AudioSpecificConfig its headers stand for: every
/// frame of one profile, rate and channel configuration, one raw data block
/// each, back to back from the start; a last frame cut short is left out.
/// Nothing when the file is not such a stream (a fuller demuxer resyncs).
std::optional<Mp4AudioTrack> ReadAdtsTrack(int fd, std::uint64_t file_size);

}  // namespace quorwind::mci
