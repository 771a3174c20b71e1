// Loading `dmidecode --dump-bin` files into a simulated machine's physical memory.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "platform/sim/dump_loader.h"
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
  EXPECT_EQ(ep[24] | (ep[25] << 8) | (ep[26] << 16) | (ep[27] << 24),
            static_cast<int>(sim::kDefaultTableAddress));
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
    const std::size_t declared =
        v3 ? (file[12] | (file[13] << 8) | (file[14] << 16)) : (file[22] | (file[23] << 8));
    const std::size_t length = std::min(declared, file.size() - 0x20);
    ExpectValidEntryPoint(m, 0xFFFF0, length);
    const Bytes ep = m.memory.Read(0xFFFF0, 31);
    if (!v3) {
      EXPECT_EQ(Bytes(ep.begin() + 6, ep.begin() + 10), Bytes(file.begin() + 6, file.begin() + 10))
          << "version and maximum structure size as published";
      EXPECT_EQ(Bytes(ep.begin() + 28, ep.end()), Bytes(file.begin() + 28, file.begin() + 31)) << "count";
    }
    EXPECT_EQ(m.memory.Read(sim::kDefaultTableAddress, length),
              Bytes(file.begin() + 0x20, file.begin() + 0x20 + length));
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

TEST(DumpLoaderTest, TheTableIsReadWhereTheEntryPointPutsItWithThePublishedCount) {
  sim::SmbiosBuilder b;
  b.Add(1, 0x100, {1, 2}, {"Tarn", "X"}).Add(3, 0x300, {1, 3, 0, 2}, {"Tarn", "TAG"}).Add(11, 0xB00, {0});
  b.EndOfTable(0x7F00);
  using Kind = sim::EntryPointKind;
  struct Case {
    Kind kind;
    std::uint32_t offset;
    std::optional<std::uint16_t> count;
    int published;  // the count the 2.x entry point in memory carries
    bool assumed;
  } cases[] = {
      {Kind::Smbios2, 0x20, std::nullopt, 4, false},
      {Kind::Smbios2, 0x40, std::nullopt, 4, false},
      {Kind::Smbios2, 0x40, 2, 2, false},
      {Kind::Smbios2, 0x20, 0, 0, false},
      {Kind::Smbios3, 0x40, std::nullopt, 4, true},
      {Kind::Legacy, 0x30, 3, 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(sim::EntryPointName(c.kind)) + " at " + std::to_string(c.offset));
    sim::Machine m;
    sim::DumpInfo info;
    ASSERT_EQ(sim::LoadDump(m, b.DumpBin(c.kind, c.offset, c.count), {}, &info), "");
    EXPECT_EQ(m.memory.Read(sim::kDefaultTableAddress, b.Bytes().size()), b.Bytes());
    ExpectValidEntryPoint(m, sim::kDefaultEntryPoint, b.Bytes().size());
    const Bytes ep = m.memory.Read(sim::kDefaultEntryPoint, 31);
    EXPECT_EQ(ep[28] | (ep[29] << 8), c.published);
    EXPECT_EQ(info.tableOffset, c.offset);
    EXPECT_EQ(info.foundCount, 4);
    EXPECT_EQ(info.CountDiffers(), c.count.has_value() && *c.count != 4);
    EXPECT_EQ(info.assumed2x, c.assumed);
  }
  // Without the assumption a 3.x or legacy dump keeps only its own entry point, pointed at the table.
  for (Kind kind : {Kind::Smbios3, Kind::Legacy}) {
    sim::Machine m;
    sim::DumpPlacement only;
    only.assume2x = false;
    ASSERT_EQ(sim::LoadDump(m, b.DumpBin(kind, 0x20), only), "");
    const Bytes ep = m.memory.Read(sim::kDefaultEntryPoint, kind == Kind::Smbios3 ? 0x18 : 0x0F);
    EXPECT_EQ(std::memcmp(ep.data(), kind == Kind::Smbios3 ? "_SM3_" : "_DMI_", 5), 0);
    EXPECT_EQ(Sum(ep, 0, ep.size()), 0);
    const std::size_t at = kind == Kind::Smbios3 ? 0x10 : 0x08;
    EXPECT_EQ(ep[at] | (ep[at + 1] << 8) | (ep[at + 2] << 16), static_cast<int>(sim::kDefaultTableAddress));
  }
}

TEST(DumpLoaderTest, DamagedFilesAreRefusedWithAReason) {
  sim::SmbiosBuilder b;
  b.Add(1, 1, {1}, {"x"});
  const Bytes good = b.DumpBin();
  struct Case {
    const char* what;
    Bytes file;
    std::uint32_t entryAt;
    const char* says;
  };
  Bytes longer = good;
  longer[22] = 0xFF;  // table length past the end of the file
  Bytes elsewhere = good;
  elsewhere[24] = 0x40;  // table offset past the end of the file
  Bytes bigEntry = good;
  bigEntry[5] = 0x21;
  const Bytes at40 = b.DumpBin(sim::EntryPointKind::Smbios2, 0x40);
  Bytes v3 = {'_', 'S', 'M', '3', '_', 0, 0x18, 3, 0, 0, 1, 0, 0x10, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0};
  std::vector<Case> cases = {
      {"empty", {}, 0xF0000, "too short"},
      {"no anchor", Bytes(64, 0), 0xF0000, "no SMBIOS entry point"},
      {"short 2.x", Bytes(good.begin(), good.begin() + 0x18), 0xF0000, "too short for its 2.x"},
      {"short legacy", Bytes(good.begin() + 16, good.begin() + 0x1C), 0xF0000, "too short for its legacy"},
      {"entry point only", Bytes(good.begin(), good.begin() + 0x20), 0xF0000, "offset 0x20, past the end"},
      {"length past end", longer, 0xF0000, "runs past the end of the file"},
      {"offset past end", elsewhere, 0xF0000, "offset 0x40, past the end of the file"},
      {"cut short at 0x40", Bytes(at40.begin(), at40.end() - 1), 0xF0000,
       "at offset 0x40) runs past the end"},
      {"3.x offset past end", v3, 0xF0000, "3.x entry point puts the table at offset 0x40"},
      {"2.x entry point above 32 bytes", bigEntry, 0xF0000, "larger than 32 bytes"},
      {"misaligned entry", good, 0xF0008, "paragraph"},
      {"entry above range", good, 0x100000, "paragraph"},
  };
  for (const Case& c : cases) {
    sim::Machine m;
    const std::string reason = sim::LoadDumpBin(m, c.file, c.entryAt);
    EXPECT_NE(reason.find(c.says), std::string::npos) << c.what << ": " << reason;
    EXPECT_EQ(m.memory.Extents().size(), 0u) << c.what << ": nothing half-loaded";
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

TEST(PhysicalMemoryTest, AnEntryPointInTheLastParagraphRunsIntoRamWhichTheWrittenPagesCover) {
  sim::SmbiosBuilder b;
  b.Add(1, 1, {1}, {"x"});
  sim::Machine m;
  ASSERT_EQ(sim::LoadDumpBin(m, b.DumpBin(), 0xFFFF0), "");
  const Bytes tail = m.memory.Read(0x100000, 15);
  EXPECT_NE(tail, Bytes(15, 0)) << "bytes 16-30 of the entry point lie past 1 MiB";
  // The pages written, which the stand-in driver's machine file carries: the table's, and the BIOS
  // area's last page together with the first page past it.
  const auto extents = m.memory.Extents();
  ASSERT_EQ(extents.size(), 2u);
  EXPECT_EQ(extents[0].address, sim::kDefaultTableAddress);
  EXPECT_EQ(extents[1].address, 0xFF000u);
  EXPECT_EQ(extents[1].length, 0x2000u);
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
