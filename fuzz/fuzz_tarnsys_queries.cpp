// Fuzzes TARNSYS's queries over an arbitrary structure table copy and arbitrary arguments: no query
// may read or write outside the copy and the caller's buffer, whatever the bytes.
//
// Input: 22 bytes of arguments (type, offset, instance as 32-bit values; mask; value type; buffer
// size as 16 bits), then the table copy, placed in a block of exactly its size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tarnsys/library_state.h"
#include "tarnsys/tarnsys.h"

namespace {

template <class T>
T Take(const std::uint8_t*& data) {
  T v;
  std::memcpy(&v, data, sizeof v);
  data += sizeof v;
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kArgs = 22;
  if (size < kArgs || size - kArgs > 0xFFFF) return 0;
  const std::uint8_t* p = data;
  const auto type = Take<std::int32_t>(p);
  const auto offset = Take<std::int32_t>(p);
  const auto instance = Take<std::int32_t>(p);
  const auto mask = Take<std::uint32_t>(p);
  const auto valueType = Take<std::uint32_t>(p) % 12;  // the nine codes and a few beyond
  const auto bufferSize = Take<std::uint16_t>(p);
  const std::size_t length = size - kArgs;

  // The copy in a block of exactly its length, so any read past it is caught.
  std::vector<std::uint8_t> copy(p, p + length);
  std::uint8_t* block = length == 0 ? nullptr : new std::uint8_t[length];
  if (block != nullptr) std::memcpy(block, copy.data(), length);
  g_structureTable = block;
  g_smbEntryPoint.structureTableLength = static_cast<std::uint16_t>(length);
  g_structureTableLength = length;

  // A text answer is at most a rendering or one string of the copy.
  std::vector<char> out(length + 32);
  std::vector<std::uint8_t> raw(bufferSize);
  GetSmbTableValue(type, offset, instance, mask, valueType, out.data());
  GetServiceTag(out.data(), instance);
  GetSystemId(out.data());
  GetSmbTable(type, instance, bufferSize, raw.data());

  g_structureTable = nullptr;
  g_smbEntryPoint.structureTableLength = 0;
  g_structureTableLength = 0;
  delete[] block;
  return 0;
}
