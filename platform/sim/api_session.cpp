// Simulated backend: the process and session calls: command line, token and privileges, restart,
// power status, shell launches.
#include <cstddef>
#include <cstring>

#include "platform/sim/api.h"

namespace win32 {

using sim::api::Args;
using sim::api::Call;

namespace {

constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorNotAllAssigned = 1300;
constexpr DWORD kErrorNoSuchPrivilege = 1313;
constexpr DWORD kErrorPrivilegeNotHeld = 1314;
constexpr DWORD kRpcServerUnavailable = 1722;

// The process's pseudo handle, as the platform gives it.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

constexpr std::size_t kEntryOffset = offsetof(TOKEN_PRIVILEGES, Privileges);

// Entries of a privilege set beyond the first live past the declared structure, as on the platform.
LUID_AND_ATTRIBUTES EntryAt(const TOKEN_PRIVILEGES* set, DWORD i) {
  LUID_AND_ATTRIBUTES entry;
  std::memcpy(&entry, reinterpret_cast<const BYTE*>(set) + kEntryOffset + i * sizeof entry, sizeof entry);
  return entry;
}

void PutEntry(TOKEN_PRIVILEGES* set, DWORD i, const LUID_AND_ATTRIBUTES& entry) {
  std::memcpy(reinterpret_cast<BYTE*>(set) + kEntryOffset + i * sizeof entry, &entry, sizeof entry);
}

std::string Describe(const TOKEN_PRIVILEGES* set) {
  if (set == nullptr) return "null";
  std::string out = "{";
  for (DWORD i = 0; i < set->PrivilegeCount && i < 8; ++i) {
    const LUID_AND_ATTRIBUTES e = EntryAt(set, i);
    out += (i == 0 ? "" : ", ") + std::to_string(e.Luid.LowPart) + ":" + sim::api::Hex(e.Attributes);
  }
  return out + "}";
}

}  // namespace

LPSTR GetCommandLineA() {
  Call call("GetCommandLineA", "");
  return call.Return<LPSTR>(call.machine().session.commandLine.data());
}

// Cannot fail on the platform; an injected fault is logged and changes nothing.
HANDLE GetCurrentProcess() {
  Call call("GetCurrentProcess", "");
  return call.Return(kCurrentProcess);
}

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  Call call("OpenProcessToken", Args(process, access, token));
  sim::Machine& m = call.machine();
  if (call.injected() || m.session.tokenAccessDenied) return call.Return<BOOL>(FALSE, ERROR_ACCESS_DENIED);
  if (process != kCurrentProcess) return call.Return<BOOL>(FALSE, ERROR_INVALID_HANDLE);
  if (token == nullptr) return call.Return<BOOL>(FALSE, ERROR_INVALID_PARAMETER);
  const int id = m.session.OpenToken(access);
  sim::Session* session = &m.session;
  *token = m.NewHandle(sim::HandleKind::Token, id, [session, id] { session->CloseToken(id); });
  return call.Return<BOOL>(TRUE);
}

BOOL LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, LUID* luid) {
  Call call("LookupPrivilegeValueA", Args(systemName, name, luid));
  sim::Machine& m = call.machine();
  if (call.injected()) return call.Return<BOOL>(FALSE, kErrorNoSuchPrivilege);
  if (systemName != nullptr && systemName[0] != '\0') return call.Return<BOOL>(FALSE, kRpcServerUnavailable);
  if (name == nullptr || luid == nullptr) return call.Return<BOOL>(FALSE, ERROR_INVALID_PARAMETER);
  const sim::Privilege* privilege = m.session.FindPrivilege(std::string(name));
  if (privilege == nullptr) return call.Return<BOOL>(FALSE, kErrorNoSuchPrivilege);
  *luid = {privilege->luid, 0};
  return call.Return<BOOL>(TRUE);
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, DWORD bufferLength,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength) {
  Call call("AdjustTokenPrivileges",
            Args(token, disableAll, Describe(newState), bufferLength, previousState, returnLength));
  sim::Machine& m = call.machine();
  auto entry = m.LookupHandle(token);
  const auto access =
      entry && entry->kind == sim::HandleKind::Token ? m.session.TokenAccess(entry->id) : std::nullopt;
  if (!access) return call.Return<BOOL>(FALSE, ERROR_INVALID_HANDLE);
  if (call.injected()) return call.Return<BOOL>(FALSE, ERROR_ACCESS_DENIED);
  // Changing privileges needs TOKEN_ADJUST_PRIVILEGES; reporting the earlier state also TOKEN_QUERY.
  if ((*access & TOKEN_ADJUST_PRIVILEGES) == 0 || (previousState != nullptr && (*access & TOKEN_QUERY) == 0))
    return call.Return<BOOL>(FALSE, ERROR_ACCESS_DENIED);
  if ((!disableAll && newState == nullptr) || (previousState != nullptr && returnLength == nullptr))
    return call.Return<BOOL>(FALSE, ERROR_INVALID_PARAMETER);

  struct Change {
    sim::Privilege* privilege;
    bool enable;
  };
  std::vector<Change> changes;
  bool allAssigned = true;
  if (disableAll) {
    for (sim::Privilege& p : m.session.privileges)
      if (p.enabled) changes.push_back({&p, false});
  } else {
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES e = EntryAt(newState, i);
      sim::Privilege* p = e.Luid.HighPart == 0 ? m.session.FindPrivilege(e.Luid.LowPart) : nullptr;
      if (p == nullptr || !p->held) {
        allAssigned = false;
        continue;
      }
      const bool enable = (e.Attributes & SE_PRIVILEGE_ENABLED) != 0;
      if (p->enabled != enable) changes.push_back({p, enable});
    }
  }
  // The earlier state lists exactly the privileges this call changes.
  const auto needed = static_cast<DWORD>(kEntryOffset + changes.size() * sizeof(LUID_AND_ATTRIBUTES));
  if (previousState != nullptr) {
    *returnLength = needed;
    if (bufferLength < needed) return call.Return<BOOL>(FALSE, kErrorInsufficientBuffer);
    previousState->PrivilegeCount = static_cast<DWORD>(changes.size());
    for (std::size_t i = 0; i < changes.size(); ++i)
      PutEntry(previousState, static_cast<DWORD>(i),
               {{changes[i].privilege->luid, 0}, changes[i].privilege->enabled ? SE_PRIVILEGE_ENABLED : 0});
  }
  for (const Change& c : changes) c.privilege->enabled = c.enable;
  // Success either way; the last error tells whether every privilege asked for was assigned.
  m.lastError = allAssigned ? ERROR_SUCCESS : kErrorNotAllAssigned;
  return call.Return<BOOL>(TRUE);
}

BOOL ExitWindowsEx(UINT flags, DWORD reason) {
  Call call("ExitWindowsEx", Args(flags, reason));
  sim::Machine& m = call.machine();
  sim::RestartRequest& request = m.session.restarts.emplace_back(sim::RestartRequest{flags, reason, false});
  if (call.injected() || !m.session.restartAccepted) return call.Return<BOOL>(FALSE, ERROR_ACCESS_DENIED);
  // On Windows NT only a process with the shutdown privilege enabled may restart the machine.
  if (m.version.platformId == VER_PLATFORM_WIN32_NT && !m.session.ShutdownPrivilegeEnabled())
    return call.Return<BOOL>(FALSE, kErrorPrivilegeNotHeld);
  request.accepted = true;
  return call.Return<BOOL>(TRUE);
}

BOOL GetSystemPowerStatus(SYSTEM_POWER_STATUS* status) {
  Call call("GetSystemPowerStatus", Args(status));
  if (call.injected()) return call.Return<BOOL>(FALSE, ERROR_GEN_FAILURE);
  if (status == nullptr) return call.Return<BOOL>(FALSE, ERROR_INVALID_PARAMETER);
  const sim::PowerAnswer answer = call.machine().session.NextPowerAnswer();
  if (answer.fails) return call.Return<BOOL>(FALSE, ERROR_GEN_FAILURE);
  const bool known = answer.acLineStatus != 255;
  status->ACLineStatus = answer.acLineStatus;
  status->BatteryFlag = !known ? 255 : answer.acLineStatus == 0 ? 2 : 8;  // low while offline, else charging
  status->BatteryLifePercent = !known ? 255 : answer.acLineStatus == 0 ? 30 : 80;
  status->SystemStatusFlag = 0;
  status->BatteryLifeTime = known && answer.acLineStatus == 0 ? 3600 : 0xFFFFFFFF;
  status->BatteryFullLifeTime = known ? 12000 : 0xFFFFFFFF;
  return call.Return<BOOL>(TRUE);
}

HINSTANCE ShellExecuteA(HWND owner, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        int show) {
  Call call("ShellExecuteA", Args(owner, operation, file, parameters, directory, show));
  sim::Machine& m = call.machine();
  auto text = [](LPCSTR s) { return s == nullptr ? std::nullopt : std::optional<std::string>(s); };
  // An injected fault answers 0, the shell's "out of memory or resources"; a program that is not
  // there, 2 (ERROR_FILE_NOT_FOUND).
  const std::intptr_t result = call.injected() ? 0
                               : file == nullptr || m.files.FindProgram(file).empty()
                                   ? 2
                                   : m.session.launchResult;
  m.session.launches.push_back(
      {text(operation), text(file), text(parameters), text(directory), show, result});
  if (result <= 32) m.lastError = ERROR_FILE_NOT_FOUND;
  return call.Return(reinterpret_cast<HINSTANCE>(result));
}

}  // namespace win32
