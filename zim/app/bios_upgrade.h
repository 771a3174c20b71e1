// The flash sequence object: one per run of the main dialog's initialisation. It holds the error
// code and the stage result; image staging, the upgrade state and the token writer are its members.
#pragma once

#include <cstdint>
#include <string>

class CBiosUpgrade {
 public:
  CBiosUpgrade() = default;
  virtual ~CBiosUpgrade() = default;

  // Sets a CMOS token through the BIOS's token table: true when it was found, written and reads back
  // as set; on failure stores "ERR3".
  bool SetCmosToken(std::uint8_t id);

  std::string GetErrorCode() const { return m_strErrorCode; }

  std::string m_strErrorCode;       // empty, or "ERR1".."ERR7"; the last store wins
  std::int32_t m_nStageResult = -1;  // the driver's answer to staging, or -1
};
