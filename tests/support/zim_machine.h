// A simulated machine installed for one ZIM test, with the process state that static
// initialisation gives reset before and the exit handlers run after.
#pragma once

#include <gtest/gtest.h>

#include "hosts/zim/program_resources.h"
#include "platform/sim/machine.h"
#include "zim/driver/device_slot.h"

namespace tarn_test {

class ZimTest : public ::testing::Test {
 protected:
  ZimTest() { zim_host::LoadProgramResources(machine.user); }
  void SetUp() override { CloseDeviceSlots(); }
  void TearDown() override { CloseDeviceSlots(); }

  // Control records of one code, in order.
  std::vector<sim::IoctlRecord> Ioctls(win32::DWORD code) const {
    std::vector<sim::IoctlRecord> out;
    for (const auto& r : machine.varn.ioctls)
      if (r.code == code) out.push_back(r);
    return out;
  }

  sim::Machine machine;
  sim::Install installed{machine};
};

}  // namespace tarn_test
