// The flash sequence: stage the image, set the flash token and restart, or arrange one retry across
// a restart when staging failed.
#include "zim/app/bios_upgrade.h"

#include <algorithm>

#include "platform/framework/framework.h"
#include "zim/driver/image_controls.h"

std::string g_strCommandLine;

namespace {

constexpr win32::DWORD kStartDelayMs = 2000;
constexpr std::uint8_t kFlashToken = 92;
constexpr std::uint8_t kRestartFailedToken = 93;
constexpr win32::DWORD kTokenAccess = win32::TOKEN_ADJUST_PRIVILEGES | win32::TOKEN_QUERY;
constexpr win32::UINT kRetryNotice = 3;  // message 3 of the catalogue

// Makes `folder` current. An empty text names no folder, and a bare drive ("C:") names whatever
// folder is current on that drive, so its root is asked for instead.
bool MakeCurrent(std::string folder) {
  if (folder.empty()) return false;
  if (folder.size() == 2 && folder[1] == ':') folder += '\\';
  return win32::SetCurrentDirectoryA(folder.c_str()) != win32::FALSE;
}

// Whether `path` names a file from a drive's root or a network share, wherever the current
// directory is.
bool IsFullPath(const std::string& path) {
  auto separator = [](char c) { return c == '\\' || c == '/'; };
  if (path.size() >= 2 && separator(path[0]) && separator(path[1])) return true;
  // A drive letter, told without the C library's character classes, which the program does not import.
  const char letter = static_cast<char>(path.empty() ? 0 : path[0] | 0x20);
  return path.size() >= 3 && letter >= 'a' && letter <= 'z' && path[1] == ':' && separator(path[2]);
}

}  // namespace

bool CBiosUpgrade::IsWindowsNT() {
  // The extended structure first; systems that know only the basic one refuse its size.
  win32::OSVERSIONINFOEXA info{};
  auto* basic = reinterpret_cast<win32::OSVERSIONINFOA*>(&info);
  info.dwOSVersionInfoSize = sizeof(win32::OSVERSIONINFOEXA);
  if (!win32::GetVersionExA(basic)) {
    info.dwOSVersionInfoSize = sizeof(win32::OSVERSIONINFOA);
    if (!win32::GetVersionExA(basic)) return false;
  }
  return info.dwPlatformId == win32::VER_PLATFORM_WIN32_NT;
}

bool CBiosUpgrade::RunWithShutdownPrivilege() {
  win32::Sleep(kStartDelayMs);
  if (!IsWindowsNT()) return FlashAndRestart();

  win32::HANDLE token = nullptr;
  if (!win32::OpenProcessToken(win32::GetCurrentProcess(), kTokenAccess, &token)) {
    m_strErrorCode = "ERR1";
    return false;
  }
  win32::LUID luid{};
  if (!win32::LookupPrivilegeValueA(nullptr, win32::SE_SHUTDOWN_NAME, &luid)) {
    win32::CloseHandle(token);
    m_strErrorCode = "ERR1";
    return false;
  }
  win32::TOKEN_PRIVILEGES privileges{1, {{luid, win32::SE_PRIVILEGE_ENABLED}}};
  win32::TOKEN_PRIVILEGES previous{};
  win32::DWORD previousLength = sizeof previous;
  // Only the call's result counts: a privilege the token does not hold still lets the sequence run.
  if (!win32::AdjustTokenPrivileges(token, win32::FALSE, &privileges, sizeof privileges, &previous,
                                    &previousLength)) {
    m_strErrorCode = "ERR1";
    win32::CloseHandle(token);
    return false;
  }
  // With the restart under way the token stays open and the privilege enabled.
  if (FlashAndRestart()) return true;
  win32::AdjustTokenPrivileges(token, win32::FALSE, &previous, previousLength, nullptr, nullptr);
  win32::CloseHandle(token);
  return false;
}

bool CBiosUpgrade::FlashAndRestart() {
  const char* commandLine = win32::GetCommandLineA();
  g_strCommandLine = commandLine == nullptr ? "" : commandLine;
  // The image is looked for by its bare name, so the program's folder must be current first: the
  // folder the command line gives, else (arguments with a backslash, a relative name) the folder of
  // the program file itself. Where neither can be made current (a folder name that the code page
  // cannot hold), the folder that happens to be current may hold another machine's image: none is
  // looked for.
  const bool inProgramFolder = MakeCurrent(GetDirectoryOfPath(g_strCommandLine)) ||
                               MakeCurrent(GetDirectoryOfPath(AfxGetModulePath()));
  LaunchCleanup(false);
  if (inProgramFolder) {
    m_nStageResult = FindImageFile();
  } else {
    m_strErrorCode = "ERR2";
    m_nStageResult = -1;
  }
  if (m_nStageResult != -1) return FlashStagedImage();
  if (m_strErrorCode == "ERR4") return RetryAfterRestart();
  // No image ("ERR2") or no memory for it ("ERR7"): nothing was staged, so there is nothing to
  // flash and nothing to release.
  return false;
}

bool CBiosUpgrade::RetryAfterRestart() {
  if (!CanRetry()) {
    DeleteRegValue(win32::HKEY_LOCAL_MACHINE, kRetryValue, kStateKey);
    m_strErrorCode = "ERR6";
    return false;
  }
  // A command the next start could not run, or one RunOnce cannot take (too long for the registry
  // text, or no RunOnce key to write it into), is no retry: the person is not told of one.
  const std::string command = RetryCommandLine();
  if (command.empty() || !CanSetRegString(win32::HKEY_LOCAL_MACHINE, command, kRunOnceKey)) {
    m_strErrorCode = "ERR6";
    return false;
  }
  AfxMessageBox(kRetryNotice, win32::MB_OK, 0);
  if (SetRegString(win32::HKEY_LOCAL_MACHINE, command, kProgramValue, kRunOnceKey) &&
      SetRegString(win32::HKEY_LOCAL_MACHINE, kRetryValue, kRetryValue, kStateKey) &&
      DeleteRegValue(win32::HKEY_LOCAL_MACHINE, kCleanupValue, kRunOnceKey)) {
    m_strErrorCode.clear();
    // The retry is arranged whatever the answer: the next start runs the program again.
    win32::ExitWindowsEx(win32::EWX_REBOOT, 0);
    return true;
  }
  // Undo what was arranged, so that no half-made retry runs at the next start. Where "ZIM" stays,
  // "retry" stays too: that run must find its retry used.
  if (DeleteRegValue(win32::HKEY_LOCAL_MACHINE, kProgramValue, kRunOnceKey))
    DeleteRegValue(win32::HKEY_LOCAL_MACHINE, kRetryValue, kStateKey);
  m_strErrorCode = "ERR6";
  return false;
}

std::string CBiosUpgrade::RetryCommandLine() {
  // The program's name is the command line's first word: up to the closing quote when it is
  // quoted, else up to the first blank. The arguments are the rest, kept as they are.
  const std::string& line = g_strCommandLine;
  std::size_t end = 0;
  std::string program;
  if (!line.empty() && line[0] == '"') {
    const std::size_t close = line.find('"', 1);
    program = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    end = close == std::string::npos ? line.size() : close + 1;
  } else {
    end = std::min(line.find_first_of(" \t"), line.size());
    program = line.substr(0, end);
  }
  // The platform runs the value from a folder of its own choosing, where a relative name finds
  // nothing: such a name is replaced by the program file's full path. Without that path there is
  // nothing the next start could run (empty: no retry can be arranged).
  if (IsFullPath(program)) return line;
  const std::string modulePath = AfxGetModulePath();
  if (modulePath.empty()) return {};
  return '"' + modulePath + '"' + line.substr(end);
}

bool CBiosUpgrade::FlashStagedImage() {
  if (!SetCmosToken(kFlashToken)) {
    m_strErrorCode = "ERR3";
    ReleaseImageInDriver(m_nStageResult);
    return false;
  }
  if (win32::ExitWindowsEx(win32::EWX_REBOOT, 0)) return true;
  // Refused: token 92 stays set; token 93 records the refusal, and SetCmosToken stores "ERR3" over
  // "ERR5" when it cannot.
  m_strErrorCode = "ERR5";
  SetCmosToken(kRestartFailedToken);
  ReleaseImageInDriver(m_nStageResult);
  return false;
}
