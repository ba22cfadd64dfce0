// Tests of the MIDI length: tempo maps, divisions, running status, damage.
#include "mci/midi/midi_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorwind::mci {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Chunk(const char* id, const Bytes& body) {
  Bytes chunk(id, id + 4);
  const auto size = static_cast<std::uint32_t>(body.size());
  for (int shift = 24; shift >= 0; shift -= 8)
    chunk.push_back(static_cast<std::uint8_t>(size >> shift));
  chunk.insert(chunk.end(), body.begin(), body.end());
  return chunk;
}

Bytes Smf(int format, std::uint16_t division, const std::vector<Bytes>& tracks) {
  Bytes file = Chunk(
      "MThd", {0, static_cast<std::uint8_t>(format), 0, static_cast<std::uint8_t>(tracks.size()),
               static_cast<std::uint8_t>(division >> 8), static_cast<std::uint8_t>(division)});
  for (const Bytes& track : tracks) {
    const Bytes chunk = Chunk("MTrk", track);
    file.insert(file.end(), chunk.begin(), chunk.end());
  }
  return file;
}

const Bytes kEnd = {0x00, 0xff, 0x2f, 0x00};

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

/// |count| of the longest gaps, each after a change to the slowest tempo.
Bytes LongestGaps(int count) {
  Bytes track;
  for (int i = 0; i < count; ++i) {
    track.insert(track.end(), {0x00, 0xff, 0x51, 0x03, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f,
                               0xff, 0x01, 0x00});
  }
  return Join({track, kEnd});
}

TEST(MidiLengthTest, FollowsTheTempoMapAndTheDivision) {
  // Delta 0x83 0x60 = 480 ticks; tempo 0x07A120 = 500000, 0x0F4240 = 1000000 us.
  const Bytes note = {0x00, 0x90, 60, 100, 0x83, 0x60, 0x80, 60, 0};
  const Bytes running = {0x00, 0x90, 60, 100, 0x83, 0x60, 60, 0};  // note off as velocity 0
  const Bytes slower = {0x00, 0xff, 0x51, 0x03, 0x0f, 0x42, 0x40};
  struct Case {
    const char* name;
    Bytes file;
    std::optional<std::uint64_t> microseconds;
  };
  const Case cases[] = {
      {"default tempo", Smf(0, 480, {Join({note, kEnd})}), 500'000},
      {"running status", Smf(0, 480, {Join({running, kEnd})}), 500'000},
      {"tempo change mid-song",
       Smf(0, 480, {Join({note, {0x00, 0xff, 0x51, 0x03, 0x0f, 0x42, 0x40}, note, kEnd})}),
       1'500'000},
      {"tempo in the first track of type 1",
       Smf(1, 480, {Join({slower, kEnd}), Join({note, note, kEnd})}), 2'000'000},
      {"end of track counts", Smf(0, 96, {Join({note, {0x60, 0xff, 0x2f, 0x00}})}), 3'000'000},
      {"SMPTE 25 fps, 40 ticks", Smf(0, 0xe728, {Join({note, kEnd})}), 480'000},
      {"SMPTE 29.97 ignores tempo", Smf(0, 0xe350, {Join({slower, note, kEnd})}), 200'200},
      {"truncated event", Smf(0, 480, {Bytes{0x00, 0x90, 60}}), std::nullopt},
      {"data without status", Smf(0, 480, {Bytes{0x00, 60, 100}}), std::nullopt},
      {"no track", Chunk("MThd", {0, 0, 0, 1, 1, 0xe0}), std::nullopt},
      {"zero division", Smf(0, 0, {kEnd}), std::nullopt},
      {"running status after a meta event",
       Smf(1, 480,
           {Join({{0x00, 0x90, 60, 100, 0x00, 0xff, 0x01, 0x01, 'x', 0x83, 0x60, 60, 0}, kEnd})}),
       500'000},
      {"a sum past 64 bits saturates", Smf(0, 1, {LongestGaps(5000)}), UINT64_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MidiLengthMicroseconds(c.file), c.microseconds);
  }
}

TEST(MidiLengthTest, StatusBytesAreWrittenOut) {
  const Bytes running = {0x00, 0x90, 60, 100, 0x00, 0xff, 0x01, 0x01, 'x', 0x60, 60, 0};
  const Bytes explicit_status = {0x00, 0x90, 60,   100,  0x00, 0xff, 0x01,
                                 0x01, 'x',  0x60, 0x90, 60,   0};
  EXPECT_EQ(WithExplicitStatus(Smf(1, 480, {Join({running, kEnd})})),
            Smf(1, 480, {Join({explicit_status, kEnd})}));
  EXPECT_TRUE(WithExplicitStatus(Smf(1, 480, {Bytes{0x00, 60, 100}})).empty());
  // Bytes after the declared tracks are not the song, whatever they hold.
  const Bytes song = Smf(1, 480, {Join({explicit_status, kEnd})});
  for (const Bytes& after : {Bytes(18, 0), Bytes{'M', 'T', 'r', 'k', 0xff}}) {
    EXPECT_EQ(WithExplicitStatus(Join({song, after})), song);
  }
}

TEST(MidiLengthTest, FindsTheSongInsideRiffRmid) {
  const Bytes smf = Smf(0, 480, {kEnd});
  Bytes rmid = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'R', 'M', 'I', 'D', 'd', 'a', 't', 'a'};
  const auto size = static_cast<std::uint8_t>(smf.size());
  rmid.insert(rmid.end(), {size, 0, 0, 0});
  rmid.insert(rmid.end(), smf.begin(), smf.end());
  const auto found = StandardMidiData(rmid);
  EXPECT_EQ(Bytes(found.begin(), found.end()), smf);
  rmid[16] = 0xff;  // a data chunk longer than the file
  EXPECT_TRUE(StandardMidiData(rmid).empty());
}

}  // namespace
}  // namespace quorwind::mci
