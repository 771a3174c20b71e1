// The library's process attach on the host, apart from the loaders so that a program that only
// loads tables (the host tests) does not need the library's logic.
#include "hosts/tarnsys/host_machine.h"
#include "tarnsys/dll_main.h"
#include "tarnsys/smb_table.h"
#include "tarnsys/table_loading.h"

namespace tarnsys_host {

void AttachProcess(sim::Machine& machine, const sim::DumpInfo* table) {
  DllMain(nullptr, win32::DLL_PROCESS_ATTACH, nullptr);
  if (table != nullptr && table->tooLongFor2x && LoadedSmbTable().start == nullptr) {
    const std::vector<std::uint8_t> bytes = machine.memory.Read(table->tableAddress, table->tableLength);
    AdoptSmbTable(bytes.data(), bytes.size());
  }
}

}  // namespace tarnsys_host
