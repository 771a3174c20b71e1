#include "hosts/tarnsys/host_machine.h"

#include <cerrno>
#include <cstring>

#include "platform/sim/captures.h"
#include "platform/sim/demo_machine.h"
#include "platform/sim/dump_loader.h"

namespace tarnsys_host {

namespace {

std::string CannotRead(const std::string& path) {
  const int error = errno;
  return path + ": cannot be read" + (error != 0 ? std::string(": ") + std::strerror(error) : std::string());
}

bool Read(const std::string& path, std::vector<std::uint8_t>& bytes) {
  errno = 0;
  return sim::ReadFileBytes(path, bytes);
}

std::string Loaded(sim::Machine& machine, std::string fault) {
  machine.varn.loaded = fault.empty();
  return fault;
}

}  // namespace

void PrepareMachine(sim::Machine& machine) {
  machine.logCalls = false;
  machine.varn.recordIoctls = false;
  machine.version.platformId = win32::VER_PLATFORM_WIN32_NT;
  machine.services.Add("VARN", win32::SERVICE_RUNNING);
  machine.varn.loaded = true;
}

std::string LoadDumpFile(sim::Machine& machine, const std::string& path) {
  return Loaded(machine, sim::LoadCaptureFile(machine, path));
}

std::string LoadFirmwareTables(sim::Machine& machine, const std::string& folder) {
  const std::string entryPath = folder + "/smbios_entry_point";
  const std::string tablePath = folder + "/DMI";
  std::vector<std::uint8_t> entry, table;
  if (!Read(entryPath, entry)) return Loaded(machine, CannotRead(entryPath));
  if (!Read(tablePath, table)) return Loaded(machine, CannotRead(tablePath));

  sim::Capture capture;
  sim::CaptureFromKernelFiles(entry, table, capture);
  const std::string fault = sim::LoadCapture(machine, capture);
  return Loaded(machine, fault.empty() ? fault : entryPath + ": " + fault);
}

void LoadDemo(sim::Machine& machine) {
  sim::BuildDemoHardware(machine);
  machine.varn.loaded = true;
}

}  // namespace tarnsys_host
