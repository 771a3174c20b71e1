#include "tarnsys/smb_table.h"

#include "tarnsys/library_state.h"
#include "tarnsys/smb_index.h"

namespace {

// Offset of the first double zero at or after `from`, or the table length when there is none. Only
// every second byte needs a look, as each pair of bytes holds one of them; a zero there is checked
// against its neighbours, the earlier first. This halves the cost of the walk that every query makes.
std::size_t FindDoubleZero(const SmbTable& table, std::size_t from) {
  const std::uint8_t* t = table.start;
  for (std::size_t at = from + 1; at < table.length; at += 2) {
    if (t[at] != 0) continue;
    if (t[at - 1] == 0) return at - 1;
    if (at + 1 < table.length && t[at + 1] == 0) return at;
  }
  return table.length;
}

// True when the structure's type and length bytes and its whole formatted area lie in the table.
bool FitsInTable(const SmbTable& table, std::size_t at) {
  return at + 2 <= table.length && at + table.start[at + 1] <= table.length;
}

}  // namespace

SmbTable LoadedSmbTable() {
  if (g_structureTable == nullptr) return {};
  return {g_structureTable, g_structureTableLength};
}

std::uint8_t* FirstSmbStructure() {
  const SmbTable table = LoadedSmbTable();
  return FitsInTable(table, 0) ? table.start : nullptr;
}

std::uint8_t* NextSmbStructure(const std::uint8_t* structure) {
  const SmbTable table = LoadedSmbTable();
  const std::size_t stringArea = static_cast<std::size_t>(structure - table.start) + structure[1];
  if (stringArea >= table.length) return nullptr;
  const std::size_t pair = FindDoubleZero(table, stringArea);
  if (pair == table.length) return nullptr;
  const std::size_t next = pair + 2;
  return next < table.length && FitsInTable(table, next) ? table.start + next : nullptr;
}

std::uint8_t* WalkToSmbStructure(int type, int instance) {
  int matches = 0;
  for (std::uint8_t* s = FirstSmbStructure(); s != nullptr; s = NextSmbStructure(s)) {
    if (s[0] != static_cast<std::uint8_t>(type)) continue;
    if (matches == instance) return s;
    ++matches;
  }
  return nullptr;
}

std::uint8_t* FindSmbStructure(int type, int instance) {
  const SmbIndex* index = CurrentSmbIndex();
  return index != nullptr ? IndexedSmbStructure(*index, type, instance) : WalkToSmbStructure(type, instance);
}

std::size_t MeasureSmbStructure(const std::uint8_t* structure) {
  const SmbTable table = LoadedSmbTable();
  const std::size_t at = static_cast<std::size_t>(structure - table.start);
  const std::size_t pair = FindDoubleZero(table, at + structure[1]);
  return (pair == table.length ? table.length : pair + 2) - at;
}

SmbText GetSmbString(const std::uint8_t* structure, std::uint8_t number) {
  const SmbTable table = LoadedSmbTable();
  std::size_t at = static_cast<std::size_t>(structure - table.start) + structure[1];
  if (number == 0) return {table.start + at, 0};
  // Skip number-1 strings, stopping at an empty one: that is where the string area ends.
  for (unsigned skip = 1; skip < number && at < table.length && table.start[at] != 0; ++skip) {
    while (at < table.length && table.start[at] != 0) ++at;
    if (at < table.length) ++at;
  }
  std::size_t end = at;
  while (end < table.length && table.start[end] != 0) ++end;
  return {table.start + at, end - at};
}

void SanitizeSmbString(SmbText text) {
  for (std::size_t i = 0; i < text.length; ++i)
    if (text.text[i] < 32 || text.text[i] > 126) text.text[i] = ' ';
}

std::size_t RenderUnsigned(std::uint64_t value, char* buffer) {
  char digits[kLongestRendering];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (std::size_t i = 0; i < count; ++i) buffer[i] = digits[count - 1 - i];
  buffer[count] = '\0';
  return count;
}

std::size_t RenderSigned(std::int64_t value, char* buffer) {
  if (value >= 0) return RenderUnsigned(static_cast<std::uint64_t>(value), buffer);
  buffer[0] = '-';
  // The magnitude in unsigned arithmetic, so that the most negative value has one too.
  return 1 + RenderUnsigned(0 - static_cast<std::uint64_t>(value), buffer + 1);
}
