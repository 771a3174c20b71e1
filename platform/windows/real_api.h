// The Windows backend's one include: the seam first, then the real API. Each function of the seam
// forwards to its real counterpart, handing our layout-identical types over with reinterpret_cast.
// windows.h defines macros for many of the seam's constants (TRUE, MAX_PATH, ERROR_SUCCESS, ...), so
// the backend names none of them after this point and calls the real functions as ::Name.
#pragma once

#include "platform/win32.h"

#undef WINAPI  // windows.h defines it the same way, as stdcall
#include <windows.h>
// shellapi.h needs windows.h before it.
#include <shellapi.h>

#include <cstddef>

namespace win32_backend {

template <class To, class From>
To as(From value) {
  return reinterpret_cast<To>(value);
}

}  // namespace win32_backend

// The seam's structures must match the platform's byte for byte.
#define TARN_SAME_LAYOUT(ours, theirs) \
  static_assert(sizeof(win32::ours) == sizeof(::theirs), #ours " differs from the platform's")

TARN_SAME_LAYOUT(OSVERSIONINFOA, OSVERSIONINFOA);
TARN_SAME_LAYOUT(OSVERSIONINFOEXA, OSVERSIONINFOEXA);
TARN_SAME_LAYOUT(FILETIME, FILETIME);
TARN_SAME_LAYOUT(WIN32_FIND_DATAA, WIN32_FIND_DATAA);
TARN_SAME_LAYOUT(LUID, LUID);
TARN_SAME_LAYOUT(TOKEN_PRIVILEGES, TOKEN_PRIVILEGES);
TARN_SAME_LAYOUT(SYSTEM_POWER_STATUS, SYSTEM_POWER_STATUS);
TARN_SAME_LAYOUT(SERVICE_STATUS, SERVICE_STATUS);
TARN_SAME_LAYOUT(RECT, RECT);
TARN_SAME_LAYOUT(PAINTSTRUCT, PAINTSTRUCT);
TARN_SAME_LAYOUT(MSGBOXPARAMSA, MSGBOXPARAMSA);
static_assert(offsetof(win32::WIN32_FIND_DATAA, cFileName) == offsetof(::WIN32_FIND_DATAA, cFileName));
static_assert(offsetof(win32::WIN32_FIND_DATAA, nFileSizeLow) == offsetof(::WIN32_FIND_DATAA, nFileSizeLow));
static_assert(offsetof(win32::MSGBOXPARAMSA, dwContextHelpId) == offsetof(::MSGBOXPARAMSA, dwContextHelpId));
static_assert(offsetof(win32::PAINTSTRUCT, rcPaint) == offsetof(::PAINTSTRUCT, rcPaint));
static_assert(offsetof(win32::SYSTEM_POWER_STATUS, BatteryLifeTime) ==
              offsetof(::SYSTEM_POWER_STATUS, BatteryLifeTime));
static_assert(sizeof(win32::DWORD) == sizeof(::DWORD) && sizeof(win32::LONG) == sizeof(::LONG));
static_assert(sizeof(win32::WPARAM) == sizeof(::WPARAM) && sizeof(win32::LPARAM) == sizeof(::LPARAM));
