// Loads `dmidecode --dump-bin` files into a simulated machine's physical memory, reading them as
// dmidecode reads them: the entry point at offset 0 (2.x `_SM_`, 3.x `_SM3_` or the legacy `_DMI_`),
// the structure table at the file offset that the entry point gives. The zim-sim dry run, the
// stand-in driver's machine writer, the tarnsys command and libtarnsys.so all load through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/machine.h"

namespace sim {

// None: a table captured without its entry point (see captures.h).
enum class EntryPointKind { Smbios2, Smbios3, Legacy, None };

// Where the loader puts a dump, and whether a dump without a 2.x entry point gets one.
struct DumpPlacement {
  std::uint32_t entryAt = kDefaultEntryPoint;  // a paragraph in 0xF0000-0xFFFF0
  std::uint32_t tableAddress = kDefaultTableAddress;
  // A 3.x or legacy dump also gets a 2.x entry point over the same table, as on a machine that
  // publishes both. False: it gets only its own entry point, as published.
  bool assume2x = true;
};

// What a dump publishes and holds, and what the loader made of it.
struct DumpInfo {
  EntryPointKind kind = EntryPointKind::Smbios2;
  std::string version;                          // "2.7", "3.3.0"; the legacy form's from its BCD revision
  std::optional<std::uint16_t> publishedCount;  // the structure count of a 2.x or legacy entry point
  std::uint16_t foundCount = 0;                 // the structures that the table holds
  std::uint32_t tableOffset = 0;                // where the table starts in the file
  std::uint32_t tableLength = 0;                // bytes of the table loaded
  std::uint32_t entryAt = 0;                    // where the entry point went
  std::uint32_t tableAddress = 0;               // where the table went
  bool assumed2x = false;     // a 2.x entry point was written that the file does not publish
  bool has2x = false;         // memory holds a 2.x entry point for the table
  bool tooLongFor2x = false;  // a 3.x table longer than a 2.x entry point can describe: none assumed

  bool CountDiffers() const { return publishedCount && *publishedCount != foundCount; }
};

const char* EntryPointName(EntryPointKind kind);  // "2.x", "3.x", "legacy", "none"

// The entry point whose anchor begins `bytes` (_SM_, _SM3_ or _DMI_); None when none does.
EntryPointKind AnchorKind(const std::uint8_t* bytes, std::size_t size);
// Where an entry point of `kind` keeps its table's length and address: offset and width in bytes. A
// 2.x or legacy length is exact, a 3.x one only a maximum.
struct EntryFields {
  std::size_t lengthAt = 0, lengthWidth = 0, addressAt = 0, addressWidth = 0;
};
EntryFields FieldsOf(EntryPointKind kind);
// The little-endian number of `width` bytes (at most 8) at `at`.
std::uint64_t LeField(const std::uint8_t* bytes, std::size_t at, std::size_t width);

// One structure as a careful walk finds it: where it starts in the table, its header, and its whole
// size (formatted area, strings and the closing double zero).
struct StructureSpan {
  std::size_t offset = 0;
  std::uint8_t type = 0;
  std::uint8_t length = 0;
  std::size_t size = 0;
};

// Walks a table the way a careful reader does: stops at a header shorter than 4 bytes, at a string
// area with no terminator, at the end of the data, after 0xFFFF structures, and (with stopAtEnd, for
// a 3.x table) after the end-of-table structure. Calls visit for each structure passed.
void WalkStructures(const std::uint8_t* table, std::size_t size, bool stopAtEnd,
                    const std::function<void(const StructureSpan&)>& visit);

// Loads the dump: the table to `placement.tableAddress`, an entry point with both checksums valid to
// `placement.entryAt`. A 2.x dump keeps its entry point as published (length, version, maximum
// structure size, structure count), only pointed at the table's new address; a 3.x or legacy dump
// gets a 2.x entry point over the same table unless `assume2x` is false or the table is longer than
// one can describe (such a table, without a 2.x entry point, goes past the first megabyte where it
// does not fit below the entry point). A 3.x table is read up to its maximum length, the end of the
// file or kLargestTable, whichever comes first. Nothing is read past the end of the file, and
// nothing is written to memory unless the whole dump loads. Gives an empty text on success, else
// what is wrong with the data in one line.
std::string LoadDump(Machine& machine, const std::vector<std::uint8_t>& file,
                     const DumpPlacement& placement = {}, DumpInfo* info = nullptr);
std::string LoadDumpBin(Machine& machine, const std::vector<std::uint8_t>& file,
                        std::uint32_t entryAt = kDefaultEntryPoint,
                        std::uint32_t tableAddress = kDefaultTableAddress);
class InputFile;
// Reads a dump file as LoadDump takes it: its entry point first, then only up to the end of the table
// it declares, never what follows (a table is at most kLargestTable, and lies within the first
// kLargestImage bytes of a file). Empty on success, else what is wrong, in LoadDump's words.
std::string ReadDumpFile(InputFile& file, std::vector<std::uint8_t>& out);

}  // namespace sim
