// The upgrade state that survives a restart, kept in the registry, and the cleanup program.
#include <cstring>

#include "zim/app/bios_upgrade.h"

namespace {

// Registry texts are copied into buffers of this size, terminator included.
constexpr std::size_t kTextBufferSize = 500;
constexpr char kCleanupSwitch[] = "-s";

}  // namespace

bool CBiosUpgrade::LaunchCleanup(bool launchNow) {
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExA(win32::HKEY_LOCAL_MACHINE, kStateKey, 0, win32::KEY_QUERY_VALUE, &key) !=
      win32::ERROR_SUCCESS)
    return false;
  char buffer[kTextBufferSize];
  win32::DWORD size = sizeof buffer;
  win32::DWORD type = win32::REG_SZ;
  if (win32::RegQueryValueExA(key, kCleanupValue, nullptr, &type, reinterpret_cast<win32::BYTE*>(buffer),
                              &size) != win32::ERROR_SUCCESS) {
    win32::RegCloseKey(key);
    return false;
  }
  // The command ends at its first zero or at the end of the data, whichever comes first.
  const std::string command(buffer, strnlen(buffer, size < sizeof buffer ? size : sizeof buffer));

  bool result = false;
  if (launchNow) {
    // The command is the program's path, one separator and "-s": the program is what comes before
    // the separator. The switch is the last "-s", as a path may hold one too. Without "-s" the whole
    // text is the program; with nothing before the separator there is no program to start.
    const std::size_t at = command.rfind(kCleanupSwitch);
    const std::string program = at == std::string::npos ? command : command.substr(0, at == 0 ? 0 : at - 1);
    if (!program.empty()) {
      win32::ShellExecuteA(nullptr, "open", program.c_str(), kCleanupSwitch, nullptr, win32::SW_SHOW);
      result = true;
    }
  } else {
    result = SetRegString(win32::HKEY_LOCAL_MACHINE, command, kCleanupValue, kRunOnceKey);
  }
  win32::RegCloseKey(key);
  return result;
}

bool CBiosUpgrade::CanRetry() {
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExA(win32::HKEY_LOCAL_MACHINE, kStateKey, 0, win32::KEY_ALL_ACCESS, &key) !=
      win32::ERROR_SUCCESS)
    return false;
  // Only a value known to be absent leaves the retry available. A query that fails for another
  // reason cannot tell whether the retry was used, and taking it as unused would let every run
  // register the program again: a machine restarting without end.
  const bool retryAbsent = win32::RegQueryValueExA(key, kRetryValue, nullptr, nullptr, nullptr, nullptr) ==
                           win32::ERROR_FILE_NOT_FOUND;
  win32::RegCloseKey(key);
  return retryAbsent;
}

bool CBiosUpgrade::SetRegString(win32::HKEY root, const std::string& text, const std::string& name,
                                const std::string& subkey) {
  // A text that does not fit the buffer with its terminator is not cut short: nothing is written.
  if (text.size() >= kTextBufferSize) return false;
  char buffer[kTextBufferSize];
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExA(root, subkey.c_str(), 0, win32::KEY_ALL_ACCESS, &key) != win32::ERROR_SUCCESS)
    return false;
  // The byte count is the text's length: the terminator is not stored.
  const bool stored =
      win32::RegSetValueExA(key, name.c_str(), 0, win32::REG_SZ, reinterpret_cast<const win32::BYTE*>(buffer),
                            static_cast<win32::DWORD>(text.size())) == win32::ERROR_SUCCESS;
  win32::RegCloseKey(key);
  return stored;
}

bool CBiosUpgrade::CanSetRegString(win32::HKEY root, const std::string& text, const std::string& subkey) {
  if (text.size() >= kTextBufferSize) return false;
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExA(root, subkey.c_str(), 0, win32::KEY_ALL_ACCESS, &key) != win32::ERROR_SUCCESS)
    return false;
  win32::RegCloseKey(key);
  return true;
}

bool CBiosUpgrade::DeleteRegValue(win32::HKEY root, const std::string& name, const std::string& subkey) {
  win32::HKEY key = nullptr;
  if (win32::RegOpenKeyExA(root, subkey.c_str(), 0, win32::KEY_ALL_ACCESS, &key) != win32::ERROR_SUCCESS)
    return false;
  // A value that is not there is no failure; any other refusal is: the value stays.
  const win32::LSTATUS status = win32::RegDeleteValueA(key, name.c_str());
  win32::RegCloseKey(key);
  return status == win32::ERROR_SUCCESS || status == win32::ERROR_FILE_NOT_FOUND;
}
