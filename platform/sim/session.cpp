#include "platform/sim/session.h"

#include <algorithm>
#include <cctype>

namespace sim {

namespace {

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace

Privilege* Session::FindPrivilege(const std::string& name) {
  for (Privilege& p : privileges)
    if (SameName(p.name, name)) return &p;
  return nullptr;
}

Privilege* Session::FindPrivilege(win32::DWORD luid) {
  for (Privilege& p : privileges)
    if (p.luid == luid) return &p;
  return nullptr;
}

bool Session::ShutdownPrivilegeEnabled() const {
  for (const Privilege& p : privileges)
    if (p.name == win32::SE_SHUTDOWN_NAME) return p.enabled;
  return false;
}

int Session::OpenToken(win32::DWORD access) {
  const int id = nextToken_++;
  tokens_[id] = access;
  return id;
}

std::optional<win32::DWORD> Session::TokenAccess(int id) const {
  auto it = tokens_.find(id);
  if (it == tokens_.end()) return std::nullopt;
  return it->second;
}

PowerAnswer Session::NextPowerAnswer() {
  if (power.empty()) return PowerAnswer::Online();
  const PowerAnswer answer = power[std::min(powerIndex_, power.size() - 1)];
  if (powerIndex_ < power.size()) ++powerIndex_;
  return answer;
}

}  // namespace sim
