// ZIM's two handles on the VARN device: each opened on its first use, for the running platform, and
// never retried; both closed at process exit.
#pragma once

#include "platform/win32.h"

struct DeviceSlot {
  win32::HANDLE handle = win32::INVALID_HANDLE_VALUE;
  bool openAttempted = false;
};

// The flash device slot serves image staging and release; the token device slot serves only
// CDriverChannel. Neither looks at the other.
extern DeviceSlot g_flashDeviceSlot;
extern DeviceSlot g_tokenDeviceSlot;

// Opens the slot if no open has been attempted yet; gives its handle (INVALID_HANDLE_VALUE when it
// is not open).
win32::HANDLE OpenDeviceOnce(DeviceSlot& slot);

// The exit handler's work: closes the handle unless it is INVALID_HANDLE_VALUE, and leaves the slot
// as static initialisation set it.
void CloseDeviceSlot(DeviceSlot& slot);

// Runs the exit handlers of both slots. Process exit does this; a host harness that runs the program
// more than once in one process calls it between runs.
void CloseDeviceSlots();
