#include "tarnsys/smb_index.h"

#include <new>

#include "tarnsys/library_state.h"

void BuildSmbIndex() {
  FreeSmbIndex();
  const SmbTable table = LoadedSmbTable();
  // The offsets are 16-bit: a longer table (one that a host handed over) is walked.
  if (table.start == nullptr || table.length > 0xFFFF) return;
  // One walk notes the structures in table order and counts those of each type; each is then put
  // where its type's run begins. The notes take at most one entry per 2 bytes of the copy.
  const win32::HANDLE heap = win32::GetProcessHeap();
  auto* found =
      static_cast<std::uint16_t*>(win32::HeapAlloc(heap, 0, table.length / 2 * sizeof(std::uint16_t)));
  if (found == nullptr) return;
  std::uint16_t next[256] = {};
  std::size_t count = 0;
  for (const std::uint8_t* s = FirstSmbStructure(); s != nullptr; s = NextSmbStructure(s)) {
    found[count++] = static_cast<std::uint16_t>(s - table.start);
    ++next[s[0]];
  }
  if (void* block = win32::HeapAlloc(heap, 0, sizeof(SmbIndex) + count * sizeof(std::uint16_t))) {
    auto* index = new (block) SmbIndex;
    std::uint16_t at = 0;
    for (int type = 0; type < 256; ++type) {
      index->typeStart[type] = at;
      at = static_cast<std::uint16_t>(at + next[type]);
      next[type] = index->typeStart[type];
    }
    index->typeStart[256] = at;
    std::uint16_t* starts = index->starts();
    for (std::size_t i = 0; i < count; ++i) starts[next[table.start[found[i]]]++] = found[i];
    g_structureIndex = index;
  }
  win32::HeapFree(heap, 0, found);
}

void FreeSmbIndex() {
  if (g_structureIndex == nullptr) return;
  win32::HeapFree(win32::GetProcessHeap(), 0, g_structureIndex);
  g_structureIndex = nullptr;
}

const SmbIndex* CurrentSmbIndex() {
  return g_structureIndex != nullptr && g_structureIndex->current ? g_structureIndex : nullptr;
}

void BeforeStringRewrite(const std::uint8_t* structure, SmbText text) {
  // Retired before the bytes change, so that no query finds its structure from an index that no
  // longer holds.
  if (g_structureIndex != nullptr && text.length != 0 && text.text < structure + 2 &&
      text.text + text.length > structure)
    g_structureIndex->current = false;
}

std::uint8_t* IndexedSmbStructure(const SmbIndex& index, int type, int instance) {
  if (instance < 0) return nullptr;
  const auto t = static_cast<std::uint8_t>(type);
  const std::uint16_t first = index.typeStart[t];
  if (instance >= index.typeStart[t + 1] - first) return nullptr;
  return g_structureTable + index.starts()[first + instance];
}
