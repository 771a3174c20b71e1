#include "hosts/live/live_hardware.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace live {

namespace {

constexpr std::uint16_t kRtcIndexPort = 0x70;
constexpr std::uint8_t kNvramFirst = 14;  // /dev/nvram starts after the clock's registers

bool PreadAll(int fd, std::uint8_t* out, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = pread(fd, out, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

bool PwriteOne(int fd, std::uint8_t value, off_t offset) {
  for (;;) {
    const ssize_t n = pwrite(fd, &value, 1, offset);
    if (n < 0 && errno == EINTR) continue;
    return n == 1;
  }
}

// The strings of the structure at `p` (formatted area `length` bytes), numbered from 1.
std::string StructureString(const std::vector<std::uint8_t>& t, std::size_t p, std::uint8_t number) {
  if (number == 0 || p + t[p + 1] > t.size()) return {};
  std::size_t s = p + t[p + 1];
  for (std::uint8_t n = 1; s < t.size() && t[s] != 0; ++n) {
    const std::size_t end = s + std::strlen(reinterpret_cast<const char*>(t.data() + s));
    if (end >= t.size()) return {};
    if (n == number)
      return std::string(t.begin() + static_cast<std::ptrdiff_t>(s),
                         t.begin() + static_cast<std::ptrdiff_t>(end));
    s = end + 1;
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
  // The index port is written even when nothing else is: the port device opens for writing.
  if (!paths.ports.empty()) {
    h->ports_ = open(paths.ports.c_str(), O_RDWR | O_CLOEXEC);
    if (h->ports_ < 0) return fault(paths.ports);
  }
  if (!paths.nvram.empty() && !paths.ports.empty())
    h->nvram_ = open(paths.nvram.c_str(), (writes ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  out = std::move(h);
  return {};
}

bool LinuxHardware::Reachable(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort) {
  return (indexPort == 0x70 || indexPort == 0x72) && dataPort == indexPort + 1 && location < 0x80;
}

bool LinuxHardware::ReadPhysical(std::uint32_t address, std::uint8_t* out, std::size_t size) {
  return PreadAll(memory_, out, size, static_cast<off_t>(address));
}

bool LinuxHardware::PortRead(std::uint16_t port, std::uint8_t& value) {
  return PreadAll(ports_, &value, 1, static_cast<off_t>(port));
}

bool LinuxHardware::PortWrite(std::uint16_t port, std::uint8_t value) {
  return PwriteOne(ports_, value, static_cast<off_t>(port));
}

bool LinuxHardware::ReadMachine(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                                std::uint8_t& value) {
  if (ports_ < 0 || !Reachable(indexPort, location, dataPort)) return false;
  // The kernel's own device serialises with its clock driver; it covers the RTC bank past the
  // clock's registers.
  if (nvram_ >= 0 && indexPort == kRtcIndexPort && location >= kNvramFirst &&
      PreadAll(nvram_, &value, 1, location - kNvramFirst))
    return true;
  std::uint8_t found = 0;
  if (!PortRead(indexPort, found)) return false;
  // Read twice, each after its own index write: an interrupt of the clock driver between the
  // index write and the data read moves the index, and the two reads then differ.
  bool read = false;
  for (int attempt = 0; attempt < 4 && !read; ++attempt) {
    std::uint8_t first = 0, second = 0;
    if (!PortWrite(indexPort, location) || !PortRead(dataPort, first)) break;
    if (!PortWrite(indexPort, location) || !PortRead(dataPort, second)) break;
    read = first == second;
    value = first;
  }
  return PortWrite(indexPort, IndexToRestore(found)) && read;
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
  held_.push_back({indexPort, location, before, value});
  if (!writes_) {
    overlay_[{indexPort, location}] = value;
    return true;
  }
  if (nvram_ >= 0 && indexPort == kRtcIndexPort && location >= kNvramFirst &&
      PwriteOne(nvram_, value, location - kNvramFirst))
    return true;
  std::uint8_t found = 0;
  if (!PortRead(indexPort, found)) return false;
  const bool written = PortWrite(indexPort, location) && PortWrite(dataPort, value);
  return PortWrite(indexPort, IndexToRestore(found)) && written;
}

std::string TestMachineRefusal(const std::string& commandLine, const std::vector<std::uint8_t>& t) {
  const std::string marker = std::string("tarn.test-machine=") + kTestMachineSerial;
  std::istringstream words(commandLine);
  std::string word;
  bool marked = false;
  while (words >> word) marked = marked || word == marker;
  if (!marked) return "the kernel command line does not carry " + marker;
  std::string manufacturer, serial;
  for (std::size_t p = 0; p + 4 <= t.size() && t[p + 1] >= 4;) {
    if (t[p] == 1 && t[p + 1] > 4) manufacturer = StructureString(t, p, t[p + 4]);
    if (t[p] == 3 && t[p + 1] > 7 && serial.empty()) serial = StructureString(t, p, t[p + 7]);
    if (t[p] == 127) break;
    std::size_t q = p + t[p + 1];
    while (q + 1 < t.size() && (t[q] != 0 || t[q + 1] != 0)) ++q;
    p = q + 2;
  }
  if (manufacturer != "QEMU") return "the system manufacturer is \"" + manufacturer + "\", not \"QEMU\"";
  if (serial != kTestMachineSerial)
    return "the chassis serial number is \"" + serial + "\", not \"" + kTestMachineSerial + "\"";
  return {};
}

}  // namespace live
