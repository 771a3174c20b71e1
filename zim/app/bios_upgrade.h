// The flash sequence object: one per run of the main dialog's initialisation. It holds the error
// code and the stage result; image staging, the upgrade state and the token writer are its members
// and store their own error codes in it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32.h"

// The process's full command line, copied at the start of the flash sequence: the source of the
// program's folder and the command a retry registers to run after the restart.
extern std::string g_strCommandLine;

class CBiosUpgrade {
 public:
  CBiosUpgrade() = default;
  virtual ~CBiosUpgrade() = default;

  // ---- flash sequence
  // True when the running Windows reports the NT platform id.
  bool IsWindowsNT();
  // Waits, enables the shutdown privilege on Windows NT and runs FlashAndRestart. True exactly when
  // a restart was requested; false with an error code that is never empty.
  bool RunWithShutdownPrivilege();
  // True when a restart has been requested; false with an error code otherwise.
  bool FlashAndRestart();
  std::string GetErrorCode() const { return m_strErrorCode; }

  // ---- image staging
  // The text before the last backslash of `path`, every double quote removed; empty without one.
  std::string GetDirectoryOfPath(const std::string& path);
  // Stages the first "*.hdr" of the current directory; the stage result, or -1 with "ERR2", "ERR4"
  // or "ERR7".
  std::int32_t FindImageFile();
  // Reads the image whole, exchanges the 4-bit halves of every byte and hands it to the driver.
  std::int32_t StageImage(const std::string& path);

  // ---- upgrade state (registry) and the cleanup program
  bool LaunchCleanup(bool launchNow);
  bool CanRetry();
  bool SetRegString(win32::HKEY root, const std::string& text, const std::string& name,
                    const std::string& subkey);
  bool DeleteRegValue(win32::HKEY root, const std::string& name, const std::string& subkey);
  // Whether SetRegString could store `text` under `subkey`: it fits the text buffer, and the key
  // exists and opens for writing. Nothing is created or written.
  bool CanSetRegString(win32::HKEY root, const std::string& text, const std::string& subkey);

  // ---- token writer
  // Sets a CMOS token through the BIOS's token table: true when it was found, written and reads back
  // as set; on failure stores "ERR3".
  bool SetCmosToken(std::uint8_t id);

  std::string m_strErrorCode;        // empty, or "ERR1".."ERR7"; the last store wins
  std::int32_t m_nStageResult = -1;  // the driver's answer to staging, or -1

 private:
  // The registry names of the retry state (all under HKEY_LOCAL_MACHINE).
  static constexpr char kStateKey[] = "Software\\Tarn\\BIOSUPGRADE";
  static constexpr char kRunOnceKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
  static constexpr char kCleanupValue[] = "BiosUpgradeCleanup";
  static constexpr char kRetryValue[] = "retry";
  static constexpr char kProgramValue[] = "ZIM";

  // The two ways on after staging: arrange one retry across a restart, or flash the staged image.
  bool RetryAfterRestart();
  // The command the retry registers to run after the restart: the command line, with the program
  // file's full path (quoted) in place of a program name that is not one; empty when that path is
  // needed and cannot be had.
  std::string RetryCommandLine();
  bool FlashStagedImage();
  // The sector size of the volume that holds `path`, as unbuffered reads need it.
  win32::DWORD SectorSizeFor(const std::string& path);
};
