// ZIM's costly steps on the simulated machine, each beside its bound:
// - the nibble exchange of a 64 MiB buffer beside memcpy of the same buffer;
// - a whole StageImage of a 16 MiB image beside a bare loop of the same 512-byte reads;
// - SetCmosToken(92), its control count checked against the count the design implies, and its time
//   per control beside a bare loop of as many physical-memory reads through the seam.
// Calls are neither logged nor recorded while anything is timed, in the measured step and its bound.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "platform/sim/demo_machine.h"
#include "platform/sim/machine.h"
#include "platform/win32.h"
#include "zim/app/bios_upgrade.h"
#include "zim/app/image_staging.h"
#include "zim/driver/device_slot.h"
#include "zim/driver/varn_ioctl.h"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kExchangeSize = 64 * kMiB;
constexpr std::size_t kImageSize = 16 * kMiB;
constexpr win32::DWORD kSector = 512;
constexpr char kFolder[] = "C:\\TARN\\BIOS";
constexpr char kImage[] = "A07.HDR";

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + (i >> 9));
  return out;
}

void Quiet(sim::Machine& machine) {
  machine.logCalls = false;
  machine.varn.recordIoctls = false;
  machine.varn.keepStagedImages = false;
  machine.files.recordReads = false;
}

// ---- the nibble exchange

void NibbleExchange(benchmark::State& state) {
  std::vector<std::uint8_t> buffer = Pattern(kExchangeSize);
  for (auto _ : state) {
    ExchangeNibbles(buffer.data(), buffer.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kExchangeSize));
}
BENCHMARK(NibbleExchange)->Unit(benchmark::kMillisecond);

void MemcpyBound(benchmark::State& state) {
  std::vector<std::uint8_t> buffer = Pattern(kExchangeSize);
  std::vector<std::uint8_t> copy(kExchangeSize, 1);
  for (auto _ : state) {
    std::memcpy(copy.data(), buffer.data(), kExchangeSize);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kExchangeSize));
}
BENCHMARK(MemcpyBound)->Unit(benchmark::kMillisecond);

// ---- image staging

// A machine with the image beside the program, in its current directory.
class StagingMachine {
 public:
  StagingMachine() {
    Quiet(machine);
    machine.files.AddFile(std::string(kFolder) + "\\" + kImage, Pattern(kImageSize));
    machine.files.SetCurrentDirectory(kFolder);
    CloseDeviceSlots();
  }
  ~StagingMachine() { CloseDeviceSlots(); }
  StagingMachine(const StagingMachine&) = delete;
  StagingMachine& operator=(const StagingMachine&) = delete;

  // Drops what the file system and the device keep of earlier runs, outside the timing.
  void Forget(benchmark::State& state) {
    state.PauseTiming();
    machine.files.reads.clear();
    machine.varn.staged.clear();
    state.ResumeTiming();
  }

  sim::Machine machine;
  sim::Install installed{machine};
};

// Whether the image's 16 MiB come from memory the process already touched (the allocator keeps what
// an earlier run freed) or from fresh pages, as a program that stages once gets them. Which one the
// C library's allocator picks on its own depends on what ran before, so it is fixed here.
void ImageMemory(bool fresh) {
  mallopt(M_MMAP_THRESHOLD, fresh ? 1 << 20 : 32 << 20);
  mallopt(M_TRIM_THRESHOLD, fresh ? 1 << 20 : 256 << 20);
}

void StageImageWhole(benchmark::State& state, bool freshMemory) {
  ImageMemory(freshMemory);
  StagingMachine m;
  CBiosUpgrade upgrade;
  for (auto _ : state) {
    const std::int32_t result = upgrade.StageImage(kImage);
    benchmark::DoNotOptimize(result);
    if (result == -1) state.SkipWithError("staging failed");
    m.Forget(state);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageSize));
}
BENCHMARK_CAPTURE(StageImageWhole, reused_memory, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(StageImageWhole, fresh_memory, true)->Unit(benchmark::kMillisecond);

// The same file opened the same way and read in the same 512-byte reads into one aligned buffer:
// what the reads themselves cost.
void SectorReadsBound(benchmark::State& state) {
  StagingMachine m;
  alignas(kSector) static std::uint8_t sector[kSector];
  for (auto _ : state) {
    const win32::HANDLE file =
        win32::CreateFileA(kImage, win32::GENERIC_READ, 0, nullptr, win32::OPEN_EXISTING,
                           win32::FILE_FLAG_NO_BUFFERING | win32::FILE_ATTRIBUTE_NORMAL, nullptr);
    std::size_t total = 0;
    win32::DWORD got = 0;
    while (win32::ReadFile(file, sector, kSector, &got, nullptr) && got != 0) total += got;
    win32::CloseHandle(file);
    if (total != kImageSize) state.SkipWithError("the reads fell short");
    benchmark::DoNotOptimize(sector);
    m.Forget(state);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageSize));
}
BENCHMARK(SectorReadsBound)->Unit(benchmark::kMillisecond);

// ---- the token search and write

// The controls that SetCmosToken(id) needs by design, one per field read, found by reading the
// machine's memory and CMOS directly (not through the device):
//   scan       one dword read per paragraph from 0xF0000 up to the entry point;
//   anchors    for each paragraph holding the anchor: its length byte and L checksum bytes;
//   entry      9 field reads of the entry point;
//   walk       for each token table tried, a walk from the table start: per structure passed, its
//              type and length bytes and one word read per string-area byte position but the last
//              (the pair that ends the area is found by the read at its first byte); then the token
//              table's type byte and its 9 fields;
//   records    one word read per record up to the token (all records of a table without it), and
//              the token's 3 byte fields;
//   write      the token byte read and written;
//   checksum   one read per CMOS byte of the range and of the checksum location that the token byte's
//              read has not given already, all before the first write, and 1 (8-bit sum) or 2
//              checksum bytes written; nothing for checksum types 4 and above;
//   read-back  the token byte read after the write, and once more by the test.
struct DesignCount {
  std::uint64_t scan = 0, anchors = 0, entry = 0, walk = 0, records = 0, write = 0, checksum = 0,
                readBack = 0;
  std::uint64_t Total() const {
    return scan + anchors + entry + walk + records + write + checksum + readBack;
  }
};

std::uint32_t Mem(const sim::Machine& m, std::uint32_t at, int width) {
  std::uint32_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<std::uint32_t>(m.memory.Read(at + i)) << (8 * i);
  return v;
}

// False when the machine holds no such token where SetCmosToken would find it.
bool Design(const sim::Machine& m, std::uint16_t id, DesignCount& c) {
  std::uint32_t entry = 0;
  for (std::uint32_t p = 0xF0000; p <= 0xFFFF0 && entry == 0; p += 16) {
    ++c.scan;
    if (Mem(m, p, 4) != 0x5F4D535F) continue;
    const std::uint8_t length = m.memory.Read(p + 5);
    c.anchors += 1 + length;
    std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + m.memory.Read(p + i));
    if (sum == 0) entry = p;
  }
  if (entry == 0) return false;
  c.entry = 9;
  const std::uint32_t table = Mem(m, entry + 0x18, 4);
  const std::uint32_t tableEnd = table + Mem(m, entry + 0x16, 2);
  const std::uint32_t count = Mem(m, entry + 0x1C, 2);
  for (int n = 1;; ++n) {
    std::uint32_t p = table;
    int seen = 0;
    for (std::uint32_t structures = 1;; ++structures) {
      if (m.memory.Read(p) == 212 && ++seen == n) break;
      const std::uint32_t strings = p + m.memory.Read(p + 1);
      std::uint32_t pair = strings;
      while (pair + 1 < tableEnd && (m.memory.Read(pair) != 0 || m.memory.Read(pair + 1) != 0)) ++pair;
      c.walk += 2 + (pair - strings + 1);
      p = pair + 2;
      if (structures >= count || p >= tableEnd) return false;
    }
    c.walk += 1 + 9;
    const std::uint32_t end = p + m.memory.Read(p + 1);
    for (std::uint32_t r = p + 12; r < end; r += 5) {
      ++c.records;
      if (Mem(m, r, 2) != id) continue;
      c.records += 3;
      const std::uint8_t type = m.memory.Read(p + 8), at = m.memory.Read(p + 11);
      c.write = 2;
      bool read[256] = {};
      if (type <= 3) {
        for (unsigned i = m.memory.Read(p + 9); i <= m.memory.Read(p + 10); ++i) read[i] = true;
        read[at] = true;
        if (type != 1) read[static_cast<std::uint8_t>(at + 1)] = true;
      }
      read[m.memory.Read(r + 2)] = false;
      c.checksum =
          static_cast<std::uint64_t>(std::count(std::begin(read), std::end(read), true)) + (type == 1   ? 1
                                                                                            : type <= 3 ? 2
                                                                                                        : 0);
      c.readBack = 2;
      return true;
    }
  }
}

// SetCmosToken(92) on the demo hardware with its entry point at `entryAt`. Before the timing, one
// recorded run counts the controls; the timed runs record nothing.
void SetCmosToken92(benchmark::State& state, std::uint32_t entryAt) {
  sim::Machine machine;
  sim::BuildDemoHardware(machine, entryAt);
  sim::Install installed(machine);
  DesignCount design;
  if (!Design(machine, 92, design)) {
    state.SkipWithError("the machine holds no token 92");
    return;
  }
  CloseDeviceSlots();
  CBiosUpgrade upgrade;
  if (!upgrade.SetCmosToken(92)) state.SkipWithError("SetCmosToken(92) failed");
  const auto controls = static_cast<double>(machine.varn.ioctls.size());
  machine.varn.ioctls.clear();
  machine.calls.clear();
  Quiet(machine);
  for (auto _ : state) benchmark::DoNotOptimize(upgrade.SetCmosToken(92));
  CloseDeviceSlots();
  state.counters["controls"] = controls;
  state.counters["design"] = static_cast<double>(design.Total());
  state.counters["scan"] = static_cast<double>(design.scan);
  state.counters["anchors"] = static_cast<double>(design.anchors);
  state.counters["entry"] = static_cast<double>(design.entry);
  state.counters["walk"] = static_cast<double>(design.walk);
  state.counters["records"] = static_cast<double>(design.records);
  state.counters["write"] = static_cast<double>(design.write);
  state.counters["checksum"] = static_cast<double>(design.checksum);
  state.counters["readback"] = static_cast<double>(design.readBack);
}
BENCHMARK_CAPTURE(SetCmosToken92, entry_F0000, 0xF0000)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(SetCmosToken92, entry_FFFF0, 0xFFFF0)->Unit(benchmark::kMicrosecond);

// A bare loop of `count` 4-byte physical-memory reads on an open device: the seam and the simulated
// device alone.
void PhysicalReadsBound(benchmark::State& state) {
  sim::Machine machine;
  sim::BuildDemoHardware(machine);
  Quiet(machine);
  sim::Install installed(machine);
  const win32::HANDLE device =
      win32::CreateFileA("\\\\.\\VARN", win32::GENERIC_READ | win32::GENERIC_WRITE, 0, nullptr,
                         win32::OPEN_EXISTING, win32::FILE_ATTRIBUTE_NORMAL, nullptr);
  const auto count = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    for (std::uint32_t i = 0; i < count; ++i) {
      varn::PhysReadRequest request{0xF0000 + 16 * (i & 0xFFF), 0};
      std::uint32_t out = 0;
      win32::DWORD returned = 0;
      win32::DeviceIoControl(device, varn::IOCTL_READ_PHYSICAL, &request, sizeof request, &out, sizeof out,
                             &returned, nullptr);
      benchmark::DoNotOptimize(out);
    }
  }
  win32::CloseHandle(device);
  state.counters["controls"] = count;
}
BENCHMARK(PhysicalReadsBound)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
