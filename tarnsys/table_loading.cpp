#include "tarnsys/table_loading.h"

#include <cstring>

#include "tarnsys/driver_service.h"
#include "tarnsys/smb_index.h"
#include "zim/driver/varn_ioctl.h"

namespace {

constexpr char kDriverName[] = "VARN";
constexpr std::uint32_t kScanStart = 0xF0000;
constexpr std::uint32_t kScanLast = 0xFFFF0;
constexpr std::size_t kEntryPointSize = sizeof(SmbEntryPoint);

// One physical-memory read of `size` bytes; a nonzero answer is success, the count is not examined.
bool ReadPhysical(win32::HANDLE device, std::uint32_t address, void* out, win32::DWORD size) {
  varn::PhysReadRequest request{address, 0};
  win32::DWORD returned = 0;
  return win32::DeviceIoControl(device, varn::IOCTL_READ_PHYSICAL, &request, sizeof request, out, size,
                                &returned, nullptr) != 0;
}

// The driver image's path under the Windows directory; false when the directory cannot be read.
bool BuildDriverPath(char (&path)[win32::MAX_PATH + 32]) {
  const win32::UINT length = win32::GetWindowsDirectoryA(path, win32::MAX_PATH);
  if (length == 0 || length >= win32::MAX_PATH) return false;
  std::size_t end = length;
  if (path[end - 1] != '\\') path[end++] = '\\';
  path[end] = '\0';
  win32::wsprintfA(path + end, "SYSTEM32\\DRIVERS\\%s.SYS", kDriverName);
  return true;
}

}  // namespace

win32::HANDLE OpenDriverDevice() {
  // A failed version query leaves the platform id 0, which opens nothing.
  win32::OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  win32::GetVersionExA(&version);
  char name[32];
  if (version.dwPlatformId == win32::VER_PLATFORM_WIN32_WINDOWS) {
    win32::wsprintfA(name, "\\\\.\\%s.VXD", kDriverName);
    return win32::CreateFileA(name, win32::GENERIC_READ, win32::FILE_SHARE_READ | win32::FILE_SHARE_WRITE,
                              nullptr, win32::OPEN_EXISTING, win32::FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (version.dwPlatformId != win32::VER_PLATFORM_WIN32_NT) return win32::INVALID_HANDLE_VALUE;

  // The service steps' results are not examined: the device open below decides. A service is
  // registered only with a path that names the driver image.
  char driverPath[win32::MAX_PATH + 32];
  const bool havePath = BuildDriverPath(driverPath);
  if (!DriverServiceExists(kDriverName) && havePath) {
    InstallDriverService(kDriverName, kDriverName, driverPath, "", win32::SERVICE_SYSTEM_START,
                         win32::SERVICE_KERNEL_DRIVER, win32::GENERIC_EXECUTE, win32::SERVICE_ERROR_NORMAL,
                         "", "", "", "");
  }
  if (!DriverServiceRunning(kDriverName)) StartDriverService(kDriverName);
  win32::wsprintfA(name, "\\\\.\\%s", kDriverName);
  return win32::CreateFileA(name, win32::GENERIC_READ | win32::GENERIC_WRITE, 0, nullptr,
                            win32::OPEN_EXISTING, win32::FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool FindSmbEntryPoint(win32::HANDLE device, SmbEntryPoint& entryPoint) {
  if (device == win32::INVALID_HANDLE_VALUE) return false;
  for (std::uint32_t candidate = kScanStart; candidate <= kScanLast; candidate += 16) {
    // Cleared, as the count of bytes the driver wrote is not examined: a short write leaves zeros.
    std::uint8_t probe[8] = {};
    if (!ReadPhysical(device, candidate, probe, sizeof probe)) return false;
    if (std::memcmp(probe, "_SM_", 4) != 0) continue;
    // An entry point shorter than the 31 bytes kept cannot be one: skip it rather than keep bytes
    // that were never read.
    const std::uint8_t length = probe[5];
    if (length < kEntryPointSize) continue;
    auto* buffer = static_cast<std::uint8_t*>(
        win32::HeapAlloc(win32::GetProcessHeap(), win32::HEAP_ZERO_MEMORY, length));
    if (buffer == nullptr) return false;
    if (!ReadPhysical(device, candidate, buffer, length)) {
      win32::HeapFree(win32::GetProcessHeap(), 0, buffer);
      return false;
    }
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + buffer[i]);
    if (sum == 0) std::memcpy(&entryPoint, buffer, kEntryPointSize);
    win32::HeapFree(win32::GetProcessHeap(), 0, buffer);
    if (sum == 0) return true;
  }
  return false;
}

void LoadSmbTableCopy() {
  g_device = OpenDriverDevice();
  if (g_device == win32::INVALID_HANDLE_VALUE) return;
  if (!FindSmbEntryPoint(g_device, g_smbEntryPoint)) return;
  const std::uint16_t length = g_smbEntryPoint.structureTableLength;
  // Cleared, as the driver's count of bytes written is not examined: where a driver writes fewer,
  // the copy holds zeros there, as a table that ends early would, and never earlier heap contents.
  g_structureTable =
      static_cast<std::uint8_t*>(win32::HeapAlloc(win32::GetProcessHeap(), win32::HEAP_ZERO_MEMORY, length));
  if (g_structureTable == nullptr) return;
  g_structureTableLength = length;
  if (!ReadPhysical(g_device, g_smbEntryPoint.structureTableAddress, g_structureTable, length)) {
    win32::HeapFree(win32::GetProcessHeap(), 0, g_structureTable);
    g_structureTable = nullptr;
    g_structureTableLength = 0;
  }
}

void AdoptSmbTable(const std::uint8_t* table, std::size_t length) {
  if (g_structureTable != nullptr || length == 0) return;
  g_structureTable = static_cast<std::uint8_t*>(win32::HeapAlloc(win32::GetProcessHeap(), 0, length));
  if (g_structureTable == nullptr) return;
  std::memcpy(g_structureTable, table, length);
  g_structureTableLength = length;
  BuildSmbIndex();
}

void LoadSmbTable() {
  LoadSmbTableCopy();
  BuildSmbIndex();
}

void UnloadSmbTable() {
  if (g_device != win32::INVALID_HANDLE_VALUE) {
    win32::CloseHandle(g_device);
    g_device = win32::INVALID_HANDLE_VALUE;
  }
  FreeSmbIndex();
  if (g_structureTable != nullptr) {
    win32::HeapFree(win32::GetProcessHeap(), 0, g_structureTable);
    g_structureTable = nullptr;
    g_structureTableLength = 0;
  }
}
