#include "platform/sim/machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

// ---- physical memory

std::uint8_t PhysicalMemory::Read(std::uint32_t address) const {
  auto page = pages_.find(address >> kPageBits);
  if (page == pages_.end()) return 0;
  return page->second[address & ((1u << kPageBits) - 1)];
}

void PhysicalMemory::Write(std::uint32_t address, std::uint8_t value) {
  auto [page, added] = pages_.try_emplace(address >> kPageBits);
  if (added) page->second.fill(0);
  page->second[address & ((1u << kPageBits) - 1)] = value;
}

void PhysicalMemory::Write(std::uint32_t address, const std::uint8_t* data, std::size_t size) {
  constexpr std::uint32_t kPage = 1u << kPageBits;
  while (size > 0) {
    auto [page, added] = pages_.try_emplace(address >> kPageBits);
    if (added) page->second.fill(0);
    const std::uint32_t at = address & (kPage - 1);
    const std::size_t n = std::min<std::size_t>(size, kPage - at);
    std::memcpy(page->second.data() + at, data, n);
    data += n;
    size -= n;
    address = static_cast<std::uint32_t>(address + n);  // wraps at 2^32
  }
}

std::vector<std::uint8_t> PhysicalMemory::Read(std::uint32_t address, std::size_t size) const {
  std::vector<std::uint8_t> out(size);
  Read(address, out.data(), size);
  return out;
}

void PhysicalMemory::Read(std::uint32_t address, std::uint8_t* out, std::size_t size) const {
  constexpr std::uint32_t kPage = 1u << kPageBits;
  while (size > 0) {
    const std::uint32_t at = address & (kPage - 1);
    const std::size_t n = std::min<std::size_t>(size, kPage - at);
    auto page = pages_.find(address >> kPageBits);
    if (page == pages_.end()) {
      std::memset(out, 0, n);
    } else {
      std::memcpy(out, page->second.data() + at, n);
    }
    out += n;
    size -= n;
    address = static_cast<std::uint32_t>(address + n);  // wraps at 2^32
  }
}

// ---- machine

Machine::Machine() = default;

Machine::~Machine() {
  for (auto& [block, size] : heapBlocks) std::free(block);
}

CmosBank& Machine::AddCmosBank(std::uint16_t indexPort, std::uint16_t dataPort) {
  CmosBank& bank = cmos[indexPort];
  bank.dataPort = dataPort;
  return bank;
}

bool Machine::Inject(std::string_view op) {
  if (lastOp_ == nullptr || lastOp_->first != op) {
    auto count = opCounts_.find(op);
    if (count == opCounts_.end()) count = opCounts_.emplace(std::string(op), 0).first;
    lastOp_ = &*count;
  }
  const std::uint64_t nthOfOp = ++lastOp_->second;
  const std::uint64_t position = ++totalCalls_;
  for (const Fault& f : faults) {
    const std::uint64_t n = f.op.empty() ? position : (f.op == op ? nthOfOp : 0);
    if (n == 0) continue;
    if (n == f.nth || (f.persistent && n > f.nth)) return true;
  }
  return false;
}

void Machine::Log(std::string op, std::string args, std::string result, bool injected) {
  if (!logCalls) return;
  calls.push_back({std::move(op), std::move(args), std::move(result), injected});
}

std::size_t Machine::CountCalls(const std::string& op) const {
  std::size_t n = 0;
  for (const CallRecord& c : calls) n += c.op == op ? 1 : 0;
  return n;
}

win32::HANDLE Machine::NewHandle(HandleKind kind, int id, std::function<void()> onClose) {
  const std::uintptr_t value = nextHandle_;
  nextHandle_ += 4;
  handles_[value] = {kind, id, std::move(onClose)};
  return reinterpret_cast<win32::HANDLE>(value);
}

const Machine::HandleEntry* Machine::LookupHandle(win32::HANDLE handle) const {
  auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == handles_.end() ? nullptr : &it->second;
}

bool Machine::ReleaseHandle(win32::HANDLE handle) {
  auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == handles_.end()) return false;
  auto onClose = std::move(it->second.onClose);
  handles_.erase(it);
  if (onClose) onClose();
  return true;
}

std::size_t Machine::OpenHandleCount(HandleKind kind) const {
  std::size_t n = 0;
  for (const auto& [value, entry] : handles_) n += entry.kind == kind ? 1 : 0;
  return n;
}

// ---- the current machine

namespace {
Machine* g_current = nullptr;
}

Machine& Current() {
  if (g_current == nullptr) {
    std::fputs("sim: a platform call was made with no simulated machine installed\n", stderr);
    std::abort();
  }
  return *g_current;
}

bool HasCurrent() { return g_current != nullptr; }

Install::Install(Machine& machine) : previous_(g_current) { g_current = &machine; }
Install::~Install() { g_current = previous_; }

// ---- loading tables

namespace {

std::uint16_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::uint8_t ChecksumByte(const std::uint8_t* data, std::size_t size) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < size; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
  return static_cast<std::uint8_t>(0x100 - sum);
}

// Counts structures the way a careful reader walks a table: stops at a header shorter than 4 bytes,
// at a string area with no terminator, at the end-of-table structure, or at the end of the data.
std::uint16_t CountStructures(const std::vector<std::uint8_t>& table) {
  std::size_t p = 0;
  std::uint16_t count = 0;
  while (p + 4 <= table.size()) {
    const std::uint8_t type = table[p];
    const std::uint8_t length = table[p + 1];
    if (length < 4) break;
    std::size_t q = p + length;
    while (q + 1 < table.size() && (table[q] != 0 || table[q + 1] != 0)) ++q;
    if (q + 1 >= table.size()) break;
    ++count;
    if (type == 127) break;
    p = q + 2;
  }
  return count;
}

}  // namespace

std::array<std::uint8_t, 31> MakeEntryPoint(std::uint32_t address, std::uint16_t length, std::uint16_t count,
                                            std::uint8_t major, std::uint8_t minor,
                                            std::uint16_t maxStructure) {
  std::array<std::uint8_t, 31> ep{};
  std::memcpy(ep.data(), "_SM_", 4);
  ep[5] = 0x1F;
  ep[6] = major;
  ep[7] = minor;
  ep[8] = static_cast<std::uint8_t>(maxStructure);
  ep[9] = static_cast<std::uint8_t>(maxStructure >> 8);
  std::memcpy(ep.data() + 16, "_DMI_", 5);
  ep[22] = static_cast<std::uint8_t>(length);
  ep[23] = static_cast<std::uint8_t>(length >> 8);
  for (int i = 0; i < 4; ++i) ep[24 + i] = static_cast<std::uint8_t>(address >> (8 * i));
  ep[28] = static_cast<std::uint8_t>(count);
  ep[29] = static_cast<std::uint8_t>(count >> 8);
  ep[30] = static_cast<std::uint8_t>(((major & 0xF) << 4) | (minor & 0xF));
  ep[21] = ChecksumByte(ep.data() + 16, 15);
  ep[4] = ChecksumByte(ep.data(), 31);
  return ep;
}

std::string LoadDumpBin(Machine& machine, const std::vector<std::uint8_t>& file, std::uint32_t entryAt,
                        std::uint32_t tableAddress) {
  constexpr std::size_t kTableOffset = 0x20;
  if (entryAt < 0xF0000 || entryAt > 0xFFFF0 || (entryAt & 0xF) != 0)
    return "the entry point must go to a paragraph in 0xF0000-0xFFFF0";
  if (file.size() < 0x18) return "too short for an SMBIOS entry point";

  std::size_t declared = 0;
  std::uint8_t major = 0, minor = 0;
  std::uint16_t maxStructure = 0;
  if (std::memcmp(file.data(), "_SM_", 4) == 0) {
    if (file.size() < 0x1F) return "too short for its 2.x entry point";
    declared = Le16(file, 0x16);
    major = file[6];
    minor = file[7];
    maxStructure = Le16(file, 8);
    if (Le32(file, 0x18) != kTableOffset) return "its 2.x entry point does not put the table at offset 0x20";
  } else if (std::memcmp(file.data(), "_SM3_", 5) == 0) {
    declared = Le32(file, 0x0C);
    major = file[7];
    minor = file[8];
    if (Le32(file, 0x10) != kTableOffset || Le32(file, 0x14) != 0)
      return "its 3.x entry point does not put the table at offset 0x20";
  } else {
    return "no SMBIOS entry point (_SM_ or _SM3_) at offset 0";
  }
  if (file.size() <= kTableOffset) return "no structure table after the entry point";
  const std::size_t available = file.size() - kTableOffset;
  // A 3.x length is only a maximum; the data may end sooner. A 2.x length is exact.
  std::size_t length = declared;
  if (file[0] == '_' && file[3] == '3') length = std::min(declared, available);
  if (length == 0) return "its structure table is empty";
  if (length > available) return "its structure table runs past the end of the file";
  if (length > 0xFFFF) return "its structure table is longer than a 2.x entry point can describe";
  if (tableAddress + length > entryAt && tableAddress < entryAt + 0x20)
    return "the structure table would overlap the entry point";

  std::vector<std::uint8_t> table(file.begin() + kTableOffset, file.begin() + kTableOffset + length);
  machine.memory.Write(tableAddress, table);
  const auto ep = MakeEntryPoint(tableAddress, static_cast<std::uint16_t>(length), CountStructures(table),
                                 major, minor, maxStructure);
  machine.memory.Write(entryAt, ep.data(), ep.size());
  return {};
}

bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out.clear();
  std::uint8_t buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

}  // namespace sim
