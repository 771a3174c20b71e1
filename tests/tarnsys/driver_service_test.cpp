// The driver service routines against the simulated service control manager: the rights asked
// for, handles closed on every path, the states that count as running, the registration values,
// the errors that count as success, and the bounded start-pending wait.
#include "tarnsys/driver_service.h"

#include "tarnsys_test.h"

namespace {

using tarn_test::TarnsysTest;

class DriverServiceTest : public TarnsysTest {};

TEST_F(DriverServiceTest, OpensTheLocalManagerAndTheServiceWithAllAccessAndClosesServiceFirst) {
  machine.services.Add("VARN", win32::SERVICE_RUNNING);
  EXPECT_TRUE(DriverServiceExists("VARN"));
  EXPECT_EQ(Ops(), (std::vector<std::string>{"OpenSCManagerA", "OpenServiceA", "CloseServiceHandle",
                                             "CloseServiceHandle"}));
  EXPECT_EQ(Calls("OpenSCManagerA")[0].args, "null, null, 0xF003F");
  EXPECT_EQ(Calls("OpenServiceA")[0].args, "ptr, \"VARN\", 0xF01FF");
  EXPECT_EQ(machine.services.closes, (std::vector<std::string>{"VARN", "manager"}));
  EXPECT_EQ(machine.services.OpenHandles(), 0u);

  EXPECT_FALSE(DriverServiceExists("OTHER"));
  EXPECT_EQ(machine.services.OpenHandles(), 0u);
}

TEST_F(DriverServiceTest, EveryRoutineFailsAtOnceWhenTheManagerRefusesAccess) {
  machine.services.Add("VARN", win32::SERVICE_STOPPED);
  machine.services.managerRefusedAccess = sim::SC_MANAGER_CREATE_SERVICE;  // no administrator rights
  EXPECT_FALSE(DriverServiceExists("VARN"));
  EXPECT_FALSE(DriverServiceRunning("VARN"));
  EXPECT_FALSE(
      InstallDriverService("NEW", "NEW", "C:\\x.sys", "", 1, 1, win32::GENERIC_EXECUTE, 1, "", "", "", ""));
  EXPECT_FALSE(StartDriverService("VARN"));
  EXPECT_EQ(machine.CountCalls("OpenSCManagerA"), 4u);
  EXPECT_EQ(ServiceManagerCalls(), 4u) << "nothing but the refused manager opens";
  EXPECT_EQ(machine.services.byName.size(), 1u);
  EXPECT_EQ(machine.services.Find("VARN")->starts, 0);
}

TEST_F(DriverServiceTest, EveryStateButStoppedCountsAsRunning) {
  sim::Service& varn = machine.services.Add("VARN");
  const std::pair<win32::DWORD, bool> states[] = {{win32::SERVICE_STOPPED, false},
                                                  {win32::SERVICE_START_PENDING, true},
                                                  {win32::SERVICE_STOP_PENDING, true},
                                                  {win32::SERVICE_RUNNING, true},
                                                  {sim::SERVICE_PAUSED, true}};
  for (const auto& [state, running] : states) {
    varn.state = state;
    EXPECT_EQ(DriverServiceRunning("VARN"), running) << "state " << state;
  }
  EXPECT_EQ(machine.services.OpenHandles(), 0u);
}

TEST_F(DriverServiceTest, AServiceThatCannotBeOpenedOrQueriedIsNotRunning) {
  EXPECT_FALSE(DriverServiceRunning("VARN"));
  machine.services.Add("VARN", win32::SERVICE_RUNNING);
  machine.FailCall("QueryServiceStatus", 1);
  EXPECT_FALSE(DriverServiceRunning("VARN"));
  machine.services.Find("VARN")->refusedAccess = sim::SERVICE_QUERY_STATUS;
  EXPECT_FALSE(DriverServiceRunning("VARN"));
  EXPECT_EQ(machine.services.OpenHandles(), 0u);
}

TEST_F(DriverServiceTest, InstallPassesEveryValueAndTurnsTextsIntoTheManagersForms) {
  EXPECT_TRUE(InstallDriverService("SVC", "Display", "C:\\D\\svc.sys", "Alpha;Beta", 3, 1, 0x20000000, 2,
                                   "Group", "42", "LocalSystem", "secret"));
  ASSERT_EQ(machine.services.creations.size(), 1u);
  const sim::ServiceRegistration& r = machine.services.creations[0];
  EXPECT_EQ(r.name, "SVC");
  EXPECT_EQ(r.displayName, "Display");
  EXPECT_EQ(r.binaryPath, "C:\\D\\svc.sys");
  EXPECT_EQ(r.startType, 3u);
  EXPECT_EQ(r.serviceType, 1u);
  EXPECT_EQ(r.desiredAccess, 0x20000000u);
  EXPECT_EQ(r.errorControl, 2u);
  EXPECT_EQ(r.loadOrderGroup, "Group");
  EXPECT_EQ(r.tagId, 42u);
  EXPECT_EQ(r.dependencies, (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(r.startName, "LocalSystem");
  EXPECT_EQ(r.password, "secret");
  EXPECT_EQ(Calls("CreateServiceA")[0].args.find("\"Alpha\\0Beta\\0\\0\"") != std::string::npos, true);
  EXPECT_TRUE(machine.heapBlocks.empty()) << "the dependency list is freed";
  EXPECT_EQ(machine.services.OpenHandles(), 0u) << "the new service's handle is closed at once";
}

TEST_F(DriverServiceTest, InstallPassesNullForEveryAbsentText) {
  EXPECT_TRUE(InstallDriverService("SVC", "SVC", "p", "", 1, 1, 0x20000000, 1, "", nullptr, "", nullptr));
  const sim::ServiceRegistration& r = machine.services.creations.at(0);
  EXPECT_FALSE(r.loadOrderGroup || r.tagId || r.dependencies || r.startName || r.password);
  EXPECT_EQ(machine.CountCalls("HeapAlloc"), 0u);
}

TEST_F(DriverServiceTest, InstallCountsAnExistingServiceAsSuccessAndAnyOtherErrorAsFailure) {
  machine.services.Add("SVC", win32::SERVICE_STOPPED).registration.binaryPath = "old";
  EXPECT_TRUE(InstallDriverService("SVC", "SVC", "new", "", 1, 1, 0x20000000, 1, "", "", "", ""));
  EXPECT_EQ(machine.lastError, win32::ERROR_SERVICE_EXISTS);
  EXPECT_EQ(machine.services.Find("SVC")->registration.binaryPath, "old")
      << "an existing service is not changed";

  machine.services.createError = win32::ERROR_ACCESS_DENIED;
  EXPECT_FALSE(InstallDriverService("NEW", "NEW", "p", "", 1, 1, 0x20000000, 1, "", "", "", ""));
  EXPECT_EQ(machine.services.Find("NEW"), nullptr);
  EXPECT_EQ(machine.services.OpenHandles(), 0u);
}

TEST_F(DriverServiceTest, InstallRegistersNothingWhenTheDependencyListCannotBeBuilt) {
  machine.FailCall("HeapAlloc", 1);
  EXPECT_FALSE(InstallDriverService("SVC", "SVC", "p", "A;B", 1, 1, 0x20000000, 1, "", "", "", ""));
  EXPECT_EQ(machine.CountCalls("CreateServiceA"), 0u);
  EXPECT_EQ(machine.services.OpenHandles(), 0u);
}

TEST_F(DriverServiceTest, StartStartsAStoppedServiceWithNoArgumentsAndQueriesItOnce) {
  machine.services.Add("VARN");
  EXPECT_TRUE(StartDriverService("VARN"));
  EXPECT_EQ(Calls("StartServiceA").at(0).args, "ptr, 0x0, null");
  EXPECT_EQ(machine.services.Find("VARN")->state, win32::SERVICE_RUNNING);
  EXPECT_EQ(machine.CountCalls("QueryServiceStatus"), 1u);
  EXPECT_TRUE(machine.sleeps.empty());
  EXPECT_EQ(machine.services.OpenHandles(), 0u);
}

TEST_F(DriverServiceTest, StartCountsAlreadyRunningAsSuccessAndOtherRefusalsAsFailure) {
  machine.services.Add("VARN", win32::SERVICE_RUNNING);
  EXPECT_TRUE(StartDriverService("VARN"));
  EXPECT_EQ(machine.lastError, win32::ERROR_SERVICE_ALREADY_RUNNING);

  sim::Service& other = machine.services.Add("OTHER");
  other.startError = 1058;  // ERROR_SERVICE_DISABLED
  EXPECT_FALSE(StartDriverService("OTHER"));
  other.startError = 0;
  other.refusedAccess = sim::SERVICE_START;
  EXPECT_FALSE(StartDriverService("OTHER"));
  EXPECT_FALSE(StartDriverService("MISSING"));
  EXPECT_EQ(machine.CountCalls("QueryServiceStatus"), 0u);
  EXPECT_EQ(machine.services.OpenHandles(), 0u);
}

TEST_F(DriverServiceTest, StartWaitsOneSecondPerPollWhileTheServiceIsStartPending) {
  machine.services.Add("VARN").startStates = {win32::SERVICE_START_PENDING, win32::SERVICE_START_PENDING,
                                              win32::SERVICE_START_PENDING, win32::SERVICE_RUNNING};
  EXPECT_TRUE(StartDriverService("VARN"));
  EXPECT_EQ(machine.sleeps, (std::vector<win32::DWORD>{1000, 1000, 1000}));
  EXPECT_EQ(machine.CountCalls("QueryServiceStatus"), 4u);
}

TEST_F(DriverServiceTest, TheWaitEndsWhenTheServiceStopsOrAQueryFailsAndStillCountsAsStarted) {
  machine.services.Add("STOPS").startStates = {win32::SERVICE_START_PENDING, win32::SERVICE_STOPPED};
  EXPECT_TRUE(StartDriverService("STOPS"));
  EXPECT_EQ(machine.sleeps.size(), 1u);

  machine.services.Add("FAILS").startStates = {win32::SERVICE_START_PENDING};
  machine.FailCall("QueryServiceStatus", 4);  // the second query of this start
  EXPECT_TRUE(StartDriverService("FAILS"));
  EXPECT_EQ(machine.sleeps.size(), 2u);
}

TEST_F(DriverServiceTest, AServiceStuckInStartPendingIsPolledThirtyTimesThenLeft) {
  machine.services.Add("VARN").startStates = {win32::SERVICE_START_PENDING};
  EXPECT_TRUE(StartDriverService("VARN"));
  EXPECT_EQ(machine.sleeps, std::vector<win32::DWORD>(kStartPendingPolls, 1000));
  EXPECT_EQ(machine.CountCalls("QueryServiceStatus"), 1u + kStartPendingPolls);
  EXPECT_EQ(machine.services.OpenHandles(), 0u);
}

}  // namespace
