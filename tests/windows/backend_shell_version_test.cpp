// Starting programs through the shell, and the Windows version in both of Wine's modes.
#include <gtest/gtest.h>

#include <string>

#include "windows_support.h"

namespace {

using tarn_windows::ProgramFolder;
using tarn_windows::ReadWholeFile;
using tarn_windows::ScratchFolder;

const std::string kHelper = ProgramFolder() + "\\windows_helper.exe";

// Waits for a file the started program writes: it runs on its own.
std::string WaitForFile(const std::string& path) {
  for (int i = 0; i < 600; ++i) {
    const std::string text = ReadWholeFile(path);
    if (!text.empty()) return text;
    Sleep(100);
  }
  return {};
}

// Runs the helper to its end and gives its exit code.
DWORD RunHelper(const std::string& arguments) {
  std::string command = "\"" + kHelper + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return 0xFFFFFFFF;
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 0xFFFFFFFF;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

TEST(ShellExecute, StartsAConsoleProgramWithItsArguments) {
  ScratchFolder folder;
  const std::string marker = folder / "started.txt";
  const std::string arguments = "touch \"" + marker + "\" -s";
  const win32::HINSTANCE result =
      win32::ShellExecuteA(nullptr, "open", kHelper.c_str(), arguments.c_str(), nullptr, SW_SHOW);
  EXPECT_GT(reinterpret_cast<std::uintptr_t>(result), 32u);
  EXPECT_EQ(WaitForFile(marker), "-s");
}

TEST(ShellExecute, AMissingProgramGivesFileNotFound) {
  const std::string missing = ProgramFolder() + "\\no_such_program.exe";
  const win32::HINSTANCE result =
      win32::ShellExecuteA(nullptr, "open", missing.c_str(), "-s", nullptr, SW_SHOW);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(result), 2u);
}

TEST(Version, ThisProcessRunsOnTheNtPlatform) {
  win32::OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(win32::GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
  EXPECT_GE(info.dwMajorVersion, 5u);

  win32::OSVERSIONINFOA unsized{};
  EXPECT_FALSE(win32::GetVersionExA(&unsized));
}

// Wine reports Windows 98 to a program named under AppDefaults with Version "win98".
class Windows98Mode {
 public:
  Windows98Mode() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) == 0) {
      RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("win98"), 6);
      RegCloseKey(key);
    }
  }
  ~Windows98Mode() { RegDeleteTreeA(HKEY_CURRENT_USER, kKey); }
  Windows98Mode(const Windows98Mode&) = delete;
  Windows98Mode& operator=(const Windows98Mode&) = delete;

 private:
  static constexpr char kKey[] = "Software\\Wine\\AppDefaults\\windows_helper.exe";
};

TEST(Version, AProgramInWindows98ModeSeesThe9xPlatform) {
  ScratchFolder folder;
  const std::string nt = folder / "nt.txt";
  ASSERT_EQ(RunHelper("version \"" + nt + "\""), 0u);
  EXPECT_EQ(ReadWholeFile(nt).substr(0, 2), "2 ");
  {
    Windows98Mode mode;
    const std::string old = folder / "9x.txt";
    ASSERT_EQ(RunHelper("version \"" + old + "\""), 0u);
    EXPECT_EQ(ReadWholeFile(old), "1 4 10");
  }
}

}  // namespace
