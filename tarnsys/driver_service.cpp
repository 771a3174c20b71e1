#include "tarnsys/driver_service.h"

#include <cstring>

namespace {

bool Present(const char* text) { return text != nullptr && *text != '\0'; }

win32::SC_HANDLE OpenManager() {
  return win32::OpenSCManagerA(nullptr, nullptr, win32::SC_MANAGER_ALL_ACCESS);
}

win32::SC_HANDLE OpenService(win32::SC_HANDLE manager, const char* name) {
  return win32::OpenServiceA(manager, name, win32::SERVICE_ALL_ACCESS);
}

// Digits from the start of the text, as a 32-bit number.
win32::DWORD ParseDecimal(const char* text) {
  win32::DWORD value = 0;
  for (const char* p = text; *p >= '0' && *p <= '9'; ++p)
    value = value * 10 + static_cast<win32::DWORD>(*p - '0');
  return value;
}

}  // namespace

bool DriverServiceExists(const char* name) {
  win32::SC_HANDLE manager = OpenManager();
  if (manager == nullptr) return false;
  win32::SC_HANDLE service = OpenService(manager, name);
  const bool exists = service != nullptr;
  if (service != nullptr) win32::CloseServiceHandle(service);
  win32::CloseServiceHandle(manager);
  return exists;
}

bool DriverServiceRunning(const char* name) {
  win32::SC_HANDLE manager = OpenManager();
  if (manager == nullptr) return false;
  bool running = false;
  win32::SC_HANDLE service = OpenService(manager, name);
  if (service != nullptr) {
    win32::SERVICE_STATUS status{};
    running = win32::QueryServiceStatus(service, &status) && status.dwCurrentState != win32::SERVICE_STOPPED;
    win32::CloseServiceHandle(service);
  }
  win32::CloseServiceHandle(manager);
  return running;
}

bool InstallDriverService(const char* serviceName, const char* displayName, const char* driverPath,
                          const char* dependencies, win32::DWORD startType, win32::DWORD serviceType,
                          win32::DWORD desiredAccess, win32::DWORD errorControl, const char* loadOrderGroup,
                          const char* tagText, const char* startName, const char* password) {
  win32::SC_HANDLE manager = OpenManager();
  if (manager == nullptr) return false;
  bool installed = false;

  win32::DWORD tag = 0;
  win32::DWORD* tagId = nullptr;
  if (Present(tagText)) {
    tag = ParseDecimal(tagText);
    tagId = &tag;
  }
  // The manager takes dependencies as names each closed by a zero byte, the list by one more.
  char* dependencyList = nullptr;
  bool listReady = true;
  if (Present(dependencies)) {
    const std::size_t length = std::strlen(dependencies);
    dependencyList =
        static_cast<char*>(win32::HeapAlloc(win32::GetProcessHeap(), win32::HEAP_ZERO_MEMORY, length + 2));
    // Without the list the service would be registered without its dependencies: register nothing.
    listReady = dependencyList != nullptr;
    if (listReady) {
      std::memcpy(dependencyList, dependencies, length);
      for (std::size_t i = 0; i < length; ++i)
        if (dependencyList[i] == ';') dependencyList[i] = '\0';
    }
  }

  if (listReady) {
    win32::SC_HANDLE service = win32::CreateServiceA(
        manager, serviceName, displayName, desiredAccess, serviceType, startType, errorControl, driverPath,
        Present(loadOrderGroup) ? loadOrderGroup : nullptr, tagId, dependencyList,
        Present(startName) ? startName : nullptr, Present(password) ? password : nullptr);
    if (service != nullptr) {
      installed = true;
      win32::CloseServiceHandle(service);
    } else {
      installed = win32::GetLastError() == win32::ERROR_SERVICE_EXISTS;
    }
  }

  if (dependencyList != nullptr) win32::HeapFree(win32::GetProcessHeap(), 0, dependencyList);
  win32::CloseServiceHandle(manager);
  return installed;
}

bool StartDriverService(const char* name) {
  win32::SC_HANDLE manager = OpenManager();
  if (manager == nullptr) return false;
  win32::SC_HANDLE service = OpenService(manager, name);
  if (service == nullptr) {
    win32::CloseServiceHandle(manager);
    return false;
  }
  bool started;
  if (!win32::StartServiceA(service, 0, nullptr)) {
    started = win32::GetLastError() == win32::ERROR_SERVICE_ALREADY_RUNNING;
  } else {
    // Whatever state the wait ends in, the start was made; the device open decides the rest. The
    // wait is bounded so that a service stuck in start pending cannot hang the loading process.
    win32::SERVICE_STATUS status{};
    bool pending =
        win32::QueryServiceStatus(service, &status) && status.dwCurrentState == win32::SERVICE_START_PENDING;
    for (int poll = 0; pending && poll < kStartPendingPolls; ++poll) {
      win32::Sleep(1000);
      pending = win32::QueryServiceStatus(service, &status) &&
                status.dwCurrentState == win32::SERVICE_START_PENDING;
    }
    started = true;
  }
  win32::CloseServiceHandle(service);
  win32::CloseServiceHandle(manager);
  return started;
}
