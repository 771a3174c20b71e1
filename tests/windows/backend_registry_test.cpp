// The registry through the Windows backend, against the platform's own registry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "windows_support.h"

namespace {

using tarn_windows::SeamKey;

constexpr char kRunOnce[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// A key of its own under HKLM\Software, made with the real API before each test and removed after.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    subkey_ = "Software\\TarnTests\\Registry" + std::to_string(GetCurrentProcessId());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\TarnTests"); }

  win32::HKEY Open(win32::REGSAM access) {
    win32::HKEY key = nullptr;
    EXPECT_EQ(win32::RegOpenKeyExA(SeamKey(HKEY_LOCAL_MACHINE), subkey_.c_str(), 0, access, &key), 0);
    return key;
  }

  std::string subkey_;
};

TEST_F(RegistryTest, AStringWrittenWithoutItsTerminatorKeepsThatByteCount) {
  win32::HKEY key = Open(KEY_SET_VALUE | KEY_QUERY_VALUE);
  const std::string text = "C:\\TARN\\ZIM.EXE /retry";
  ASSERT_EQ(
      win32::RegSetValueExA(key, "Command", 0, REG_SZ, reinterpret_cast<const win32::BYTE*>(text.data()),
                            static_cast<win32::DWORD>(text.size())),
      0);
  // Windows gives back the byte count written; Wine counts a terminator it adds on reading.
  win32::DWORD type = 0, size = 0;
  ASSERT_EQ(win32::RegQueryValueExA(key, "Command", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_TRUE(size == text.size() || size == text.size() + 1) << size;
  const win32::DWORD reported = size;

  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  size = sizeof buffer;
  ASSERT_EQ(
      win32::RegQueryValueExA(key, "Command", nullptr, &type, reinterpret_cast<win32::BYTE*>(buffer), &size),
      0);
  EXPECT_EQ(size, reported);
  EXPECT_EQ(std::string(buffer, text.size()), text);

  // Too small a buffer: more data, and the size needed.
  size = 4;
  EXPECT_EQ(
      win32::RegQueryValueExA(key, "Command", nullptr, &type, reinterpret_cast<win32::BYTE*>(buffer), &size),
      static_cast<win32::LSTATUS>(ERROR_MORE_DATA));
  EXPECT_EQ(size, reported);
  EXPECT_EQ(win32::RegCloseKey(key), 0);
}

TEST_F(RegistryTest, WithTheTerminatorTheCountIncludesIt) {
  win32::HKEY key = Open(KEY_SET_VALUE | KEY_QUERY_VALUE);
  ASSERT_EQ(win32::RegSetValueExA(key, "Flag", 0, REG_SZ, reinterpret_cast<const win32::BYTE*>("1"), 2), 0);
  win32::DWORD size = 0;
  ASSERT_EQ(win32::RegQueryValueExA(key, "Flag", nullptr, nullptr, nullptr, &size), 0);
  EXPECT_EQ(size, 2u);
  win32::RegCloseKey(key);
}

TEST_F(RegistryTest, MissingValuesKeysAndRightsAreRefused) {
  win32::HKEY key = Open(KEY_SET_VALUE | KEY_QUERY_VALUE);
  win32::DWORD size = 0;
  EXPECT_EQ(win32::RegQueryValueExA(key, "Absent", nullptr, nullptr, nullptr, &size),
            static_cast<win32::LSTATUS>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(win32::RegDeleteValueA(key, "Absent"), static_cast<win32::LSTATUS>(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(win32::RegSetValueExA(key, "Gone", 0, REG_SZ, reinterpret_cast<const win32::BYTE*>("x"), 1), 0);
  EXPECT_EQ(win32::RegDeleteValueA(key, "Gone"), 0);
  EXPECT_EQ(win32::RegQueryValueExA(key, "Gone", nullptr, nullptr, nullptr, &size),
            static_cast<win32::LSTATUS>(ERROR_FILE_NOT_FOUND));
  win32::RegCloseKey(key);

  win32::HKEY missing = nullptr;
  EXPECT_EQ(win32::RegOpenKeyExA(SeamKey(HKEY_LOCAL_MACHINE), (subkey_ + "\\Absent").c_str(), 0,
                                 KEY_QUERY_VALUE, &missing),
            static_cast<win32::LSTATUS>(ERROR_FILE_NOT_FOUND));

  win32::HKEY readOnly = Open(KEY_QUERY_VALUE);
  EXPECT_EQ(
      win32::RegSetValueExA(readOnly, "Denied", 0, REG_SZ, reinterpret_cast<const win32::BYTE*>("x"), 1),
      static_cast<win32::LSTATUS>(ERROR_ACCESS_DENIED));
  win32::RegCloseKey(readOnly);
}

TEST(RunOnceKey, TakesAndGivesBackACommand) {
  win32::HKEY key = nullptr;
  ASSERT_EQ(
      win32::RegOpenKeyExA(SeamKey(HKEY_LOCAL_MACHINE), kRunOnce, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &key),
      0);
  const std::string name = "TarnTest" + std::to_string(GetCurrentProcessId());
  const std::string command = "cmd /c exit";
  ASSERT_EQ(win32::RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                                  reinterpret_cast<const win32::BYTE*>(command.data()),
                                  static_cast<win32::DWORD>(command.size())),
            0);
  char buffer[32] = {};
  win32::DWORD size = sizeof buffer;
  EXPECT_EQ(win32::RegQueryValueExA(key, name.c_str(), nullptr, nullptr,
                                    reinterpret_cast<win32::BYTE*>(buffer), &size),
            0);
  EXPECT_EQ(std::string(buffer), command);
  // Removed at once: RunOnce values run at the next session start.
  EXPECT_EQ(win32::RegDeleteValueA(key, name.c_str()), 0);
  win32::RegCloseKey(key);
}

}  // namespace
