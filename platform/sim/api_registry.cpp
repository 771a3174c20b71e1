// Simulated backend: the registry calls. They answer with a status code and leave the last error
// alone, as the platform's registry calls do.
#include "platform/sim/api.h"

namespace win32 {

using sim::api::Args;
using sim::api::Call;

namespace {

std::string Key(HKEY key) { return key == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : sim::api::Ptr(key); }

}  // namespace

LSTATUS RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, HKEY* result) {
  Call call("RegOpenKeyExA", Args(Key(root), subKey, options, access));
  if (call.injected()) {
    if (result != nullptr) *result = nullptr;
    return call.Return<LSTATUS>(ERROR_ACCESS_DENIED);
  }
  return call.Return<LSTATUS>(call.machine().registry.Open(root, subKey, access, result));
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size) {
  Call call("RegQueryValueExA", Args(Key(key), name, reserved, type, data, size == nullptr ? 0u : *size));
  if (call.injected()) return call.Return<LSTATUS>(ERROR_ACCESS_DENIED);
  if (reserved != nullptr) return call.Return<LSTATUS>(ERROR_INVALID_PARAMETER);
  return call.Return<LSTATUS>(call.machine().registry.Query(key, name, type, data, size));
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
  const std::string shown =
      data == nullptr ? "null" : "\"" + std::string(reinterpret_cast<const char*>(data), size) + "\"";
  Call call("RegSetValueExA", Args(Key(key), name, reserved, type, shown, size));
  if (call.injected()) return call.Return<LSTATUS>(ERROR_ACCESS_DENIED);
  if (reserved != 0) return call.Return<LSTATUS>(ERROR_INVALID_PARAMETER);
  return call.Return<LSTATUS>(call.machine().registry.Set(key, name, type, data, size));
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR name) {
  Call call("RegDeleteValueA", Args(Key(key), name));
  if (call.injected()) return call.Return<LSTATUS>(ERROR_ACCESS_DENIED);
  return call.Return<LSTATUS>(call.machine().registry.Delete(key, name));
}

LSTATUS RegCloseKey(HKEY key) {
  Call call("RegCloseKey", Args(Key(key)));
  // An injected fault reports failure; the key is released all the same, as the platform does.
  const LSTATUS status = call.machine().registry.Close(key);
  return call.Return<LSTATUS>(call.injected() && status == ERROR_SUCCESS ? ERROR_INVALID_HANDLE : status);
}

}  // namespace win32
