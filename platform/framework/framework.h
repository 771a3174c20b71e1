// A small dialog framework: what ZIM needs of an application framework. An application object with
// an initialisation hook, a modal dialog from a template with control binding, control text and
// style changes, and message boxes by catalogue id. It is portable code over the seam: on Windows
// the seam reaches DialogBoxParamA and MessageBoxIndirectA, on the host the simulated person.
#pragma once

#include "platform/win32.h"

// Shows the catalogue message `idPrompt` in a modal message box: `type` holds the buttons, and the
// exclamation icon is added when it names no icon; the caption is the program's file name without
// folder and extension. Gives the button pressed (IDOK or IDCANCEL).
int AfxMessageBox(win32::UINT idPrompt, win32::UINT type = win32::MB_OK, win32::UINT helpContext = 0);
