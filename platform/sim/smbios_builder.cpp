#include "platform/sim/smbios_builder.h"

#include <algorithm>

#include "platform/sim/dump_loader.h"
#include "platform/sim/machine.h"

namespace sim {

SmbiosBuilder& SmbiosBuilder::Add(std::uint8_t type, std::uint16_t handle, std::vector<std::uint8_t> body,
                                  std::vector<std::string> strings) {
  bytes_.push_back(type);
  bytes_.push_back(static_cast<std::uint8_t>(4 + body.size()));
  bytes_.push_back(static_cast<std::uint8_t>(handle));
  bytes_.push_back(static_cast<std::uint8_t>(handle >> 8));
  bytes_.insert(bytes_.end(), body.begin(), body.end());
  for (const std::string& s : strings) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    bytes_.push_back(0);
  }
  if (strings.empty()) bytes_.push_back(0);
  bytes_.push_back(0);
  ++count_;
  return *this;
}

SmbiosBuilder& SmbiosBuilder::Raw(std::vector<std::uint8_t> bytes, bool countsAsStructure) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  if (countsAsStructure) ++count_;
  return *this;
}

SmbiosBuilder& SmbiosBuilder::TokenTable(std::uint16_t handle, std::uint16_t indexPort,
                                         std::uint16_t dataPort, std::uint8_t checksumType,
                                         std::uint8_t rangeStart, std::uint8_t rangeEnd,
                                         std::uint8_t checksumLocation,
                                         const std::vector<TokenRecord>& tokens) {
  std::vector<std::uint8_t> body = {static_cast<std::uint8_t>(indexPort),
                                    static_cast<std::uint8_t>(indexPort >> 8),
                                    static_cast<std::uint8_t>(dataPort),
                                    static_cast<std::uint8_t>(dataPort >> 8),
                                    checksumType,
                                    rangeStart,
                                    rangeEnd,
                                    checksumLocation};
  for (const TokenRecord& t : tokens) {
    body.push_back(static_cast<std::uint8_t>(t.id));
    body.push_back(static_cast<std::uint8_t>(t.id >> 8));
    body.push_back(t.location);
    body.push_back(t.andMask);
    body.push_back(t.orValue);
  }
  return Add(212, handle, std::move(body));
}

SmbiosBuilder& SmbiosBuilder::EndOfTable(std::uint16_t handle) { return Add(127, handle, {}); }

void SmbiosBuilder::Install(Machine& machine, std::uint32_t tableAddress, std::uint32_t entryAt) const {
  machine.memory.Write(tableAddress, bytes_);
  const auto ep = MakeEntryPoint(tableAddress, static_cast<std::uint16_t>(bytes_.size()), count_);
  machine.memory.Write(entryAt, ep.data(), ep.size());
}

std::vector<std::uint8_t> SmbiosBuilder::DumpBin() const { return DumpBin(EntryPointKind::Smbios2, 0x20); }

std::vector<std::uint8_t> SmbiosBuilder::DumpBin(EntryPointKind kind, std::uint32_t tableOffset,
                                                 std::optional<std::uint16_t> count) const {
  const auto length = static_cast<std::uint16_t>(bytes_.size());
  const auto ep = MakeEntryPoint(tableOffset, length, count.value_or(count_));
  std::vector<std::uint8_t> file;
  if (kind == EntryPointKind::Smbios2) {
    file.assign(ep.begin(), ep.end());
  } else if (kind == EntryPointKind::Legacy) {
    file.assign(ep.begin() + 16, ep.end());  // the intermediate entry point is the legacy one
  } else {
    file = {'_', 'S', 'M', '3', '_', 0, 0x18, 3, 2, 0, 1, 0};
    for (int i = 0; i < 4; ++i) file.push_back(static_cast<std::uint8_t>(bytes_.size() >> (8 * i)));
    for (int i = 0; i < 8; ++i) file.push_back(i < 4 ? static_cast<std::uint8_t>(tableOffset >> (8 * i)) : 0);
    std::uint8_t sum = 0;
    for (std::uint8_t b : file) sum = static_cast<std::uint8_t>(sum + b);
    file[5] = static_cast<std::uint8_t>(0x100 - sum);
  }
  file.resize(std::max<std::size_t>(file.size(), tableOffset), 0);
  file.insert(file.end(), bytes_.begin(), bytes_.end());
  return file;
}

std::vector<std::uint8_t> WindowsRawTable(const std::vector<std::uint8_t>& table, std::uint8_t major,
                                          std::uint8_t minor) {
  std::vector<std::uint8_t> raw = {0, major, minor, 0};
  for (int i = 0; i < 4; ++i) raw.push_back(static_cast<std::uint8_t>(table.size() >> (8 * i)));
  raw.insert(raw.end(), table.begin(), table.end());
  return raw;
}

}  // namespace sim
