// Whole token searches on realistic machines: every captured table, and a machine whose token table
// looks like a real BIOS's.
#include <gtest/gtest.h>

#include "platform/sim/dump_loader.h"
#include "platform/sim/smbios_builder.h"
#include "support/shared_tables.h"
#include "support/zim_machine.h"
#include "zim/app/bios_upgrade.h"
#include "zim/tokens/token_access.h"

namespace {

class TokenScenarioTest : public tarn_test::ZimTest {};

TEST_F(TokenScenarioTest, EveryCapturedTableIsFoundThroughItsEntryPoint) {
  const auto files = tarn_test::SharedTables();
  TARN_REQUIRE_SHARED_TABLES(files);
  for (const auto& path : files) {
    for (std::uint32_t entryAt : {0xF0000u, 0xFFFF0u}) {
      SCOPED_TRACE(path.filename().string() + " entry point at " + std::to_string(entryAt));
      sim::Machine m;
      sim::Install installed(m);
      CloseDeviceSlots();
      std::vector<std::uint8_t> bytes;
      ASSERT_TRUE(sim::ReadFileBytes(path.string(), bytes));
      ASSERT_EQ(sim::LoadDumpBin(m, bytes, entryAt), "");
      CTokenAccess a;
      std::uint8_t status = 0xEE;
      ASSERT_TRUE(a.FindEntryPoint(&status));
      EXPECT_EQ(status, 0);
      EXPECT_EQ(a.m_dwEntryPointAddress, entryAt);
      EXPECT_EQ(a.m_dwTableAddress, sim::kDefaultTableAddress);
      // None of these machines has a token table: the walk ends cleanly with status 1 (or 3 on a
      // table whose last string area has no terminator), never by running away.
      EXPECT_FALSE(a.FindTokenStructure(1, &status));
      EXPECT_TRUE(status == 1 || status == 3) << int(status);
      CBiosUpgrade upgrade;
      EXPECT_FALSE(upgrade.SetCmosToken(92));
      EXPECT_EQ(upgrade.GetErrorCode(), "ERR3");
      CloseDeviceSlots();
    }
  }
}

TEST_F(TokenScenarioTest, FlashTokenSetsBit6AndKeepsTheChecksumRight) {
  sim::SmbiosBuilder table;
  table.Add(0, 0, {1, 2, 0, 0xE0, 3, 0x0F}, {"Tarn", "A07", "08/16/2001"});
  table.Add(3, 0x300, {1, 3, 0, 2, 0}, {"Tarn", "7QX2K41"});
  table.TokenTable(0xD400, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E,
                   {{0x0001, 0x30, 0xFE, 0x01}, {92, 0x78, 0xBF, 0x40}, {93, 0x78, 0xBF, 0x00}});
  table.EndOfTable(0x7F00);
  table.Install(machine);
  sim::CmosBank& bank = machine.AddCmosBank(0x70, 0x71);
  for (unsigned i = 0; i < 256; ++i) bank.bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  bank.bytes[0x78] = 0x81;
  std::uint16_t sum = 0;
  for (unsigned i = 0x10; i <= 0x2D; ++i) sum = static_cast<std::uint16_t>(sum + bank.bytes[i]);
  bank.bytes[0x2E] = static_cast<std::uint8_t>(sum >> 8);
  bank.bytes[0x2F] = static_cast<std::uint8_t>(sum);
  const auto before = bank.bytes;

  CBiosUpgrade upgrade;
  ASSERT_TRUE(upgrade.SetCmosToken(92));
  auto expected = before;
  expected[0x78] = 0xC1;
  EXPECT_EQ(bank.bytes, expected) << "only bit 6 of 0x78 changes; the rewritten checksum equals the old one";
  std::size_t checksumWrites = 0;
  for (const auto& r : Ioctls(0x22200C)) checksumWrites += (r.input[2] == 0x2E || r.input[2] == 0x2F) ? 1 : 0;
  EXPECT_EQ(checksumWrites, 2u);
}

}  // namespace
