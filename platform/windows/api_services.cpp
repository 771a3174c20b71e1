// The service control manager.
#include "platform/windows/real_api.h"

using win32_backend::as;

namespace win32 {

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
  return as<SC_HANDLE>(::OpenSCManagerA(machine, database, access));
}
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
  return as<SC_HANDLE>(::OpenServiceA(as<::SC_HANDLE>(manager), name, access));
}
SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access, DWORD serviceType,
                         DWORD startType, DWORD errorControl, LPCSTR binaryPath, LPCSTR loadOrderGroup,
                         DWORD* tagId, LPCSTR dependencies, LPCSTR startName, LPCSTR password) {
  return as<SC_HANDLE>(::CreateServiceA(as<::SC_HANDLE>(manager), name, displayName, access, serviceType,
                                        startType, errorControl, binaryPath, loadOrderGroup,
                                        as<::LPDWORD>(tagId), dependencies, startName, password));
}
BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv) {
  return ::StartServiceA(as<::SC_HANDLE>(service), argc, argv);
}
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  return ::QueryServiceStatus(as<::SC_HANDLE>(service), as<::LPSERVICE_STATUS>(status));
}
BOOL CloseServiceHandle(SC_HANDLE handle) { return ::CloseServiceHandle(as<::SC_HANDLE>(handle)); }

}  // namespace win32
