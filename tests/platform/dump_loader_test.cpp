// Loading `dmidecode --dump-bin` files into a simulated machine's physical memory.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/machine.h"
#include "platform/sim/smbios_builder.h"
#include "support/shared_tables.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint8_t Sum(const Bytes& b, std::size_t from, std::size_t n) {
  std::uint8_t s = 0;
  for (std::size_t i = 0; i < n; ++i) s = static_cast<std::uint8_t>(s + b[from + i]);
  return s;
}

void ExpectValidEntryPoint(const sim::Machine& m, std::uint32_t at, std::size_t tableLength) {
  const Bytes ep = m.memory.Read(at, 31);
  EXPECT_EQ(std::memcmp(ep.data(), "_SM_", 4), 0);
  EXPECT_EQ(ep[5], 0x1F);
  EXPECT_EQ(Sum(ep, 0, 31), 0) << "entry-point checksum";
  EXPECT_EQ(std::memcmp(ep.data() + 16, "_DMI_", 5), 0);
  EXPECT_EQ(Sum(ep, 16, 15), 0) << "intermediate checksum";
  EXPECT_EQ(ep[22] | (ep[23] << 8), static_cast<int>(tableLength));
  EXPECT_EQ(ep[24] | (ep[25] << 8) | (ep[26] << 16) | (ep[27] << 24), static_cast<int>(sim::kDefaultTableAddress));
}

TEST(DumpLoaderTest, EveryCapturedTableLoadsWithAValid2xEntryPoint) {
  const auto files = tarn_test::SharedTables();
  TARN_REQUIRE_SHARED_TABLES(files);
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    Bytes file;
    ASSERT_TRUE(sim::ReadFileBytes(path.string(), file));
    sim::Machine m;
    ASSERT_EQ(sim::LoadDumpBin(m, file, 0xFFFF0), "");
    const bool v3 = file[3] == '3';
    const std::size_t declared = v3 ? (file[12] | (file[13] << 8) | (file[14] << 16)) : (file[22] | (file[23] << 8));
    const std::size_t length = std::min(declared, file.size() - 0x20);
    ExpectValidEntryPoint(m, 0xFFFF0, length);
    EXPECT_EQ(m.memory.Read(sim::kDefaultTableAddress, length), Bytes(file.begin() + 0x20, file.begin() + 0x20 + length));
    EXPECT_EQ(m.memory.Read(sim::kDefaultTableAddress + static_cast<std::uint32_t>(length)), 0)
        << "nothing beyond the table";
  }
}

TEST(DumpLoaderTest, BuiltTableRoundTripsThroughADumpFile) {
  sim::SmbiosBuilder b;
  b.Add(3, 0x300, {1, 3, 0, 2, 0}, {"Tarn", "SERIAL"}).EndOfTable(1);
  sim::Machine m;
  ASSERT_EQ(sim::LoadDumpBin(m, b.DumpBin()), "");
  ExpectValidEntryPoint(m, 0xF0000, b.Bytes().size());
  const Bytes ep = m.memory.Read(0xF0000, 31);
  EXPECT_EQ(ep[28], 2) << "structure count";
}

TEST(DumpLoaderTest, DamagedFilesAreRefusedWithAReason) {
  sim::SmbiosBuilder b;
  b.Add(1, 1, {1}, {"x"});
  const Bytes good = b.DumpBin();
  struct Case {
    const char* what;
    Bytes file;
    std::uint32_t entryAt;
  };
  Bytes longer = good;
  longer[22] = 0xFF;  // table length past the end of the file
  Bytes elsewhere = good;
  elsewhere[24] = 0x40;  // table not at offset 0x20
  Bytes v3 = {'_', 'S', 'M', '3', '_', 0, 0x18, 3, 0, 0, 1, 0, 0x10, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0};
  std::vector<Case> cases = {
      {"empty", {}, 0xF0000},
      {"no anchor", Bytes(64, 0), 0xF0000},
      {"short 2.x", Bytes(good.begin(), good.begin() + 0x18), 0xF0000},
      {"entry point only", Bytes(good.begin(), good.begin() + 0x20), 0xF0000},
      {"length past end", longer, 0xF0000},
      {"table elsewhere", elsewhere, 0xF0000},
      {"3.x table elsewhere", v3, 0xF0000},
      {"misaligned entry", good, 0xF0008},
      {"entry above range", good, 0x100000},
  };
  for (const Case& c : cases) {
    sim::Machine m;
    EXPECT_NE(sim::LoadDumpBin(m, c.file, c.entryAt), "") << c.what;
    EXPECT_EQ(m.memory.Read(0xF0000), 0) << c.what << ": nothing half-loaded";
  }
}

TEST(PhysicalMemoryTest, SparseAndZeroWhereUnwritten) {
  sim::PhysicalMemory mem;
  EXPECT_EQ(mem.Read(0xFFFFFFFF), 0);
  mem.Write(0xFFFFFFFF, 0xAB);
  mem.Write(0x00000000, 0xCD);
  EXPECT_EQ(mem.Read(0xFFFFFFFF), 0xAB);
  EXPECT_EQ(mem.Read(0xFFFFFFFE), 0);
  EXPECT_EQ(mem.Read(0xFFFFFFFF, 2), (Bytes{0xAB, 0xCD})) << "reads wrap at 2^32";
}

TEST(FaultInjectionTest, NthCallOnceOrFromThenOn) {
  sim::Machine m;
  m.FailCall("Sleep", 2);
  m.FailCall("GetVersionExA", 2, true);
  m.FailCallAt(1);
  std::vector<bool> got;
  for (const char* op : {"Sleep", "Sleep", "Sleep", "GetVersionExA", "GetVersionExA", "GetVersionExA"})
    got.push_back(m.Inject(op));
  EXPECT_EQ(got, (std::vector<bool>{true, true, false, false, true, true}));
}

}  // namespace
