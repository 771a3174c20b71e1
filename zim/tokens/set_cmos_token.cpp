#include "zim/app/bios_upgrade.h"
#include "zim/tokens/token_access.h"

bool CBiosUpgrade::SetCmosToken(std::uint8_t id) {
  CTokenAccess access;
  bool found = false;
  if (access.FindEntryPoint(nullptr)) {
    // The token is taken from the first token table, in table order, that holds its id.
    for (std::int32_t n = 1; !found && access.FindTokenStructure(n, nullptr); ++n)
      found = access.FindToken(id, nullptr);
  }
  std::uint8_t status = 0;
  if (found && access.SetToken(1, nullptr) && access.SetToken(0, &status) && status == 0) return true;
  m_strErrorCode = "ERR3";
  return false;
}
