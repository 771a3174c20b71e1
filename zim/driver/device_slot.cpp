#include "zim/driver/device_slot.h"

DeviceSlot g_flashDeviceSlot;
DeviceSlot g_tokenDeviceSlot;

namespace {

// Closes both slots at process exit.
struct ExitHandler {
  ~ExitHandler() { CloseDeviceSlots(); }
} g_exitHandler;

}  // namespace

win32::HANDLE OpenDeviceOnce(DeviceSlot& slot) {
  if (!slot.openAttempted) {
    win32::OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    // A failed version query opens nothing: with no platform known, no device name applies.
    if (win32::GetVersionExA(&version)) {
      if (version.dwPlatformId == win32::VER_PLATFORM_WIN32_WINDOWS) {
        slot.handle = win32::CreateFileA("\\\\.\\VARN.VXD", win32::GENERIC_READ | win32::GENERIC_WRITE, 0, nullptr,
                                         win32::OPEN_EXISTING, win32::FILE_FLAG_DELETE_ON_CLOSE, nullptr);
      } else if (version.dwPlatformId == win32::VER_PLATFORM_WIN32_NT) {
        slot.handle = win32::CreateFileA("\\\\.\\VARN", win32::GENERIC_READ | win32::GENERIC_WRITE, 0, nullptr,
                                         win32::OPEN_EXISTING, win32::FILE_ATTRIBUTE_NORMAL, nullptr);
      }
    }
    slot.openAttempted = true;
  }
  return slot.handle;
}

void CloseDeviceSlot(DeviceSlot& slot) {
  if (slot.handle != win32::INVALID_HANDLE_VALUE) win32::CloseHandle(slot.handle);
  slot = DeviceSlot{};
}

void CloseDeviceSlots() {
  CloseDeviceSlot(g_flashDeviceSlot);
  CloseDeviceSlot(g_tokenDeviceSlot);
}
