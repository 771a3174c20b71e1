// Simulated machine: the file system: current directory, folders listed in a fixed order, sector
// sizes, unbuffered reads.
#pragma once

#include <string>

#include "platform/win32.h"

namespace sim {

class Machine;

struct FileSystem {};

// Opens a file (not a device) for CreateFileA: returns INVALID_HANDLE_VALUE and sets the last error
// when it cannot be opened.
win32::HANDLE OpenFile(Machine& machine, const std::string& name, win32::DWORD access, win32::DWORD shareMode,
                       win32::DWORD creation, win32::DWORD flags);

}  // namespace sim
