// The image transformation of staging, on its own so that it can be measured.
#pragma once

#include <cstddef>
#include <cstdint>

// Exchanges the two 4-bit halves of each of `count` bytes in place: 0x12 becomes 0x21.
void ExchangeNibbles(std::uint8_t* bytes, std::size_t count);
