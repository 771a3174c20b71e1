// Fuzzes the loader of `dmidecode --dump-bin` files: damaged entry points, lengths and offsets
// past the end of the file must be refused or loaded, never read beyond the data.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/sim/machine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The input is the file itself, so the fuzzer can start from real dumps.
  const std::vector<std::uint8_t> file(data, data + size);
  // One machine for the whole session; the loader touches only its memory.
  static sim::Machine machine;
  machine.memory = sim::PhysicalMemory{};
  const std::uint32_t entryAt = size > 0 ? 0xF0000 + ((data[size - 1] & 0xFF) << 4) : 0xF0000;
  sim::LoadDumpBin(machine, file, entryAt);
  return 0;
}
