// CMOS token access: finds the SMBIOS entry point in the BIOS area, walks the structure table to the
// n-th token table (SMBIOS type 212), finds a token's record, writes the token through the table's
// own CMOS port pair and keeps the table's CMOS checksum right. Every field is read through
// CDriverChannel, one control per field; nothing is copied out of physical memory in bulk.
//
// Each operation takes a pointer to a status byte, which may be null; the byte is written only when
// the pointer is not null, and the boolean result never depends on it.
#pragma once

#include <cstdint>

class CTokenAccess {
 public:
  static constexpr std::uint32_t kScanStart = 0xF0000;
  static constexpr std::uint32_t kScanLast = 0xFFFF0;
  static constexpr std::uint32_t kAnchor = 0x5F4D535F;  // "_SM_"
  static constexpr std::uint8_t kTokenTableType = 212;

  CTokenAccess() = default;
  virtual ~CTokenAccess() = default;

  // Status 4, for all three searches: a read through the driver failed on the way. A failed read
  // gives 0, so nothing found through it is trusted, and the fields are left as they were.
  static constexpr std::uint8_t kReadFailed = 4;

  // Status: 0 found and its table within the first megabyte; 1 no anchor in 0xF0000-0xFFFF0;
  // 2 anchors but none with a good checksum; 3 the table lies outside the bounds.
  bool FindEntryPoint(std::uint8_t* status);
  // n counts token tables from 1 in table order. Status: 0 found; 1 walk ended with no token table
  // seen; 2 token tables seen, fewer than n; 3 a string area ran to the table end.
  bool FindTokenStructure(std::int32_t n, std::uint8_t* status);
  // Status: 0 found; 1 records of the instance exhausted; 2 record position passed the table end.
  bool FindToken(std::uint16_t id, std::uint8_t* status);
  // The whole search: the entry point, then the first token table, in table order, that holds `id`.
  // A record that could not be read ends it: a later table must not stand in for the first.
  bool FindFirstToken(std::uint16_t id);

  // write nonzero: sets the token and rewrites the checksum, then reads back. Every CMOS byte the write
  // depends on (the token's byte, the checksum range, the checksum location) is read before the first
  // write; the new checksum is computed from those bytes. Status 0 and true when the byte reads back
  // as set; status 2 and false when it reads back not set (the write stays); kReadFailed and false
  // when a read before the write failed (nothing is written); kNotBiosCmos and false when the write
  // would use a location no BIOS keeps (nothing is read or written); kPutBack or kPutBackFailed and
  // false when a write or the read-back failed (see PutBack).
  // write 0: only tests (status 0 set, 1 not set, kReadFailed when the byte could not be read,
  // kNotBiosCmos when the token's byte is one no BIOS keeps; always true).
  bool SetToken(std::int32_t write, std::uint8_t* status);
  // verify nonzero: true when CMOS holds the computed checksum, or when the instance keeps none
  // (nothing is read then). verify 0: writes it, with the same reading before writing, refusing and
  // putting back as SetToken; false when that failed.
  bool UpdateChecksum(std::int32_t verify);
  // Puts back, newest first, every CMOS byte that the last write of this object wrote or tried to
  // write, as it was read before that write; stops at the first write that fails, so that a failing
  // device is not written further. True when every byte went back (or nothing was written).
  bool PutBack();

  // A control failed after the first write; every byte written was put back as it was.
  static constexpr std::uint8_t kPutBack = 5;
  // A control failed after the first write and putting back failed too: writing stopped at once, and
  // CMOS may hold part of the write.
  static constexpr std::uint8_t kPutBackFailed = 6;
  // The write would use a CMOS location that no BIOS keeps a setting in (see ForbiddenLocation):
  // nothing was read or written.
  static constexpr std::uint8_t kNotBiosCmos = 7;

  // Whether the current instance keeps a checksum: a type from 0 to 3 and a descriptor that is not
  // all zero. A range of 0x00-0x00 stored at 0x00 is how a BIOS says it keeps none: taken literally,
  // the checksum would cover the byte it is stored in, and no value could ever be right.
  bool HasChecksum() const;
  // The first CMOS location that the write of the token's byte (when `token`) and of the checksum
  // would read or write and that no BIOS keeps anything in, or -1 when there is none. Behind index
  // port 0x70, and 0x74 which reaches the same bank on many chipsets, 0x00-0x0D are the clock's own
  // registers: the time, the alarms and status registers A-D (writing A or B can stop the clock,
  // reading C clears its interrupts). Through index port 0x70, bit 7 of the index masks NMI and
  // the location taken is the index less 0x80.
  int ForbiddenLocation(bool token) const;

  // The entry-point copy.
  std::uint8_t m_btEntryChecksum = 0;
  std::uint8_t m_btEntryLength = 0;
  std::uint8_t m_btMajorVersion = 0;
  std::uint8_t m_btMinorVersion = 0;
  std::uint16_t m_wMaxStructureSize = 0;
  std::uint16_t m_wTableLength = 0;
  std::uint16_t m_wStructureCount = 0;
  std::uint8_t m_btBcdRevision = 0;
  std::uint32_t m_dwEntryPointAddress = 0;
  std::uint32_t m_dwTableAddress = 0;
  std::uint32_t m_dwTableEnd = 0;

  // The current token-table instance.
  std::uint32_t m_dwStructureAddress = 0;
  std::uint32_t m_dwRecordsStart = 0;
  std::uint32_t m_dwStructureEnd = 0;
  std::uint8_t m_btType = 0;
  std::uint8_t m_btLength = 0;
  std::uint16_t m_wHandle = 0;
  std::uint16_t m_wIndexPort = 0;
  std::uint16_t m_wDataPort = 0;
  std::uint8_t m_btChecksumType = 0;
  std::uint8_t m_btChecksumStart = 0;
  std::uint8_t m_btChecksumEnd = 0;
  std::uint8_t m_btChecksumLocation = 0;

  // The current token.
  std::uint32_t m_dwRecordAddress = 0;
  std::uint8_t m_btLocation = 0;
  std::uint8_t m_btAndMask = 0;
  std::uint8_t m_btOrValue = 0;

 private:
  struct CmosWrite {
    std::uint8_t location;
    std::uint8_t before;  // as read before the first write
    std::uint8_t value;
  };
  // Whether `location` behind the instance's index port is a byte no BIOS keeps anything in.
  bool Forbidden(unsigned location) const;
  // Reads what the write depends on and plans it: the token's byte (when `token`), then the checksum
  // bytes as the checksum type stores them. Status 0, else kNotBiosCmos (nothing is read) or
  // kReadFailed; nothing is then planned.
  std::uint8_t PlanWrite(bool token);
  // Makes the planned writes in order; status 0, or the put-back status when one failed.
  std::uint8_t MakeWrites();

  CmosWrite m_writes[3] = {};
  int m_nPlanned = 0;
  int m_nAttempted = 0;  // writes sent to the device, the failed one included
};

// The checksum of CMOS bytes by a token table's checksum type: 0 a 16-bit sum, 1 an 8-bit sum,
// 2 a 16-bit cyclic check, 3 the two's complement of the 16-bit sum. Types 4 and above have none.
std::uint16_t CmosChecksum(std::uint8_t type, const std::uint8_t* bytes, std::size_t count);
