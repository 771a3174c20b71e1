// Simulated machine: the service control manager: services, registration values, states, start sequences.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace sim {

// The specific rights that the simulated manager checks; generic rights map onto them as the
// platform maps them.
inline constexpr win32::DWORD SC_MANAGER_CONNECT = 0x0001;
inline constexpr win32::DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr win32::DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr win32::DWORD SERVICE_START = 0x0010;
inline constexpr win32::DWORD SERVICE_PAUSED = 7;

// What CreateServiceA received, exactly: a null text stays apart from an empty one.
struct ServiceRegistration {
  std::string name;
  std::optional<std::string> displayName;
  win32::DWORD desiredAccess = 0;
  win32::DWORD serviceType = 0;
  win32::DWORD startType = 0;
  win32::DWORD errorControl = 0;
  std::optional<std::string> binaryPath;
  std::optional<std::string> loadOrderGroup;
  std::optional<win32::DWORD> tagId;                     // the value lpdwTagId pointed at; none: null
  std::optional<std::vector<std::string>> dependencies;  // the double-zero-terminated list, split
  std::optional<std::string> startName;
  std::optional<std::string> password;
};

struct Service {
  ServiceRegistration registration;
  win32::DWORD state = win32::SERVICE_STOPPED;
  // The states that successive QueryServiceStatus calls report after a successful start; the last
  // one stays. Empty: the service runs at once.
  std::vector<win32::DWORD> startStates;
  win32::DWORD startError = 0;       // StartServiceA fails with this error; 0: the start works
  win32::DWORD refusedAccess = 0;    // OpenServiceA is refused when it asks for any of these rights
  int starts = 0;                    // successful starts
  std::deque<win32::DWORD> pending;  // what the start script has still to report, current state first
};

struct Services {
  win32::DWORD managerRefusedAccess = 0;       // OpenSCManagerA is refused when it asks for any of these
  win32::DWORD createError = 0;                // CreateServiceA fails with this error; 0: creation works
  std::vector<ServiceRegistration> creations;  // every creation that the manager carried out
  std::vector<std::string>
      closes;  // what each successful CloseServiceHandle closed: "manager" or a service name

  // Registers a kernel driver service, as an earlier installation would have left it.
  Service& Add(const std::string& name, win32::DWORD state = win32::SERVICE_STOPPED);
  // Service names are compared without case, as the platform compares them.
  Service* Find(const std::string& name);
  std::size_t OpenHandles() const { return handles.size(); }

  std::map<std::string, Service> byName;  // keyed by the name in upper case

  // Manager and service handles: the manager's own table, apart from kernel handles.
  struct Handle {
    bool manager = false;
    std::string service;  // upper-case key of the service
    win32::DWORD access = 0;
  };
  std::map<std::uintptr_t, Handle> handles;
  std::uintptr_t nextHandle = 0x5C0000;
};

}  // namespace sim
