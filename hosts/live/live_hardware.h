// The running Linux machine's own physical memory and CMOS, for the simulated VARN device: memory
// read from /dev/mem, CMOS through the index and data ports of /dev/port (or the kernel's /dev/nvram
// for the RTC's bank, where it exists). Read-only unless the machine is the test machine: a data-port
// write is then recorded, and later reads of that byte see it, but it is never made.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/machine.h"

namespace live {

struct DevicePaths {
  std::string memory = "/dev/mem";
  std::string ports = "/dev/port";   // empty: no CMOS, for a program that reads memory alone
  std::string nvram = "/dev/nvram";  // a missing one is not an error; empty: not used
};

// A data-port write asked for.
struct HeldWrite {
  std::uint16_t indexPort = 0;
  std::uint8_t location = 0;
  std::uint8_t before = 0;
  std::uint8_t after = 0;
};

class LinuxHardware : public sim::Hardware {
 public:
  ~LinuxHardware() override;
  // Opens the devices; an empty text on success, else a one-line reason.
  static std::string Open(const DevicePaths& paths, bool writes, std::shared_ptr<LinuxHardware>& out);

  bool ReadPhysical(std::uint32_t address, std::uint8_t* out, std::size_t size) override;
  bool ReadIndexed(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                   std::uint8_t& value) override;
  bool WriteIndexed(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                    std::uint8_t value) override;

  // A byte as the machine holds it, past any write held back.
  bool ReadMachine(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                   std::uint8_t& value);

  // Every data-port write asked for, in order: held back in the read-only mode, made otherwise.
  const std::vector<HeldWrite>& held() const { return held_; }
  bool writes() const { return writes_; }
  bool usesNvram() const { return nvram_ >= 0; }

  // The port pairs reached, and the locations: the RTC's bank and the second bank, 128 bytes each,
  // so that no index written ever sets the NMI-disable bit of port 0x70.
  static bool Reachable(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort);
  // What the index port is left holding after an access, given what it read before: the byte found,
  // or, where the port does not read back (0xFF), register 0x0D with NMI enabled, as the kernel's
  // clock driver leaves it.
  static std::uint8_t IndexToRestore(std::uint8_t found) { return found == 0xFF ? 0x0D : found; }

 private:
  LinuxHardware() = default;
  bool PortRead(std::uint16_t port, std::uint8_t& value);
  bool PortWrite(std::uint16_t port, std::uint8_t value);

  int memory_ = -1, ports_ = -1, nvram_ = -1;
  bool writes_ = false;
  std::map<std::pair<std::uint16_t, std::uint8_t>, std::uint8_t> overlay_;  // held writes, by location
  std::vector<HeldWrite> held_;
};

// The test machine's name in its chassis serial number, which its kernel command line repeats as
// `tarn.test-machine=7QX2K41`.
inline constexpr char kTestMachineSerial[] = "7QX2K41";

// Why writes are refused on this machine, or an empty text when it is the test machine: a QEMU PC
// (system manufacturer "QEMU") whose chassis serial number is the test machine's, booted with the
// test machine's kernel command line. `table` is the SMBIOS table as the kernel exposes it.
std::string TestMachineRefusal(const std::string& kernelCommandLine, const std::vector<std::uint8_t>& table);

}  // namespace live
