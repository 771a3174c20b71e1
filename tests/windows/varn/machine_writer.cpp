// varn-machine: writes the machine file that the stand-in VARN driver serves, from the same options
// that zim-sim takes, so that the driver under Wine and the dry run answer from the same machine.
//   varn-machine OUT.bin [zim-sim options]
// Only the hardware options matter here (--smbios, --entry-at, --no-assumed-entry, --phys, --cmos,
// --stage-result, --stage-fails, and --fail DeviceIoControl:N, a control the driver refuses once);
// the others are accepted and ignored, the test sets up the rest in the Wine prefix.
//
// The file, little-endian: "VARNMCH1", u32 flags (bit 0: the stage control fails; bits 8-31: the
// ordinal of the one control refused, 0 for none), i32 stage result,
// u32 region count, u32 bank count, each region {u32 address, u32 length, bytes}, each CMOS bank
// {u16 index port, u16 data port, 256 bytes}. The regions are the simulated memory's written pages,
// so the driver holds every byte that the dry run's machine holds, in the first megabyte and past it
// (RAM there, as on a PC: the tail of an entry point in the last paragraph lies at 0x100000 and
// above), and reads 0 wherever the dry run's machine does.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "tools/zim-sim/dry_run.h"

namespace {

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

// What the stand-in driver takes (varn.c: MAX_REGIONS, MAX_BANKS, MAX_MACHINE_FILE).
constexpr std::size_t kMaxRegions = 64;
constexpr std::size_t kMaxBanks = 16;
constexpr std::size_t kMaxFile = 64u << 20;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') {
    std::fputs("usage: varn-machine OUT.bin [zim-sim options]\n", stderr);
    return 2;
  }
  const std::string out = argv[1];
  argv[1] = argv[0];
  zimsim::Options options;
  std::string problem = zimsim::ParseOptions(argc - 1, argv + 1, options);
  sim::Machine machine;
  if (problem.empty()) problem = zimsim::BuildMachine(options, machine);
  if (!problem.empty()) {
    std::fprintf(stderr, "varn-machine: %s\n", problem.c_str());
    return 2;
  }

  std::vector<std::uint8_t> file = {'V', 'A', 'R', 'N', 'M', 'C', 'H', '1'};
  const std::vector<sim::PhysicalMemory::Extent> ranges = machine.memory.Extents();
  if (ranges.size() > kMaxRegions || machine.cmos.size() > kMaxBanks) {
    std::fprintf(
        stderr,
        "varn-machine: the machine has %zu memory regions and %zu CMOS banks; the driver takes %zu and %zu\n",
        ranges.size(), machine.cmos.size(), kMaxRegions, kMaxBanks);
    return 2;
  }
  std::uint32_t refuseAt = 0;
  for (const zimsim::FailSpec& f : options.fails) {
    if (f.op != "DeviceIoControl") continue;
    if (f.persistent || f.nth >= (1u << 24) || refuseAt != 0) {
      std::fputs("varn-machine: the driver refuses one device control, once, below the 2^24th\n", stderr);
      return 2;
    }
    refuseAt = static_cast<std::uint32_t>(f.nth);
  }
  Put32(file, (machine.varn.stageFails ? 1 : 0) | refuseAt << 8);
  Put32(file, static_cast<std::uint32_t>(machine.varn.stageResult));
  Put32(file, static_cast<std::uint32_t>(ranges.size()));
  Put32(file, static_cast<std::uint32_t>(machine.cmos.size()));
  for (const sim::PhysicalMemory::Extent& r : ranges) {
    if (r.length > 0xFFFFFFFFu || file.size() + r.length > kMaxFile) {
      std::fputs("varn-machine: the machine's memory makes a file larger than the driver takes (64 MiB)\n",
                 stderr);
      return 2;
    }
    Put32(file, r.address);
    Put32(file, static_cast<std::uint32_t>(r.length));
    const auto bytes = machine.memory.Read(r.address, static_cast<std::size_t>(r.length));
    file.insert(file.end(), bytes.begin(), bytes.end());
  }
  for (const auto& [indexPort, bank] : machine.cmos) {
    Put16(file, indexPort);
    Put16(file, bank.dataPort);
    file.insert(file.end(), bank.bytes.begin(), bank.bytes.end());
  }
  std::ofstream stream(out, std::ios::binary);
  stream.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  if (!stream) {
    std::fprintf(stderr, "varn-machine: %s: cannot be written\n", out.c_str());
    return 2;
  }
  return 0;
}
