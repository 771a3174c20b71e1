// libtarnsys.so's entry notifications: loading the library builds the host's machine and runs the
// process attach, unloading runs the process detach. Like the DLL, loading never fails and says
// nothing: a source that cannot be read only leaves the library without a table.
#include <cstdlib>
#include <exception>

#include "hosts/tarnsys/host_machine.h"
#include "platform/sim/machine.h"
#include "tarnsys/dll_main.h"

namespace {

sim::Machine* g_machine = nullptr;
sim::Install* g_installed = nullptr;

__attribute__((constructor)) void AttachProcess() {
  // Nothing may escape into the loading program: memory that cannot be had leaves no table.
  try {
    g_machine = new sim::Machine;
    tarnsys_host::PrepareMachine(*g_machine);
    sim::DumpInfo table;
    const char* dump = std::getenv(tarnsys_host::kDumpVariable);
    if (dump != nullptr && *dump != '\0') {
      tarnsys_host::LoadDumpFile(*g_machine, dump, &table);
    } else {
      tarnsys_host::LoadFirmwareTables(*g_machine, tarnsys_host::kFirmwareTables, &table);
    }
    g_installed = new sim::Install(*g_machine);
    tarnsys_host::AttachProcess(*g_machine, g_machine->varn.loaded ? &table : nullptr);
  } catch (const std::exception&) {
  }
}

__attribute__((destructor)) void DetachProcess() {
  if (g_installed != nullptr) DllMain(nullptr, win32::DLL_PROCESS_DETACH, nullptr);
  delete g_installed;
  delete g_machine;
}

}  // namespace
