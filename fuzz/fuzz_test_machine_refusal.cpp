// Fuzzes the test machine's guard over the firmware's table as the kernel exposes it: whatever the
// table holds (a header at its end, a formatted area past it, a string without its terminator),
// the walk reads within it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hosts/live/live_hardware.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> table(data, data + size);
  live::TestMachineRefusal("quiet tarn.test-machine=7QX2K41", table);
  return 0;
}
