// The upgrade state in the registry and the cleanup launcher: exact values and byte counts, the
// shapes of the cleanup command, access rights, and every key closed again.
#include <gtest/gtest.h>

#include "support/zim_machine.h"
#include "zim/app/bios_upgrade.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kStateKey[] = "Software\\Tarn\\BIOSUPGRADE";
constexpr char kRunOnceKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

Bytes Data(const std::string& text) { return Bytes(text.begin(), text.end()); }

class UpgradeStateTest : public tarn_test::ZimTest {
 protected:
  void SetUp() override {
    ZimTest::SetUp();
    machine.registry.AddKey(kStateKey);
    machine.registry.AddKey(kRunOnceKey);
  }
  void TearDown() override {
    EXPECT_EQ(machine.registry.OpenKeyCount(), 0u) << "a registry key was left open";
    ZimTest::TearDown();
  }
  void SetCleanup(const Bytes& data) {
    machine.registry.SetValue(kStateKey, "BiosUpgradeCleanup", win32::REG_SZ, data);
  }
  const sim::RegValue* RunOnce(const std::string& name) const {
    return machine.registry.GetValue(kRunOnceKey, name);
  }

  CBiosUpgrade upgrade;
};

struct LaunchCase {
  const char* command;
  const char* program;  // null: nothing is started and the result is false
};

TEST_F(UpgradeStateTest, LaunchModeStartsTheTextBeforeTheSwitchWithTheSwitchAsParameter) {
  const LaunchCase cases[] = {
      {"C:\\TARN\\CLEANUP.EXE -s", "C:\\TARN\\CLEANUP.EXE"},
      {"\"C:\\Program Files\\Tarn\\CLEANUP.EXE\" -s", "\"C:\\Program Files\\Tarn\\CLEANUP.EXE\""},
      {"C:\\TARN\\BIOS-setup\\CLEANUP.EXE -s",
       "C:\\TARN\\BIOS-setup\\CLEANUP.EXE"},  // cut at the last "-s", the switch, not one in the path
      {"C:\\TARN\\CLEANUP.EXE -S", "C:\\TARN\\CLEANUP.EXE -S"},  // no "-s": the whole text, "-s" as parameter
      {"C:\\TARN\\CLEANUP.EXE", "C:\\TARN\\CLEANUP.EXE"},
      {"-s C:\\TARN\\CLEANUP.EXE", nullptr},
      {"", nullptr},
  };
  for (const LaunchCase& c : cases) {
    SCOPED_TRACE(c.command);
    machine.session.launches.clear();
    SetCleanup(Data(std::string(c.command) + '\0'));
    EXPECT_EQ(upgrade.LaunchCleanup(true), c.program != nullptr);
    if (c.program == nullptr) {
      EXPECT_TRUE(machine.session.launches.empty());
      continue;
    }
    ASSERT_EQ(machine.session.launches.size(), 1u);
    const sim::LaunchRecord& l = machine.session.launches[0];
    EXPECT_EQ(l.operation, "open");
    EXPECT_EQ(l.file, c.program);
    EXPECT_EQ(l.parameters, "-s");
    EXPECT_EQ(l.directory, std::nullopt);
    EXPECT_EQ(l.show, win32::SW_SHOW);
  }
  // A launch the shell refuses is not examined.
  machine.session.launchResult = 2;
  SetCleanup(Data("C:\\TARN\\CLEANUP.EXE -s"));
  EXPECT_TRUE(upgrade.LaunchCleanup(true));
}

TEST_F(UpgradeStateTest, CommandEndsAtItsFirstZeroOrAtTheEndOfTheData) {
  SetCleanup(Data(std::string("C:\\A.EXE -s\0C:\\B.EXE -s", 24)));
  EXPECT_TRUE(upgrade.LaunchCleanup(true));
  EXPECT_EQ(machine.session.launches.back().file, "C:\\A.EXE");

  // 500 bytes with no terminator fill the buffer exactly; nothing beyond them is read.
  const std::string path = "C:\\" + std::string(494, 'P');
  SetCleanup(Data(path + " -s"));
  ASSERT_EQ(machine.registry.GetValue(kStateKey, "BiosUpgradeCleanup")->data.size(), 500u);
  EXPECT_TRUE(upgrade.LaunchCleanup(true));
  EXPECT_EQ(machine.session.launches.back().file, path);

  // One byte more does not fit: nothing is started or registered.
  machine.session.launches.clear();
  SetCleanup(Data(path + "X -s"));
  EXPECT_FALSE(upgrade.LaunchCleanup(true));
  EXPECT_FALSE(upgrade.LaunchCleanup(false));
  EXPECT_TRUE(machine.session.launches.empty());
  EXPECT_EQ(RunOnce("BiosUpgradeCleanup"), nullptr);
}

TEST_F(UpgradeStateTest, RegisterModeCopiesTheWholeCommandIntoRunOnce) {
  SetCleanup(Data(std::string("\"C:\\TARN\\CLEANUP.EXE\" -s") + '\0'));
  EXPECT_TRUE(upgrade.LaunchCleanup(false));
  const sim::RegValue* v = RunOnce("BiosUpgradeCleanup");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->type, win32::REG_SZ);
  EXPECT_EQ(v->data, Data("\"C:\\TARN\\CLEANUP.EXE\" -s"));  // no terminator stored
  EXPECT_TRUE(machine.session.launches.empty());
}

TEST_F(UpgradeStateTest, CleanupIsReadWithQueryRightsOnly) {
  // A user who may read the state key but not change it still gets the cleanup started, while
  // every operation that asks for all rights on that key is refused.
  machine.registry.AddKey(kStateKey, sim::KEY_READ);
  SetCleanup(Data("C:\\TARN\\CLEANUP.EXE -s"));
  EXPECT_TRUE(upgrade.LaunchCleanup(true));
  EXPECT_TRUE(upgrade.LaunchCleanup(false));
  EXPECT_FALSE(upgrade.CanRetry());
  EXPECT_FALSE(upgrade.SetRegString(win32::HKEY_LOCAL_MACHINE, "retry", "retry", kStateKey));
  EXPECT_FALSE(upgrade.DeleteRegValue(win32::HKEY_LOCAL_MACHINE, "BiosUpgradeCleanup", kStateKey));
  EXPECT_NE(machine.registry.GetValue(kStateKey, "BiosUpgradeCleanup"), nullptr);
}

TEST_F(UpgradeStateTest, LaunchCleanupFailsWithoutItsKeyValueOrRunOnceKey) {
  EXPECT_FALSE(upgrade.LaunchCleanup(true));  // no value
  EXPECT_FALSE(upgrade.LaunchCleanup(false));

  SetCleanup(Data("C:\\TARN\\CLEANUP.EXE -s"));
  machine.FailCall("RegQueryValueExA", machine.CountCalls("RegQueryValueExA") + 1);
  EXPECT_FALSE(upgrade.LaunchCleanup(true));

  sim::Machine bare;  // neither key exists, and neither is created
  sim::Install installed(bare);
  EXPECT_FALSE(upgrade.LaunchCleanup(true));
  EXPECT_FALSE(upgrade.LaunchCleanup(false));
  EXPECT_EQ(bare.registry.FindKey(kRunOnceKey), nullptr);
  EXPECT_TRUE(bare.session.launches.empty());
  EXPECT_EQ(bare.registry.OpenKeyCount(), 0u);

  bare.registry.SetString(kStateKey, "BiosUpgradeCleanup", "C:\\TARN\\CLEANUP.EXE -s");
  EXPECT_FALSE(upgrade.LaunchCleanup(false));  // the RunOnce key is missing
  EXPECT_EQ(bare.registry.FindKey(kRunOnceKey), nullptr);
  EXPECT_EQ(bare.registry.OpenKeyCount(), 0u);
}

TEST_F(UpgradeStateTest, CanRetryOnlyWhenTheStateKeyOpensWithoutRetry) {
  EXPECT_TRUE(upgrade.CanRetry());
  machine.registry.SetValue(kStateKey, "retry", win32::REG_SZ, {});  // any data, even none
  EXPECT_FALSE(upgrade.CanRetry());
  machine.registry.DeleteValue(kStateKey, "retry");
  // A query failing for another reason than absence cannot show the retry unused: no retry, so no
  // run registers the program again and again.
  machine.FailCall("RegQueryValueExA", machine.CountCalls("RegQueryValueExA") + 1);
  EXPECT_FALSE(upgrade.CanRetry());
  EXPECT_TRUE(upgrade.CanRetry()) << "the next query finds the value absent";

  sim::Machine bare;
  sim::Install installed(bare);
  EXPECT_FALSE(upgrade.CanRetry());
}

TEST_F(UpgradeStateTest, SetRegStringStoresTheTextWithoutItsTerminator) {
  EXPECT_TRUE(upgrade.SetRegString(win32::HKEY_LOCAL_MACHINE, "retry", "retry", kStateKey));
  const sim::RegValue* v = machine.registry.GetValue(kStateKey, "retry");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->type, win32::REG_SZ);
  EXPECT_EQ(v->data, Data("retry"));  // 5 bytes

  const std::string longest(499, 'x');
  EXPECT_TRUE(upgrade.SetRegString(win32::HKEY_LOCAL_MACHINE, longest, "ZIM", kRunOnceKey));
  EXPECT_EQ(RunOnce("ZIM")->data.size(), 499u);

  // 500 bytes or more would not fit with a terminator: nothing is written, not even cut short.
  const std::size_t calls = machine.calls.size();
  EXPECT_FALSE(upgrade.SetRegString(win32::HKEY_LOCAL_MACHINE, std::string(500, 'y'), "ZIM", kRunOnceKey));
  EXPECT_FALSE(upgrade.SetRegString(win32::HKEY_LOCAL_MACHINE, std::string(4000, 'y'), "ZIM", kRunOnceKey));
  EXPECT_EQ(RunOnce("ZIM")->data, Data(longest));
  EXPECT_EQ(machine.calls.size(), calls);
}

TEST_F(UpgradeStateTest, SetRegStringFailsWithoutCreatingKeysAndClosesOnFailure) {
  EXPECT_FALSE(upgrade.SetRegString(win32::HKEY_LOCAL_MACHINE, "x", "ZIM", "Software\\Tarn\\Missing"));
  EXPECT_EQ(machine.registry.FindKey("Software\\Tarn\\Missing"), nullptr);
  machine.FailCall("RegSetValueExA", 1);
  EXPECT_FALSE(upgrade.SetRegString(win32::HKEY_LOCAL_MACHINE, "x", "ZIM", kRunOnceKey));
  EXPECT_EQ(RunOnce("ZIM"), nullptr);
  EXPECT_EQ(machine.CountCalls("RegCloseKey"), 1u);
}

TEST_F(UpgradeStateTest, DeleteRegValueIsTrueWhenTheValueIsGone) {
  machine.registry.SetString(kRunOnceKey, "ZIM", "x");
  EXPECT_TRUE(upgrade.DeleteRegValue(win32::HKEY_LOCAL_MACHINE, "ZIM", kRunOnceKey));
  EXPECT_EQ(RunOnce("ZIM"), nullptr);
  EXPECT_TRUE(upgrade.DeleteRegValue(win32::HKEY_LOCAL_MACHINE, "ZIM", kRunOnceKey));  // already gone
  EXPECT_FALSE(upgrade.DeleteRegValue(win32::HKEY_LOCAL_MACHINE, "ZIM", "Software\\Tarn\\Missing"));
  // A refused deletion leaves the value, and says so.
  machine.registry.SetString(kStateKey, "retry", "retry");
  machine.FailCall("RegDeleteValueA", machine.CountCalls("RegDeleteValueA") + 1);
  EXPECT_FALSE(upgrade.DeleteRegValue(win32::HKEY_LOCAL_MACHINE, "retry", kStateKey));
  EXPECT_NE(machine.registry.GetValue(kStateKey, "retry"), nullptr);
  EXPECT_EQ(machine.registry.OpenKeyCount(), 0u);
}

}  // namespace
