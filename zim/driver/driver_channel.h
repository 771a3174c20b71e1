// The accessor through which token access reads physical memory and reaches CMOS: five operations,
// all on the token device slot, each one I/O control. A failure reads as 0.
#pragma once

#include <cstdint>

class CDriverChannel {
 public:
  CDriverChannel() = default;
  virtual ~CDriverChannel() = default;

  // The value at physical address base + offset (modulo 2^32), little-endian; 0 on failure.
  std::uint8_t ReadPhysByte(std::uint32_t base, std::uint32_t offset);
  std::uint16_t ReadPhysWord(std::uint32_t base, std::uint32_t offset);
  std::uint32_t ReadPhysDword(std::uint32_t base, std::uint32_t offset);

  // The byte at CMOS location `index` behind the port pair; 0 on failure.
  std::uint8_t ReadIndexedPort(std::uint16_t indexPort, std::uint8_t index, std::uint16_t dataPort);
  // Writes one CMOS byte; false when the device is not open or refused the control, so that a writer
  // can put back what it wrote before.
  bool WriteIndexedPort(std::uint16_t indexPort, std::uint8_t index, std::uint16_t dataPort,
                        std::uint8_t value);

  // Whether a read of this channel has failed: a failed read gives 0, which the value alone cannot
  // tell from a 0 that is really stored, so a caller that would write by what it read asks here.
  bool ReadFailed() const { return m_bReadFailed; }

 private:
  std::uint32_t ReadPhys(std::uint32_t address, std::uint32_t size);
  bool m_bReadFailed = false;
};
