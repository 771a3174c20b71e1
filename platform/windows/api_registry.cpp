// The registry.
#include "platform/windows/real_api.h"

using win32_backend::as;

namespace win32 {

LSTATUS RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, HKEY* result) {
  return ::RegOpenKeyExA(as<::HKEY>(root), subKey, options, access, as<::PHKEY>(result));
}
LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size) {
  return ::RegQueryValueExA(as<::HKEY>(key), name, as<::LPDWORD>(reserved), as<::LPDWORD>(type), data,
                            as<::LPDWORD>(size));
}
LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
  return ::RegSetValueExA(as<::HKEY>(key), name, reserved, type, data, size);
}
LSTATUS RegDeleteValueA(HKEY key, LPCSTR name) { return ::RegDeleteValueA(as<::HKEY>(key), name); }
LSTATUS RegCloseKey(HKEY key) { return ::RegCloseKey(as<::HKEY>(key)); }

}  // namespace win32
