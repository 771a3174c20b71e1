#include "tarnsys/library_state.h"

win32::HANDLE g_device = win32::INVALID_HANDLE_VALUE;
SmbEntryPoint g_smbEntryPoint{};
std::uint8_t* g_structureTable = nullptr;
SmbIndex* g_structureIndex = nullptr;
