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

  // write nonzero: sets the token, rewrites the checksum, reads back (status 0, true when set;
  // status 2, false when not, or when the byte could not be read before the write, which is then
  // not made). write 0: only tests (status 0 set, 1 not set; always true). A read-back that fails
  // counts as not set.
  bool SetToken(std::int32_t write, std::uint8_t* status);
  // verify nonzero: true when CMOS holds the computed checksum. verify 0: writes it; always true.
  bool UpdateChecksum(std::int32_t verify);

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
};

// The checksum of CMOS bytes by a token table's checksum type: 0 a 16-bit sum, 1 an 8-bit sum,
// 2 a 16-bit cyclic check, 3 the two's complement of the 16-bit sum. Types 4 and above have none.
std::uint16_t CmosChecksum(std::uint8_t type, const std::uint8_t* bytes, std::size_t count);
