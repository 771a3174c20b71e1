#include "zim/app/bios_upgrade.h"
#include "zim/tokens/token_access.h"

bool CBiosUpgrade::SetCmosToken(std::uint8_t id) {
  CTokenAccess access;
  if (access.FindFirstToken(id) && access.SetToken(1, nullptr)) {
    std::uint8_t status = 0;
    if (access.SetToken(0, &status) && status == 0) return true;
    // The second read-back did not come: the device failed, and a run that ends in an error code
    // must not leave the token set behind it.
    if (status == CTokenAccess::kReadFailed) access.PutBack();
  }
  m_strErrorCode = "ERR3";
  return false;
}
