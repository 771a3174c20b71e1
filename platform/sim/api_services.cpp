// Simulated backend: the service control manager.
#include <cctype>
#include <cstring>

#include "platform/sim/api.h"

namespace win32 {

using sim::api::Args;
using sim::api::Call;

namespace {

constexpr DWORD kErrorInvalidName = 123;  // ERROR_INVALID_NAME

constexpr DWORD kStandardRead = 0x00020000;  // READ_CONTROL; also the standard execute right
constexpr DWORD kStandardWrite = 0x00020000;
constexpr DWORD kGenericAll = 0x10000000;

// The platform's generic mapping for the manager and for services.
DWORD MapManagerAccess(DWORD access) {
  DWORD mapped = access & 0x0FFFFFFF;
  if (access & GENERIC_READ) mapped |= kStandardRead | 0x0004 | 0x0010;  // enumerate, query lock status
  if (access & GENERIC_WRITE) mapped |= kStandardWrite | sim::SC_MANAGER_CREATE_SERVICE | 0x0020;
  if (access & GENERIC_EXECUTE) mapped |= kStandardRead | sim::SC_MANAGER_CONNECT | 0x0008;  // lock
  if (access & kGenericAll) mapped |= SC_MANAGER_ALL_ACCESS;
  return mapped & ~kGenericAll;
}

DWORD MapServiceAccess(DWORD access) {
  DWORD mapped = access & 0x0FFFFFFF;
  if (access & GENERIC_READ) mapped |= kStandardRead | 0x0001 | sim::SERVICE_QUERY_STATUS | 0x0008 | 0x0080;
  if (access & GENERIC_WRITE) mapped |= kStandardWrite | 0x0002;  // change config
  if (access & GENERIC_EXECUTE) mapped |= kStandardRead | sim::SERVICE_START | 0x0020 | 0x0040 | 0x0100;
  if (access & kGenericAll) mapped |= SERVICE_ALL_ACCESS;
  return mapped & ~kGenericAll;
}

std::string Upper(const char* name) {
  std::string key = name;
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

std::optional<std::string> Optional(const char* text) {
  return text == nullptr ? std::nullopt : std::optional<std::string>(text);
}

// The double-zero-terminated list that CreateServiceA takes, split into its names.
std::optional<std::vector<std::string>> SplitList(const char* list) {
  if (list == nullptr) return std::nullopt;
  std::vector<std::string> names;
  for (const char* p = list; *p != '\0'; p += std::strlen(p) + 1) names.emplace_back(p);
  return names;
}

std::string ListArg(const char* list) {
  if (list == nullptr) return "null";
  std::string text = "\"";
  for (const char* p = list; *p != '\0'; p += std::strlen(p) + 1) text += std::string(p) + "\\0";
  return text + "\\0\"";
}

SC_HANDLE NewHandle(sim::Services& services, sim::Services::Handle handle) {
  const std::uintptr_t value = services.nextHandle;
  services.nextHandle += 4;
  services.handles[value] = std::move(handle);
  return reinterpret_cast<SC_HANDLE>(value);
}

const sim::Services::Handle* Lookup(sim::Services& services, SC_HANDLE handle, bool manager) {
  auto it = services.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == services.handles.end() || it->second.manager != manager) return nullptr;
  return &it->second;
}

sim::Service* ServiceOf(sim::Services& services, SC_HANDLE handle, DWORD& access) {
  const sim::Services::Handle* h = Lookup(services, handle, false);
  if (h == nullptr) return nullptr;
  auto it = services.byName.find(h->service);
  if (it == services.byName.end()) return nullptr;
  access = h->access;
  return &it->second;
}

}  // namespace

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
  Call call("OpenSCManagerA", Args(machine, database, access));
  sim::Services& services = call.machine().services;
  const DWORD mapped = MapManagerAccess(access);
  if (call.injected() || (mapped & services.managerRefusedAccess) != 0)
    return call.Return<SC_HANDLE>(nullptr, ERROR_ACCESS_DENIED);
  return call.Return(NewHandle(services, {true, {}, mapped}));
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
  Call call("OpenServiceA", Args(manager, name, access));
  sim::Services& services = call.machine().services;
  if (call.injected()) return call.Return<SC_HANDLE>(nullptr, ERROR_ACCESS_DENIED);
  if (Lookup(services, manager, true) == nullptr)
    return call.Return<SC_HANDLE>(nullptr, ERROR_INVALID_HANDLE);
  if (name == nullptr || *name == '\0') return call.Return<SC_HANDLE>(nullptr, kErrorInvalidName);
  sim::Service* service = services.Find(name);
  if (service == nullptr) return call.Return<SC_HANDLE>(nullptr, ERROR_SERVICE_DOES_NOT_EXIST);
  const DWORD mapped = MapServiceAccess(access);
  if ((mapped & service->refusedAccess) != 0) return call.Return<SC_HANDLE>(nullptr, ERROR_ACCESS_DENIED);
  return call.Return(NewHandle(services, {false, Upper(name), mapped}));
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access, DWORD serviceType,
                         DWORD startType, DWORD errorControl, LPCSTR binaryPath, LPCSTR loadOrderGroup,
                         DWORD* tagId, LPCSTR dependencies, LPCSTR startName, LPCSTR password) {
  Call call("CreateServiceA",
            Args(manager, name, displayName, access, serviceType, startType, errorControl, binaryPath,
                 loadOrderGroup, tagId, ListArg(dependencies), startName, password));
  sim::Services& services = call.machine().services;
  if (call.injected()) return call.Return<SC_HANDLE>(nullptr, ERROR_ACCESS_DENIED);
  const sim::Services::Handle* m = Lookup(services, manager, true);
  if (m == nullptr) return call.Return<SC_HANDLE>(nullptr, ERROR_INVALID_HANDLE);
  if ((m->access & sim::SC_MANAGER_CREATE_SERVICE) == 0)
    return call.Return<SC_HANDLE>(nullptr, ERROR_ACCESS_DENIED);
  if (name == nullptr || *name == '\0') return call.Return<SC_HANDLE>(nullptr, kErrorInvalidName);
  if (services.Find(name) != nullptr) return call.Return<SC_HANDLE>(nullptr, ERROR_SERVICE_EXISTS);
  if (services.createError != 0) return call.Return<SC_HANDLE>(nullptr, services.createError);

  sim::ServiceRegistration r;
  r.name = name;
  r.displayName = Optional(displayName);
  r.desiredAccess = access;
  r.serviceType = serviceType;
  r.startType = startType;
  r.errorControl = errorControl;
  r.binaryPath = Optional(binaryPath);
  r.loadOrderGroup = Optional(loadOrderGroup);
  if (tagId != nullptr) r.tagId = *tagId;
  r.dependencies = SplitList(dependencies);
  r.startName = Optional(startName);
  r.password = Optional(password);
  services.creations.push_back(r);
  sim::Service& service = services.byName[Upper(name)];
  service = sim::Service{};
  service.registration = std::move(r);
  return call.Return(NewHandle(services, {false, Upper(name), MapServiceAccess(access)}));
}

BOOL StartServiceA(SC_HANDLE handle, DWORD argc, LPCSTR* argv) {
  Call call("StartServiceA", Args(handle, argc, argv));
  DWORD access = 0;
  sim::Service* service = ServiceOf(call.machine().services, handle, access);
  if (call.injected()) return call.Return<BOOL>(FALSE, ERROR_ACCESS_DENIED);
  if (service == nullptr) return call.Return<BOOL>(FALSE, ERROR_INVALID_HANDLE);
  if ((access & sim::SERVICE_START) == 0) return call.Return<BOOL>(FALSE, ERROR_ACCESS_DENIED);
  if (service->state != SERVICE_STOPPED) return call.Return<BOOL>(FALSE, ERROR_SERVICE_ALREADY_RUNNING);
  if (service->startError != 0) return call.Return<BOOL>(FALSE, service->startError);
  ++service->starts;
  service->pending.assign(service->startStates.begin(), service->startStates.end());
  if (service->pending.empty()) service->pending.push_back(SERVICE_RUNNING);
  service->state = service->pending.front();
  return call.Return<BOOL>(TRUE);
}

BOOL QueryServiceStatus(SC_HANDLE handle, SERVICE_STATUS* status) {
  Call call("QueryServiceStatus", Args(handle, status));
  DWORD access = 0;
  sim::Service* service = ServiceOf(call.machine().services, handle, access);
  if (call.injected()) return call.Return<BOOL>(FALSE, ERROR_ACCESS_DENIED);
  if (service == nullptr) return call.Return<BOOL>(FALSE, ERROR_INVALID_HANDLE);
  if ((access & sim::SERVICE_QUERY_STATUS) == 0) return call.Return<BOOL>(FALSE, ERROR_ACCESS_DENIED);
  if (status == nullptr) return call.Return<BOOL>(FALSE, ERROR_INVALID_PARAMETER);
  *status = SERVICE_STATUS{};
  status->dwServiceType = service->registration.serviceType;
  status->dwCurrentState = service->state;
  // The start script moves on by one state with every query; its last state stays.
  if (service->pending.size() > 1) {
    service->pending.pop_front();
    service->state = service->pending.front();
  }
  return call.Return<BOOL>(TRUE);
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  Call call("CloseServiceHandle", Args(handle));
  sim::Services& services = call.machine().services;
  if (call.injected()) return call.Return<BOOL>(FALSE, ERROR_INVALID_HANDLE);
  auto it = services.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == services.handles.end()) return call.Return<BOOL>(FALSE, ERROR_INVALID_HANDLE);
  services.closes.push_back(it->second.manager ? "manager" : it->second.service);
  services.handles.erase(it);
  return call.Return<BOOL>(TRUE);
}

}  // namespace win32
