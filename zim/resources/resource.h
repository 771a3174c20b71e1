// Resource ids of the flash program, shared by its resource file and its C++ code. Plain
// definitions only, so that the resource compiler can read this header too.
#pragma once

// The program's icon (made from icon.txt by icon.cmake).
#define IDI_ZIM 128

// The main dialog and its controls.
#define IDD_ZIM_DIALOG 102
#define IDC_STC_ERRORCODE 1001
#define IDC_BTN_OK 1002

// The message catalogue.
#define IDS_ATTACH_AC 1
#define IDS_ENSURE_AC 2
#define IDS_RETRY_FLASH 3
#define IDS_CLOSE_APPS 4
