// The walk over the structure table copy that every query shares: finding a structure, measuring
// it, selecting and sanitising its strings, and the decimal renderings. Nothing here reads beyond
// the copy, whatever its bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// The copy as the walk sees it: empty (no bytes) while the library has no table.
struct SmbTable {
  std::uint8_t* start = nullptr;
  std::size_t length = 0;
  std::uint8_t* end() const { return start + length; }
};
SmbTable LoadedSmbTable();

// The first structure of the copy, or null when there is none.
std::uint8_t* FirstSmbStructure();
// The structure after `structure` (one the walk gave), or null when the walk ends there: its
// formatted area or its string area reaches the table end.
std::uint8_t* NextSmbStructure(const std::uint8_t* structure);

// The instance-th structure (from 0) whose type equals the low 8 bits of `type`, in table order;
// null when there are fewer. A structure whose formatted area would pass the table end is not found.
// The walk from the table start:
std::uint8_t* WalkToSmbStructure(int type, int instance);
// What the queries use: the same answer, from the structure index while it is current (see
// smb_index.h), else from the walk.
std::uint8_t* FindSmbStructure(int type, int instance);

// The bytes of a structure: its formatted area and its string area through the closing double
// zero, or up to the table end when that comes first.
std::size_t MeasureSmbStructure(const std::uint8_t* structure);

// A string in the copy: its bytes without the terminator, which the table end may have cut off.
struct SmbText {
  std::uint8_t* text = nullptr;
  std::size_t length = 0;
};

// The number-th string of a structure (from 1). Number 0 ("no string") and numbers beyond the last
// string give an empty text.
SmbText GetSmbString(const std::uint8_t* structure, std::uint8_t number);

// Replaces every byte below 32 or above 126 by a space, in the copy itself.
void SanitizeSmbString(SmbText text);

// Base-10 renderings with a terminating zero; they give the number of characters written.
inline constexpr std::size_t kLongestRendering = 20;  // 18446744073709551615, -9223372036854775808
std::size_t RenderUnsigned(std::uint64_t value, char* buffer);
std::size_t RenderSigned(std::int64_t value, char* buffer);
