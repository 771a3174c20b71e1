// The two image controls, on the flash device slot.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// Hands the whole (already transformed) image to the driver. Gives the driver's 32-bit answer, or -1
// when the device is not open, the call fails, or the driver leaves the answer unwritten.
std::int32_t StageImageInDriver(const void* image, win32::DWORD size);

// Hands the stage result back to the driver. Nothing is sent when the device is not open; the
// call's result is not examined.
void ReleaseImageInDriver(std::int32_t stageResult);
