// The image transformation of staging, on its own so that it can be measured.
#pragma once

#include <cstddef>
#include <cstdint>

// Exchanges the two 4-bit halves of each of `count` bytes: 0x12 becomes 0x21. The result goes to
// `to`, which is either `from` itself or does not overlap it.
void ExchangeNibbles(const std::uint8_t* from, std::uint8_t* to, std::size_t count);
inline void ExchangeNibbles(std::uint8_t* bytes, std::size_t count) { ExchangeNibbles(bytes, bytes, count); }
