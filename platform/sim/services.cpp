#include "platform/sim/services.h"

#include <cctype>

namespace sim {

namespace {

std::string Key(const std::string& name) {
  std::string key = name;
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

}  // namespace

Service& Services::Add(const std::string& name, win32::DWORD state) {
  Service& service = byName[Key(name)];
  service.registration.name = name;
  service.registration.displayName = name;
  service.registration.serviceType = win32::SERVICE_KERNEL_DRIVER;
  service.registration.startType = win32::SERVICE_SYSTEM_START;
  service.registration.errorControl = win32::SERVICE_ERROR_NORMAL;
  service.state = state;
  return service;
}

Service* Services::Find(const std::string& name) {
  auto it = byName.find(Key(name));
  return it == byName.end() ? nullptr : &it->second;
}

}  // namespace sim
