#include "tarnsys/dll_main.h"

#include "tarnsys/table_loading.h"

// Loading never fails because of the driver: every failure only leaves the library without a
// table, so the answer is TRUE for every notification.
extern "C" win32::BOOL WINAPI DllMain(win32::HINSTANCE, win32::DWORD reason, win32::LPVOID) {
  if (reason == win32::DLL_PROCESS_ATTACH) LoadSmbTable();
  if (reason == win32::DLL_PROCESS_DETACH) UnloadSmbTable();
  return win32::TRUE;
}
