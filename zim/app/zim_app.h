// The flash program's application object: its initialisation runs the main dialog modally and
// gives false, so that the program ends when the dialog ends.
#pragma once

#include "platform/framework/framework.h"

class CZimApp : public CWinApp {
 public:
  CZimApp() = default;
  bool InitInstance() override;
};

// The one application object.
extern CZimApp theApp;
