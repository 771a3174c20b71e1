// The simulated file system, registry and session: the platform rules they must keep so that the
// logic tested against them behaves as it would on Windows.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/machine.h"

namespace {

using namespace win32;
using Bytes = std::vector<std::uint8_t>;

class SimTest : public ::testing::Test {
 protected:
  sim::Machine machine;
  sim::Install installed{machine};
};

// ---- registry

constexpr char kSample[] =
    "REGEDIT4\r\n"
    "\r\n"
    "; the state key\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Tarn\\BIOSUPGRADE]\r\n"
    "\"BiosUpgradeCleanup\"=\"\\\"C:\\\\Program Files\\\\CLEANUP.EXE\\\" -s\"\r\n"
    "\"retry\"=hex(1):72,65,74,72,79\r\n"
    "@=\"default\"\r\n"
    "\"count\"=dword:0000012c\r\n"
    "\"blob\"=hex:00,01,\\\r\n"
    "  02,ff\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce]\r\n";

TEST_F(SimTest, RegFileLoadsExactBytesAndSavesThemBack) {
  sim::Registry& r = machine.registry;
  ASSERT_EQ(r.LoadReg(kSample), "");
  const sim::RegValue* cleanup = r.GetValue("software\\tarn\\biosupgrade", "BIOSUPGRADECLEANUP");
  ASSERT_NE(cleanup, nullptr);
  const std::string text = "\"C:\\Program Files\\CLEANUP.EXE\" -s";
  EXPECT_EQ(cleanup->data, Bytes(text.c_str(), text.c_str() + text.size() + 1));  // with its terminator
  EXPECT_EQ(r.GetValue("Software\\Tarn\\BIOSUPGRADE", "retry")->data, (Bytes{'r', 'e', 't', 'r', 'y'}));
  EXPECT_EQ(r.GetValue("Software\\Tarn\\BIOSUPGRADE", "count")->data, (Bytes{0x2C, 0x01, 0, 0}));
  EXPECT_EQ(r.GetValue("Software\\Tarn\\BIOSUPGRADE", "blob")->data, (Bytes{0, 1, 2, 0xFF}));
  ASSERT_NE(r.FindKey("Software\\Tarn"), nullptr);  // parents exist too
  EXPECT_TRUE(r.FindKey(sim::Registry::kRunOnceKey)->values.empty());

  // What the program writes (no terminator, an empty text) survives a save and a load.
  r.SetValue(sim::Registry::kRunOnceKey, "ZIM", REG_SZ, {'"', 'C', ':', '\\', '"'});
  r.SetValue(sim::Registry::kRunOnceKey, "empty", REG_SZ, {});
  const std::string saved = r.SaveReg();
  EXPECT_NE(saved.find("\"retry\"=hex(1):72,65,74,72,79\r\n"), std::string::npos);
  sim::Registry copy;
  ASSERT_EQ(copy.LoadReg(saved), "");
  EXPECT_EQ(copy.SaveReg(), saved);
  for (const sim::RegKey* key : r.Keys()) {
    const sim::RegKey* other = copy.FindKey(key->path);
    ASSERT_NE(other, nullptr) << key->path;
    ASSERT_EQ(other->values.size(), key->values.size()) << key->path;
    for (std::size_t i = 0; i < key->values.size(); ++i) {
      EXPECT_EQ(other->values[i].name, key->values[i].name);
      EXPECT_EQ(other->values[i].type, key->values[i].type);
      EXPECT_EQ(other->values[i].data, key->values[i].data) << key->values[i].name;
    }
  }
}

TEST_F(SimTest, BadRegTextNamesItsLineAndChangesNothing) {
  const std::pair<std::string, std::string> cases[] = {
      {"Windows Registry Editor Version 5.00\n", "line 1: not a REGEDIT4 file"},
      {"REGEDIT4\n\n\"a\"=\"b\"\n", "line 3: a value before any [key] line"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n", "line 2: only HKEY_LOCAL_MACHINE"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"C:\\TARN\"\n", "line 3: unknown escape"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"open\n", "line 3: a quoted text has no closing quote"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\n\"a\"=hex(1):41,4G\n", "line 4: \"4G\" in a hex list"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:41,\\", "line 3: the hex list goes on past the end"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:12\n", "line 3: dword: needs exactly eight"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", "line 2: a key line must end with ']'"},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    sim::Registry r;
    const std::string error = r.LoadReg(text);
    EXPECT_EQ(error.rfind(message, 0), 0u) << error;
    EXPECT_EQ(r.FindKey("A"), nullptr);
  }
}

TEST_F(SimTest, QueryFollowsTheSizeRulesAndKeysGrantOnlyTheirRights) {
  machine.registry.AddKey("Software\\Tarn\\BIOSUPGRADE", sim::KEY_READ);
  machine.registry.SetValue("Software\\Tarn\\BIOSUPGRADE", "cmd", REG_SZ, {'a', 'b', 'c'});
  HKEY key = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tarn\\BIOSUPGRADE", 0, KEY_ALL_ACCESS, &key),
            static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tarn\\Missing", 0, KEY_QUERY_VALUE, &key),
            static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(machine.registry.FindKey("Software\\Tarn\\Missing"), nullptr);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\TARN\\biosupgrade", 0, KEY_QUERY_VALUE, &key),
            static_cast<LSTATUS>(ERROR_SUCCESS));

  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "cmd", nullptr, &type, nullptr, &size),
            static_cast<LSTATUS>(ERROR_SUCCESS));
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(type, REG_SZ);
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  size = 2;
  type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "cmd", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
            static_cast<LSTATUS>(ERROR_MORE_DATA));
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(type, REG_SZ);
  size = 3;
  EXPECT_EQ(RegQueryValueExA(key, "cmd", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
            static_cast<LSTATUS>(ERROR_SUCCESS));
  EXPECT_EQ(std::string(buffer, 4), "abcx");  // no terminator added
  EXPECT_EQ(RegQueryValueExA(key, "none", nullptr, nullptr, nullptr, nullptr),
            static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RegSetValueExA(key, "cmd", 0, REG_SZ, reinterpret_cast<const BYTE*>("z"), 1),
            static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegDeleteValueA(key, "cmd"), static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegCloseKey(key), static_cast<LSTATUS>(ERROR_SUCCESS));
  EXPECT_EQ(RegCloseKey(key), static_cast<LSTATUS>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(machine.registry.OpenKeyCount(), 0u);
}

TEST_F(SimTest, RunOnceRunsStringValuesInOrderAndDeletesThem) {
  sim::Registry& r = machine.registry;
  EXPECT_TRUE(r.RunOnce().empty());  // no key
  r.SetValue(sim::Registry::kRunOnceKey, "BiosUpgradeCleanup", REG_SZ, {'C', ' ', '-', 's'});
  r.SetValue(sim::Registry::kRunOnceKey, "flag", 4, {1, 0, 0, 0});
  r.SetString(sim::Registry::kRunOnceKey, "ZIM", "\"C:\\ZIM.EXE\" ");
  const auto run = r.RunOnce();
  ASSERT_EQ(run.size(), 2u);
  EXPECT_EQ(run[0].name, "BiosUpgradeCleanup");
  EXPECT_EQ(run[0].commandLine, "C -s");
  EXPECT_EQ(run[1].commandLine, "\"C:\\ZIM.EXE\" ");
  ASSERT_EQ(r.FindKey(sim::Registry::kRunOnceKey)->values.size(), 1u);  // not a command: left alone
  EXPECT_TRUE(r.RunOnce().empty());
}

// ---- file system

TEST_F(SimTest, UnbufferedReadsMoveWholeSectorsThroughAlignedBuffers) {
  Bytes content(1000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i);
  machine.files.AddFile("C:\\TARN\\A.HDR", content);
  ASSERT_TRUE(machine.files.SetCurrentDirectory("c:\\tarn"));
  const HANDLE file = CreateFileA("a.hdr", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(file, nullptr), 1000u);

  alignas(512) static std::uint8_t buffer[2048];
  DWORD got = 99;
  EXPECT_FALSE(ReadFile(file, buffer + 16, 512, &got, nullptr));  // not sector-aligned
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(got, 0u);
  EXPECT_FALSE(ReadFile(file, buffer, 500, &got, nullptr));  // not a whole sector
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(ReadFile(file, buffer, 512, &got, nullptr));
  EXPECT_EQ(got, 512u);
  ASSERT_TRUE(ReadFile(file, buffer, 512, &got, nullptr));
  EXPECT_EQ(got, 488u);  // the rest of the file
  EXPECT_EQ(Bytes(buffer, buffer + 488), Bytes(content.begin() + 512, content.end()));
  EXPECT_TRUE(CloseHandle(file));

  // Buffered reads take any size.
  const HANDLE buffered = CreateFileA("C:\\TARN\\A.HDR", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_TRUE(ReadFile(buffered, buffer + 3, 700, &got, nullptr));
  EXPECT_EQ(got, 700u);
  EXPECT_TRUE(CloseHandle(buffered));
  EXPECT_EQ(machine.files.OpenFileCount(), 0u);
}

TEST_F(SimTest, OpensFollowSharingAndTellWhyTheyFail) {
  machine.files.AddFile("C:\\TARN\\A.HDR", Bytes(10));
  machine.files.AddFolder("C:\\TARN\\OLD.HDR");
  auto open = [](const char* name, DWORD share) {
    return CreateFileA(name, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const HANDLE first = open("C:\\TARN\\A.HDR", 0);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open("C:\\TARN\\a.hdr", FILE_SHARE_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(first);
  const HANDLE shared = open("C:\\TARN\\A.HDR", FILE_SHARE_READ);
  const HANDLE second = open("C:\\TARN\\..\\TARN\\A.HDR", FILE_SHARE_READ);
  EXPECT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open("C:\\TARN\\A.HDR", 0), INVALID_HANDLE_VALUE);  // would deny readers already there
  CloseHandle(shared);
  CloseHandle(second);

  machine.files.Find("C:\\TARN\\A.HDR")->heldElsewhere = true;
  EXPECT_EQ(open("C:\\TARN\\A.HDR", FILE_SHARE_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(open("C:\\TARN\\OLD.HDR", 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(open("C:\\TARN\\B.HDR", 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(open("C:\\NONE\\B.HDR", 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(machine.OpenHandleCount(sim::HandleKind::File), 0u);
}

TEST_F(SimTest, SearchListsInAddedOrderAndMatchesLongOrShortNames) {
  machine.files.AddFile("C:\\TARN\\ZIM.EXE", {});
  machine.files.AddFile("C:\\TARN\\NEW.HDRX", {}).shortName = "NEW~1.HDR";
  machine.files.AddFile("C:\\TARN\\a.hdr", {});
  ASSERT_TRUE(machine.files.SetCurrentDirectory("C:\\TARN"));
  WIN32_FIND_DATAA found{};
  const HANDLE search = FindFirstFileA("*.HDR", &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(found.cFileName, "NEW.HDRX");
  EXPECT_STREQ(found.cAlternateFileName, "NEW~1.HDR");
  EXPECT_EQ(machine.OpenHandleCount(sim::HandleKind::Find), 1u);
  EXPECT_TRUE(FindClose(search));
  EXPECT_EQ(machine.OpenHandleCount(sim::HandleKind::Find), 0u);
  EXPECT_EQ(FindFirstFileA("C:\\*.hdr", &found), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(FindFirstFileA("C:\\NONE\\*.hdr", &found), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(SimTest, DiskGeometryWantsARootWithItsBackslash) {
  machine.files.AddDrive('d').bytesPerSector = 4096;
  DWORD spc = 0, bps = 0, fc = 0, tc = 0;
  ASSERT_TRUE(GetDiskFreeSpaceA("D:\\", &spc, &bps, &fc, &tc));
  EXPECT_EQ(bps, 4096u);
  ASSERT_TRUE(GetDiskFreeSpaceA(nullptr, &spc, &bps, &fc, &tc));  // the current drive
  EXPECT_EQ(bps, 512u);
  EXPECT_FALSE(GetDiskFreeSpaceA("D:", &spc, &bps, &fc, &tc));
  EXPECT_FALSE(GetDiskFreeSpaceA("E:\\", &spc, &bps, &fc, &tc));
}

// ---- session

TEST_F(SimTest, PrivilegeAdjustmentReportsWhatItChangedAndNeedsTheRightAccess) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  LUID luid{};
  ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "seshutdownprivilege", &luid));
  TOKEN_PRIVILEGES set{1, {{luid, SE_PRIVILEGE_ENABLED}}};
  TOKEN_PRIVILEGES previous{};
  DWORD length = sizeof previous;
  // Reporting the earlier state needs TOKEN_QUERY as well.
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &set, sizeof set, &previous, &length));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(token));

  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  // A buffer too small for the earlier state changes nothing and tells the size it needs.
  length = 0;
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &set, 8, &previous, &length));
  EXPECT_EQ(GetLastError(), 122u);  // ERROR_INSUFFICIENT_BUFFER
  EXPECT_EQ(length, 16u);
  EXPECT_FALSE(machine.session.ShutdownPrivilegeEnabled());
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &set, sizeof previous, &previous, &length));
  EXPECT_TRUE(machine.session.ShutdownPrivilegeEnabled());
  EXPECT_EQ(previous.PrivilegeCount, 1u);
  EXPECT_EQ(previous.Privileges[0].Attributes, 0u);
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &previous, length, nullptr, nullptr));
  EXPECT_FALSE(machine.session.ShutdownPrivilegeEnabled());

  // A privilege the token does not hold: success, with the last error saying so.
  ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &set.Privileges[0].Luid));
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &set, sizeof set, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), 1300u);  // ERROR_NOT_ALL_ASSIGNED
  EXPECT_TRUE(CloseHandle(token));

  // Windows NT restarts only for a process with the shutdown privilege enabled.
  EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0));
  machine.session.FindPrivilege(SE_SHUTDOWN_NAME)->enabled = true;
  EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
  machine.version.platformId = VER_PLATFORM_WIN32_WINDOWS;
  machine.session.FindPrivilege(SE_SHUTDOWN_NAME)->enabled = false;
  EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
}

TEST_F(SimTest, PowerAnswersComeInTurnTheLastRepeating) {
  machine.session.power = {sim::PowerAnswer::Offline(), sim::PowerAnswer::Failure(),
                           sim::PowerAnswer::Unknown()};
  SYSTEM_POWER_STATUS s{};
  ASSERT_TRUE(GetSystemPowerStatus(&s));
  EXPECT_EQ(s.ACLineStatus, 0);
  EXPECT_FALSE(GetSystemPowerStatus(&s));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(GetSystemPowerStatus(&s));
    EXPECT_EQ(s.ACLineStatus, 255);
  }
}

}  // namespace
