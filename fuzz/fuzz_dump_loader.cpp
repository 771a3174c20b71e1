// Fuzzes the loader of captured tables (`dmidecode --dump-bin` files and Windows raw tables): damaged
// entry points (2.x, 3.x, legacy), raw headers, table offsets and lengths past the end of the file
// must be refused or loaded, never read beyond the data.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/sim/captures.h"
#include "platform/sim/dump_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The input is the file itself, so the fuzzer can start from real dumps.
  const std::vector<std::uint8_t> file(data, data + size);
  // One machine for the whole session; the loader touches only its memory.
  static sim::Machine machine;
  machine.memory = sim::PhysicalMemory{};
  sim::DumpPlacement placement;
  placement.entryAt = size > 0 ? 0xF0000 + ((data[size - 1] & 0xFF) << 4) : 0xF0000;
  placement.assume2x = size < 2 || (data[size - 2] & 1) == 0;
  sim::DumpInfo info;
  sim::LoadDump(machine, file, placement, &info);
  sim::Capture capture;
  if (sim::CaptureFromFile(file, capture).empty()) sim::LoadCapture(machine, capture, placement, &info);
  return 0;
}
