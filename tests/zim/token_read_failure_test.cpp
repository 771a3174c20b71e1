// A read through the driver that fails gives 0. Where the token writer would act on such a 0 (a port,
// a checksum range or location, a token's location, mask or value, the byte before the write, the
// read-back) it must write nothing and fail, rather than write the wrong CMOS byte or report a token
// as set that is not.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/smbios_builder.h"
#include "support/zim_machine.h"
#include "zim/app/bios_upgrade.h"
#include "zim/driver/varn_ioctl.h"
#include "zim/tokens/token_access.h"

namespace {

// Token 92 in the first token table (bank 0x70) and again in the second (bank 0x72); token 93, whose
// OR value is 0, beside it in the first.
void BuildMachine(sim::Machine& m) {
  sim::SmbiosBuilder table;
  table.Add(0, 0, {1, 2, 0, 0xE0, 3, 0x0F}, {"Tarn", "A07", "08/16/2001"});
  table.TokenTable(0xD400, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E, {{92, 0x78, 0xBF, 0x40}, {93, 0x78, 0xBF, 0x00}});
  table.TokenTable(0xD401, 0x72, 0x73, 1, 0x40, 0x4F, 0x50, {{92, 0x48, 0xBF, 0x40}});
  table.EndOfTable(0x7F00);
  table.Install(m);
  for (std::uint16_t port : {0x70, 0x72}) {
    sim::CmosBank& bank = m.AddCmosBank(port, static_cast<std::uint16_t>(port + 1));
    for (unsigned i = 0; i < 256; ++i) bank.bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
}

std::uint32_t ReadAddress(const sim::IoctlRecord& r) {
  std::uint32_t a = 0;
  std::memcpy(&a, r.input.data(), 4);
  return a;
}

class TokenReadFailureTest : public tarn_test::ZimTest {
 protected:
  void SetUp() override {
    ZimTest::SetUp();
    BuildMachine(machine);
  }

  // Where the first token table and token 92's record lie, and the device controls of a whole
  // search and write of token 92, found on a machine like this one.
  struct CleanRun {
    std::uint32_t instance = 0, record = 0;
    std::vector<sim::IoctlRecord> ioctls;
  };
  static CleanRun Clean() {
    sim::Machine m;
    BuildMachine(m);
    sim::Install installed(m);
    CloseDeviceSlots();
    CleanRun run;
    CTokenAccess a;
    EXPECT_TRUE(a.FindEntryPoint(nullptr) && a.FindTokenStructure(1, nullptr) && a.FindToken(92, nullptr));
    run.instance = a.m_dwStructureAddress;
    run.record = a.m_dwRecordAddress;
    m.varn.ioctls.clear();
    CBiosUpgrade upgrade;
    EXPECT_TRUE(upgrade.SetCmosToken(92));
    run.ioctls = m.varn.ioctls;
    CloseDeviceSlots();
    return run;
  }

  // The ordinal (from 1) of the first or the last physical read of `address` before the first CMOS
  // write.
  static std::uint64_t ReadOf(const CleanRun& run, std::uint32_t address, bool last = true) {
    std::uint64_t found = 0;
    for (std::size_t i = 0; i < run.ioctls.size(); ++i) {
      if (run.ioctls[i].code == varn::IOCTL_WRITE_INDEXED_PORT) break;
      if (run.ioctls[i].code == varn::IOCTL_READ_PHYSICAL && ReadAddress(run.ioctls[i]) == address &&
          (last || found == 0))
        found = i + 1;
    }
    return found;
  }

  // Sets token 92 with the nth device control failing; expects "ERR3" and no CMOS write at all.
  void ExpectNothingWritten(std::uint64_t nth) {
    const auto banks = machine.cmos;
    machine.FailCall("DeviceIoControl", nth);
    CBiosUpgrade upgrade;
    EXPECT_FALSE(upgrade.SetCmosToken(92));
    EXPECT_EQ(upgrade.GetErrorCode(), "ERR3");
    EXPECT_TRUE(Ioctls(varn::IOCTL_WRITE_INDEXED_PORT).empty());
    EXPECT_EQ(machine.cmos.at(0x70).bytes, banks.at(0x70).bytes);
    EXPECT_EQ(machine.cmos.at(0x72).bytes, banks.at(0x72).bytes);
  }
};

TEST_F(TokenReadFailureTest, AFieldOfTheTableOrOfTheRecordThatCannotBeReadWritesNothing) {
  const CleanRun clean = Clean();
  struct Field {
    const char* name;
    std::uint32_t address;
    bool last = true;
  } fields[] = {
      {"the first table's type, read in the walk", clean.instance, false},
      {"token id", clean.record},
      {"index port", clean.instance + 4},
      {"data port", clean.instance + 6},
      {"checksum type", clean.instance + 8},
      {"checksum range start", clean.instance + 9},
      {"checksum range end", clean.instance + 10},
      {"checksum location", clean.instance + 11},
      {"token location", clean.record + 2},
      {"AND mask", clean.record + 3},
      {"OR value", clean.record + 4},
  };
  for (const Field& f : fields) {
    SCOPED_TRACE(f.name);
    sim::Machine m;
    BuildMachine(m);
    sim::Install installed(m);
    CloseDeviceSlots();
    const std::uint64_t nth = ReadOf(clean, f.address, f.last);
    ASSERT_NE(nth, 0u);
    const auto banks = m.cmos;
    m.FailCall("DeviceIoControl", nth);
    CBiosUpgrade upgrade;
    EXPECT_FALSE(upgrade.SetCmosToken(92));
    EXPECT_EQ(upgrade.GetErrorCode(), "ERR3");
    for (const sim::IoctlRecord& r : m.varn.ioctls) EXPECT_NE(r.code, varn::IOCTL_WRITE_INDEXED_PORT);
    EXPECT_EQ(m.cmos.at(0x70).bytes, banks.at(0x70).bytes);
    EXPECT_EQ(m.cmos.at(0x72).bytes, banks.at(0x72).bytes)
        << "the second table does not stand in for the first";
    CloseDeviceSlots();
  }
}

TEST_F(TokenReadFailureTest, TheByteThatCannotBeReadBeforeTheWriteIsNotWritten) {
  const CleanRun clean = Clean();
  std::uint64_t firstPortRead = 0;
  for (std::size_t i = 0; i < clean.ioctls.size() && firstPortRead == 0; ++i)
    if (clean.ioctls[i].code == varn::IOCTL_READ_INDEXED_PORT) firstPortRead = i + 1;
  ASSERT_NE(firstPortRead, 0u);
  ExpectNothingWritten(firstPortRead);
}

TEST_F(TokenReadFailureTest, AnEntryPointFieldThatCannotBeReadEndsTheSearch) {
  const CleanRun clean = Clean();
  // The structure table address, read as one double word at offset 24 of the entry point.
  ExpectNothingWritten(ReadOf(clean, sim::kDefaultEntryPoint + 24));
  // The search alone says why.
  CloseDeviceSlots();
  machine.faults.clear();
  CTokenAccess a;
  std::uint8_t status = 0;
  machine.FailCall("DeviceIoControl",
                   machine.CountCalls("DeviceIoControl") + ReadOf(clean, sim::kDefaultEntryPoint + 24));
  EXPECT_FALSE(a.FindEntryPoint(&status));
  EXPECT_EQ(status, CTokenAccess::kReadFailed);
}

TEST_F(TokenReadFailureTest, AFailedSearchLeavesTheFieldsOfTheLastGoodOne) {
  CTokenAccess a;
  std::uint8_t status = 0;
  ASSERT_TRUE(a.FindEntryPoint(&status) && a.FindTokenStructure(1, &status) && a.FindToken(92, &status));
  const std::uint16_t indexPort = a.m_wIndexPort;
  const std::uint8_t location = a.m_btLocation, andMask = a.m_btAndMask, orValue = a.m_btOrValue;
  const std::uint32_t record = a.m_dwRecordAddress;

  // The second table's search fails on its last read: the first table's fields stay.
  machine.FailCall("DeviceIoControl", machine.varn.ioctls.size() + 1, true);
  EXPECT_FALSE(a.FindTokenStructure(2, &status));
  EXPECT_EQ(status, CTokenAccess::kReadFailed);
  EXPECT_EQ(a.m_wIndexPort, indexPort);
  EXPECT_FALSE(a.FindToken(93, &status));
  EXPECT_EQ(status, CTokenAccess::kReadFailed);
  EXPECT_EQ(a.m_dwRecordAddress, record);
  EXPECT_EQ(a.m_btLocation, location);
  EXPECT_EQ(a.m_btAndMask, andMask);
  EXPECT_EQ(a.m_btOrValue, orValue);
}

TEST_F(TokenReadFailureTest, AReadBackThatFailsIsNotTakenAsSet) {
  // Token 93's OR value is 0: a byte read as 0 would seem to carry it.
  CTokenAccess a;
  ASSERT_TRUE(a.FindEntryPoint(nullptr) && a.FindTokenStructure(1, nullptr) && a.FindToken(93, nullptr));
  machine.cmos.at(0x70).bytes[0x78] = 0xC1;  // token 92 set, so 93 is not
  machine.FailCall("DeviceIoControl", machine.varn.ioctls.size() + 1);
  std::uint8_t status = 0xEE;
  EXPECT_TRUE(a.SetToken(0, &status));
  EXPECT_EQ(status, CTokenAccess::kReadFailed) << "a failed read shows no token";
  // The same byte read without a fault: not set either, and now truly so.
  EXPECT_TRUE(a.SetToken(0, &status));
  EXPECT_EQ(status, 1);
  machine.cmos.at(0x70).bytes[0x78] = 0x81;
  EXPECT_TRUE(a.SetToken(0, &status));
  EXPECT_EQ(status, 0);
}

TEST_F(TokenReadFailureTest, ASearchThatRunsToTheTableEndAfterAFailedReadSaysTheReadFailed) {
  // A string area without its closing zeros runs to the table end (status 3); when the type of its
  // structure could not be read, the walk may have passed the very table it looks for.
  sim::Machine m;
  sim::SmbiosBuilder unterminated;
  unterminated.Raw({1, 4, 0x00, 0x01, 'a', 'b', 'c'});
  unterminated.Install(m);
  sim::Install installed(m);
  CloseDeviceSlots();
  CTokenAccess a;
  std::uint8_t status = 0;
  ASSERT_TRUE(a.FindEntryPoint(&status));
  EXPECT_FALSE(a.FindTokenStructure(1, &status));
  EXPECT_EQ(status, 3);
  m.FailCall("DeviceIoControl", m.CountCalls("DeviceIoControl") + 1);  // the structure's type
  EXPECT_FALSE(a.FindTokenStructure(1, &status));
  EXPECT_EQ(status, CTokenAccess::kReadFailed);
  CloseDeviceSlots();

  // Records that pass the table end (status 2): an id that could not be read may have been the one.
  sim::Machine t;
  sim::SmbiosBuilder truncated;
  truncated.Raw({212, 40, 0x00, 0xD4, 0x70, 0x00, 0x71, 0x00, 0, 0x10, 0x2D, 0x2E, 1, 0, 0x30, 0xFE, 0x01});
  truncated.Install(t);
  sim::Install installedTruncated(t);
  CTokenAccess b;
  ASSERT_TRUE(b.FindEntryPoint(&status) && b.FindTokenStructure(1, &status));
  EXPECT_FALSE(b.FindToken(92, &status));
  EXPECT_EQ(status, 2);
  t.FailCall("DeviceIoControl", t.CountCalls("DeviceIoControl") + 1);  // the first record's id
  EXPECT_FALSE(b.FindToken(92, &status));
  EXPECT_EQ(status, CTokenAccess::kReadFailed);
  CloseDeviceSlots();
}

}  // namespace
