#include "hosts/live/live_hardware.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace live {

namespace {

// The kernel's own checksum in the clock's bank, which /dev/nvram checks before every access and
// rewrites after every write.
constexpr std::uint8_t kKernelChecksum = 0x2E;
constexpr std::size_t kMostFaults = 64;  // the first ones tell why; a bank that cannot be read gives many

std::string Hex(unsigned v, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, v);
  return text;
}

std::string Cmos(std::uint16_t indexPort, std::uint8_t location) {
  return "CMOS " + Hex(indexPort, 2) + "[" + Hex(location, 2) + "]";
}

// Reads `size` bytes at `offset`: an empty text, else why they could not all be read.
std::string Pread(int fd, std::uint8_t* out, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = pread(fd, out, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::strerror(errno);
    if (n == 0) return "past the end of the device";
    out += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return {};
}

std::string PwriteOne(int fd, std::uint8_t value, off_t offset) {
  for (;;) {
    const ssize_t n = pwrite(fd, &value, 1, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::strerror(errno);
    return n == 1 ? std::string() : "nothing written";
  }
}

// What the kernel's EIO on /dev/nvram means.
std::string NvramWhy(const std::string& why) {
  return why == std::strerror(EIO)
             ? why +
                   " (the kernel refuses /dev/nvram while its own checksum at 0x2E-0x2F "
                   "does not hold)"
             : why;
}

// Why a pair and location are not reached; empty when they are.
std::string Unreachable(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort) {
  if (LinuxHardware::Reachable(indexPort, location, dataPort)) return {};
  if ((indexPort != LinuxHardware::kClockBank && indexPort != LinuxHardware::kSecondBank) ||
      dataPort != indexPort + 1)
    return "ports " + Hex(indexPort, 2) + "/" + Hex(dataPort, 2) +
           " are not read: this check reads the banks behind 0x70/0x71 and 0x72/0x73 alone";
  if (location >= 0x80) return "locations past 0x7F are not read: they would set bit 7 of the index port";
  return "the clock's registers 0x00-0x0D are not read: they belong to the kernel's clock driver";
}

// String `number` (from 1) of a structure whose strings lie from `s` to `end`, the zero that ends
// the last one; empty when it is not there.
std::string StructureString(const std::vector<std::uint8_t>& t, std::size_t s, std::size_t end,
                            std::uint8_t number) {
  for (unsigned n = 1; number != 0 && s < end; ++n) {
    std::size_t z = s;
    while (t[z] != 0) ++z;  // ends at `end` at the latest
    if (n == number)
      return std::string(t.begin() + static_cast<std::ptrdiff_t>(s),
                         t.begin() + static_cast<std::ptrdiff_t>(z));
    s = z + 1;
  }
  return {};
}

}  // namespace

LinuxHardware::~LinuxHardware() {
  for (int fd : {memory_, ports_, nvram_})
    if (fd >= 0) close(fd);
}

std::string LinuxHardware::Open(const DevicePaths& paths, bool writes, std::shared_ptr<LinuxHardware>& out) {
  std::shared_ptr<LinuxHardware> h(new LinuxHardware);
  h->paths_ = paths;
  h->writes_ = writes;
  auto fault = [](const std::string& path) {
    const int error = errno;
    std::string text = path + ": " + std::strerror(error);
    if (error == EACCES || error == EPERM) text += " (the check of this machine needs root)";
    if (error == ENOENT) text += " (this system offers no such device)";
    return text;
  };
  h->memory_ = open(paths.memory.c_str(), O_RDONLY | O_CLOEXEC);
  if (h->memory_ < 0) return fault(paths.memory);
  // The second bank's index port is written even when nothing else is.
  if (!paths.ports.empty()) {
    h->ports_ = open(paths.ports.c_str(), O_RDWR | O_CLOEXEC);
    if (h->ports_ < 0) return fault(paths.ports);
    if (!paths.nvram.empty()) h->nvram_ = open(paths.nvram.c_str(), (writes ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (h->nvram_ < 0)
      h->nvramAbsence_ = (paths.nvram.empty() ? std::string("no /dev/nvram") : fault(paths.nvram)) +
                         "; the clock's bank is read through /dev/nvram alone, never through ports 0x70/0x71";
  }
  out = std::move(h);
  return {};
}

bool LinuxHardware::Reachable(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort) {
  if (dataPort != indexPort + 1 || location >= 0x80) return false;
  return indexPort == kSecondBank || (indexPort == kClockBank && location >= kFirstClockByte);
}

bool LinuxHardware::Fault(std::string text) {
  ++faultCount_;
  if (faults_.size() < kMostFaults) faults_.push_back(std::move(text));
  return false;
}

bool LinuxHardware::ReadPhysical(std::uint32_t address, std::uint8_t* out, std::size_t size) {
  const std::string why = Pread(memory_, out, size, static_cast<off_t>(address));
  return why.empty() || Fault(paths_.memory + ": " + std::to_string(size) + (size == 1 ? " byte" : " bytes") +
                              " at " + Hex(address, 5) + ": " + why);
}

bool LinuxHardware::NvramRead(std::uint8_t location, std::uint8_t& value) {
  if (nvram_ < 0) return Fault(Cmos(kClockBank, location) + " not read: " + nvramAbsence_);
  const std::string why = Pread(nvram_, &value, 1, location - kFirstClockByte);
  return why.empty() || Fault(paths_.nvram + ": " + Cmos(kClockBank, location) + ": " + NvramWhy(why));
}

bool LinuxHardware::ReadMachine(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                                std::uint8_t& value) {
  if (ports_ < 0) return Fault(Cmos(indexPort, location) + " not read: no CMOS device is open");
  const std::string unreachable = Unreachable(indexPort, location, dataPort);
  if (!unreachable.empty()) return Fault(Cmos(indexPort, location) + ": " + unreachable);
  if (indexPort == kClockBank) return NvramRead(location, value);
  // The second bank: no driver of the kernel uses it. The index is left at the location read,
  // never with bit 7 set; nothing else is written.
  std::string why = PwriteOne(ports_, location, indexPort);
  if (!why.empty())
    return Fault(paths_.ports + ": writing index " + Hex(location, 2) + " to port " + Hex(indexPort, 2) +
                 ": " + why);
  why = Pread(ports_, &value, 1, dataPort);
  return why.empty() || Fault(paths_.ports + ": reading port " + Hex(dataPort, 2) + " (" +
                              Cmos(indexPort, location) + "): " + why);
}

bool LinuxHardware::ReadIndexed(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                                std::uint8_t& value) {
  auto held = overlay_.find({indexPort, location});
  if (held != overlay_.end() && Reachable(indexPort, location, dataPort)) {
    value = held->second;
    return true;
  }
  return ReadMachine(indexPort, location, dataPort, value);
}

bool LinuxHardware::WriteIndexed(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                                 std::uint8_t value) {
  std::uint8_t before = 0;
  if (!ReadIndexed(indexPort, location, dataPort, before)) return false;
  if (!writes_) {
    overlay_[{indexPort, location}] = value;
    held_.push_back({indexPort, location, before, value});
    return true;
  }
  return WriteMachine(indexPort, location, dataPort, before, value);
}

bool LinuxHardware::WriteMachine(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                                 std::uint8_t before, std::uint8_t value) {
  if (indexPort != kClockBank) {
    std::string why = PwriteOne(ports_, location, indexPort);
    if (why.empty()) why = PwriteOne(ports_, value, dataPort);
    if (!why.empty())
      return Fault(paths_.ports + ": writing " + Hex(value, 2) + " to " + Cmos(indexPort, location) + ": " +
                   why);
    held_.push_back({indexPort, location, before, value});
    return true;
  }
  // /dev/nvram rewrites the kernel's checksum after the write: what it held before, with this
  // write's byte in place, is compared with what it holds after, and a change is the kernel's write.
  std::uint8_t sum[2] = {};
  for (int i = 0; i < 2; ++i)
    if (!NvramRead(static_cast<std::uint8_t>(kKernelChecksum + i), sum[i])) return false;
  const std::string why = PwriteOne(nvram_, value, location - kFirstClockByte);
  if (!why.empty())
    return Fault(paths_.nvram + ": writing " + Hex(value, 2) + " to " + Cmos(kClockBank, location) + ": " +
                 NvramWhy(why));
  held_.push_back({kClockBank, location, before, value});
  for (int i = 0; i < 2; ++i) {
    const auto at = static_cast<std::uint8_t>(kKernelChecksum + i);
    const std::uint8_t expected = at == location ? value : sum[i];
    std::uint8_t now = 0;
    if (NvramRead(at, now) && now != expected) held_.push_back({kClockBank, at, expected, now, true});
  }
  return true;
}

std::string TestMachineRefusal(const std::string& commandLine, const std::vector<std::uint8_t>& t) {
  const std::string marker = std::string("tarn.test-machine=") + kTestMachineSerial;
  std::istringstream words(commandLine);
  std::string word;
  bool marked = false;
  while (words >> word) marked = marked || word == marker;
  if (!marked) return "the kernel command line does not carry " + marker;
  std::string manufacturer, serial;
  // Each structure's formatted area and string area must lie within the table; the walk ends at the
  // first that does not, or at the end-of-table structure.
  for (std::size_t p = 0; p + 4 <= t.size();) {
    const std::size_t length = t[p + 1];
    if (length < 4 || length >= t.size() - p) break;
    std::size_t end = p + length;  // the first zero of the double zero that ends the string area
    while (end + 1 < t.size() && (t[end] != 0 || t[end + 1] != 0)) ++end;
    if (end + 1 >= t.size()) break;
    if (t[p] == 1 && length > 4 && manufacturer.empty())
      manufacturer = StructureString(t, p + length, end, t[p + 4]);
    if (t[p] == 3 && length > 7 && serial.empty()) serial = StructureString(t, p + length, end, t[p + 7]);
    if (t[p] == 127) break;
    p = end + 2;
  }
  if (manufacturer != "QEMU") return "the system manufacturer is \"" + manufacturer + "\", not \"QEMU\"";
  if (serial != kTestMachineSerial)
    return "the chassis serial number is \"" + serial + "\", not \"" + kTestMachineSerial + "\"";
  return {};
}

}  // namespace live
