#include "zim/app/bios_upgrade.h"
#include "zim/tokens/token_access.h"

bool CBiosUpgrade::SetCmosToken(std::uint8_t id) {
  CTokenAccess access;
  bool found = false;
  if (access.FindEntryPoint(nullptr)) {
    // The token is taken from the first token table, in table order, that holds its id. A record
    // that could not be read ends the search: a later table must not stand in for the first.
    std::uint8_t searched = 0;
    for (std::int32_t n = 1;
         !found && searched != CTokenAccess::kReadFailed && access.FindTokenStructure(n, nullptr); ++n)
      found = access.FindToken(id, &searched);
  }
  if (found && access.SetToken(1, nullptr)) {
    std::uint8_t status = 0;
    if (access.SetToken(0, &status) && status == 0) return true;
    // The second read-back did not come: the device failed, and a run that ends in an error code
    // must not leave the token set behind it.
    if (status == CTokenAccess::kReadFailed) access.PutBack();
  }
  m_strErrorCode = "ERR3";
  return false;
}
