// A simulated machine installed for one TARNSYS test; the library's process state is emptied after
// each test, as a process detach and a fresh load would leave it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/smbios_builder.h"
#include "tarnsys/dll_main.h"
#include "tarnsys/library_state.h"
#include "tarnsys/table_loading.h"

namespace tarn_test {

class TarnsysTest : public ::testing::Test {
 protected:
  void TearDown() override {
    UnloadSmbTable();
    g_smbEntryPoint = SmbEntryPoint{};
  }

  void Attach() { DllMain(nullptr, win32::DLL_PROCESS_ATTACH, nullptr); }
  void Attach(const sim::SmbiosBuilder& table) {
    table.Install(machine);
    Attach();
  }

  std::vector<sim::CallRecord> Calls(const std::string& op) const {
    std::vector<sim::CallRecord> out;
    for (const auto& c : machine.calls)
      if (c.op == op) out.push_back(c);
    return out;
  }
  std::vector<std::string> Ops() const {
    std::vector<std::string> out;
    for (const auto& c : machine.calls) out.push_back(c.op);
    return out;
  }
  std::size_t ServiceManagerCalls() const {
    std::size_t n = 0;
    for (const char* op : {"OpenSCManagerA", "OpenServiceA", "CreateServiceA", "StartServiceA",
                           "QueryServiceStatus", "CloseServiceHandle"})
      n += machine.CountCalls(op);
    return n;
  }

  sim::Machine machine;
  sim::Install installed{machine};
};

}  // namespace tarn_test
