// Differential fuzzer of the structure index: a sequence of queries runs twice over the same damaged
// table copy, once finding structures through the index and once by the walk alone, each on its
// own copy. After every call the result, the caller's buffer and the copy must be the same in both;
// and while the index is current it must hold exactly what a walk of its copy finds now, within its
// bound. String queries in the sequence rewrite their copies, which is where the two could part.
//
// Input: one byte giving the number of calls (1 to 8), 11 bytes per call, then the table copy.
// A call: what (bits 0-1: GetSmbTableValue, GetSmbTable, GetServiceTag, GetSystemId; bit 2: 256 is
// added to the type; bit 3: the instance byte is signed; bit 4: 256 is taken from the offset), type,
// instance, offset, value type, mask (32 bits), buffer size (16 bits).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/sim/machine.h"
#include "tarnsys/library_state.h"
#include "tarnsys/smb_index.h"
#include "tarnsys/smb_table.h"
#include "tarnsys/tarnsys.h"

namespace {

constexpr std::size_t kCallBytes = 11;
constexpr std::size_t kMostCalls = 8;

struct Call {
  std::uint8_t what;
  int type, instance, offset;
  unsigned valueType, mask;
  std::uint16_t bufferSize;
};

Call Decode(const std::uint8_t* p) {
  Call c{};
  c.what = p[0];
  c.type = p[1] + ((p[0] & 4) ? 256 : 0);
  c.instance = (p[0] & 8) ? static_cast<std::int8_t>(p[2]) : p[2];
  c.offset = p[3] - ((p[0] & 16) ? 256 : 0);
  c.valueType = p[4] % 11u;  // the nine codes and two beyond
  std::memcpy(&c.mask, p + 5, 4);
  std::memcpy(&c.bufferSize, p + 9, 2);
  return c;
}

[[noreturn]] void Differ(std::size_t call, const char* what) {
  std::fprintf(stderr, "ERROR: fuzz_tarnsys_index: call %zu: %s\n", call, what);
  std::abort();
}

// One library: its copy and its index, swapped into the process state while it answers.
struct Library {
  std::uint8_t* copy = nullptr;
  SmbIndex* index = nullptr;
  void Enter() const {
    g_structureTable = copy;
    g_structureIndex = index;
  }
  void Leave() {
    copy = g_structureTable;
    index = g_structureIndex;
    g_structureTable = nullptr;
    g_structureIndex = nullptr;
  }
};

// The answer of one call: its result and the caller's whole buffer.
struct Answer {
  int result = 0;
  std::vector<std::uint8_t> buffer;
};

Answer Ask(const Call& c, std::size_t length) {
  Answer a;
  // A text answer is at most a rendering or one string of the copy.
  a.buffer.assign(c.what % 4 == 1 ? c.bufferSize : length + 32, 0xEE);
  char* text = reinterpret_cast<char*>(a.buffer.data());
  switch (c.what % 4) {
    case 0:
      a.result = GetSmbTableValue(c.type, c.offset, c.instance, c.mask, c.valueType, text);
      break;
    case 1:
      a.result = GetSmbTable(c.type, c.instance, c.bufferSize, a.buffer.data());
      break;
    case 2:
      a.result = GetServiceTag(text, c.instance);
      break;
    default:
      a.result = GetSystemId(text);
      break;
  }
  return a;
}

// While the index is current, it holds every structure that a walk of the copy finds now, each under
// its type and instance, and nothing more; and no more entries than half the copy's bytes.
void CheckIndex(std::size_t call, std::size_t length) {
  const SmbIndex* index = CurrentSmbIndex();
  if (index == nullptr) return;
  int seen[256] = {};
  std::size_t count = 0;
  for (const std::uint8_t* s = FirstSmbStructure(); s != nullptr; s = NextSmbStructure(s), ++count)
    if (IndexedSmbStructure(*index, s[0], seen[s[0]]++) != s) Differ(call, "the index misplaces a structure");
  for (int type = 0; type < 256; ++type)
    if (IndexedSmbStructure(*index, type, seen[type]) != nullptr || IndexedSmbStructure(*index, type, -1))
      Differ(call, "the index holds a structure that the walk does not find");
  if (index->typeStart[256] != count || count > length / 2) Differ(call, "the index count is wrong");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The index lives in the simulated heap; calls are counted, not logged.
  static sim::Machine machine;
  static const sim::Install installed = [] {
    machine.logCalls = false;
    return sim::Install(machine);
  }();
  (void)installed;

  if (size < 1) return 0;
  const std::size_t calls = 1 + data[0] % kMostCalls;
  const std::size_t header = 1 + calls * kCallBytes;
  if (size < header || size - header > 0xFFFF) return 0;
  const std::uint8_t* table = data + header;
  const std::size_t length = size - header;
  g_smbEntryPoint.structureTableLength = static_cast<std::uint16_t>(length);
  g_structureTableLength = length;

  // Each copy in a block of exactly its length, so that a read past it is caught.
  Library indexed, walked;
  for (Library* l : {&indexed, &walked}) {
    l->copy = length == 0 ? nullptr : new std::uint8_t[length];
    if (l->copy != nullptr) std::memcpy(l->copy, table, length);
  }
  indexed.Enter();
  BuildSmbIndex();
  if (length != 0 && g_structureIndex == nullptr) Differ(0, "no index was built");
  CheckIndex(0, length);
  indexed.Leave();

  for (std::size_t i = 0; i < calls; ++i) {
    const Call c = Decode(data + 1 + i * kCallBytes);
    indexed.Enter();
    const Answer fromIndex = Ask(c, length);
    CheckIndex(i + 1, length);
    indexed.Leave();
    walked.Enter();
    const Answer fromWalk = Ask(c, length);
    walked.Leave();
    if (fromIndex.result != fromWalk.result) Differ(i + 1, "the results differ");
    if (fromIndex.buffer != fromWalk.buffer) Differ(i + 1, "the answers differ");
    if (length != 0 && std::memcmp(indexed.copy, walked.copy, length) != 0)
      Differ(i + 1, "the copies differ");
  }

  indexed.Enter();
  FreeSmbIndex();
  indexed.Leave();
  delete[] indexed.copy;
  delete[] walked.copy;
  g_smbEntryPoint.structureTableLength = 0;
  g_structureTableLength = 0;
  return 0;
}
