// The hardware of the built-in demo machine: a realistic SMBIOS 2.x table with two token tables, and
// CMOS banks whose checksums are valid. The host tools add files, registry and answers on top.
#pragma once

#include <cstdint>

namespace sim {

class Machine;

inline constexpr char kDemoServiceTag[] = "7QX2K41";

// Writes the demo table at 0xE0000 with its entry point at `entryAt`, and the two CMOS banks
// (0x70/0x71, checksum type 0 over 0x10-0x2D at 0x2E; 0x72/0x73, checksum type 3 over 0x40-0x7D at
// 0x7E). Tokens 92 and 93 live in the first token table at CMOS location 0x78.
void BuildDemoHardware(Machine& machine, std::uint32_t entryAt = 0xF0000);

}  // namespace sim
