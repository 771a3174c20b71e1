#include "platform/sim/machine.h"

#include "platform/sim/input_file.h"

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
  Hold(address, 1);
  auto [page, added] = pages_.try_emplace(address >> kPageBits);
  if (added) page->second.fill(0);
  page->second[address & ((1u << kPageBits) - 1)] = value;
}

void PhysicalMemory::Write(std::uint32_t address, const std::uint8_t* data, std::size_t size) {
  Hold(address, size);
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

void PhysicalMemory::Hold(std::uint64_t from, std::uint64_t size) {
  if (size == 0) return;
  std::uint64_t to = from + size;
  if (to > 0x100000000ULL) {  // a write that wraps holds the start of memory too
    Hold(0, to - 0x100000000ULL);
    to = 0x100000000ULL;
  }
  // Merged with every range it touches or adjoins.
  auto it = held_.upper_bound(from);
  if (it != held_.begin() && std::prev(it)->second >= from) --it;
  while (it != held_.end() && it->first <= to) {
    from = std::min(from, it->first);
    to = std::max(to, it->second);
    it = held_.erase(it);
  }
  held_.emplace(from, to);
}

std::optional<std::uint32_t> PhysicalMemory::FirstUnheld(std::uint32_t address, std::size_t size) const {
  std::uint64_t at = address;
  const std::uint64_t end = at + size;
  while (at < end) {
    auto it = held_.upper_bound(at);
    if (it == held_.begin() || std::prev(it)->second <= at) return static_cast<std::uint32_t>(at);
    at = std::prev(it)->second;
  }
  return std::nullopt;
}

std::vector<std::uint8_t> PhysicalMemory::Read(std::uint32_t address, std::size_t size) const {
  std::vector<std::uint8_t> out(size);
  Read(address, out.data(), size);
  return out;
}

std::vector<PhysicalMemory::Extent> PhysicalMemory::Extents() const {
  std::vector<std::uint32_t> pages;
  pages.reserve(pages_.size());
  for (const auto& [page, bytes] : pages_) pages.push_back(page);
  std::sort(pages.begin(), pages.end());
  constexpr std::uint64_t kPage = 1u << kPageBits;
  std::vector<Extent> out;
  for (std::uint32_t page : pages) {
    const std::uint64_t address = std::uint64_t{page} << kPageBits;
    if (!out.empty() && out.back().address + out.back().length == address)
      out.back().length += kPage;
    else
      out.push_back({static_cast<std::uint32_t>(address), kPage});
  }
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

void Machine::AttachDeviceHandle(win32::HANDLE handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  ++varn.opens;
  handles_[value] = {HandleKind::Device, varn.opens, {}};
  nextHandle_ = std::max(nextHandle_, value + 4);
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
thread_local Machine* t_current = nullptr;
}  // namespace

Machine& Current() {
  Machine* machine = t_current != nullptr ? t_current : g_current;
  if (machine == nullptr) {
    std::fputs("sim: a platform call was made with no simulated machine installed\n", stderr);
    std::abort();
  }
  return *machine;
}

bool HasCurrent() { return t_current != nullptr || g_current != nullptr; }

Install::Install(Machine& machine) : previous_(g_current) { g_current = &machine; }
Install::~Install() { g_current = previous_; }

InstallOnThisThread::InstallOnThisThread(Machine& machine) : previous_(t_current) { t_current = &machine; }
InstallOnThisThread::~InstallOnThisThread() { t_current = previous_; }

// ---- entry points and files

namespace {

std::uint8_t ChecksumByte(const std::uint8_t* data, std::size_t size) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < size; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
  return static_cast<std::uint8_t>(0x100 - sum);
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

bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& out) {
  return ReadInputFile(path, kLargestImage, "a file", out).empty();
}

}  // namespace sim
