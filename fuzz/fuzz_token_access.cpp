// Fuzzes ZIM's token search and write over an arbitrary BIOS area, structure table and CMOS: the
// entry point, the walk and the write must stay within their bounds and end, whatever the bytes.
//
// Input: byte 0 selects options (bit 0: fix the entry-point checksum; bit 1: entry point at
// 0xFFFF0 instead of 0xF0000; bit 2: token 93 instead of 92), bytes 1-31 the entry point, then
// 256 bytes of CMOS for each of the ports 0x70, 0x72 (when present), and the rest the table.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/sim/machine.h"
#include "zim/app/bios_upgrade.h"
#include "zim/driver/device_slot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 32) return 0;
  // One machine for the whole session: building one costs more than the search itself. Each input
  // starts from empty memory and fresh CMOS banks, and frees them before it returns, so that
  // libFuzzer does not take the pages for a leak and run the input again to look for one.
  static sim::Machine& machine = *[] {
    auto* m = new sim::Machine;
    m->logCalls = false;
    m->varn.recordIoctls = false;
    return m;
  }();
  machine.memory = sim::PhysicalMemory{};
  machine.cmos.clear();
  sim::Install installed(machine);
  CloseDeviceSlots();

  const std::uint8_t options = data[0];
  std::uint8_t ep[31];
  std::memcpy(ep, "_SM_", 4);
  std::memcpy(ep + 4, data + 4, 27);
  const std::uint32_t entryAt = (options & 2) ? 0xFFFF0 : 0xF0000;
  machine.memory.Write(entryAt, ep, sizeof ep);
  data += 32;
  size -= 32;
  for (std::uint16_t port : {0x70, 0x72}) {
    sim::CmosBank& bank = machine.AddCmosBank(port, static_cast<std::uint16_t>(port + 1));
    const std::size_t n = size < 256 ? size : 256;
    std::memcpy(bank.bytes.data(), data, n);
    data += n;
    size -= n;
  }
  // The table goes wherever the entry point says, clipped to the first megabyte; the rest of
  // memory reads as zero.
  std::uint32_t tableAddress;
  std::memcpy(&tableAddress, ep + 24, 4);
  tableAddress &= 0xFFFFF;
  const std::size_t room = 0x100000 - tableAddress;
  machine.memory.Write(tableAddress, data, size < room ? size : room);
  // Most inputs get a good checksum over whatever the entry point's length covers, so that the
  // fuzzer spends its time in the walk rather than in scans that find nothing.
  if (options & 1) {
    std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i < machine.memory.Read(entryAt + 5); ++i)
      if (i != 4) sum = static_cast<std::uint8_t>(sum + machine.memory.Read(entryAt + i));
    machine.memory.Write(entryAt + 4, static_cast<std::uint8_t>(0x100 - sum));
  }

  CBiosUpgrade upgrade;
  upgrade.SetCmosToken((options & 4) ? 93 : 92);
  CloseDeviceSlots();
  machine.memory = sim::PhysicalMemory{};
  machine.cmos.clear();
  return 0;
}
