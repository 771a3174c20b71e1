// Simulated machine: the process and its session. The command line, the process token and its
// privileges, restart requests, the power status, and shell launches.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace sim {

// One answer of GetSystemPowerStatus.
struct PowerAnswer {
  bool fails = false;
  win32::BYTE acLineStatus = 1;  // 0 offline, 1 online, 255 unknown

  static PowerAnswer Online() { return {false, 1}; }
  static PowerAnswer Offline() { return {false, 0}; }
  static PowerAnswer Unknown() { return {false, 255}; }
  static PowerAnswer Failure() { return {true, 0}; }
};

// A privilege of the process token.
struct Privilege {
  std::string name;
  win32::DWORD luid = 0;
  bool held = true;  // false: the token does not hold it, so it cannot be enabled
  bool enabled = false;
};

struct RestartRequest {
  win32::UINT flags = 0;
  win32::DWORD reason = 0;
  bool accepted = false;
};

// One ShellExecuteA; a null text argument is nullopt.
struct LaunchRecord {
  std::optional<std::string> operation;
  std::optional<std::string> file;
  std::optional<std::string> parameters;
  std::optional<std::string> directory;
  int show = 0;
  std::intptr_t result = 0;
};

class Session {
 public:
  // ---- configuration
  std::string commandLine = "\"C:\\TARN\\BIOS\\ZIM.EXE\" ";
  bool tokenAccessDenied = false;  // OpenProcessToken is refused
  std::vector<Privilege> privileges = {
      {"SeShutdownPrivilege", 19, true, false},
      {"SeDebugPrivilege", 20, false, false},
      {"SeSystemtimePrivilege", 12, true, false},
  };
  bool restartAccepted = true;      // false: ExitWindowsEx refuses
  std::vector<PowerAnswer> power;   // answers in turn, the last one repeating; empty: online
  std::intptr_t launchResult = 42;  // what ShellExecuteA gives; 32 or less is a failure

  // ---- what happened
  std::vector<RestartRequest> restarts;
  std::vector<LaunchRecord> launches;

  Privilege* FindPrivilege(const std::string& name);
  Privilege* FindPrivilege(win32::DWORD luid);
  bool ShutdownPrivilegeEnabled() const;

  // ---- what the simulated calls use
  int OpenToken(win32::DWORD access);
  void CloseToken(int id) { tokens_.erase(id); }
  // The access a token was opened with; nullopt when `id` is no open token.
  std::optional<win32::DWORD> TokenAccess(int id) const;
  // The next answer of the power status, the last one repeating.
  PowerAnswer NextPowerAnswer();

 private:
  std::map<int, win32::DWORD> tokens_;
  int nextToken_ = 1;
  std::size_t powerIndex_ = 0;
};

}  // namespace sim
