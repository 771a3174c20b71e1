// varn-machine: writes the machine file that the stand-in VARN driver serves, from the same options
// that zim-sim takes, so that the driver under Wine and the dry run answer from the same machine.
//   varn-machine OUT.bin [zim-sim options]
// Only the hardware options matter here (--smbios, --entry-at, --phys, --cmos, --stage-result,
// --stage-fails); the others are accepted and ignored, the test sets up the rest in the Wine prefix.
//
// The file, little-endian: "VARNMCH1", u32 flags (bit 0: the stage control fails), i32 stage result,
// u32 region count, u32 bank count, each region {u32 address, u32 length, bytes}, each CMOS bank
// {u16 index port, u16 data port, 256 bytes}. The regions cover every byte the machine holds: the
// BIOS area 0xF0000-0xFFFFF, the structure table of each entry point found there, and each --phys file.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "tools/zim-sim/dry_run.h"

namespace {

struct Range {
  std::uint32_t address;
  std::uint64_t length;
};

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

// The ranges that hold the machine's bytes, sorted and merged.
std::vector<Range> Ranges(const zimsim::Options& options, const sim::Machine& m) {
  std::vector<Range> ranges = {{0xF0000, 0x10000}};
  for (std::uint32_t at = 0xF0000; at <= 0xFFFF0; at += 16) {
    const auto ep = m.memory.Read(at, 31);
    if (std::memcmp(ep.data(), "_SM_", 4) != 0) continue;
    const std::uint32_t length = ep[22] | (ep[23] << 8);
    const std::uint32_t address = ep[24] | (ep[25] << 8) | (ep[26] << 16) | (std::uint32_t{ep[27]} << 24);
    if (length > 0) ranges.push_back({address, length});
  }
  for (const zimsim::PhysFile& p : options.phys) {
    std::vector<std::uint8_t> bytes;
    if (sim::ReadFileBytes(p.path, bytes) && !bytes.empty()) ranges.push_back({p.address, bytes.size()});
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const Range& a, const Range& b) { return a.address < b.address; });
  std::vector<Range> merged;
  for (const Range& r : ranges) {
    if (!merged.empty() && r.address <= merged.back().address + merged.back().length)
      merged.back().length = std::max(merged.back().length, r.address + r.length - merged.back().address);
    else
      merged.push_back(r);
  }
  return merged;
}

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
  const std::vector<Range> ranges = Ranges(options, machine);
  Put32(file, machine.varn.stageFails ? 1 : 0);
  Put32(file, static_cast<std::uint32_t>(machine.varn.stageResult));
  Put32(file, static_cast<std::uint32_t>(ranges.size()));
  Put32(file, static_cast<std::uint32_t>(machine.cmos.size()));
  for (const Range& r : ranges) {
    if (r.length > 0xFFFFFFFFu) {
      std::fputs("varn-machine: a region runs past the 4 GiB address space\n", stderr);
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
