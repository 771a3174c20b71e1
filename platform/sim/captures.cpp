#include "platform/sim/captures.h"

#include "platform/sim/input_file.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace sim {

namespace {

constexpr std::size_t kTableOffset = 0x20;  // where a dump file keeps its table
constexpr std::size_t kRawHeader = 8;
constexpr std::size_t kLargestRawTable = 0xFFFF;  // what a 2.x entry point can describe; longer is 3.x

// The table length a raw table's header gives.
std::size_t RawLength(const std::vector<std::uint8_t>& f) { return LeField(f.data(), 4, 4); }

// Whether the bytes begin with an entry point's anchor.
bool Anchored(const std::vector<std::uint8_t>& f) {
  return AnchorKind(f.data(), f.size()) != EntryPointKind::None;
}

// A raw table's header: the calling method a flag, a major version that SMBIOS has had, a length.
bool LooksRaw(const std::vector<std::uint8_t>& f) {
  return f.size() >= kRawHeader && f[0] <= 1 && (f[1] == 2 || f[1] == 3) && RawLength(f) != 0;
}

}  // namespace

const char* CaptureFormatName(CaptureFormat format) {
  switch (format) {
    case CaptureFormat::DumpBin:
      return "dump-bin";
    case CaptureFormat::KernelFolder:
      return "sysfs";
    case CaptureFormat::WindowsRaw:
      break;
  }
  return "windows-raw";
}

bool IsKernelTablesFolder(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  return fs::is_directory(path, ec) && fs::exists(fs::path(path) / "smbios_entry_point", ec) &&
         fs::exists(fs::path(path) / "DMI", ec);
}

std::string CaptureFromFile(std::vector<std::uint8_t> bytes, Capture& out) {
  if (Anchored(bytes)) {
    out.format = CaptureFormat::DumpBin;
    out.dump = std::move(bytes);
    return {};
  }
  if (!LooksRaw(bytes))
    return "not an SMBIOS capture: no entry point (_SM_, _SM3_ or _DMI_) at offset 0, and no Windows raw "
           "table header";
  const std::size_t length = RawLength(bytes);
  if (length > kLargestTable)
    return "a Windows raw table whose header gives " + std::to_string(length) +
           " bytes of table, more than " + std::to_string(kLargestTable);
  if (length > bytes.size() - kRawHeader)
    return "a Windows raw table whose header gives " + std::to_string(length) + " bytes of table, but " +
           std::to_string(bytes.size() - kRawHeader) + " follow it";
  // The 2.x entry point this table would have: its version, its length, the structures found.
  const std::uint8_t* table = bytes.data() + kRawHeader;
  std::uint16_t count = 0, largest = 0;
  WalkStructures(table, length, false, [&](const StructureSpan& s) {
    ++count;
    largest =
        static_cast<std::uint16_t>(std::min<std::size_t>(0xFFFF, std::max<std::size_t>(largest, s.size)));
  });
  out.format = CaptureFormat::WindowsRaw;
  if (length > kLargestRawTable) {
    // No 2.x entry point describes it: it is read as the 3.x dump it would be, as such dumps are.
    out.dump.assign(kTableOffset, 0);
    std::memcpy(out.dump.data(), "_SM3_", 5);
    out.dump[6] = 0x18;
    out.dump[7] = bytes[1];
    out.dump[8] = bytes[2];
    out.dump[0x0A] = 1;
    for (int i = 0; i < 4; ++i) out.dump[0x0C + i] = static_cast<std::uint8_t>(length >> (8 * i));
    out.dump[0x10] = kTableOffset;
  } else {
    const auto entry =
        MakeEntryPoint(kTableOffset, static_cast<std::uint16_t>(length), count, bytes[1], bytes[2], largest);
    out.dump.assign(entry.begin(), entry.end());
    out.dump.resize(kTableOffset, 0);
  }
  out.dump.insert(out.dump.end(), table, table + length);
  return {};
}

std::string CaptureFromKernelFiles(const std::vector<std::uint8_t>& entry,
                                   const std::vector<std::uint8_t>& table, Capture& out) {
  // The entry point, pointed at the table right after it.
  out.format = CaptureFormat::KernelFolder;
  out.dump.assign(entry.begin(),
                  entry.begin() + static_cast<std::ptrdiff_t>(std::min(entry.size(), kTableOffset)));
  out.dump.resize(kTableOffset, 0);
  std::uint8_t* e = out.dump.data();
  const EntryPointKind kind = AnchorKind(e, kTableOffset);
  if (kind != EntryPointKind::None) {
    const EntryFields fields = FieldsOf(kind);
    std::memset(e + fields.addressAt, 0, fields.addressWidth);
    e[fields.addressAt] = kTableOffset;
  }
  out.dump.insert(out.dump.end(), table.begin(), table.end());
  return {};
}

namespace {

// A reason without the file's name, which the caller gives.
std::string Unnamed(const std::string& path, std::string problem) {
  const std::string named = Displayed(path) + ": ";
  if (problem.rfind(named, 0) == 0) problem.erase(0, named.size());
  return problem;
}

// Reads one file of a capture within its kind's bound.
std::string ReadPart(const std::string& path, std::size_t limit, const char* what,
                     std::vector<std::uint8_t>& out) {
  return Unnamed(path, ReadInputFile(path, limit, what, out));
}

}  // namespace

std::string ReadKernelTables(const std::string& folder, Capture& out, std::string* culprit) {
  std::string unused;
  std::string& file = culprit != nullptr ? *culprit : unused;
  std::vector<std::uint8_t> entry, table;
  // An entry point is at most 32 bytes; a longer file is taken up to there.
  constexpr std::size_t kLargestEntryFile = 4096;
  file = folder + "/smbios_entry_point";
  std::string problem = ReadPart(file, kLargestEntryFile, "an entry point file", entry);
  if (!problem.empty()) return problem;
  file = folder + "/DMI";
  problem = ReadPart(file, kLargestTable, "a structure table", table);
  if (!problem.empty()) return problem;
  // A 2.x or legacy length is exact (a 3.x one only a maximum): a shorter table is the DMI file's fault.
  const EntryPointKind kind = AnchorKind(entry.data(), entry.size());
  const EntryFields fields = FieldsOf(kind);
  const bool exact = kind == EntryPointKind::Smbios2 || kind == EntryPointKind::Legacy;
  const std::size_t declared = exact && entry.size() >= fields.lengthAt + fields.lengthWidth
                                   ? LeField(entry.data(), fields.lengthAt, fields.lengthWidth)
                                   : 0;
  if (table.size() < declared)
    return "holds " + std::to_string(table.size()) + " bytes, but its entry point declares a table of " +
           std::to_string(declared);
  file = folder;
  return CaptureFromKernelFiles(entry, table, out);
}

std::string ReadCapture(const std::string& path, Capture& out, std::string* culprit) {
  namespace fs = std::filesystem;
  std::string unused;
  std::string& file = culprit != nullptr ? *culprit : unused;
  file = path;
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    if (!IsKernelTablesFolder(path)) return "a folder without smbios_entry_point and DMI";
    return ReadKernelTables(path, out, &file);
  }
  // Known by its first bytes. A dump is read up to the end of the table its entry point declares,
  // a raw table up to the length its header gives: what follows is no part of either. Anything
  // else is not read past its first bytes.
  InputFile f;
  std::vector<std::uint8_t> bytes;
  std::string problem = f.Open(path);
  if (problem.empty()) problem = f.ReadAt(0, kRawHeader, bytes);
  if (problem.empty() && Anchored(bytes)) problem = ReadDumpFile(f, bytes);
  if (problem.empty() && LooksRaw(bytes) && RawLength(bytes) <= kLargestTable)
    problem = f.ReadAt(0, kRawHeader + RawLength(bytes), bytes);
  if (!problem.empty()) return Unnamed(path, problem);
  return CaptureFromFile(std::move(bytes), out);
}

std::string LoadCapture(Machine& machine, const Capture& capture, const DumpPlacement& placement,
                        DumpInfo* infoOut) {
  DumpInfo info;
  const std::string problem = LoadDump(machine, capture.dump, placement, &info);
  if (!problem.empty()) return problem;
  if (capture.format == CaptureFormat::WindowsRaw) {
    info.kind = EntryPointKind::None;
    info.publishedCount.reset();
    // A table longer than a 2.x entry point can describe came as a 3.x dump: none is assumed.
    const bool assumed = placement.assume2x && !info.tooLongFor2x;
    info.assumed2x = assumed;
    info.has2x = assumed;
    machine.assumedEntryPoint = assumed;
    // Without the assumption the machine keeps the table alone, as no entry point is known.
    if (!assumed) machine.memory.Write(placement.entryAt, std::vector<std::uint8_t>(0x1F, 0));
  }
  if (infoOut != nullptr) *infoOut = std::move(info);
  return {};
}

std::string LoadCaptureFile(Machine& machine, const std::string& path, const DumpPlacement& placement,
                            DumpInfo* info) {
  Capture capture;
  std::string culprit;
  const std::string problem = ReadCapture(path, capture, &culprit);
  if (!problem.empty()) return Displayed(culprit) + ": " + problem;
  const std::string fault = LoadCapture(machine, capture, placement, info);
  if (fault.empty()) return fault;
  // A folder's fault is its entry point's, which describes the table.
  return Displayed(capture.format == CaptureFormat::KernelFolder ? path + "/smbios_entry_point" : path) +
         ": " + fault;
}

}  // namespace sim
