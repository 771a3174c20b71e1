// The VARN driver's I/O controls and their buffer records. These are wire formats: fixed widths,
// little-endian, packed exactly as the driver reads them.
#pragma once

#include <bit>
#include <cstdint>

#include "platform/win32.h"

static_assert(std::endian::native == std::endian::little, "the driver's records are little-endian");

namespace varn {

// Device type 0x22 (FILE_DEVICE_UNKNOWN), METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr win32::DWORD ControlCode(win32::DWORD function) { return (0x22u << 16) | (function << 2); }

constexpr win32::DWORD IOCTL_READ_PHYSICAL = ControlCode(0x800);
constexpr win32::DWORD IOCTL_WRITE_INDEXED_PORT = ControlCode(0x803);
constexpr win32::DWORD IOCTL_READ_INDEXED_PORT = ControlCode(0x804);
constexpr win32::DWORD IOCTL_STAGE_IMAGE = ControlCode(0x807);
constexpr win32::DWORD IOCTL_RELEASE_IMAGE = ControlCode(0x808);
static_assert(IOCTL_READ_PHYSICAL == 0x222000 && IOCTL_WRITE_INDEXED_PORT == 0x22200C &&
              IOCTL_READ_INDEXED_PORT == 0x222010 && IOCTL_STAGE_IMAGE == 0x22201C &&
              IOCTL_RELEASE_IMAGE == 0x222020);

// Input of the physical-memory read: the address of the first byte, then 32 zero bits. The output
// length alone tells the driver how many bytes to copy.
struct PhysReadRequest {
  std::uint32_t address;
  std::uint32_t reserved;
};
static_assert(sizeof(PhysReadRequest) == 8);

#pragma pack(push, 1)
// Input of both port controls and output of the port read.
struct PortRecord {
  std::uint16_t indexPort;  // the I/O port the CMOS location is written to
  std::uint16_t index;      // the CMOS location, zero-extended
  std::uint16_t dataPort;   // the I/O port the value is read from or written to
  std::uint8_t value;       // the byte to write; 0 in a read request; the byte read in its output
};
#pragma pack(pop)
static_assert(sizeof(PortRecord) == 7);

}  // namespace varn
