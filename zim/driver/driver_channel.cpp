#include "zim/driver/driver_channel.h"

#include "zim/driver/device_slot.h"
#include "zim/driver/varn_ioctl.h"

std::uint32_t CDriverChannel::ReadPhys(std::uint32_t address, std::uint32_t size) {
  win32::HANDLE device = OpenDeviceOnce(g_tokenDeviceSlot);
  varn::PhysReadRequest request{address, 0};
  std::uint8_t out[4] = {};
  win32::DWORD returned = 0;
  if (device == win32::INVALID_HANDLE_VALUE ||
      !win32::DeviceIoControl(device, varn::IOCTL_READ_PHYSICAL, &request, sizeof request, out, size,
                              &returned, nullptr) ||
      returned != size) {
    m_bReadFailed = true;
    return 0;
  }
  std::uint32_t value = 0;
  for (std::uint32_t i = 0; i < size; ++i) value |= static_cast<std::uint32_t>(out[i]) << (8 * i);
  return value;
}

std::uint8_t CDriverChannel::ReadPhysByte(std::uint32_t base, std::uint32_t offset) {
  return static_cast<std::uint8_t>(ReadPhys(base + offset, 1));
}

std::uint16_t CDriverChannel::ReadPhysWord(std::uint32_t base, std::uint32_t offset) {
  return static_cast<std::uint16_t>(ReadPhys(base + offset, 2));
}

std::uint32_t CDriverChannel::ReadPhysDword(std::uint32_t base, std::uint32_t offset) {
  return ReadPhys(base + offset, 4);
}

std::uint8_t CDriverChannel::ReadIndexedPort(std::uint16_t indexPort, std::uint8_t index,
                                             std::uint16_t dataPort) {
  win32::HANDLE device = OpenDeviceOnce(g_tokenDeviceSlot);
  varn::PortRecord request{indexPort, index, dataPort, 0};
  varn::PortRecord out{0, 0, 0, 0};
  win32::DWORD returned = 0;
  // A buffered control that reports fewer bytes than the record never filled it: the zeroed value
  // would be taken for the byte CMOS holds.
  if (device == win32::INVALID_HANDLE_VALUE ||
      !win32::DeviceIoControl(device, varn::IOCTL_READ_INDEXED_PORT, &request, sizeof request, &out,
                              sizeof out, &returned, nullptr) ||
      returned != sizeof out) {
    m_bReadFailed = true;
    return 0;
  }
  return out.value;
}

bool CDriverChannel::WriteIndexedPort(std::uint16_t indexPort, std::uint8_t index, std::uint16_t dataPort,
                                      std::uint8_t value) {
  win32::HANDLE device = OpenDeviceOnce(g_tokenDeviceSlot);
  if (device == win32::INVALID_HANDLE_VALUE) return false;
  varn::PortRecord record{indexPort, index, dataPort, value};
  win32::DWORD returned = 0;
  return win32::DeviceIoControl(device, varn::IOCTL_WRITE_INDEXED_PORT, &record, sizeof record, nullptr, 0,
                                &returned, nullptr) != win32::FALSE;
}
