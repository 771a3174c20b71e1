#include "tarnsys/library_state.h"

win32::HANDLE g_device = win32::INVALID_HANDLE_VALUE;
SmbEntryPoint g_smbEntryPoint{};
std::uint8_t* g_structureTable = nullptr;
std::size_t g_structureTableLength = 0;
SmbIndex* g_structureIndex = nullptr;
