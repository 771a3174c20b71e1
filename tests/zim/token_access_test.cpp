// Token access: the entry-point scan, the token-table walk, token lookup, the write and the CMOS
// checksum, on tables built for each case.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "platform/sim/smbios_builder.h"
#include "support/zim_machine.h"
#include "zim/app/bios_upgrade.h"
#include "zim/driver/varn_ioctl.h"
#include "zim/tokens/token_access.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::SmbiosBuilder;

constexpr std::uint32_t kTable = 0xE0000;

class TokenAccessTest : public tarn_test::ZimTest {
 protected:
  // A table with a BIOS structure, a chassis structure and the given token tables.
  static SmbiosBuilder WithTokenTables(const std::vector<std::vector<sim::TokenRecord>>& tables) {
    SmbiosBuilder b;
    b.Add(0, 0, {1, 2, 0, 0xE0}, {"Tarn", "A01"});
    b.Add(3, 0x300, {1, 3, 0, 2, 0}, {"Tarn", "SERIAL"});
    std::uint16_t port = 0x70;
    for (const auto& tokens : tables) {
      b.TokenTable(0xD400 + port, port, static_cast<std::uint16_t>(port + 1), 0, 0x10, 0x2D, 0x2E, tokens);
      port = static_cast<std::uint16_t>(port + 2);
    }
    b.EndOfTable(0x7F00);
    return b;
  }
  void WriteEntryPoint(std::uint32_t at, std::uint32_t table, std::uint16_t length, std::uint16_t count) {
    const auto ep = sim::MakeEntryPoint(table, length, count);
    machine.memory.Write(at, ep.data(), ep.size());
  }
  std::uint8_t Status(bool (CTokenAccess::*op)(std::uint8_t*), CTokenAccess& a, bool expected) {
    std::uint8_t status = 0xEE;
    EXPECT_EQ((a.*op)(&status), expected);
    return status;
  }
};

// ---- the entry point

TEST_F(TokenAccessTest, EntryPointScanStatuses) {
  CTokenAccess a;
  std::uint8_t status = 0xEE;
  EXPECT_FALSE(a.FindEntryPoint(&status));
  EXPECT_EQ(status, 1) << "no anchor anywhere";

  // An anchor with a bad checksum only.
  WriteEntryPoint(0xF0100, kTable, 0x40, 2);
  machine.memory.Write(0xF0104, static_cast<std::uint8_t>(machine.memory.Read(0xF0104) + 1));
  EXPECT_FALSE(a.FindEntryPoint(&status));
  EXPECT_EQ(status, 2);
  EXPECT_EQ(a.m_dwTableAddress, 0u) << "a failed scan fills nothing";

  // A good anchor above the bad one is taken.
  WriteEntryPoint(0xF0200, kTable, 0x40, 2);
  EXPECT_TRUE(a.FindEntryPoint(&status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(a.m_dwEntryPointAddress, 0xF0200u);
  EXPECT_EQ(a.m_dwTableAddress, kTable);
  EXPECT_EQ(a.m_wTableLength, 0x40);
  EXPECT_EQ(a.m_wStructureCount, 2);
  EXPECT_EQ(a.m_dwTableEnd, kTable + 0x40);
  EXPECT_EQ(a.m_btEntryLength, 0x1F);
  EXPECT_EQ(a.m_btMajorVersion, 2);
  EXPECT_EQ(a.m_btMinorVersion, 8);
  EXPECT_EQ(a.m_btBcdRevision, 0x28);
  EXPECT_TRUE(a.FindEntryPoint(nullptr)) << "a null status pointer changes no result";
}

TEST_F(TokenAccessTest, EntryPointWithLengthZeroIsAcceptedWithoutChecksum) {
  WriteEntryPoint(0xF0000, kTable, 0x40, 2);
  machine.memory.Write(0xF0005, 0);  // length 0: the sum no longer comes to zero
  CTokenAccess a;
  std::uint8_t status = 0xEE;
  EXPECT_TRUE(a.FindEntryPoint(&status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(a.m_btEntryLength, 0);
}

TEST_F(TokenAccessTest, OnlyParagraphsFrom0xF0000To0xFFFF0AreScanned) {
  // Misaligned, and above the first megabyte: never seen.
  WriteEntryPoint(0xF0008, kTable, 0x40, 2);
  WriteEntryPoint(0x100000, kTable, 0x40, 2);
  CTokenAccess a;
  std::uint8_t status = 0xEE;
  EXPECT_FALSE(a.FindEntryPoint(&status));
  EXPECT_EQ(status, 1);
  // The last paragraph is examined: one dword read for each of the 4096 paragraphs.
  WriteEntryPoint(0xFFFF0, kTable, 0x40, 2);
  machine.varn.ioctls.clear();
  EXPECT_TRUE(a.FindEntryPoint(&status));
  EXPECT_EQ(a.m_dwEntryPointAddress, 0xFFFF0u);
  std::size_t dwordReads = 0;
  for (const auto& r : Ioctls(varn::IOCTL_READ_PHYSICAL)) dwordReads += r.outSize == 4 ? 1 : 0;
  EXPECT_EQ(dwordReads, 4096u + 1u) << "4096 anchor probes plus the table address";
}

TEST_F(TokenAccessTest, TableOutsideTheFirstMegabyteOrEmptyIsRejected) {
  struct Case {
    std::uint32_t table;
    std::uint16_t length;
  } cases[] = {{kTable, 0}, {0xFFF00, 0x100}, {0xFFFFFFF0, 0x20}};
  for (const Case& c : cases) {
    WriteEntryPoint(0xF0000, c.table, c.length, 1);
    CTokenAccess a;
    std::uint8_t status = 0xEE;
    EXPECT_FALSE(a.FindEntryPoint(&status)) << std::hex << c.table << " " << c.length;
    EXPECT_EQ(status, 3);
    EXPECT_EQ(a.m_dwTableAddress, c.table) << "the copy is filled before the bounds test";
  }
  WriteEntryPoint(0xF0000, 0xFFF00, 0xFF, 1);  // ends exactly at 0xFFFFF
  CTokenAccess a;
  EXPECT_TRUE(a.FindEntryPoint(nullptr));
}

// ---- the token-table walk

TEST_F(TokenAccessTest, FindsTheNthTokenTableAndReadsItsFields) {
  WithTokenTables({{{92, 0x78, 0xBF, 0x40}}, {{7, 0x50, 0xF0, 0x01}}}).Install(machine);
  CTokenAccess a;
  ASSERT_TRUE(a.FindEntryPoint(nullptr));
  std::uint8_t status = 0xEE;
  ASSERT_TRUE(a.FindTokenStructure(2, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(a.m_btType, 212);
  EXPECT_EQ(a.m_wIndexPort, 0x72);
  EXPECT_EQ(a.m_wDataPort, 0x73);
  EXPECT_EQ(a.m_wHandle, 0xD472);
  EXPECT_EQ(a.m_btLength, 17);
  EXPECT_EQ(a.m_btChecksumType, 0);
  EXPECT_EQ(a.m_btChecksumStart, 0x10);
  EXPECT_EQ(a.m_btChecksumEnd, 0x2D);
  EXPECT_EQ(a.m_btChecksumLocation, 0x2E);
  EXPECT_EQ(a.m_dwRecordsStart, a.m_dwStructureAddress + 12);
  EXPECT_EQ(a.m_dwStructureEnd, a.m_dwStructureAddress + 17);

  EXPECT_FALSE(a.FindTokenStructure(3, &status));
  EXPECT_EQ(status, 2) << "token tables seen, fewer than n";
  EXPECT_EQ(a.m_wIndexPort, 0x72) << "a failed walk leaves the instance as it was";
}

TEST_F(TokenAccessTest, WalkWithoutTokenTablesOrWithNonPositiveN) {
  SmbiosBuilder none;
  none.Add(0, 0, {1, 2}, {"Tarn", "A01"}).Add(1, 1, {1}, {"x"}).EndOfTable(2);
  none.Install(machine);
  CTokenAccess a;
  ASSERT_TRUE(a.FindEntryPoint(nullptr));
  std::uint8_t status = 0xEE;
  EXPECT_FALSE(a.FindTokenStructure(1, &status));
  EXPECT_EQ(status, 1);

  WithTokenTables({{{92, 0x78, 0xBF, 0x40}}, {{93, 0x78, 0xBF, 0}}}).Install(machine);
  ASSERT_TRUE(a.FindEntryPoint(nullptr));
  for (std::int32_t n : {0, -1, INT32_MIN}) {
    EXPECT_FALSE(a.FindTokenStructure(n, &status)) << n;
    EXPECT_EQ(status, 2) << n;
  }
}

TEST_F(TokenAccessTest, StructureWithoutStringsEndsTwoBytesAfterItsFormattedArea) {
  SmbiosBuilder b;
  b.Add(32, 1, {0, 0, 0, 0, 0, 0, 0});  // formatted area then 00 00
  b.TokenTable(2, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E, {{92, 0x78, 0xBF, 0x40}});
  b.Install(machine);
  CTokenAccess a;
  ASSERT_TRUE(a.FindEntryPoint(nullptr));
  ASSERT_TRUE(a.FindTokenStructure(1, nullptr));
  EXPECT_EQ(a.m_dwStructureAddress, kTable + 11 + 2);
}

TEST_F(TokenAccessTest, StringAreaRunningToTheTableEndGivesStatus3) {
  SmbiosBuilder b;
  b.Add(1, 1, {1}, {"a"});
  b.Raw({0x02, 0x05, 0x02, 0x00, 0x01, 'n', 'o', 't', 'e', 'r', 'm'});  // no double zero
  b.Install(machine);
  CTokenAccess a;
  ASSERT_TRUE(a.FindEntryPoint(nullptr));
  std::uint8_t status = 0xEE;
  EXPECT_FALSE(a.FindTokenStructure(1, &status));
  EXPECT_EQ(status, 3);
}

TEST_F(TokenAccessTest, StructureCountEndsTheWalk) {
  // The token table stands after the first structure, but the entry point counts only one.
  const SmbiosBuilder b = WithTokenTables({{{92, 0x78, 0xBF, 0x40}}});
  machine.memory.Write(kTable, b.Bytes());
  WriteEntryPoint(0xF0000, kTable, static_cast<std::uint16_t>(b.Bytes().size()), 1);
  CTokenAccess a;
  ASSERT_TRUE(a.FindEntryPoint(nullptr));
  std::uint8_t status = 0xEE;
  EXPECT_FALSE(a.FindTokenStructure(1, &status));
  EXPECT_EQ(status, 1);
  // A count of 0 still examines exactly one structure.
  WriteEntryPoint(0xF0000, kTable, static_cast<std::uint16_t>(b.Bytes().size()), 0);
  ASSERT_TRUE(a.FindEntryPoint(nullptr));
  EXPECT_FALSE(a.FindTokenStructure(1, &status));
  EXPECT_EQ(status, 1);
}

// ---- token lookup

TEST_F(TokenAccessTest, FindTokenStatuses) {
  WithTokenTables({{}, {{5, 0x40, 0xFE, 1}, {92, 0x78, 0xBF, 0x40}}}).Install(machine);
  CTokenAccess a;
  ASSERT_TRUE(a.FindEntryPoint(nullptr));
  std::uint8_t status = 0xEE;

  ASSERT_TRUE(a.FindTokenStructure(1, nullptr));
  EXPECT_EQ(a.m_btLength, 12);
  machine.varn.ioctls.clear();
  EXPECT_FALSE(a.FindToken(92, &status));
  EXPECT_EQ(status, 1) << "an instance of length 12 holds no records";
  EXPECT_TRUE(machine.varn.ioctls.empty()) << "no record was read";

  ASSERT_TRUE(a.FindTokenStructure(2, nullptr));
  EXPECT_TRUE(a.FindToken(92, &status)) << "the last record of the instance";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(a.m_dwRecordAddress, a.m_dwRecordsStart + 5);
  EXPECT_EQ(a.m_btLocation, 0x78);
  EXPECT_EQ(a.m_btAndMask, 0xBF);
  EXPECT_EQ(a.m_btOrValue, 0x40);
  EXPECT_FALSE(a.FindToken(93, &status));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(a.m_btLocation, 0x78) << "a failed lookup leaves the token as it was";
}

TEST_F(TokenAccessTest, RecordsPastTheTableEndGiveStatus2) {
  // A token table whose length claims more records than the table holds.
  SmbiosBuilder b;
  b.Raw({212, 40, 0, 0xD4, 0x70, 0, 0x71, 0, 0, 0x10, 0x2D, 0x2E, 1, 0, 0x30, 0xFE, 1, 0, 0});
  b.Install(machine);
  CTokenAccess a;
  ASSERT_TRUE(a.FindEntryPoint(nullptr));
  ASSERT_TRUE(a.FindTokenStructure(1, nullptr));
  std::uint8_t status = 0xEE;
  EXPECT_FALSE(a.FindToken(92, &status));
  EXPECT_EQ(status, 2);
}

// ---- checksums

TEST(CmosChecksumTest, WorkedValues) {
  const std::uint8_t one[] = {0x01};
  const std::uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(CmosChecksum(0, one, 1), 0x0001);
  EXPECT_EQ(CmosChecksum(1, one, 1), 0x01);
  EXPECT_EQ(CmosChecksum(2, one, 1), 0x3F81);
  EXPECT_EQ(CmosChecksum(3, one, 1), 0xFFFF);
  EXPECT_EQ(CmosChecksum(0, abc, 3), 0x0126);
  EXPECT_EQ(CmosChecksum(1, abc, 3), 0x26);
  EXPECT_EQ(CmosChecksum(2, abc, 3), 0x0A21);
  EXPECT_EQ(CmosChecksum(3, abc, 3), 0xFEDA);
  for (std::uint8_t type = 0; type < 4; ++type) EXPECT_EQ(CmosChecksum(type, nullptr, 0), 0);
}

class ChecksumWriteTest : public TokenAccessTest {
 protected:
  // A token access pointed at a bank (0x70 unless told) with the given checksum layout.
  CTokenAccess Access(std::uint8_t type, std::uint8_t start, std::uint8_t end, std::uint8_t at,
                      std::uint16_t port = 0x70) {
    CTokenAccess a;
    a.m_wIndexPort = port;
    a.m_wDataPort = static_cast<std::uint16_t>(port + 1);
    a.m_btChecksumType = type;
    a.m_btChecksumStart = start;
    a.m_btChecksumEnd = end;
    a.m_btChecksumLocation = at;
    return a;
  }
  std::array<std::uint8_t, 256>& cmos() { return machine.cmos[0x70].bytes; }
  void SetUp() override {
    TokenAccessTest::SetUp();
    machine.AddCmosBank(0x70, 0x71);
    machine.AddCmosBank(0x72, 0x73);
    machine.AddCmosBank(0x74, 0x75);
  }
};

TEST_F(ChecksumWriteTest, WritesEachTypeHighByteFirst) {
  struct Case {
    std::uint8_t type;
    std::uint8_t atL, atL1;
  } cases[] = {{0, 0x01, 0x26}, {1, 0x26, 0xEE}, {2, 0x0A, 0x21},
               {3, 0xFE, 0xDA}, {4, 0xEE, 0xEE}, {255, 0xEE, 0xEE}};
  for (const Case& c : cases) {
    cmos().fill(0);
    cmos()[0x20] = 'a';
    cmos()[0x21] = 'b';
    cmos()[0x22] = 'c';
    cmos()[0x40] = cmos()[0x41] = 0xEE;
    CTokenAccess a = Access(c.type, 0x20, 0x22, 0x40);
    EXPECT_FALSE(c.type <= 3 && a.UpdateChecksum(1))
        << "type " << int(c.type) << " mismatch before the write";
    EXPECT_TRUE(a.UpdateChecksum(0));
    EXPECT_EQ(cmos()[0x40], c.atL) << "type " << int(c.type);
    EXPECT_EQ(cmos()[0x41], c.atL1) << "type " << int(c.type);
    EXPECT_TRUE(a.UpdateChecksum(1)) << "type " << int(c.type) << " verifies after the write";
  }
}

TEST_F(ChecksumWriteTest, EmptyRangeFullRangeAndWrapAtLocation255) {
  cmos()[0x40] = cmos()[0x41] = 0xEE;
  EXPECT_TRUE(Access(0, 0x30, 0x20, 0x40).UpdateChecksum(0));
  EXPECT_EQ(cmos()[0x40], 0);
  EXPECT_EQ(cmos()[0x41], 0);

  // A range ending at 255 is walked once; a two-byte checksum at 255 puts its low byte at 0 (on a
  // bank that is not the clock's).
  auto& ext = machine.cmos[0x72].bytes;
  ext.fill(1);
  machine.varn.ioctls.clear();
  EXPECT_TRUE(Access(0, 0x80, 0xFF, 0xFF, 0x72).UpdateChecksum(0));
  // The range, and location 0 where the low byte goes: every byte read before the first write.
  EXPECT_EQ(Ioctls(varn::IOCTL_READ_INDEXED_PORT).size(), 129u);
  EXPECT_EQ(ext[0xFF], 0x00);
  EXPECT_EQ(ext[0x00], 0x80);
  EXPECT_EQ(Ioctls(varn::IOCTL_WRITE_INDEXED_PORT).back().input, (Bytes{0x72, 0, 0x00, 0, 0x73, 0, 0x80}));
}

TEST_F(ChecksumWriteTest, OnlyBytesABiosKeepsAreReadOrWritten) {
  // Token at `token`; checksum of `type` over start-end at `at`. Refused: no control at all, status
  // kNotBiosCmos. Else the writes are made, the checksum's only where the descriptor is not all zero.
  struct Case {
    std::uint16_t port;
    std::uint8_t token, type, start, end, at;
    bool refused;
    std::size_t writes;
  } cases[] = {
      // All zero: no checksum, whatever its type, on either bank; the token's byte alone.
      {0x70, 0x78, 0, 0, 0, 0, false, 1},
      {0x70, 0x78, 1, 0, 0, 0, false, 1},
      {0x70, 0x78, 2, 0, 0, 0, false, 1},
      {0x70, 0x78, 3, 0, 0, 0, false, 1},
      {0x70, 0x78, 4, 0, 0, 0, false, 1},
      {0x72, 0x78, 0, 0, 0, 0, false, 1},
      {0x72, 0x78, 3, 0, 0, 0, false, 1},
      {0x72, 0x78, 1, 0, 0, 0x40, false, 2},  // a location of its own: a checksum of byte 0x00
      // The clock's registers behind 0x70 and 0x74: as token, range, location and location + 1.
      {0x70, 0x0B, 4, 0x10, 0x2D, 0x2E, true, 0},
      {0x74, 0x0D, 0, 0x10, 0x2D, 0x2E, true, 0},
      {0x70, 0x78, 0, 0x0D, 0x2D, 0x2E, true, 0},
      {0x74, 0x78, 1, 0x00, 0x20, 0x2E, true, 0},
      {0x70, 0x78, 0, 0x10, 0x2D, 0x00, true, 0},  // the standard range stored in the seconds
      {0x74, 0x78, 3, 0x40, 0x4F, 0x0C, true, 0},
      {0x74, 0x78, 2, 0x40, 0x4F, 0xFF, true, 0},  // L + 1 wraps to 0x00
      {0x74, 0x78, 0, 0x40, 0x4F, 0x0D, true, 0},  // L + 1 = 0x0E is allowed, L is not
      {0x74, 0x78, 0, 0x0E, 0x2D, 0x2E, false, 3},
      {0x74, 0x78, 1, 0x40, 0x4F, 0xFF, false, 2},  // one byte: no L + 1
      // Through index port 0x70, bit 7 masks NMI: no location of 0x80 or above.
      {0x70, 0x90, 4, 0, 0, 0, true, 0},
      {0x70, 0x78, 0, 0x40, 0x80, 0x2E, true, 0},
      {0x70, 0x78, 0, 0x40, 0x4F, 0x7F, true, 0},  // L + 1 = 0x80
      {0x70, 0x78, 1, 0x40, 0x4F, 0x7F, false, 2},
      // Behind 0x72 every location is a BIOS's.
      {0x72, 0x90, 0, 0x80, 0xFF, 0x0B, false, 3},
      {0x72, 0x05, 1, 0x00, 0x0D, 0xC0, false, 2},
  };
  for (const Case& c : cases) {
    std::ostringstream label;
    label << std::hex << "0x" << c.port << "[0x" << int(c.token) << "] type " << int(c.type) << " over 0x"
          << int(c.start) << "-0x" << int(c.end) << " at 0x" << int(c.at);
    SCOPED_TRACE(label.str());
    CTokenAccess a = Access(c.type, c.start, c.end, c.at, c.port);
    a.m_btLocation = c.token;
    a.m_btAndMask = 0xBF;
    a.m_btOrValue = 0x40;
    const auto before = machine.cmos[c.port].bytes;
    machine.varn.ioctls.clear();
    std::uint8_t status = 0xEE;
    EXPECT_EQ(a.SetToken(1, &status), !c.refused);
    EXPECT_EQ(status, c.refused ? CTokenAccess::kNotBiosCmos : 0);
    EXPECT_EQ(a.ForbiddenLocation(true) >= 0, c.refused);
    EXPECT_EQ(Ioctls(varn::IOCTL_WRITE_INDEXED_PORT).size(), c.writes);
    if (c.refused) {
      EXPECT_TRUE(machine.varn.ioctls.empty()) << "not even read";
      EXPECT_EQ(machine.cmos[c.port].bytes, before);
    }
    // The checksum alone is refused when its own bytes are the ones no BIOS keeps.
    if (a.ForbiddenLocation(false) >= 0) {
      EXPECT_FALSE(a.UpdateChecksum(0));
      EXPECT_FALSE(a.UpdateChecksum(1));
      EXPECT_TRUE(machine.varn.ioctls.empty());
    }
    // Test mode reads the token's byte alone, and not when it is the clock's or through the NMI bit.
    const bool clockToken =
        ((c.port == 0x70 || c.port == 0x74) && c.token <= 0x0D) || (c.port == 0x70 && c.token >= 0x80);
    std::uint8_t tested = 0xEE;
    EXPECT_TRUE(a.SetToken(0, &tested));
    EXPECT_EQ(tested == CTokenAccess::kNotBiosCmos, clockToken);
    machine.cmos[c.port].bytes = before;
  }
}

// ---- the write

TEST_F(ChecksumWriteTest, SetTokenStatuses) {
  CTokenAccess a = Access(0, 0x10, 0x2D, 0x2E);
  a.m_btLocation = 0x78;
  a.m_btAndMask = 0xBF;
  a.m_btOrValue = 0x40;
  cmos()[0x78] = 0x81;
  std::uint8_t status = 0xEE;
  EXPECT_TRUE(a.SetToken(0, &status));
  EXPECT_EQ(status, 1) << "test mode, not set";
  EXPECT_TRUE(a.SetToken(1, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(cmos()[0x78], 0xC1);
  EXPECT_TRUE(a.SetToken(0, &status));
  EXPECT_EQ(status, 0);
  // Setting it again writes the same byte and rewrites the checksum.
  machine.varn.ioctls.clear();
  EXPECT_TRUE(a.SetToken(1, nullptr));
  EXPECT_EQ(Ioctls(varn::IOCTL_WRITE_INDEXED_PORT).size(), 3u);

  // An OR bit that the mask keeps can never read back as set; the write stays.
  a.m_btOrValue = 0x41;
  cmos()[0x78] = 0x00;
  EXPECT_FALSE(a.SetToken(1, &status));
  EXPECT_EQ(status, 2);
  EXPECT_EQ(cmos()[0x78], 0x41);

  // A port read the driver answers with no bytes gave nothing, in either mode; with an OR value of 0
  // the zeroed record would even show the token as set.
  a.m_btOrValue = 0;
  machine.varn.portReadLeavesOutput = true;
  machine.varn.ioctls.clear();
  EXPECT_FALSE(a.SetToken(1, &status));
  EXPECT_EQ(status, CTokenAccess::kReadFailed);
  EXPECT_TRUE(Ioctls(varn::IOCTL_WRITE_INDEXED_PORT).empty());
  EXPECT_TRUE(a.SetToken(0, &status));
  EXPECT_EQ(status, CTokenAccess::kReadFailed);
  machine.varn.portReadLeavesOutput = false;
}

TEST_F(ChecksumWriteTest, SetTokenReadsEverythingThenWritesByteThenChecksumThenReadsBack) {
  CTokenAccess a = Access(1, 0x70, 0x7F, 0x30);  // token byte inside the range
  a.m_btLocation = 0x78;
  a.m_btAndMask = 0xBF;
  a.m_btOrValue = 0x40;
  cmos()[0x78] = 0x01;
  machine.varn.ioctls.clear();
  EXPECT_TRUE(a.SetToken(1, nullptr));
  std::vector<std::pair<win32::DWORD, std::uint8_t>> order;  // control, CMOS location
  for (const auto& r : machine.varn.ioctls) order.emplace_back(r.code, r.input[2]);
  // The token's byte, the range (its byte read once), the checksum location; two writes; the read-back.
  ASSERT_EQ(order.size(), 1u + 15u + 1u + 2u + 1u);
  EXPECT_EQ(order[0], std::make_pair(varn::IOCTL_READ_INDEXED_PORT, std::uint8_t{0x78}));
  EXPECT_EQ(order[16], std::make_pair(varn::IOCTL_READ_INDEXED_PORT, std::uint8_t{0x30}));
  EXPECT_EQ(order[17], std::make_pair(varn::IOCTL_WRITE_INDEXED_PORT, std::uint8_t{0x78}));
  EXPECT_EQ(order[18], std::make_pair(varn::IOCTL_WRITE_INDEXED_PORT, std::uint8_t{0x30}));
  EXPECT_EQ(order[19], std::make_pair(varn::IOCTL_READ_INDEXED_PORT, std::uint8_t{0x78}));
  EXPECT_EQ(cmos()[0x30], 0x41) << "the sum includes the new token byte";
}

TEST_F(ChecksumWriteTest, AControlThatFailsLeavesCmosAsItWasOrStopsWritingAtOnce) {
  // Type 0 over 0x70-0x7F at 0x30/0x31, token at 0x78: controls 1-18 read, 19-21 write 0x78, 0x30,
  // 0x31, 22 reads back.
  struct Case {
    std::uint64_t failAt;
    bool persistent;
    std::uint8_t status;
    std::vector<std::uint8_t> writesAfter;  // the locations written after the failure, in order
  } cases[] = {
      {1, false, CTokenAccess::kReadFailed, {}},
      {18, false, CTokenAccess::kReadFailed, {}},
      {19, false, CTokenAccess::kPutBack, {0x78}},
      {21, false, CTokenAccess::kPutBack, {0x31, 0x30, 0x78}},
      {22, false, CTokenAccess::kPutBack, {0x31, 0x30, 0x78}},
      {20, true, CTokenAccess::kPutBackFailed, {0x30}},
      {22, true, CTokenAccess::kPutBackFailed, {0x31}},
  };
  for (const Case& c : cases) {
    const std::string label = "control " + std::to_string(c.failAt) + (c.persistent ? " on" : " once");
    machine.faults.clear();
    for (unsigned i = 0x70; i < 0x80; ++i) cmos()[i] = static_cast<std::uint8_t>(i);
    cmos()[0x78] = 0x01;
    cmos()[0x30] = cmos()[0x31] = 0xEE;
    const auto before = cmos();
    CTokenAccess a = Access(0, 0x70, 0x7F, 0x30);
    a.m_btLocation = 0x78;
    a.m_btAndMask = 0xBF;
    a.m_btOrValue = 0x40;
    machine.varn.ioctls.clear();
    machine.FailCall("DeviceIoControl", machine.CountCalls("DeviceIoControl") + c.failAt, c.persistent);
    std::uint8_t status = 0xEE;
    EXPECT_FALSE(a.SetToken(1, &status)) << label;
    EXPECT_EQ(status, c.status) << label;
    std::vector<std::uint8_t> after;
    for (std::size_t i = c.failAt; i < machine.varn.ioctls.size(); ++i)
      if (machine.varn.ioctls[i].code == varn::IOCTL_WRITE_INDEXED_PORT)
        after.push_back(machine.varn.ioctls[i].input[2]);
    EXPECT_EQ(after, c.writesAfter) << label;
    if (c.persistent) {
      EXPECT_NE(cmos()[0x78], before[0x78]) << label << ": the token byte stays";
    } else {
      EXPECT_EQ(cmos(), before) << label;
    }
  }
}

// ---- the whole search and write

class SetCmosTokenTest : public TokenAccessTest {
 protected:
  void SetUp() override {
    TokenAccessTest::SetUp();
    machine.AddCmosBank(0x70, 0x71);
    machine.AddCmosBank(0x72, 0x73);
  }
};

TEST_F(SetCmosTokenTest, TokenInTheSecondInstanceUsesThatInstancesPortsAndChecksum) {
  SmbiosBuilder b;
  b.TokenTable(1, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E, {{5, 0x40, 0xFE, 1}});
  b.TokenTable(2, 0x72, 0x73, 3, 0x40, 0x7D, 0x7E, {{92, 0x50, 0xBF, 0x40}});
  b.Install(machine);
  const auto before70 = machine.cmos[0x70].bytes;
  CBiosUpgrade upgrade;
  EXPECT_TRUE(upgrade.SetCmosToken(92));
  EXPECT_EQ(upgrade.GetErrorCode(), "");
  EXPECT_EQ(machine.cmos[0x70].bytes, before70);
  const auto& ext = machine.cmos[0x72].bytes;
  EXPECT_EQ(ext[0x50], 0x40);
  EXPECT_EQ(ext[0x7E], 0xFF);  // 65536 - 0x40
  EXPECT_EQ(ext[0x7F], 0xC0);
}

TEST_F(SetCmosTokenTest, TokenPresentInTwoInstancesIsTakenFromTheFirst) {
  SmbiosBuilder b;
  b.TokenTable(1, 0x70, 0x71, 4, 0, 0, 0, {{92, 0x78, 0xBF, 0x40}});
  b.TokenTable(2, 0x72, 0x73, 4, 0, 0, 0, {{92, 0x78, 0xBF, 0x40}});
  b.Install(machine);
  CBiosUpgrade upgrade;
  EXPECT_TRUE(upgrade.SetCmosToken(92));
  EXPECT_EQ(machine.cmos[0x70].bytes[0x78], 0x40);
  EXPECT_EQ(machine.cmos[0x72].bytes[0x78], 0x00);
}

TEST_F(SetCmosTokenTest, FailuresStoreErr3AndWriteNothingBeforeTheTokenIsFound) {
  WithTokenTables({{{93, 0x78, 0xBF, 0}}}).Install(machine);
  CBiosUpgrade upgrade;
  upgrade.m_strErrorCode = "ERR5";
  EXPECT_FALSE(upgrade.SetCmosToken(92));
  EXPECT_EQ(upgrade.GetErrorCode(), "ERR3");
  EXPECT_TRUE(Ioctls(varn::IOCTL_WRITE_INDEXED_PORT).empty());

  // No device: nothing is found, nothing written.
  CloseDeviceSlots();
  machine.varn.loaded = false;
  CBiosUpgrade noDevice;
  EXPECT_FALSE(noDevice.SetCmosToken(93));
  EXPECT_EQ(noDevice.GetErrorCode(), "ERR3");
  EXPECT_TRUE(Ioctls(varn::IOCTL_WRITE_INDEXED_PORT).empty());
}

TEST_F(SetCmosTokenTest, ByteThatDoesNotReadBackGivesErr3AndKeepsTheWrite) {
  WithTokenTables({{{92, 0x78, 0xBF, 0x41}}}).Install(machine);
  CBiosUpgrade upgrade;
  EXPECT_FALSE(upgrade.SetCmosToken(92));
  EXPECT_EQ(upgrade.GetErrorCode(), "ERR3");
  EXPECT_EQ(machine.cmos[0x70].bytes[0x78], 0x41);
}

TEST_F(SetCmosTokenTest, SuccessLeavesTheErrorCodeAsItWas) {
  WithTokenTables({{{92, 0x78, 0xBF, 0x40}}}).Install(machine);
  CBiosUpgrade upgrade;
  upgrade.m_strErrorCode = "ERR5";
  EXPECT_TRUE(upgrade.SetCmosToken(92));
  EXPECT_EQ(upgrade.GetErrorCode(), "ERR5");
}

}  // namespace
