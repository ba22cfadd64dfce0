// Reading the events of a Standard MIDI File, for their times only.
#include "mci/midi/midi_file.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace quorwind::mci {

namespace {

constexpr std::uint32_t kDefaultTempo = 500'000;  // microseconds per quarter note

__extension__ using Wide = unsigned __int128;

/// a * b / c without overflow; saturates.
std::uint64_t MultiplyDivide(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  const Wide result = static_cast<Wide>(a) * b / c;
  return result > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(result);
}

/// A bounds-checked reader over a chunk.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
  bool AtEnd() const { return at_ >= data_.size(); }
  bool Byte(std::uint8_t& value) {
    if (AtEnd()) return false;
    value = data_[at_++];
    return true;
  }
  bool Peek(std::uint8_t& value) const {
    if (AtEnd()) return false;
    value = data_[at_];
    return true;
  }
  bool Skip(std::uint64_t count) {
    if (count > data_.size() - at_) return false;
    at_ += static_cast<std::size_t>(count);
    return true;
  }
  /// A variable-length quantity: at most four bytes.
  bool Quantity(std::uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
      std::uint8_t byte = 0;
      if (!Byte(byte)) return false;
      value = value << 7 | (byte & 0x7fu);
      if (!(byte & 0x80)) return true;
    }
    return false;
  }
  bool BigEndian(std::size_t bytes, std::uint32_t& value) {
    value = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
      std::uint8_t byte = 0;
      if (!Byte(byte)) return false;
      value = value << 8 | byte;
    }
    return true;
  }
  std::size_t Position() const { return at_; }
  /// The bytes read since |position|.
  std::span<const std::uint8_t> Since(std::size_t position) const {
    return data_.subspan(position, at_ - position);
  }
  std::span<const std::uint8_t> Take(std::size_t count) {
    count = std::min(count, data_.size() - at_);
    const auto taken = data_.subspan(at_, count);
    at_ += count;
    return taken;
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t at_ = 0;
};

/// One event of a track: its delta time, its status (a running status made
/// explicit) and the bytes that follow the status in the file.
struct Event {
  std::uint32_t delta = 0;
  std::uint8_t status = 0;
  std::span<const std::uint8_t> body;
};

/// Calls |visit| with each event of |track| up to its end-of-track event;
/// false when the track is malformed. A running status continues after meta
/// events, as real files have it and other readers accept.
template <typename Visit>
bool WalkTrack(Reader track, Visit visit) {
  std::uint8_t running = 0;
  while (!track.AtEnd()) {
    Event event;
    if (!track.Quantity(event.delta) || !track.Peek(event.status)) return false;
    if (event.status & 0x80) {
      track.Byte(event.status);
    } else if (running) {
      event.status = running;  // running status: the data byte stays
    } else {
      return false;
    }
    const std::size_t start = track.Position();
    bool end = false;
    if (event.status < 0xf0) {
      running = event.status;
      const int kind = event.status & 0xf0;
      if (!track.Skip(kind == 0xc0 || kind == 0xd0 ? 1 : 2)) return false;
    } else if (event.status == 0xf0 || event.status == 0xf7) {
      running = 0;
      std::uint32_t length = 0;
      if (!track.Quantity(length) || !track.Skip(length)) return false;
    } else if (event.status == 0xff) {
      std::uint8_t type = 0;
      std::uint32_t length = 0;
      if (!track.Byte(type) || !track.Quantity(length) || !track.Skip(length)) return false;
      end = type == 0x2f;
    } else {
      return false;
    }
    event.body = track.Since(start);
    visit(event);
    if (end) break;
  }
  return true;
}

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

/// Reads one track; adds its tempo changes to |tempos| and returns the tick
/// of its last event.
std::optional<std::uint64_t> ReadTrack(Reader track,
                                       std::multimap<std::uint64_t, std::uint32_t>& tempos) {
  std::uint64_t tick = 0;
  const bool read = WalkTrack(track, [&](const Event& event) {
    tick += event.delta;
    const auto& body = event.body;
    // A tempo: type 0x51, length 3, microseconds per quarter note.
    if (event.status == 0xff && body.size() == 5 && body[0] == 0x51 && body[1] == 3) {
      const std::uint32_t tempo =
          std::uint32_t{body[2]} << 16 | std::uint32_t{body[3]} << 8 | body[4];
      if (tempo > 0) tempos.emplace(tick, tempo);
    }
  });
  return read ? std::optional(tick) : std::nullopt;
}

void AppendQuantity(std::vector<std::uint8_t>& out, std::uint32_t value) {
  std::uint8_t bytes[5];
  int count = 0;
  do {
    bytes[count++] = static_cast<std::uint8_t>(value & 0x7f);
    value >>= 7;
  } while (value);
  while (count > 1) out.push_back(bytes[--count] | 0x80);
  out.push_back(bytes[0]);
}

void AppendBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

}  // namespace

std::span<const std::uint8_t> StandardMidiData(std::span<const std::uint8_t> file) {
  if (file.size() >= 4 && std::memcmp(file.data(), "MThd", 4) == 0) return file;
  if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 ||
      std::memcmp(file.data() + 8, "RMID", 4) != 0) {
    return {};
  }
  Reader riff(file.subspan(12));
  while (!riff.AtEnd()) {
    const auto id = riff.Take(4);
    std::uint32_t size = 0;
    std::uint8_t bytes[4];
    for (auto& byte : bytes) {
      if (!riff.Byte(byte)) return {};
    }
    size = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
    if (id.size() == 4 && std::memcmp(id.data(), "data", 4) == 0) {
      Reader data = riff;
      if (!data.Skip(size)) return {};
      return riff.Take(size);
    }
    if (!riff.Skip(size + (size & 1))) return {};
  }
  return {};
}

std::optional<std::uint64_t> MidiLengthMicroseconds(std::span<const std::uint8_t> smf) {
  Reader file(smf);
  std::uint32_t id = 0;
  std::uint32_t header_size = 0;
  std::uint32_t format = 0;
  std::uint32_t tracks = 0;
  std::uint32_t division = 0;
  if (!file.BigEndian(4, id) || id != 0x4d546864 /* MThd */ || !file.BigEndian(4, header_size) ||
      header_size < 6 || !file.BigEndian(2, format) || !file.BigEndian(2, tracks) ||
      !file.BigEndian(2, division) || !file.Skip(header_size - 6) || format > 2 || tracks == 0 ||
      division == 0) {
    return std::nullopt;
  }

  std::multimap<std::uint64_t, std::uint32_t> tempos;
  std::uint64_t last_tick = 0;
  std::uint32_t read = 0;
  while (read < tracks && !file.AtEnd()) {
    std::uint32_t size = 0;
    if (!file.BigEndian(4, id) || !file.BigEndian(4, size)) break;
    Reader chunk = file;
    if (!chunk.Skip(size)) return std::nullopt;
    const auto body = file.Take(size);
    if (id != 0x4d54726b /* MTrk */) continue;  // unknown chunks are skipped
    const auto end = ReadTrack(Reader(body), tempos);
    if (!end) return std::nullopt;
    last_tick = std::max(last_tick, *end);
    ++read;
  }
  if (read == 0) return std::nullopt;

  if (division & 0x8000) {
    // SMPTE: frames per second and ticks per frame; tempo changes do not apply.
    const int frames = -static_cast<int>(static_cast<std::int8_t>(division >> 8));
    const std::uint64_t ticks_per_frame = division & 0xff;
    if (frames <= 0 || ticks_per_frame == 0) return std::nullopt;
    // 29 stands for 29.97 frames per second (drop-frame).
    const std::uint64_t centi_fps = frames == 29 ? 2997 : static_cast<std::uint64_t>(frames) * 100;
    return MultiplyDivide(last_tick, 100'000'000, centi_fps * ticks_per_frame);
  }
  // Quarter-note division: tick durations follow the tempo map.
  const std::uint64_t ticks_per_quarter = division;
  std::uint64_t microseconds = 0;
  std::uint64_t tick = 0;
  std::uint64_t tempo = kDefaultTempo;
  for (const auto& [at, next_tempo] : tempos) {
    if (at >= last_tick) break;
    microseconds = SaturatingAdd(microseconds, MultiplyDivide(at - tick, tempo, ticks_per_quarter));
    tick = at;
    tempo = next_tempo;
  }
  return SaturatingAdd(microseconds, MultiplyDivide(last_tick - tick, tempo, ticks_per_quarter));
}

std::vector<std::uint8_t> WithExplicitStatus(std::span<const std::uint8_t> smf) {
  Reader file(smf);
  std::uint32_t id = 0;
  std::uint32_t size = 0;
  std::uint32_t format = 0;
  std::uint32_t tracks = 0;
  if (!file.BigEndian(4, id) || id != 0x4d546864 /* MThd */ || !file.BigEndian(4, size) ||
      size < 4 || !file.BigEndian(2, format) || !file.BigEndian(2, tracks) ||
      !file.Skip(size - 4)) {
    return {};
  }
  std::vector<std::uint8_t> out(smf.begin(),
                                smf.begin() + static_cast<std::ptrdiff_t>(file.Position()));
  // The tracks the header declares; whatever follows them is not the song.
  std::uint32_t written = 0;
  while (written < tracks && !file.AtEnd()) {
    const std::size_t start = file.Position();
    if (!file.BigEndian(4, id) || !file.BigEndian(4, size) || !file.Skip(size)) return {};
    const auto chunk = file.Since(start);
    if (id != 0x4d54726b /* MTrk */) {
      out.insert(out.end(), chunk.begin(), chunk.end());
      continue;
    }
    std::vector<std::uint8_t> track;
    if (!WalkTrack(Reader(chunk.subspan(8)), [&](const Event& event) {
          AppendQuantity(track, event.delta);
          track.push_back(event.status);
          track.insert(track.end(), event.body.begin(), event.body.end());
        })) {
      return {};
    }
    AppendBigEndian(out, id);
    AppendBigEndian(out, static_cast<std::uint32_t>(track.size()));
    out.insert(out.end(), track.begin(), track.end());
    ++written;
  }
  return out;
}

MidiSounds MidiSoundsOf(std::span<const std::uint8_t> smf) {
  MidiSounds sounds;
  sounds.programs.set(0);
  Reader file(smf);
  std::uint32_t id = 0;
  std::uint32_t size = 0;
  if (!file.BigEndian(4, id) || !file.BigEndian(4, size) || !file.Skip(size)) return sounds;
  while (!file.AtEnd()) {
    if (!file.BigEndian(4, id) || !file.BigEndian(4, size)) break;
    const auto chunk = file.Take(size);
    if (id != 0x4d54726b /* MTrk */) continue;
    WalkTrack(Reader(chunk), [&](const Event& event) {
      if ((event.status & 0xf0) == 0xc0 && !event.body.empty()) {
        sounds.programs.set(event.body[0] & 0x7f);
      }
      if ((event.status & 0xf0) == 0x90 && event.body.size() >= 2 && event.body[1] != 0) {
        sounds.velocities[event.body[0] & 0x7f].set(event.body[1] & 0x7f);
      }
      if ((event.status < 0xf0 && (event.status & 0x0f) == 9) || event.status == 0xf0 ||
          event.status == 0xf7) {
        sounds.percussion = true;
      }
    });
  }
  return sounds;
}

}  // namespace quorwind::mci
