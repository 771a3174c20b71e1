// The library's entry point: process attach loads the table, process detach unloads it.
#pragma once

#include "platform/win32.h"

extern "C" win32::BOOL WINAPI DllMain(win32::HINSTANCE instance, win32::DWORD reason, win32::LPVOID reserved);
