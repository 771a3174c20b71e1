// Builds SMBIOS structure tables for simulated machines: structures with their formatted areas and
// strings, token tables (type 212), and an entry point that describes the result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Machine;
enum class EntryPointKind;

struct TokenRecord {
  std::uint16_t id;
  std::uint8_t location;
  std::uint8_t andMask;
  std::uint8_t orValue;
};

class SmbiosBuilder {
 public:
  // A structure of `type` whose formatted area is the 4-byte header followed by `body`.
  SmbiosBuilder& Add(std::uint8_t type, std::uint16_t handle, std::vector<std::uint8_t> body,
                     std::vector<std::string> strings = {});
  // Raw bytes appended as they are (for damaged tables).
  SmbiosBuilder& Raw(std::vector<std::uint8_t> bytes, bool countsAsStructure = true);
  SmbiosBuilder& TokenTable(std::uint16_t handle, std::uint16_t indexPort, std::uint16_t dataPort,
                            std::uint8_t checksumType, std::uint8_t rangeStart, std::uint8_t rangeEnd,
                            std::uint8_t checksumLocation, const std::vector<TokenRecord>& tokens);
  SmbiosBuilder& EndOfTable(std::uint16_t handle);

  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
  std::uint16_t Count() const { return count_; }

  // Writes the table at `tableAddress` and a valid 2.x entry point at `entryAt`.
  void Install(Machine& machine, std::uint32_t tableAddress = 0xE0000, std::uint32_t entryAt = 0xF0000) const;
  // The table as a `dmidecode --dump-bin` file with a 2.x entry point.
  std::vector<std::uint8_t> DumpBin() const;
  // The same with an entry point of `kind`, the table at file offset `tableOffset` (zero bytes
  // between) and, for a 2.x or legacy entry point, `count` as its published structure count.
  std::vector<std::uint8_t> DumpBin(EntryPointKind kind, std::uint32_t tableOffset,
                                    std::optional<std::uint16_t> count = std::nullopt) const;

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint16_t count_ = 0;
};

// A table as Windows gives it (GetSystemFirmwareTable 'RSMB'): an 8-byte header, SMBIOS version and
// the table's length, before the table; no entry point.
std::vector<std::uint8_t> WindowsRawTable(const std::vector<std::uint8_t>& table, std::uint8_t major = 3,
                                          std::uint8_t minor = 2);

}  // namespace sim
