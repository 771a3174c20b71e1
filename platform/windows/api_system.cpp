// Version, errors, timing, module and heap calls.
#include <cstdarg>

#include "platform/windows/real_api.h"

using win32_backend::as;

namespace win32 {

BOOL GetVersionExA(OSVERSIONINFOA* info) { return ::GetVersionExA(as<::LPOSVERSIONINFOA>(info)); }
DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD code) { ::SetLastError(code); }
void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) { return ::GetWindowsDirectoryA(buffer, size); }

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  va_list args;
  va_start(args, format);
  int written = ::wvsprintfA(buffer, format, args);
  va_end(args);
  return written;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  return ::GetModuleFileNameA(as<::HMODULE>(module), buffer, size);
}
HMODULE GetModuleHandleA(LPCSTR name) { return as<HMODULE>(::GetModuleHandleA(name)); }

HANDLE GetProcessHeap() { return ::GetProcessHeap(); }
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) { return ::HeapAlloc(heap, flags, bytes); }
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) { return ::HeapFree(heap, flags, block); }

}  // namespace win32
