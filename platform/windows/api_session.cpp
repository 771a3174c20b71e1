// The process token and privileges, restart, power status and the shell.
#include "platform/windows/real_api.h"

using win32_backend::as;

namespace win32 {

HANDLE GetCurrentProcess() { return ::GetCurrentProcess(); }
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  return ::OpenProcessToken(process, access, token);
}
BOOL LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, LUID* luid) {
  return ::LookupPrivilegeValueA(systemName, name, as<::PLUID>(luid));
}
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, DWORD bufferLength,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength) {
  return ::AdjustTokenPrivileges(token, disableAll, as<::PTOKEN_PRIVILEGES>(newState), bufferLength,
                                 as<::PTOKEN_PRIVILEGES>(previousState), as<::PDWORD>(returnLength));
}
BOOL ExitWindowsEx(UINT flags, DWORD reason) { return ::ExitWindowsEx(flags, reason); }

// Windows NT 4.0 has no power management and its KERNEL32 does not export the call: imported by
// name, it would keep ZIM.exe from loading there. Looked up when asked, its absence is a status that
// cannot be read.
BOOL GetSystemPowerStatus(SYSTEM_POWER_STATUS* status) {
  using Query = ::BOOL(WINAPI*)(::LPSYSTEM_POWER_STATUS);
  const ::HMODULE kernel = ::GetModuleHandleA("KERNEL32.DLL");
  const auto query = kernel == nullptr ? nullptr
                                       : reinterpret_cast<Query>(reinterpret_cast<void*>(
                                             ::GetProcAddress(kernel, "GetSystemPowerStatus")));
  if (query == nullptr) {
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
  }
  return query(as<::LPSYSTEM_POWER_STATUS>(status));
}

HINSTANCE ShellExecuteA(HWND owner, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        int show) {
  return as<HINSTANCE>(::ShellExecuteA(as<::HWND>(owner), operation, file, parameters, directory, show));
}

}  // namespace win32
