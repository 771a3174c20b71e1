#include "platform/sim/dump_loader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/sim/input_file.h"

namespace sim {

namespace {

std::uint16_t Le16(const std::uint8_t* b) { return static_cast<std::uint16_t>(b[0] | (b[1] << 8)); }
void Put32(std::uint8_t* b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Sets the byte at `at` so that the `size` bytes from `from` add up to 0 modulo 256.
void FixChecksum(std::uint8_t* bytes, std::size_t from, std::size_t size, std::size_t at) {
  bytes[at] = 0;
  std::uint8_t sum = 0;
  for (std::size_t i = from; i < from + size; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
  bytes[at] = static_cast<std::uint8_t>(0x100 - sum);
}

std::string Hex(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace

void WalkStructures(const std::uint8_t* table, std::size_t size, bool stopAtEnd,
                    const std::function<void(const StructureSpan&)>& visit) {
  std::size_t p = 0;
  for (unsigned count = 0; p + 4 <= size && count < 0xFFFF; ++count) {
    const std::uint8_t type = table[p];
    const std::uint8_t length = table[p + 1];
    if (length < 4) break;
    std::size_t q = p + length;
    while (q + 1 < size && (table[q] != 0 || table[q + 1] != 0)) ++q;
    if (q + 1 >= size) break;
    visit({p, type, length, q + 2 - p});
    if (type == 127 && stopAtEnd) break;
    p = q + 2;
  }
}

const char* EntryPointName(EntryPointKind kind) {
  switch (kind) {
    case EntryPointKind::Smbios2:
      return "2.x";
    case EntryPointKind::Smbios3:
      return "3.x";
    case EntryPointKind::Legacy:
      return "legacy";
    case EntryPointKind::None:
      break;
  }
  return "none";
}

EntryPointKind AnchorKind(const std::uint8_t* bytes, std::size_t size) {
  if (size >= 4 && std::memcmp(bytes, "_SM_", 4) == 0) return EntryPointKind::Smbios2;
  if (size >= 5 && std::memcmp(bytes, "_SM3_", 5) == 0) return EntryPointKind::Smbios3;
  if (size >= 5 && std::memcmp(bytes, "_DMI_", 5) == 0) return EntryPointKind::Legacy;
  return EntryPointKind::None;
}

EntryFields FieldsOf(EntryPointKind kind) {
  switch (kind) {
    case EntryPointKind::Smbios2:
      return {0x16, 2, 0x18, 4};
    case EntryPointKind::Smbios3:
      return {0x0C, 4, 0x10, 8};
    case EntryPointKind::Legacy:
      return {0x06, 2, 0x08, 4};
    case EntryPointKind::None:
      break;
  }
  return {};
}

std::uint64_t LeField(const std::uint8_t* bytes, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = width; i-- > 0;) v = (v << 8) | bytes[at + i];
  return v;
}

namespace {

// What the entry point at the start of a dump says, before its table is read.
struct EntryRead {
  DumpInfo info;
  std::uint64_t offset = 0;  // of the table in the file
  std::size_t length = 0;    // the table's bytes to read there
  std::vector<std::uint8_t> entry;
};

// Reads the entry point from `f`, the start of a file of `size` bytes; `f` holds at least the first
// 0x20 of them, or all of a shorter file.
std::string ReadEntryPoint(const std::uint8_t* f, std::uint64_t size, EntryRead& e) {
  DumpInfo& info = e.info;
  char version[32];
  const EntryPointKind kind = AnchorKind(f, static_cast<std::size_t>(std::min<std::uint64_t>(size, 5)));
  if (kind == EntryPointKind::Smbios2) {
    if (size < 0x1F) return "too short for its 2.x entry point (31 bytes)";
    if (f[5] > 0x20) return "its 2.x entry point length (" + Hex(f[5]) + ") is larger than 32 bytes";
    std::snprintf(version, sizeof version, "%u.%u", f[6], f[7]);
    info.publishedCount = Le16(f + 0x1C);
    const std::size_t kept = std::max<std::size_t>(0x1F, f[5]);
    if (size < kept) return "too short for its 2.x entry point (" + std::to_string(kept) + " bytes)";
    e.entry.assign(f, f + kept);
  } else if (kind == EntryPointKind::Smbios3) {
    if (size < 0x18) return "too short for its 3.x entry point (24 bytes)";
    std::snprintf(version, sizeof version, "%u.%u.%u", f[7], f[8], f[9]);
    e.entry.assign(f, f + 0x18);
  } else if (kind == EntryPointKind::Legacy) {
    if (size < 0x0F) return "too short for its legacy entry point (15 bytes)";
    // A BCD revision holds two decimal digits; one that does not is shown as it is.
    const unsigned bcd = f[0x0E];
    if ((bcd >> 4) <= 9 && (bcd & 0xF) <= 9)
      std::snprintf(version, sizeof version, "%u.%u", bcd >> 4, bcd & 0xF);
    else
      std::snprintf(version, sizeof version, "unknown (BCD revision 0x%02X)", bcd);
    info.publishedCount = Le16(f + 0x0C);
    e.entry.assign(f, f + 0x0F);
  } else {
    return size < 0x0F ? "too short for an SMBIOS entry point"
                       : "no SMBIOS entry point (_SM_, _SM3_ or _DMI_) at offset 0";
  }
  info.kind = kind;
  const EntryFields fields = FieldsOf(kind);
  const std::uint64_t declared = LeField(f, fields.lengthAt, fields.lengthWidth);  // as published
  e.offset = LeField(f, fields.addressAt, fields.addressWidth);
  info.version = version;

  // The table, where the entry point puts it. A 3.x length is only a maximum, and the data may end
  // sooner; any other length is exact.
  if (e.offset >= size)
    return "its " + std::string(EntryPointName(info.kind)) + " entry point puts the table at offset " +
           Hex(e.offset) + ", past the end of the file (" + std::to_string(size) + " bytes)";
  const std::uint64_t available = size - e.offset;
  std::uint64_t length = declared;
  if (info.kind == EntryPointKind::Smbios3)
    length = std::min<std::uint64_t>({declared, available, kLargestTable});
  if (length == 0) return "its structure table is empty";
  if (length > available)
    return "its structure table (" + std::to_string(length) + " bytes at offset " + Hex(e.offset) +
           ") runs past the end of the file (" + std::to_string(size) + " bytes)";
  e.length = static_cast<std::size_t>(length);
  return {};
}

// Where a table goes that is not described by a 2.x entry point and does not fit below the entry
// point: past the first megabyte, in RAM.
constexpr std::uint32_t kHighTableAddress = 0x200000;

// Places the table and an entry point in memory, as LoadDump describes.
std::string PlaceDump(Machine& machine, EntryRead& e, const std::uint8_t* table,
                      const DumpPlacement& placement, DumpInfo* infoOut) {
  const std::uint32_t entryAt = placement.entryAt;
  DumpInfo& info = e.info;
  const std::size_t length = e.length;
  const std::vector<std::uint8_t>& entry = e.entry;
  // The structures a careful reader passes, and the largest of them.
  struct {
    std::uint16_t count = 0;
    std::uint16_t largest = 0;
  } walk;
  WalkStructures(table, length, info.kind == EntryPointKind::Smbios3, [&walk](const StructureSpan& s) {
    ++walk.count;
    walk.largest = static_cast<std::uint16_t>(
        std::min<std::size_t>(0xFFFF, std::max<std::size_t>(walk.largest, s.size)));
  });
  info.foundCount = walk.count;
  info.tableOffset = static_cast<std::uint32_t>(e.offset);
  info.tableLength = static_cast<std::uint32_t>(length);
  info.entryAt = entryAt;
  std::uint32_t tableAddress = placement.tableAddress;

  // The entry point that memory gets.
  std::vector<std::uint8_t> ep;
  // A 2.x entry point describes at most 65535 bytes: a longer table gets none, as on a machine
  // that publishes such a table.
  info.tooLongFor2x = info.kind == EntryPointKind::Smbios3 && length > 0xFFFF;
  if (info.kind == EntryPointKind::Smbios2) {
    // As published, pointed at the table's new address; the checksums the file carries were made
    // for its own address.
    ep = entry;
    Put32(ep.data() + 0x18, tableAddress);
    FixChecksum(ep.data(), 0x10, 0x0F, 0x15);
    if (ep[5] > 4) FixChecksum(ep.data(), 0, ep[5], 4);
    info.has2x = true;
  } else if (placement.assume2x && !info.tooLongFor2x) {
    std::uint8_t major = 0, minor = 0;
    std::uint16_t count = walk.count;
    if (info.kind == EntryPointKind::Smbios3) {
      major = entry[7];
      minor = entry[8];
    } else {
      major = static_cast<std::uint8_t>(entry[0x0E] >> 4);
      minor = static_cast<std::uint8_t>(entry[0x0E] & 0xF);
      count = *info.publishedCount;
    }
    const auto made =
        MakeEntryPoint(tableAddress, static_cast<std::uint16_t>(length), count, major, minor, walk.largest);
    ep.assign(made.begin(), made.end());
    info.assumed2x = true;
    info.has2x = true;
  } else {
    // Only the dump's own entry point, which can point anywhere: where the table does not fit below
    // the entry point, it goes past the first megabyte.
    if (std::uint64_t{tableAddress} + length > entryAt) tableAddress = kHighTableAddress;
    ep = entry;
    if (info.kind == EntryPointKind::Smbios3) {
      Put32(ep.data() + 0x10, tableAddress);
      Put32(ep.data() + 0x14, 0);
      FixChecksum(ep.data(), 0, std::clamp<std::size_t>(ep[6], 6, ep.size()), 5);
    } else {
      Put32(ep.data() + 8, tableAddress);
      FixChecksum(ep.data(), 0, ep.size(), 5);
    }
  }
  info.tableAddress = tableAddress;
  const std::uint64_t tableEnd = std::uint64_t{tableAddress} + length;
  if (tableEnd > 0x100000000ULL) return "its structure table would run past the 4 GiB address space";
  if (tableEnd > entryAt && tableAddress < std::uint64_t{entryAt} + ep.size())
    return "the structure table would overlap the entry point";

  machine.memory.Write(tableAddress, table, length);
  machine.memory.Write(entryAt, ep);
  machine.assumedEntryPoint = info.assumed2x;
  if (infoOut != nullptr) *infoOut = std::move(info);
  return {};
}

std::string CheckPlacement(const DumpPlacement& placement) {
  const std::uint32_t entryAt = placement.entryAt;
  if (entryAt < 0xF0000 || entryAt > 0xFFFF0 || (entryAt & 0xF) != 0)
    return "the entry point must go to a paragraph in 0xF0000-0xFFFF0";
  return {};
}

}  // namespace

std::string LoadDump(Machine& machine, const std::vector<std::uint8_t>& file, const DumpPlacement& placement,
                     DumpInfo* infoOut) {
  std::string problem = CheckPlacement(placement);
  EntryRead e;
  if (problem.empty()) problem = ReadEntryPoint(file.data(), file.size(), e);
  if (!problem.empty()) return problem;
  return PlaceDump(machine, e, file.data() + e.offset, placement, infoOut);
}

std::string LoadDumpBin(Machine& machine, const std::vector<std::uint8_t>& file, std::uint32_t entryAt,
                        std::uint32_t tableAddress) {
  DumpPlacement placement;
  placement.entryAt = entryAt;
  placement.tableAddress = tableAddress;
  return LoadDump(machine, file, placement);
}

std::string ReadDumpFile(InputFile& file, std::vector<std::uint8_t>& out) {
  std::vector<std::uint8_t> head;
  std::string problem = file.ReadAt(0, 0x20, head);
  if (!problem.empty()) return problem;
  EntryRead e;
  const std::uint64_t size = head.size() < 0x20 ? head.size() : std::max<std::uint64_t>(file.Size(), 0x20);
  problem = ReadEntryPoint(head.data(), size, e);
  if (!problem.empty()) return problem;
  // The entry point is read again from what is kept, so the kept bytes hold it too.
  const std::uint64_t end = std::max<std::uint64_t>(e.offset + e.length, head.size());
  if (end > kLargestImage)
    return "its structure table (" + std::to_string(e.length) + " bytes at offset " + Hex(e.offset) +
           ") ends past the first " + std::to_string(kLargestImage) + " bytes, more than a dump file holds";
  problem = file.ReadAt(0, static_cast<std::size_t>(end), out);
  if (problem.empty() && out.size() < end)
    problem = "its structure table (" + std::to_string(e.length) + " bytes at offset " + Hex(e.offset) +
              ") runs past the end of the file (" + std::to_string(out.size()) + " bytes)";
  return problem;
}

}  // namespace sim
