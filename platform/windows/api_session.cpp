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

BOOL GetSystemPowerStatus(SYSTEM_POWER_STATUS* status) {
  return ::GetSystemPowerStatus(as<::LPSYSTEM_POWER_STATUS>(status));
}

HINSTANCE ShellExecuteA(HWND owner, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        int show) {
  return as<HINSTANCE>(::ShellExecuteA(as<::HWND>(owner), operation, file, parameters, directory, show));
}

}  // namespace win32
