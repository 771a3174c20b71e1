#include "platform/sim/filesystem.h"

#include "platform/sim/machine.h"

namespace sim {

win32::HANDLE OpenFile(Machine& machine, const std::string&, win32::DWORD, win32::DWORD, win32::DWORD,
                       win32::DWORD) {
  machine.lastError = win32::ERROR_FILE_NOT_FOUND;
  return win32::INVALID_HANDLE_VALUE;
}

}  // namespace sim
