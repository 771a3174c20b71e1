// The state of the loaded library: one set per process, filled at process attach and emptied at
// process detach. The queries read only the structure table copy, its length and its index.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

#pragma pack(push, 1)
// The first 31 bytes of the SMBIOS 2.x entry point, as the SMBIOS standard lays them out.
struct SmbEntryPoint {
  std::uint8_t anchor[4];  // "_SM_"
  std::uint8_t checksum;
  std::uint8_t length;
  std::uint8_t majorVersion;
  std::uint8_t minorVersion;
  std::uint16_t maxStructureSize;
  std::uint8_t revision;
  std::uint8_t formattedArea[5];
  std::uint8_t intermediateAnchor[5];
  std::uint8_t intermediateChecksum;
  std::uint16_t structureTableLength;
  std::uint32_t structureTableAddress;
  std::uint16_t numberOfStructures;
  std::uint8_t bcdRevision;
};
#pragma pack(pop)
static_assert(sizeof(SmbEntryPoint) == 31);

// The opened VARN device; INVALID_HANDLE_VALUE while it is not open.
extern win32::HANDLE g_device;
// The entry point as found; all zero until a scan succeeds.
extern SmbEntryPoint g_smbEntryPoint;
// The heap block holding the whole structure table; null while the library has no table. Its size:
// the entry point's structure table length, or, for a table that a host hands over (AdoptSmbTable),
// that table's length.
extern std::uint8_t* g_structureTable;
extern std::size_t g_structureTableLength;
// Where the structures of the copy start (smb_index.h); null while there is no copy, or when its
// memory could not be had. Freed with the copy.
struct SmbIndex;
extern SmbIndex* g_structureIndex;
