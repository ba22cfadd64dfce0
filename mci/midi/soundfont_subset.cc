// Cutting a SoundFont 2 preset-data chunk down to some presets: the preset
// headers, the zones of theirs a song's notes reach and their generators, the instruments those
// name and the sample headers these name, with every index renumbered. The sample data stays as it
// is: FluidSynth reads only the samples it is given.
#include "mci/midi/soundfont_subset.h"

#include <algorithm>
#include <bitset>
#include <cstring>
#include <string_view>

namespace quorwind::mci {

namespace {

constexpr std::uint16_t kPercussionBank = 128;
constexpr std::uint16_t kInstrumentGenerator = 41;
constexpr std::uint16_t kKeyRangeGenerator = 43;
constexpr std::uint16_t kVelocityRangeGenerator = 44;
constexpr std::uint16_t kSampleGenerator = 53;
/// In a sample header: the index of its stereo partner, and its type.
constexpr std::size_t kSampleLink = 42;
constexpr std::size_t kSampleType = 44;
constexpr std::uint32_t kLinkedTypes = 2 | 4 | 8;  // right, left, linked

std::uint32_t Little(std::span<const std::uint8_t> bytes, std::size_t at, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes[at + static_cast<std::size_t>(i)];
  return value;
}

void PutLittle16(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value);
  out[1] = static_cast<std::uint8_t>(value >> 8);
}

/// One of the preset-data chunk's tables: fixed-size records, the last a
/// terminal one.
struct Table {
  std::span<const std::uint8_t> bytes;
  std::size_t record = 0;

  std::size_t count() const { return bytes.size() / record; }
  std::span<const std::uint8_t> at(std::size_t index) const {
    return bytes.subspan(index * record, record);
  }
  std::uint32_t field16(std::size_t index, std::size_t offset) const {
    return Little(bytes, index * record + offset, 2);
  }
};

/// Whether zone |bag| is one a note of |sounds| can select: a global zone
/// (the first, naming no |index_generator|), or one whose key and velocity
/// ranges, the last of each as FluidSynth reads them, hold a struck note.
bool Reaches(const Table& bags, const Table& generators, std::size_t bag, bool first,
             std::uint16_t index_generator, const MidiSounds& sounds) {
  std::uint32_t key_low = 0, key_high = 127, velocity_low = 0, velocity_high = 127;
  bool names_index = false;
  for (std::size_t g = bags.field16(bag, 0); g < bags.field16(bag + 1, 0); ++g) {
    const std::uint32_t type = generators.field16(g, 0);
    const std::uint32_t low = generators.bytes[g * generators.record + 2];
    const std::uint32_t high = generators.bytes[g * generators.record + 3];
    if (type == kKeyRangeGenerator) {
      key_low = low;
      key_high = high;
    } else if (type == kVelocityRangeGenerator) {
      velocity_low = low;
      velocity_high = high;
    } else if (type == index_generator) {
      names_index = true;
    }
  }
  if (first && !names_index) return true;
  std::bitset<128> velocities;
  for (std::uint32_t v = velocity_low; v <= std::min<std::uint32_t>(velocity_high, 127); ++v) {
    velocities.set(v);
  }
  for (std::uint32_t key = key_low; key <= std::min<std::uint32_t>(key_high, 127); ++key) {
    if ((sounds.velocities[key] & velocities).any()) return true;
  }
  return false;
}

/// The preset-data tables, checked so that every index names a record.
struct PresetData {
  Table phdr, pbag, pmod, pgen, inst, ibag, imod, igen, shdr;

  bool Read(std::span<const std::uint8_t> list) {
    Table* tables[] = {&phdr, &pbag, &pmod, &pgen, &inst, &ibag, &imod, &igen, &shdr};
    const char* names[] = {"phdr", "pbag", "pmod", "pgen", "inst", "ibag", "imod", "igen", "shdr"};
    const std::size_t sizes[] = {38, 4, 10, 4, 22, 4, 10, 4, 46};
    std::size_t at = 0;
    for (int i = 0; i < 9; ++i) {
      if (list.size() - at < 8 || std::memcmp(list.data() + at, names[i], 4) != 0) return false;
      const std::uint32_t size = Little(list, at + 4, 4);
      if (size > list.size() - at - 8 || size % sizes[i] != 0 || size == 0) return false;
      *tables[i] = {list.subspan(at + 8, size), sizes[i]};
      at += 8 + size;
    }
    return Ordered(phdr, 24, pbag) && Ordered(inst, 20, ibag) && Bags(pbag, pgen, pmod) &&
           Bags(ibag, igen, imod);
  }

  /// Each record's index into |into| (at |offset|) rises and stays in it.
  static bool Ordered(const Table& table, std::size_t offset, const Table& into) {
    for (std::size_t i = 0; i + 1 < table.count(); ++i) {
      if (table.field16(i, offset) > table.field16(i + 1, offset)) return false;
    }
    return table.field16(table.count() - 1, offset) < into.count();
  }
  static bool Bags(const Table& bags, const Table& generators, const Table& modulators) {
    return Ordered(bags, 0, generators) && Ordered(bags, 2, modulators);
  }
};

/// Gives each record marked 0 in |index| its number among the marked, in
/// order; the unmarked stay -1.
void Renumber(std::vector<std::int32_t>& index) {
  std::int32_t next = 0;
  for (auto& entry : index) {
    if (entry == 0) entry = ++next;
  }
  for (auto& entry : index) {
    if (entry > 0) --entry;
  }
}

/// Rewrites a copied generator record of |type|, whose amount is an index,
/// to the index's new number.
void RenumberIndex(std::uint8_t* generator, std::uint16_t type,
                   const std::vector<std::int32_t>& index) {
  const std::uint32_t old = Little({generator, 4}, 2, 2);
  if (Little({generator, 4}, 0, 2) == type && old < index.size() && index[old] >= 0) {
    PutLittle16(generator + 2, static_cast<std::uint32_t>(index[old]));
  }
}

/// Appends a table's chunk: its name, size and records.
void AppendChunk(std::vector<std::uint8_t>& out, const char* name,
                 const std::vector<std::uint8_t>& records) {
  out.insert(out.end(), name, name + 4);
  const auto size = static_cast<std::uint32_t>(records.size());
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(size >> shift));
  out.insert(out.end(), records.begin(), records.end());
}

void Append(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> record) {
  out.insert(out.end(), record.begin(), record.end());
}

/// Copies header |header| of |headers| and the zones (bags) of it that
/// |keep| keeps, with their generators and modulators, into the new tables,
/// the header renumbered to its new first zone; |generator| may rewrite each
/// copied generator.
template <typename KeepZone, typename RewriteGenerator>
void CopyZones(const Table& headers, std::size_t header, std::size_t bag_offset, const Table& bags,
               const Table& generators, const Table& modulators,
               std::vector<std::uint8_t>& new_headers, std::vector<std::uint8_t>& new_bags,
               std::vector<std::uint8_t>& new_generators, std::vector<std::uint8_t>& new_modulators,
               KeepZone keep, RewriteGenerator generator) {
  const std::size_t at = new_headers.size();
  Append(new_headers, headers.at(header));
  PutLittle16(new_headers.data() + at + bag_offset,
              static_cast<std::uint32_t>(new_bags.size() / bags.record));
  const std::size_t first = headers.field16(header, bag_offset);
  for (std::size_t bag = first; bag < headers.field16(header + 1, bag_offset); ++bag) {
    if (!keep(bag, bag == first)) continue;
    std::uint8_t record[4];
    PutLittle16(record, static_cast<std::uint32_t>(new_generators.size() / generators.record));
    PutLittle16(record + 2, static_cast<std::uint32_t>(new_modulators.size() / modulators.record));
    new_bags.insert(new_bags.end(), record, record + 4);
    for (std::size_t i = bags.field16(bag, 0); i < bags.field16(bag + 1, 0); ++i) {
      const std::size_t copied = new_generators.size();
      Append(new_generators, generators.at(i));
      generator(new_generators.data() + copied);
    }
    for (std::size_t i = bags.field16(bag, 2); i < bags.field16(bag + 1, 2); ++i) {
      Append(new_modulators, modulators.at(i));
    }
  }
}

/// Appends the terminal records of a header table and its zone tables.
void Terminate(const Table& headers, std::size_t bag_offset, const Table& bags,
               const Table& generators, const Table& modulators,
               std::vector<std::uint8_t>& new_headers, std::vector<std::uint8_t>& new_bags,
               std::vector<std::uint8_t>& new_generators,
               std::vector<std::uint8_t>& new_modulators) {
  const std::size_t at = new_headers.size();
  Append(new_headers, headers.at(headers.count() - 1));
  PutLittle16(new_headers.data() + at + bag_offset,
              static_cast<std::uint32_t>(new_bags.size() / bags.record));
  std::uint8_t record[4];
  PutLittle16(record, static_cast<std::uint32_t>(new_generators.size() / generators.record));
  PutLittle16(record + 2, static_cast<std::uint32_t>(new_modulators.size() / modulators.record));
  new_bags.insert(new_bags.end(), record, record + 4);
  Append(new_generators, generators.at(generators.count() - 1));
  Append(new_modulators, modulators.at(modulators.count() - 1));
}

}  // namespace

std::optional<SoundfontSubset> SubsetSoundfont(std::span<const std::uint8_t> soundfont,
                                               const MidiSounds& sounds) {
  // RIFF sfbk: its lists in order, the preset data last.
  if (soundfont.size() < 12 || std::memcmp(soundfont.data(), "RIFF", 4) != 0 ||
      std::memcmp(soundfont.data() + 8, "sfbk", 4) != 0) {
    return std::nullopt;
  }
  std::size_t at = 12;
  std::span<const std::uint8_t> list;
  while (soundfont.size() - at >= 12) {
    const std::uint32_t size = Little(soundfont, at + 4, 4);
    if (size < 4 || size > soundfont.size() - at - 8) return std::nullopt;
    if (std::memcmp(soundfont.data() + at, "LIST", 4) == 0 &&
        std::memcmp(soundfont.data() + at + 8, "pdta", 4) == 0) {
      list = soundfont.subspan(at + 12, size - 4);
      break;
    }
    // A chunk of odd size is followed by a pad byte, which some SoundFont 3
    // files leave out: their next list starts right after it.
    at += 8 + size;
    if ((size & 1) &&
        !(soundfont.size() - at >= 4 && std::memcmp(soundfont.data() + at, "LIST", 4) == 0)) {
      ++at;
    }
  }
  PresetData data;
  if (list.empty() || !data.Read(list)) return std::nullopt;

  // The presets kept, the zones of theirs that a note reaches, and the
  // instruments those name.
  const auto preset_zone = [&](std::size_t bag, bool first) {
    return Reaches(data.pbag, data.pgen, bag, first, kInstrumentGenerator, sounds);
  };
  const auto instrument_zone = [&](std::size_t bag, bool first) {
    return Reaches(data.ibag, data.igen, bag, first, kSampleGenerator, sounds);
  };
  std::vector<bool> kept_presets(data.phdr.count() - 1);
  std::vector<std::int32_t> instrument_index(data.inst.count() - 1, -1);
  for (std::size_t p = 0; p + 1 < data.phdr.count(); ++p) {
    const std::uint32_t program = data.phdr.field16(p, 20);
    const std::uint32_t bank = data.phdr.field16(p, 22);
    kept_presets[p] =
        bank == kPercussionBank ? sounds.percussion : program < 128 && sounds.programs[program];
    if (!kept_presets[p]) continue;
    const std::size_t first = data.phdr.field16(p, 24);
    for (std::size_t bag = first; bag < data.phdr.field16(p + 1, 24); ++bag) {
      if (!preset_zone(bag, bag == first)) continue;
      for (std::size_t g = data.pbag.field16(bag, 0); g < data.pbag.field16(bag + 1, 0); ++g) {
        const std::uint32_t instrument = data.pgen.field16(g, 2);
        if (data.pgen.field16(g, 0) == kInstrumentGenerator && instrument + 1 < data.inst.count()) {
          instrument_index[instrument] = 0;
        }
      }
    }
  }
  Renumber(instrument_index);

  // The samples the kept instruments name, with their stereo partners.
  std::vector<std::int32_t> sample_index(data.shdr.count() - 1, -1);
  for (std::size_t i = 0; i < instrument_index.size(); ++i) {
    if (instrument_index[i] < 0) continue;
    const std::size_t first = data.inst.field16(i, 20);
    for (std::size_t bag = first; bag < data.inst.field16(i + 1, 20); ++bag) {
      if (!instrument_zone(bag, bag == first)) continue;
      for (std::size_t g = data.ibag.field16(bag, 0); g < data.ibag.field16(bag + 1, 0); ++g) {
        const std::uint32_t sample = data.igen.field16(g, 2);
        if (data.igen.field16(g, 0) == kSampleGenerator && sample < sample_index.size()) {
          sample_index[sample] = 0;
        }
      }
    }
  }
  for (std::size_t i = 0; i < sample_index.size(); ++i) {
    const std::uint32_t partner = data.shdr.field16(i, kSampleLink);
    if (sample_index[i] == 0 && (data.shdr.field16(i, kSampleType) & kLinkedTypes) &&
        partner < sample_index.size()) {
      sample_index[partner] = 0;
    }
  }
  Renumber(sample_index);

  std::vector<std::uint8_t> phdr, pbag, pmod, pgen, inst, ibag, imod, igen;
  for (std::size_t p = 0; p < kept_presets.size(); ++p) {
    if (!kept_presets[p]) continue;
    CopyZones(data.phdr, p, 24, data.pbag, data.pgen, data.pmod, phdr, pbag, pgen, pmod,
              preset_zone, [&](std::uint8_t* generator) {
                RenumberIndex(generator, kInstrumentGenerator, instrument_index);
              });
  }
  Terminate(data.phdr, 24, data.pbag, data.pgen, data.pmod, phdr, pbag, pgen, pmod);
  for (std::size_t i = 0; i < instrument_index.size(); ++i) {
    if (instrument_index[i] < 0) continue;
    CopyZones(
        data.inst, i, 20, data.ibag, data.igen, data.imod, inst, ibag, igen, imod, instrument_zone,
        [&](std::uint8_t* generator) { RenumberIndex(generator, kSampleGenerator, sample_index); });
  }
  Terminate(data.inst, 20, data.ibag, data.igen, data.imod, inst, ibag, igen, imod);
  std::vector<std::uint8_t> shdr;
  for (std::size_t i = 0; i < sample_index.size(); ++i) {
    if (sample_index[i] < 0) continue;
    const std::size_t at_record = shdr.size();
    Append(shdr, data.shdr.at(i));
    const std::uint32_t partner = data.shdr.field16(i, kSampleLink);
    if (partner < sample_index.size() && sample_index[partner] >= 0) {
      PutLittle16(shdr.data() + at_record + kSampleLink,
                  static_cast<std::uint32_t>(sample_index[partner]));
    }
  }
  Append(shdr, data.shdr.at(data.shdr.count() - 1));

  SoundfontSubset subset;
  subset.kept = at;
  auto& out = subset.presets;
  const char* header = "LIST\0\0\0\0pdta";
  out.insert(out.end(), header, header + 12);
  AppendChunk(out, "phdr", phdr);
  AppendChunk(out, "pbag", pbag);
  AppendChunk(out, "pmod", pmod);
  AppendChunk(out, "pgen", pgen);
  AppendChunk(out, "inst", inst);
  AppendChunk(out, "ibag", ibag);
  AppendChunk(out, "imod", imod);
  AppendChunk(out, "igen", igen);
  AppendChunk(out, "shdr", shdr);
  const auto list_size = static_cast<std::uint32_t>(out.size() - 8);
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<std::uint8_t>(list_size >> (8 * i));
  subset.riff_size = static_cast<std::uint32_t>(at - 8 + out.size());
  return subset;
}

}  // namespace quorwind::mci
