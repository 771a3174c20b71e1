#include "hosts/tarnsys/host_machine.h"

#include "platform/sim/captures.h"
#include "platform/sim/demo_machine.h"
#include "platform/sim/dump_loader.h"
#include "platform/sim/input_file.h"

namespace tarnsys_host {

namespace {

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

std::string LoadDumpFile(sim::Machine& machine, const std::string& path, sim::DumpInfo* table) {
  return Loaded(machine, sim::LoadCaptureFile(machine, path, {}, table));
}

std::string LoadFirmwareTables(sim::Machine& machine, const std::string& folder, sim::DumpInfo* table) {
  sim::Capture capture;
  std::string culprit;
  std::string fault = sim::ReadKernelTables(folder, capture, &culprit);
  if (!fault.empty()) return Loaded(machine, sim::Displayed(culprit) + ": " + fault);
  fault = sim::LoadCapture(machine, capture, {}, table);
  return Loaded(machine,
                fault.empty() ? fault : sim::Displayed(folder + "/smbios_entry_point") + ": " + fault);
}

void LoadDemo(sim::Machine& machine) {
  sim::BuildDemoHardware(machine);
  machine.varn.loaded = true;
}

}  // namespace tarnsys_host
