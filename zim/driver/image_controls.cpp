#include "zim/driver/image_controls.h"

#include <cstring>

#include "zim/driver/device_slot.h"
#include "zim/driver/varn_ioctl.h"

std::int32_t StageImageInDriver(const void* image, win32::DWORD size) {
  win32::HANDLE device = OpenDeviceOnce(g_flashDeviceSlot);
  if (device == win32::INVALID_HANDLE_VALUE) return -1;
  std::uint32_t output = 0xFFFFFFFF;
  win32::DWORD returned = 0;
  if (!win32::DeviceIoControl(device, varn::IOCTL_STAGE_IMAGE, const_cast<void*>(image), size, &output,
                              sizeof output, &returned, nullptr))
    return -1;
  std::int32_t result;
  std::memcpy(&result, &output, sizeof result);
  return result;
}

void ReleaseImageInDriver(std::int32_t stageResult) {
  win32::HANDLE device = OpenDeviceOnce(g_flashDeviceSlot);
  if (device == win32::INVALID_HANDLE_VALUE) return;
  win32::DWORD returned = 0;
  win32::DeviceIoControl(device, varn::IOCTL_RELEASE_IMAGE, &stageResult, sizeof stageResult, nullptr, 0,
                         &returned, nullptr);
}
