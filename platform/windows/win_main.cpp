// The flash program's entry on Windows: the framework runs the registered application.
#include "platform/framework/framework.h"

#undef WINAPI
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return AfxRunApplication(); }
