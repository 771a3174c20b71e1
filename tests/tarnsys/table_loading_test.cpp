// Process attach and detach: the device open on each platform, the driver service steps, the
// entry-point scan, the table read, and every failure with the state it leaves.
#include <algorithm>
#include <cstring>

#include "tarnsys/smb_table.h"
#include "tarnsys/tarnsys.h"
#include "tarnsys_test.h"
#include "zim/driver/varn_ioctl.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using tarn_test::TarnsysTest;

constexpr std::uint32_t kTableAt = 0xE0000;

sim::SmbiosBuilder SmallTable() {
  sim::SmbiosBuilder b;
  b.Add(3, 0x0300, {1, 3, 0, 2}, {"Maker", "SERIAL1"});
  b.EndOfTable(0x7F00);
  return b;
}

// An entry point of `length` bytes (31 or more carry the 2.x fields) whose checksum is right.
Bytes EntryPoint(std::uint16_t tableLength, std::uint8_t length = 31) {
  const auto ep = sim::MakeEntryPoint(kTableAt, tableLength, 2);
  Bytes bytes(ep.begin(), ep.end());
  bytes.resize(length, 0);
  bytes[5] = length;
  bytes[4] = 0;
  std::uint8_t sum = 0;
  for (std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  bytes[4] = static_cast<std::uint8_t>(0x100 - sum);
  return bytes;
}

class TableLoadingTest : public TarnsysTest {
 protected:
  // Writes the small table without its entry point.
  std::uint16_t WriteTable() {
    const auto table = SmallTable();
    machine.memory.Write(kTableAt, table.Bytes());
    return static_cast<std::uint16_t>(table.Bytes().size());
  }
  std::vector<sim::IoctlRecord> Reads() const {
    std::vector<sim::IoctlRecord> out;
    for (const auto& r : machine.varn.ioctls)
      if (r.code == varn::IOCTL_READ_PHYSICAL) out.push_back(r);
    return out;
  }
  static std::uint32_t Address(const sim::IoctlRecord& r) {
    std::uint32_t a;
    std::memcpy(&a, r.input.data(), 4);
    return a;
  }
  bool HasTable() const { return g_structureTable != nullptr; }
  bool EntryPointIsZero() const {
    const SmbEntryPoint zero{};
    return std::memcmp(&g_smbEntryPoint, &zero, sizeof zero) == 0;
  }
  bool Answers() {
    char buffer[256];
    return GetServiceTag(buffer, 0) == 1;
  }
};

// ---- the device open

TEST_F(TableLoadingTest, Windows9xOpensTheVxdForReadingWithSharingAndMakesNoServiceCall) {
  machine.version.platformId = win32::VER_PLATFORM_WIN32_WINDOWS;
  Attach(SmallTable());
  EXPECT_EQ(Calls("CreateFileA").at(0).args, "\"\\\\.\\VARN.VXD\", 0x80000000, 0x3, null, 0x3, 0x80, null");
  EXPECT_EQ(ServiceManagerCalls(), 0u);
  EXPECT_EQ(machine.CountCalls("GetWindowsDirectoryA"), 0u);
  EXPECT_TRUE(Answers());
}

TEST_F(TableLoadingTest, WindowsNtRegistersAMissingServiceExactlyStartsItAndOpensTheDevice) {
  machine.windowsDirectory = "C:\\WINNT";
  Attach(SmallTable());
  ASSERT_EQ(machine.services.creations.size(), 1u);
  const sim::ServiceRegistration& r = machine.services.creations[0];
  EXPECT_EQ(r.name, "VARN");
  EXPECT_EQ(r.displayName, "VARN");
  EXPECT_EQ(r.desiredAccess, 0x20000000u);
  EXPECT_EQ(r.serviceType, 1u);
  EXPECT_EQ(r.startType, 1u);
  EXPECT_EQ(r.errorControl, 1u);
  EXPECT_EQ(r.binaryPath, "C:\\WINNT\\SYSTEM32\\DRIVERS\\VARN.SYS");
  EXPECT_FALSE(r.loadOrderGroup || r.tagId || r.dependencies || r.startName || r.password);
  EXPECT_EQ(machine.services.Find("VARN")->starts, 1);
  EXPECT_EQ(Calls("CreateFileA").at(0).args, "\"\\\\.\\VARN\", 0xC0000000, 0x0, null, 0x3, 0x80, null");
  const std::vector<std::string> order = {"GetVersionExA",      "GetWindowsDirectoryA", "OpenSCManagerA",
                                          "OpenServiceA",       "CloseServiceHandle",   "OpenSCManagerA",
                                          "CreateServiceA",     "CloseServiceHandle",   "CloseServiceHandle",
                                          "OpenSCManagerA",     "OpenServiceA",         "QueryServiceStatus",
                                          "CloseServiceHandle", "CloseServiceHandle",   "OpenSCManagerA",
                                          "OpenServiceA",       "StartServiceA",        "QueryServiceStatus",
                                          "CloseServiceHandle", "CloseServiceHandle",   "CreateFileA"};
  const auto ops = Ops();
  EXPECT_EQ(std::vector<std::string>(ops.begin(), ops.begin() + static_cast<std::ptrdiff_t>(order.size())),
            order);
  EXPECT_EQ(machine.services.OpenHandles(), 0u);
  EXPECT_TRUE(Answers());
}

TEST_F(TableLoadingTest, AWindowsDirectoryEndingInABackslashGetsNoSecondOne) {
  for (const char* dir : {"C:\\", "D:\\WIN\\"}) {
    sim::Machine m;
    m.windowsDirectory = dir;
    sim::Install in(m);
    UnloadSmbTable();
    Attach();
    ASSERT_EQ(m.services.creations.size(), 1u);
    EXPECT_EQ(m.services.creations[0].binaryPath, std::string(dir) + "SYSTEM32\\DRIVERS\\VARN.SYS");
    UnloadSmbTable();
  }
}

TEST_F(TableLoadingTest, ARegisteredServiceIsNotCreatedAndARunningOneIsNotStarted) {
  machine.services.Add("VARN", win32::SERVICE_STOPPED);
  Attach(SmallTable());
  EXPECT_EQ(machine.CountCalls("CreateServiceA"), 0u);
  EXPECT_EQ(machine.services.Find("VARN")->starts, 1);

  UnloadSmbTable();
  machine.calls.clear();
  Attach();
  EXPECT_EQ(machine.CountCalls("CreateServiceA"), 0u);
  EXPECT_EQ(machine.CountCalls("StartServiceA"), 0u);
  EXPECT_TRUE(Answers());
}

TEST_F(TableLoadingTest, AnUnreadableWindowsDirectoryRegistersNothingButTheStartAndOpenAreTried) {
  machine.FailCall("GetWindowsDirectoryA", 1);
  Attach(SmallTable());
  EXPECT_EQ(machine.CountCalls("CreateServiceA"), 0u);
  EXPECT_EQ(machine.CountCalls("CreateFileA"), 1u);
}

TEST_F(TableLoadingTest, OtherPlatformsAndAFailedVersionQueryOpenNothing) {
  for (win32::DWORD id : {win32::VER_PLATFORM_WIN32s, win32::DWORD{3}}) {
    machine.version.platformId = id;
    Attach(SmallTable());
    EXPECT_EQ(g_device, win32::INVALID_HANDLE_VALUE);
    EXPECT_FALSE(HasTable());
  }
  machine.version.platformId = win32::VER_PLATFORM_WIN32_NT;
  machine.version.fails = true;
  Attach();
  EXPECT_EQ(g_device, win32::INVALID_HANDLE_VALUE);
  EXPECT_EQ(machine.CountCalls("CreateFileA"), 0u);
  EXPECT_EQ(ServiceManagerCalls(), 0u);
}

// ---- the failure table: every row, with the state it leaves

TEST_F(TableLoadingTest, ARefusedManagerStillLetsTheDeviceOpenDecide) {
  machine.services.managerRefusedAccess = sim::SC_MANAGER_CREATE_SERVICE;
  Attach(SmallTable());
  EXPECT_EQ(machine.CountCalls("OpenSCManagerA"), 4u) << "exists, install, running, start";
  EXPECT_EQ(machine.CountCalls("OpenServiceA"), 0u);
  EXPECT_TRUE(Answers()) << "the driver was loaded all along";
}

TEST_F(TableLoadingTest, AFailedCreationStillTriesTheRunCheckTheStartAndTheOpen) {
  machine.services.createError = win32::ERROR_ACCESS_DENIED;
  Attach(SmallTable());
  EXPECT_EQ(machine.CountCalls("CreateServiceA"), 1u);
  EXPECT_EQ(machine.CountCalls("OpenServiceA"), 3u) << "exists, then the run check, then the start";
  EXPECT_EQ(machine.CountCalls("CreateFileA"), 1u);
  EXPECT_TRUE(Answers());
}

TEST_F(TableLoadingTest, AFailedStartStillTriesTheOpen) {
  machine.services.Add("VARN").startError = 1058;
  machine.varn.loaded = false;
  Attach(SmallTable());
  EXPECT_EQ(machine.CountCalls("CreateFileA"), 1u);
  EXPECT_EQ(g_device, win32::INVALID_HANDLE_VALUE);
  EXPECT_FALSE(HasTable());
}

TEST_F(TableLoadingTest, AServiceStuckStartPendingDelaysTheOpenByThirtySecondsAtMost) {
  machine.services.Add("VARN").startStates = {win32::SERVICE_START_PENDING};
  Attach(SmallTable());
  EXPECT_EQ(machine.sleeps.size(), 30u);
  EXPECT_TRUE(Answers());
}

TEST_F(TableLoadingTest, AFailedOpenSkipsTheScan) {
  machine.FailCall("CreateFileA", 1);
  Attach(SmallTable());
  EXPECT_EQ(g_device, win32::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(machine.varn.ioctls.empty());
  EXPECT_FALSE(HasTable());
}

TEST_F(TableLoadingTest, TheFirstFailingProbeEndsTheScanEvenWithAnEntryPointFurtherUp) {
  machine.memory.Write(0xF0100, EntryPoint(WriteTable()));
  machine.FailCall("DeviceIoControl", 3);
  Attach();
  EXPECT_EQ(Reads().size(), 3u);
  EXPECT_NE(g_device, win32::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(EntryPointIsZero());
  EXPECT_FALSE(HasTable());
}

TEST_F(TableLoadingTest, WithNoAnchorAll4096CandidatesAreProbedFromFirstToLast) {
  WriteTable();
  Attach();
  const auto reads = Reads();
  ASSERT_EQ(reads.size(), 4096u);
  EXPECT_EQ(Address(reads.front()), 0xF0000u);
  EXPECT_EQ(Address(reads.back()), 0xFFFF0u);
  EXPECT_EQ(reads[1].input, (Bytes{0x10, 0, 0x0F, 0, 0, 0, 0, 0}));
  for (const auto& r : reads) EXPECT_EQ(r.outSize, 8u);
  EXPECT_NE(g_device, win32::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(EntryPointIsZero());
  EXPECT_FALSE(HasTable());
}

TEST_F(TableLoadingTest, NoMemoryForTheEntryPointEndsTheScan) {
  machine.memory.Write(0xF0000, EntryPoint(WriteTable()));
  machine.FailCall("HeapAlloc", 1);
  Attach();
  EXPECT_EQ(Reads().size(), 1u);
  EXPECT_TRUE(EntryPointIsZero());
  EXPECT_FALSE(HasTable());
}

TEST_F(TableLoadingTest, AFailedEntryPointReadEndsTheScanAndFreesItsBuffer) {
  machine.memory.Write(0xF0000, EntryPoint(WriteTable()));
  machine.FailCall("DeviceIoControl", 2);
  Attach();
  EXPECT_TRUE(EntryPointIsZero());
  EXPECT_FALSE(HasTable());
  EXPECT_TRUE(machine.heapBlocks.empty());
}

TEST_F(TableLoadingTest, NoMemoryForTheTableKeepsTheEntryPoint) {
  const std::uint16_t length = WriteTable();
  machine.memory.Write(0xF0000, EntryPoint(length));
  machine.FailCall("HeapAlloc", 2);
  Attach();
  EXPECT_EQ(g_smbEntryPoint.structureTableLength, length);
  EXPECT_FALSE(HasTable());
  EXPECT_EQ(Reads().size(), 2u) << "no table read";
}

TEST_F(TableLoadingTest, AFailedTableReadFreesTheBlockAndKeepsTheEntryPoint) {
  const std::uint16_t length = WriteTable();
  machine.memory.Write(0xF0000, EntryPoint(length));
  machine.FailCall("DeviceIoControl", 3);
  Attach();
  EXPECT_EQ(g_smbEntryPoint.structureTableAddress, kTableAt);
  EXPECT_FALSE(HasTable());
  EXPECT_TRUE(machine.heapBlocks.empty());
  EXPECT_FALSE(Answers());
}

TEST_F(TableLoadingTest, ADriverThatWritesLessThanTheTableLeavesZerosInTheCopyNotHeapBytes) {
  sim::SmbiosBuilder b;
  b.Add(3, 0x0300, {1, 3, 0, 2}, {"M", std::string(40, 'S')});
  machine.memory.Write(kTableAt, b.Bytes());
  const auto length = static_cast<std::uint16_t>(b.Bytes().size());
  machine.memory.Write(0xF0000, EntryPoint(length));
  machine.heapFill = 0xA5;
  machine.varn.physicalReadMost = 40;  // the whole entry point, the table's first 40 bytes
  Attach();
  ASSERT_TRUE(HasTable());
  Bytes expected = b.Bytes();
  std::fill(expected.begin() + 40, expected.end(), 0);
  EXPECT_EQ(Bytes(g_structureTable, g_structureTable + length), expected);
  char tag[64];
  ASSERT_EQ(GetServiceTag(tag, 0), 1);
  EXPECT_EQ(std::string(tag), std::string(30, 'S'));
}

TEST_F(TableLoadingTest, ADriverThatWritesLessThanTheEntryPointNeverMakesHeapBytesOne) {
  const Bytes ep = EntryPoint(WriteTable());
  machine.memory.Write(0xF0000, ep);
  // Its first 20 bytes arrive; the heap holds bytes that would make the other 11 complete the checksum.
  std::uint8_t sum = 0, fill = 0;
  for (int i = 0; i < 20; ++i) sum = static_cast<std::uint8_t>(sum + ep[i]);
  ASSERT_NE(sum, 0);
  while (static_cast<std::uint8_t>(sum + 11 * fill) != 0) ++fill;
  machine.heapFill = fill;
  machine.varn.physicalReadMost = 20;
  Attach();
  EXPECT_FALSE(HasTable());
  EXPECT_FALSE(Answers());
}

// ---- the scan

TEST_F(TableLoadingTest, AnEntryPointAtTheFirstCandidateIsFoundByTheFirstProbeAndReadInThreeControls) {
  const std::uint16_t length = WriteTable();
  machine.memory.Write(0xF0000, EntryPoint(length, 0x20));  // a longer entry point: its checksum covers 32
  Attach();
  const auto reads = Reads();
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].outSize, 8u);
  EXPECT_EQ(reads[1].outSize, 0x20u);
  EXPECT_EQ(Address(reads[1]), 0xF0000u);
  EXPECT_EQ(reads[2].input, (Bytes{0x00, 0x00, 0x0E, 0x00, 0, 0, 0, 0}));
  EXPECT_EQ(reads[2].outSize, length);
  EXPECT_EQ(machine.heapBlocks.size(), 2u) << "only the table copy and its index stay";
  EXPECT_EQ(machine.heapBlocks.at(g_structureTable), length);
  EXPECT_TRUE(Answers());
}

TEST_F(TableLoadingTest, AnEntryPointAtTheLastCandidateIsFoundByTheLastProbe) {
  machine.memory.Write(0xFFFF0, EntryPoint(WriteTable()));
  Attach();
  EXPECT_EQ(Reads().size(), 4096u + 2);
  EXPECT_TRUE(Answers());
}

TEST_F(TableLoadingTest, BadChecksumsAndShortLengthsAreSkippedAndTheScanGoesOn) {
  const std::uint16_t length = WriteTable();
  Bytes bad = EntryPoint(length);
  bad[4] ^= 1;
  machine.memory.Write(0xF0000, bad);
  // A valid-looking 16-byte candidate: its checksum is right over the 16 bytes it declares.
  Bytes shortOne = EntryPoint(length, 16);
  machine.memory.Write(0xF0010, shortOne);
  Bytes good = EntryPoint(length);
  good[6] = 7;  // the version fields are kept, not examined
  good[4] = static_cast<std::uint8_t>(good[4] - 5);
  machine.memory.Write(0xF0040, good);
  Attach();
  const auto reads = Reads();
  // Probe, read of 31 (bad checksum), probe (short: no second read), probes up to 0xF0040, read, table.
  ASSERT_EQ(reads.size(), 1u + 1 + 1 + 2 + 1 + 1 + 1);
  EXPECT_EQ(reads[1].outSize, 31u);
  EXPECT_EQ(Address(reads[3]), 0xF0020u);
  EXPECT_EQ(g_smbEntryPoint.majorVersion, 7);
  EXPECT_TRUE(Answers());
}

// ---- the entry notifications and the state they leave

TEST_F(TableLoadingTest, DetachClosesTheDeviceAndFreesTheCopyButKeepsTheEntryPoint) {
  Attach(SmallTable());
  ASSERT_TRUE(Answers());
  const SmbEntryPoint loaded = g_smbEntryPoint;
  const std::size_t serviceCalls = ServiceManagerCalls();
  EXPECT_EQ(DllMain(nullptr, win32::DLL_PROCESS_DETACH, nullptr), win32::TRUE);
  EXPECT_EQ(g_device, win32::INVALID_HANDLE_VALUE);
  EXPECT_FALSE(HasTable());
  EXPECT_EQ(std::memcmp(&loaded, &g_smbEntryPoint, sizeof loaded), 0);
  EXPECT_EQ(machine.OpenHandleCount(sim::HandleKind::Device), 0u);
  EXPECT_TRUE(machine.heapBlocks.empty());
  EXPECT_FALSE(Answers());
  EXPECT_EQ(ServiceManagerCalls(), serviceCalls) << "nothing is done to the service at detach";
}

TEST_F(TableLoadingTest, ThreadNotificationsChangeNothingAndEveryNotificationAnswersTrue) {
  EXPECT_FALSE(Answers()) << "before attach";
  Attach(SmallTable());
  const std::size_t calls = machine.calls.size();
  const win32::HANDLE device = g_device;
  EXPECT_EQ(DllMain(nullptr, win32::DLL_THREAD_ATTACH, nullptr), win32::TRUE);
  EXPECT_EQ(DllMain(nullptr, win32::DLL_THREAD_DETACH, nullptr), win32::TRUE);
  EXPECT_EQ(machine.calls.size(), calls);
  EXPECT_EQ(g_device, device);
  EXPECT_TRUE(Answers());

  UnloadSmbTable();
  machine.varn.loaded = false;
  EXPECT_EQ(DllMain(nullptr, win32::DLL_PROCESS_ATTACH, nullptr), win32::TRUE) << "a failed load still loads";
}

}  // namespace
