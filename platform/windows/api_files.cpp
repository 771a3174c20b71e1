// Files, folders and devices.
#include "platform/windows/real_api.h"

using win32_backend::as;

namespace win32 {

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security, DWORD creation,
                   DWORD flags, HANDLE templateFile) {
  return ::CreateFileA(name, access, shareMode, as<::LPSECURITY_ATTRIBUTES>(security), creation, flags,
                       templateFile);
}
BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     DWORD* returned, OVERLAPPED* overlapped) {
  return ::DeviceIoControl(device, code, in, inSize, out, outSize, as<::LPDWORD>(returned),
                           as<::LPOVERLAPPED>(overlapped));
}
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* found) {
  return ::FindFirstFileA(pattern, as<::LPWIN32_FIND_DATAA>(found));
}
BOOL FindClose(HANDLE search) { return ::FindClose(search); }
BOOL GetDiskFreeSpaceA(LPCSTR root, DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                       DWORD* totalClusters) {
  return ::GetDiskFreeSpaceA(root, as<::LPDWORD>(sectorsPerCluster), as<::LPDWORD>(bytesPerSector),
                             as<::LPDWORD>(freeClusters), as<::LPDWORD>(totalClusters));
}
DWORD GetFileSize(HANDLE file, DWORD* sizeHigh) { return ::GetFileSize(file, as<::LPDWORD>(sizeHigh)); }
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* got, OVERLAPPED* overlapped) {
  return ::ReadFile(file, buffer, toRead, as<::LPDWORD>(got), as<::LPOVERLAPPED>(overlapped));
}
BOOL SetCurrentDirectoryA(LPCSTR path) { return ::SetCurrentDirectoryA(path); }
LPSTR GetCommandLineA() { return ::GetCommandLineA(); }

}  // namespace win32
