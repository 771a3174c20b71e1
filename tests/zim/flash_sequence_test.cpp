// The flash sequence through its one entry: every error code for its own reason, the privilege
// calls and their restore, the retry branch and its registry effects, and two runs in a row.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/sim/demo_machine.h"
#include "platform/sim/smbios_builder.h"
#include "support/zim_machine.h"
#include "zim/app/bios_upgrade.h"
#include "zim/app/image_staging.h"
#include "zim/driver/varn_ioctl.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kStateKey[] = "Software\\Tarn\\BIOSUPGRADE";
constexpr char kRunOnceKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
constexpr char kCommandLine[] = "\"C:\\TARN\\BIOS\\ZIM.EXE\" ";
constexpr char kCleanup[] = "C:\\TARN\\CLEANUP.EXE -s";
constexpr std::int32_t kStageResult = 0x51;

class FlashSequenceTest : public tarn_test::ZimTest {
 protected:
  void SetUp() override {
    ZimTest::SetUp();
    sim::BuildDemoHardware(machine);
    Bytes image(1000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i);
    machine.files.AddFile("C:\\TARN\\BIOS\\ZIM.EXE", Bytes(64, 0x4D));
    imageFile = &machine.files.AddFile("C:\\TARN\\BIOS\\A07.HDR", image);
    machine.session.commandLine = kCommandLine;
    machine.registry.SetString(kStateKey, "BiosUpgradeCleanup", kCleanup);
    machine.registry.AddKey(kRunOnceKey);
    machine.varn.stageResult = kStageResult;
  }

  bool Run() {
    CBiosUpgrade upgrade;
    const bool result = upgrade.RunWithShutdownPrivilege();
    errorCode = upgrade.GetErrorCode();
    return result;
  }

  // The values written to the CMOS location of tokens 92 and 93 (92 sets bit 6, 93 clears it).
  Bytes TokenWrites() const {
    Bytes out;
    for (const auto& r : Ioctls(varn::IOCTL_WRITE_INDEXED_PORT))
      if (r.input[0] == 0x70 && r.input[2] == 0x78) out.push_back(r.input[6]);
    return out;
  }

  std::optional<Bytes> Value(const char* key, const char* name) const {
    const sim::RegValue* v = machine.registry.GetValue(key, name);
    if (v == nullptr) return std::nullopt;
    return v->data;
  }
  static Bytes Data(const std::string& s) { return Bytes(s.begin(), s.end()); }
  static Bytes Terminated(const std::string& s) { return Bytes(s.c_str(), s.c_str() + s.size() + 1); }
  static Bytes Exchanged(Bytes b) {
    ExchangeNibbles(b.data(), b.size());
    return b;
  }

  std::vector<sim::CallRecord> Calls(const std::string& op) const {
    std::vector<sim::CallRecord> out;
    for (const auto& c : machine.calls)
      if (c.op == op) out.push_back(c);
    return out;
  }

  // What every path releases; the token handle stays open only after a restart request on NT.
  void ExpectReleased(std::size_t tokens = 0) const {
    EXPECT_EQ(machine.OpenHandleCount(sim::HandleKind::File), 0u);
    EXPECT_EQ(machine.OpenHandleCount(sim::HandleKind::Find), 0u);
    EXPECT_EQ(machine.OpenHandleCount(sim::HandleKind::Token), tokens);
    EXPECT_TRUE(machine.heapBlocks.empty());
    EXPECT_EQ(machine.registry.OpenKeyCount(), 0u);
  }

  // A machine whose only token table lacks token 93, or both 92 and 93.
  void ReplaceTokenTable(const std::vector<sim::TokenRecord>& tokens) {
    sim::SmbiosBuilder table;
    table.Add(0, 0, {1, 2, 0, 0xE0, 3, 0x0F}, {"Tarn", "A07", "08/16/2001"});
    table.TokenTable(0xD400, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E, tokens);
    table.EndOfTable(0x7F00);
    table.Install(machine);
  }

  sim::FileEntry* imageFile = nullptr;
  std::string errorCode;
};

TEST_F(FlashSequenceTest, StagedImageSetsToken92AndRestartsWithThePrivilegeEnabled) {
  EXPECT_TRUE(Run());
  EXPECT_EQ(errorCode, "");
  // The delay comes first, before the platform is asked for.
  ASSERT_GE(machine.calls.size(), 2u);
  EXPECT_EQ(machine.calls[0].op, "Sleep");
  EXPECT_EQ(machine.calls[0].args, "0x7D0");
  EXPECT_EQ(machine.calls[1].op, "GetVersionExA");
  EXPECT_EQ(machine.calls[1].args, "0x9C");

  const auto open = Calls("OpenProcessToken");
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].args, "INVALID_HANDLE_VALUE, 0x28, ptr");  // the process pseudo handle
  const auto lookup = Calls("LookupPrivilegeValueA");
  ASSERT_EQ(lookup.size(), 1u);
  EXPECT_EQ(lookup[0].args, "null, \"SeShutdownPrivilege\", ptr");
  const auto adjust = Calls("AdjustTokenPrivileges");
  ASSERT_EQ(adjust.size(), 1u);
  EXPECT_EQ(adjust[0].args, "ptr, 0, {19:0x2}, 0x10, ptr, ptr");
  EXPECT_TRUE(machine.session.ShutdownPrivilegeEnabled());
  ExpectReleased(1);  // the token stays open while the restart is under way

  EXPECT_EQ(machine.files.CurrentDirectory(), "C:\\TARN\\BIOS");
  ASSERT_EQ(machine.varn.staged.size(), 1u);
  EXPECT_EQ(machine.varn.staged[0][1], 0x10);
  EXPECT_EQ(TokenWrites(), (Bytes{0xC1}));
  EXPECT_EQ(machine.cmos[0x70].bytes[0x78], 0xC1);
  ASSERT_EQ(machine.session.restarts.size(), 1u);
  EXPECT_EQ(machine.session.restarts[0].flags, win32::EWX_REBOOT);
  EXPECT_EQ(machine.session.restarts[0].reason, 0u);
  EXPECT_TRUE(machine.session.restarts[0].accepted);
  EXPECT_TRUE(machine.varn.released.empty());
  // The cleanup runs once at the next start; no retry is arranged.
  EXPECT_EQ(Value(kRunOnceKey, "BiosUpgradeCleanup"), Data(kCleanup));
  EXPECT_EQ(Value(kRunOnceKey, "ZIM"), std::nullopt);
  EXPECT_EQ(Value(kStateKey, "retry"), std::nullopt);
  EXPECT_TRUE(machine.user.boxes.empty());
}

TEST_F(FlashSequenceTest, WithoutWindowsNtNoPrivilegeCallIsMade) {
  struct Platform {
    const char* name;
    win32::DWORD id;
    bool versionFails;
  };
  for (const Platform& p :
       {Platform{"9x", 1, false}, Platform{"other", 0, false}, Platform{"no version", 2, true}}) {
    SCOPED_TRACE(p.name);
    CloseDeviceSlots();
    machine.calls.clear();
    machine.session.restarts.clear();
    machine.varn.staged.clear();
    machine.version.platformId = p.id;
    machine.version.fails = p.versionFails;
    // The sequence's result is FlashAndRestart's: a restart on 9x; where no device name applies,
    // staging fails with ERR4 and the retry is arranged.
    EXPECT_TRUE(Run());
    EXPECT_EQ(machine.calls[0].op, "Sleep");
    EXPECT_EQ(machine.CountCalls("OpenProcessToken"), 0u);
    EXPECT_EQ(machine.CountCalls("LookupPrivilegeValueA"), 0u);
    EXPECT_EQ(machine.CountCalls("AdjustTokenPrivileges"), 0u);
    EXPECT_FALSE(machine.session.ShutdownPrivilegeEnabled());
    if (p.id == 1) {
      EXPECT_EQ(TokenWrites().back(), 0xC1);
      ASSERT_EQ(machine.session.restarts.size(), 1u);
      EXPECT_TRUE(machine.session.restarts[0].accepted);
    } else {
      EXPECT_TRUE(machine.varn.staged.empty());
      EXPECT_EQ(machine.user.boxes.back().id, 3u);
    }
    ExpectReleased();
    machine.registry.DeleteValue(kStateKey, "retry");
    machine.registry.DeleteValue(kRunOnceKey, "ZIM");
  }
}

TEST_F(FlashSequenceTest, VersionQueryFallsBackToTheBasicStructure) {
  machine.version.acceptsExtended = false;
  EXPECT_TRUE(Run());
  const auto versions = Calls("GetVersionExA");
  ASSERT_GE(versions.size(), 2u);
  EXPECT_EQ(versions[0].args, "0x9C");
  EXPECT_EQ(versions[0].result, "0");
  EXPECT_EQ(versions[1].args, "0x94");
  EXPECT_EQ(versions[1].result, "1");
  EXPECT_EQ(machine.CountCalls("AdjustTokenPrivileges"), 1u);  // recognised as Windows NT
}

TEST_F(FlashSequenceTest, EachPrivilegeStepFailingGivesErr1BeforeAnythingElse) {
  const char* steps[] = {"OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges"};
  for (const char* step : steps) {
    SCOPED_TRACE(step);
    machine.faults.clear();
    machine.FailCall(step, machine.CountCalls(step) + 1);
    EXPECT_FALSE(Run());
    EXPECT_EQ(errorCode, "ERR1");
    EXPECT_EQ(machine.CountCalls("GetCommandLineA"), 0u);
    EXPECT_EQ(machine.CountCalls("FindFirstFileA"), 0u);
    EXPECT_FALSE(machine.session.ShutdownPrivilegeEnabled());
    ExpectReleased();  // the token handle is closed when it was opened
  }
  // A token that does not hold the privilege is no failure: only the call's result counts, and the
  // sequence goes on until Windows refuses the restart.
  machine.faults.clear();
  machine.session.FindPrivilege("SeShutdownPrivilege")->held = false;
  EXPECT_FALSE(Run());
  EXPECT_EQ(errorCode, "ERR5");
  EXPECT_EQ(machine.varn.staged.size(), 1u);
}

TEST_F(FlashSequenceTest, FailureRestoresThePrivilegeStateOnWindowsNt) {
  ASSERT_TRUE(machine.files.Remove("C:\\TARN\\BIOS\\A07.HDR"));  // no image: ERR2
  EXPECT_FALSE(Run());
  EXPECT_EQ(errorCode, "ERR2");
  const auto adjust = Calls("AdjustTokenPrivileges");
  ASSERT_EQ(adjust.size(), 2u);
  EXPECT_EQ(adjust[1].args, "ptr, 0, {19:0x0}, 0x10, null, null");  // the earlier state, as reported
  EXPECT_FALSE(machine.session.ShutdownPrivilegeEnabled());
  ExpectReleased();

  // Already enabled before: nothing changed, so nothing is restored and it stays enabled.
  machine.session.FindPrivilege("SeShutdownPrivilege")->enabled = true;
  EXPECT_FALSE(Run());
  EXPECT_EQ(Calls("AdjustTokenPrivileges").back().args, "ptr, 0, {}, 0x4, null, null");
  EXPECT_TRUE(machine.session.ShutdownPrivilegeEnabled());
  ExpectReleased();
}

TEST_F(FlashSequenceTest, NoImageOrNoMemoryEndsAtOnceWithItsOwnCode) {
  struct Case {
    const char* code;
    std::function<void()> arrange;
  };
  const Case cases[] = {
      {"ERR7", [&] { machine.heapLimit = 999; }},
      {"ERR2",
       [&] {
         machine.heapLimit = std::size_t{1} << 30;
         ASSERT_TRUE(machine.files.Remove("C:\\TARN\\BIOS\\A07.HDR"));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    c.arrange();
    EXPECT_FALSE(Run());
    EXPECT_EQ(errorCode, c.code);
    // Nothing was staged: no token, no restart, nothing released, no retry, no message.
    EXPECT_TRUE(machine.varn.staged.empty());
    EXPECT_TRUE(machine.varn.released.empty());
    EXPECT_TRUE(TokenWrites().empty());
    EXPECT_TRUE(machine.session.restarts.empty());
    EXPECT_TRUE(machine.user.boxes.empty());
    EXPECT_EQ(Value(kRunOnceKey, "ZIM"), std::nullopt);
    EXPECT_EQ(Value(kStateKey, "retry"), std::nullopt);
    EXPECT_EQ(Value(kRunOnceKey, "BiosUpgradeCleanup"), Data(kCleanup));
    ExpectReleased();
  }
}

TEST_F(FlashSequenceTest, Token92FailingGivesErr3AndReleasesTheStagedImage) {
  machine.cmos.erase(0x70);  // the token's port pair answers nothing
  machine.registry.SetString(kStateKey, "retry", "retry");
  EXPECT_FALSE(Run());
  EXPECT_EQ(errorCode, "ERR3");
  EXPECT_EQ(machine.varn.released, (std::vector<std::int32_t>{kStageResult}));
  EXPECT_TRUE(machine.session.restarts.empty());
  // The flash branch leaves the retry state as it found it.
  EXPECT_EQ(Value(kStateKey, "retry"), Terminated("retry"));
  EXPECT_EQ(Value(kRunOnceKey, "ZIM"), std::nullopt);
  ExpectReleased();
}

TEST_F(FlashSequenceTest, RefusedRestartGivesErr5OrErr3WhenToken93FailsToo) {
  machine.session.restartAccepted = false;
  EXPECT_FALSE(Run());
  EXPECT_EQ(errorCode, "ERR5");
  EXPECT_EQ(TokenWrites(), (Bytes{0xC1, 0x81}));  // 92 set, then 93
  EXPECT_EQ(machine.varn.released, (std::vector<std::int32_t>{kStageResult}));
  ASSERT_EQ(machine.session.restarts.size(), 1u);
  EXPECT_FALSE(machine.session.restarts[0].accepted);
  EXPECT_FALSE(machine.session.ShutdownPrivilegeEnabled());
  ExpectReleased();

  CloseDeviceSlots();
  machine.varn.released.clear();
  machine.varn.ioctls.clear();
  ReplaceTokenTable({{92, 0x78, 0xBF, 0x40}});
  machine.varn.stageResult = -7;  // any value but -1 is a staged image, handed back unchanged
  EXPECT_FALSE(Run());
  EXPECT_EQ(errorCode, "ERR3");
  EXPECT_EQ(TokenWrites(), (Bytes{0xC1}));
  EXPECT_EQ(machine.varn.released, (std::vector<std::int32_t>{-7}));
  ExpectReleased();
}

TEST_F(FlashSequenceTest, StagingFailureArrangesOneRetryAcrossARestart) {
  imageFile->heldElsewhere = true;          // ERR4
  machine.session.restartAccepted = false;  // not examined on this branch
  EXPECT_TRUE(Run());
  EXPECT_EQ(errorCode, "");
  ASSERT_EQ(machine.user.boxes.size(), 1u);
  EXPECT_EQ(machine.user.boxes[0].id, 3u);
  EXPECT_EQ(machine.user.boxes[0].style & win32::MB_TYPEMASK, win32::MB_OK);
  EXPECT_EQ(Value(kRunOnceKey, "ZIM"), Data(kCommandLine));  // exactly the command line, no terminator
  EXPECT_EQ(Value(kStateKey, "retry"), Data("retry"));
  EXPECT_EQ(Value(kRunOnceKey, "BiosUpgradeCleanup"), std::nullopt);
  ASSERT_EQ(machine.session.restarts.size(), 1u);
  EXPECT_EQ(machine.session.restarts[0].flags, win32::EWX_REBOOT);
  EXPECT_TRUE(TokenWrites().empty());
  EXPECT_TRUE(machine.varn.released.empty());
  ExpectReleased(1);
}

TEST_F(FlashSequenceTest, RetryAlreadyUsedOrAKeyMissingGivesErr6WithoutAMessage) {
  imageFile->heldElsewhere = true;
  machine.registry.SetString(kRunOnceKey, "ZIM", "old");
  machine.registry.SetString(kStateKey, "retry", "retry");
  EXPECT_FALSE(Run());
  EXPECT_EQ(errorCode, "ERR6");
  EXPECT_TRUE(machine.user.boxes.empty());
  EXPECT_EQ(Value(kStateKey, "retry"), std::nullopt);
  EXPECT_EQ(Value(kRunOnceKey, "ZIM"), Terminated("old"));
  EXPECT_EQ(Value(kRunOnceKey, "BiosUpgradeCleanup"), Data(kCleanup));
  EXPECT_TRUE(machine.session.restarts.empty());
  ExpectReleased();

  sim::Machine bare;  // no state key: no cleanup registered, no retry
  sim::Install installed(bare);
  CloseDeviceSlots();
  bare.registry.AddKey(kRunOnceKey);
  bare.session.commandLine = kCommandLine;
  bare.files.AddFile("C:\\TARN\\BIOS\\A07.HDR", Bytes(100)).heldElsewhere = true;
  EXPECT_FALSE(Run());
  EXPECT_EQ(errorCode, "ERR6");
  EXPECT_TRUE(bare.user.boxes.empty());
  EXPECT_TRUE(bare.registry.FindKey(kRunOnceKey)->values.empty());
  EXPECT_EQ(bare.registry.FindKey(kStateKey), nullptr);
  CloseDeviceSlots();

  sim::Machine noRunOnce;  // the retry could be used, but RunOnce is not there to take it
  sim::Install again(noRunOnce);
  noRunOnce.registry.SetString(kStateKey, "BiosUpgradeCleanup", kCleanup);
  noRunOnce.session.commandLine = kCommandLine;
  noRunOnce.files.AddFile("C:\\TARN\\BIOS\\A07.HDR", Bytes(100)).heldElsewhere = true;
  EXPECT_FALSE(Run());
  EXPECT_EQ(errorCode, "ERR6");
  EXPECT_TRUE(noRunOnce.user.boxes.empty()) << "no retry notice for a retry that cannot be registered";
  EXPECT_EQ(noRunOnce.registry.FindKey(kRunOnceKey), nullptr) << "RunOnce is opened, never created";
  EXPECT_EQ(noRunOnce.registry.GetValue(kStateKey, "retry"), nullptr);
  CloseDeviceSlots();
}

TEST_F(FlashSequenceTest, ARetryStepFailingUndoesTheRetryAndGivesErr6) {
  // Registry calls of a run, in order: the cleanup registration opens the state key (1) and RunOnce
  // (2) and writes (1); CanRetry opens the state key (3); RunOnce is opened to see that it can take
  // the retry (4), before the notice; then "ZIM" opens RunOnce (5) and writes (2), "retry" opens the
  // state key (6) and writes (3), the withdrawal opens RunOnce (7).
  struct Step {
    const char* name;
    const char* op;
    std::uint64_t nth;
    std::size_t notices;
  };
  const Step steps[] = {
      {"RunOnce cannot be opened before the notice", "RegOpenKeyExA", 4, 0},
      {"RunOnce cannot be opened for ZIM", "RegOpenKeyExA", 5, 1},
      {"ZIM cannot be written", "RegSetValueExA", 2, 1},
      {"state key cannot be opened for retry", "RegOpenKeyExA", 6, 1},
      {"retry cannot be written", "RegSetValueExA", 3, 1},
      {"RunOnce cannot be opened to withdraw the cleanup", "RegOpenKeyExA", 7, 1},
      {"the cleanup cannot be withdrawn", "RegDeleteValueA", 1, 1},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    sim::Machine m;
    sim::Install installed(m);
    CloseDeviceSlots();
    m.files.AddFile("C:\\TARN\\BIOS\\A07.HDR", Bytes(100)).heldElsewhere = true;
    m.session.commandLine = kCommandLine;
    m.registry.SetString(kStateKey, "BiosUpgradeCleanup", kCleanup);
    m.registry.AddKey(kRunOnceKey);
    m.FailCall(s.op, s.nth);
    EXPECT_FALSE(Run());
    EXPECT_EQ(errorCode, "ERR6");
    ASSERT_EQ(m.user.boxes.size(), s.notices);
    EXPECT_EQ(m.registry.GetValue(kRunOnceKey, "ZIM"), nullptr);
    EXPECT_EQ(m.registry.GetValue(kStateKey, "retry"), nullptr);
    EXPECT_EQ(m.registry.GetString(kRunOnceKey, "BiosUpgradeCleanup"), kCleanup);
    EXPECT_TRUE(m.session.restarts.empty());
    EXPECT_EQ(m.registry.OpenKeyCount(), 0u);
    EXPECT_EQ(m.OpenHandleCount(sim::HandleKind::Token), 0u);
    CloseDeviceSlots();
  }
  // Where the undo cannot take "ZIM" back, "retry" stays: the run it starts finds its retry used.
  sim::Machine m;
  sim::Install installed(m);
  m.files.AddFile("C:\\TARN\\BIOS\\A07.HDR", Bytes(100)).heldElsewhere = true;
  m.session.commandLine = kCommandLine;
  m.registry.SetString(kStateKey, "BiosUpgradeCleanup", kCleanup);
  m.registry.AddKey(kRunOnceKey);
  m.FailCall("RegDeleteValueA", 1);
  m.FailCall("RegDeleteValueA", 2);
  EXPECT_FALSE(Run());
  EXPECT_EQ(errorCode, "ERR6");
  EXPECT_NE(m.registry.GetValue(kRunOnceKey, "ZIM"), nullptr);
  EXPECT_NE(m.registry.GetValue(kStateKey, "retry"), nullptr);
  CloseDeviceSlots();
}

TEST_F(FlashSequenceTest, TwoRunsInARowGiveUpAfterTheOneRetry) {
  machine.varn.stageFails = true;
  EXPECT_TRUE(Run());
  EXPECT_EQ(Value(kStateKey, "retry"), Data("retry"));

  // The next start runs the RunOnce values; the cleanup was withdrawn, so only ZIM runs.
  const auto run = machine.registry.RunOnce();
  ASSERT_EQ(run.size(), 1u);
  EXPECT_EQ(run[0].name, "ZIM");
  EXPECT_EQ(run[0].commandLine, kCommandLine);
  CloseDeviceSlots();  // a new process
  machine.session.commandLine = run[0].commandLine;
  EXPECT_FALSE(Run());
  EXPECT_EQ(errorCode, "ERR6");
  EXPECT_EQ(machine.user.boxes.size(), 1u);  // message 3 only in the first run
  EXPECT_EQ(Value(kStateKey, "retry"), std::nullopt);
  EXPECT_EQ(Value(kRunOnceKey, "ZIM"), std::nullopt);
  EXPECT_EQ(Value(kRunOnceKey, "BiosUpgradeCleanup"), Data(kCleanup));
  EXPECT_EQ(machine.session.restarts.size(), 1u);
  ExpectReleased(1);  // the first run's token stayed open with its restart; the second closed its own

  // A third run whose staging succeeds flashes, and a retry mark left behind stays.
  machine.registry.SetString(kStateKey, "retry", "retry");
  machine.varn.stageFails = false;
  CloseDeviceSlots();
  EXPECT_TRUE(Run());
  EXPECT_EQ(Value(kStateKey, "retry"), Terminated("retry"));
}

TEST_F(FlashSequenceTest, OnlyTheImageBesideTheProgramIsStaged) {
  // Started from a folder that holds another machine's image: the folder the command line gives
  // where it can be made current, else the program file's own, else none at all.
  machine.files.AddFile("C:\\TEMP\\OLD.HDR", Bytes(10, 0x34));
  machine.files.AddFile("C:\\ZIM.EXE", Bytes(64, 0x4D));
  machine.files.AddFile("C:\\ROOT.HDR", Bytes(20, 0x56));
  machine.files.AddFile("C:\\TARN\\BIOS?\\A07.HDR",
                        Bytes(30, 0x78));  // '?': a name the code page cannot hold
  const Bytes beside = Exchanged(imageFile->content), none;
  machine.version.platformId = win32::VER_PLATFORM_WIN32_WINDOWS;  // no token handle stays open
  struct Case {
    const char* commandLine;
    const char* modulePath;  // null: it cannot be had
    Bytes staged;            // empty: nothing staged, "ERR2"
  };
  const Case cases[] = {
      {"\"C:\\TARN\\BIOS\\ZIM.EXE\" ", "C:\\TARN\\BIOS\\ZIM.EXE", beside},
      {"\"C:\\TARN\\BIOS\\ZIM.EXE\" /log C:\\TEMP\\", "C:\\TARN\\BIOS\\ZIM.EXE", beside},
      {"ZIM.EXE", "C:\\TARN\\BIOS\\ZIM.EXE", beside},
      {"C:/TARN/BIOS/ZIM.EXE", "C:\\TARN\\BIOS\\ZIM.EXE", beside},
      {"\"C:\\ZIM.EXE\"", "C:\\ZIM.EXE",
       Exchanged(Bytes(20, 0x56))},  // the drive's root, not its current folder
      {"\"C:\\TARN\\BIOS?\\ZIM.EXE\"", "C:\\TARN\\BIOS?\\ZIM.EXE", none},
      {"ZIM.EXE /log C:\\TEMP\\", nullptr, none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commandLine);
    CloseDeviceSlots();
    machine.varn.staged.clear();
    machine.faults.clear();
    ASSERT_TRUE(machine.files.SetCurrentDirectory("C:\\TEMP"));
    machine.session.commandLine = c.commandLine;
    machine.user.modulePath = c.modulePath == nullptr ? "" : c.modulePath;
    if (c.modulePath == nullptr) machine.FailCall("GetModuleFileNameA", 1, true);
    EXPECT_EQ(Run(), !c.staged.empty());
    if (c.staged.empty()) {
      EXPECT_EQ(errorCode, "ERR2");
      EXPECT_TRUE(machine.varn.staged.empty());
      EXPECT_EQ(machine.files.CurrentDirectory(), "C:\\TEMP");
      EXPECT_EQ(machine.CountCalls("FindFirstFileA"), 0u);
    } else {
      ASSERT_EQ(machine.varn.staged.size(), 1u);
      EXPECT_EQ(machine.varn.staged[0], c.staged);
    }
    // The cleanup is registered on every path.
    EXPECT_EQ(Value(kRunOnceKey, "BiosUpgradeCleanup"), Data(kCleanup));
    ExpectReleased();
    machine.calls.clear();
  }
}

TEST_F(FlashSequenceTest, TheRetryStartsTheProgramFileAgainWithTheSameArguments) {
  // A program named by anything but a full path is registered by the program file's, quoted.
  imageFile->heldElsewhere = true;
  struct Case {
    std::string commandLine;
    const char* startedIn;
    bool modulePath;
    const char* registered;
  };
  // The registry text holds 499 bytes and its terminator: a longer command cannot be registered.
  const std::string longest = kCommandLine + std::string(499 - std::strlen(kCommandLine), 'x');
  const Case cases[] = {
      {longest, "C:\\", true, longest.c_str()},
      {longest + "x", "C:\\", true, nullptr},
      {kCommandLine, "C:\\", true, kCommandLine},
      {"C:/TARN/BIOS/ZIM.EXE /x", "C:\\", true, "C:/TARN/BIOS/ZIM.EXE /x"},
      {"ZIM.EXE", "C:\\TARN\\BIOS", true, "\"C:\\TARN\\BIOS\\ZIM.EXE\""},
      {"ZIM /log C:\\TEMP\\", "C:\\TARN\\BIOS", true, "\"C:\\TARN\\BIOS\\ZIM.EXE\" /log C:\\TEMP\\"},
      {"\"ZIM.EXE\"\t/x", "C:\\TARN\\BIOS", true, "\"C:\\TARN\\BIOS\\ZIM.EXE\"\t/x"},
      // A share is a full path; a drive's current folder ("C:ZIM.EXE") or the current drive's root
      // ("\TARN\...") is not, and a quote left open runs to the end of the line.
      {"\\\\SERVER\\BIOS\\ZIM.EXE /x", "C:\\", true, "\\\\SERVER\\BIOS\\ZIM.EXE /x"},
      {"C:ZIM.EXE /x", "C:\\TARN\\BIOS", true, "\"C:\\TARN\\BIOS\\ZIM.EXE\" /x"},
      {"\\TARN\\BIOS\\ZIM.EXE", "C:\\", true, "\"C:\\TARN\\BIOS\\ZIM.EXE\""},
      {"\"C:\\TARN\\BIOS\\ZIM.EXE /x", "C:\\", true, "\"C:\\TARN\\BIOS\\ZIM.EXE /x"},
      // No module path: a relative name would find nothing at the next start, so no retry.
      {"BIOS\\ZIM.EXE", "C:\\TARN", false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commandLine);
    CloseDeviceSlots();
    machine.faults.clear();
    machine.registry.DeleteValue(kStateKey, "retry");
    machine.registry.DeleteValue(kRunOnceKey, "ZIM");
    ASSERT_TRUE(machine.files.SetCurrentDirectory(c.startedIn));
    machine.session.commandLine = c.commandLine;
    if (!c.modulePath) machine.FailCall("GetModuleFileNameA", 1, true);
    const std::size_t boxes = machine.user.boxes.size();
    EXPECT_EQ(Run(), c.registered != nullptr);
    if (c.registered != nullptr) {
      EXPECT_EQ(Value(kRunOnceKey, "ZIM"), Data(c.registered));
    } else {
      EXPECT_EQ(machine.user.boxes.size(), boxes) << "no retry notice for a retry that cannot be";
      EXPECT_EQ(errorCode, "ERR6");
      EXPECT_EQ(Value(kRunOnceKey, "ZIM"), std::nullopt);
      EXPECT_EQ(Value(kStateKey, "retry"), std::nullopt);
      EXPECT_EQ(Value(kRunOnceKey, "BiosUpgradeCleanup"), Data(kCleanup));
    }
  }
}

}  // namespace
