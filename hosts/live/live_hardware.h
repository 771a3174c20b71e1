// The running Linux machine's own physical memory and CMOS, for the simulated VARN device: memory
// read from /dev/mem; the clock's CMOS bank (ports 0x70/0x71) only through the kernel's /dev/nvram,
// which serialises with the kernel's clock driver; the second bank (0x72/0x73) through /dev/port.
// Read-only unless the machine is the test machine: a write asked for is then held back, and later
// reads of that byte see it, but it is never made. Every read or write that fails is kept as a fault
// naming the device and the address, for the caller to report.
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
  std::string nvram = "/dev/nvram";  // a missing one leaves the clock's bank unread; empty: not used
};

// A CMOS write: held back in the read-only mode, made otherwise (recorded once it succeeded).
struct HeldWrite {
  std::uint16_t indexPort = 0;
  std::uint8_t location = 0;
  std::uint8_t before = 0;
  std::uint8_t after = 0;
  bool byKernel = false;  // the kernel's own checksum, which /dev/nvram rewrites after a write
};

class LinuxHardware : public sim::Hardware {
 public:
  ~LinuxHardware() override;
  // Opens the devices; an empty text on success, else a one-line reason. A /dev/nvram that cannot be
  // opened is no failure here: nvramAbsence() then says why, and the clock's bank reads fail.
  static std::string Open(const DevicePaths& paths, bool writes, std::shared_ptr<LinuxHardware>& out);

  bool ReadPhysical(std::uint32_t address, std::uint8_t* out, std::size_t size) override;
  bool ReadIndexed(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                   std::uint8_t& value) override;
  bool WriteIndexed(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                    std::uint8_t value) override;

  // A byte as the machine holds it, past any write held back.
  bool ReadMachine(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                   std::uint8_t& value);

  // Every write, in order: held back in the read-only mode, made otherwise.
  const std::vector<HeldWrite>& held() const { return held_; }
  // The reads and writes that failed, in order, one line each ("/dev/mem: 4 bytes at 0xF5A20: ..."):
  // the first ones, and how many failed in all.
  const std::vector<std::string>& faults() const { return faults_; }
  std::size_t faultCount() const { return faultCount_; }
  bool writes() const { return writes_; }
  bool usesNvram() const { return nvram_ >= 0; }
  const std::string& nvramAbsence() const { return nvramAbsence_; }

  // The clock's bank, reached through /dev/nvram alone, and the second bank through the ports;
  // locations 0x00-0x7F, and none of the clock's registers (0x00-0x0D): reading register C clears
  // the clock's interrupt flags.
  static constexpr std::uint16_t kClockBank = 0x70;
  static constexpr std::uint16_t kSecondBank = 0x72;
  static constexpr std::uint8_t kFirstClockByte = 0x0E;
  static bool Reachable(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort);

 private:
  LinuxHardware() = default;
  bool Fault(std::string text);
  bool NvramRead(std::uint8_t location, std::uint8_t& value);
  bool WriteMachine(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                    std::uint8_t before, std::uint8_t value);

  DevicePaths paths_;
  int memory_ = -1, ports_ = -1, nvram_ = -1;
  bool writes_ = false;
  std::string nvramAbsence_;
  std::map<std::pair<std::uint16_t, std::uint8_t>, std::uint8_t> overlay_;  // held writes, by location
  std::vector<HeldWrite> held_;
  std::vector<std::string> faults_;
  std::size_t faultCount_ = 0;
};

// The test machine's name in its chassis serial number, which its kernel command line repeats as
// `tarn.test-machine=7QX2K41`.
inline constexpr char kTestMachineSerial[] = "7QX2K41";

// Why writes are refused on this machine, or an empty text when it is the test machine: a QEMU PC
// (system manufacturer "QEMU") whose chassis serial number is the test machine's, booted with the
// test machine's kernel command line. `table` is the SMBIOS table as the kernel exposes it: firmware
// data, read within its bounds whatever it holds.
std::string TestMachineRefusal(const std::string& kernelCommandLine, const std::vector<std::uint8_t>& table);

}  // namespace live
