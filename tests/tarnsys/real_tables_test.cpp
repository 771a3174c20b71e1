// Real SMBIOS tables from the shared folder: the service tag each source recorded, and every query
// over every structure of every table, whole and cut short at many lengths. Under the sanitizer
// build a read beyond the table copy (a heap block of exactly the table's length) fails the test.
#include <fstream>
#include <sstream>

#include "platform/sim/dump_loader.h"
#include "support/shared_tables.h"
#include "tarnsys/smb_table.h"
#include "tarnsys/tarnsys.h"
#include "tarnsys_test.h"

namespace {

using tarn_test::TarnsysTest;

class RealTablesTest : public TarnsysTest {
 protected:
  void Load(const std::filesystem::path& file) {
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(sim::ReadFileBytes(file.string(), bytes)) << file;
    ASSERT_EQ(sim::LoadDumpBin(machine, bytes), "") << file;
    Attach();
    ASSERT_NE(g_structureTable, nullptr) << file;
  }

  // Every query over every structure; the answers themselves are checked elsewhere.
  static void AskEverything() {
    std::vector<char> text(65536);
    std::vector<std::uint8_t> copy(65536);
    for (int type = 0; type < 256; ++type) {
      for (int instance = 0; GetSmbTable(type, instance, 65535, copy.data()); ++instance) {
        const int length = copy[1];
        for (int offset = 0; offset <= length; ++offset)
          for (unsigned code = 0; code <= 9; ++code)
            GetSmbTableValue(type, offset, instance, 0x0FF0, code, text.data());
      }
    }
    for (int instance = 0; instance < 4; ++instance) GetServiceTag(text.data(), instance);
    GetSystemId(text.data());
  }
};

// The chassis serial number that each source recorded, from the folder's SOURCES.tsv.
std::map<std::string, std::string> RecordedSerials() {
  std::map<std::string, std::string> serials;
  std::ifstream tsv(tarn_test::SharedTablesDir() / "SOURCES.tsv");
  std::string line;
  std::getline(tsv, line);  // the header
  while (std::getline(tsv, line)) {
    std::vector<std::string> columns;
    std::stringstream row(line);
    for (std::string column; std::getline(row, column, '\t');) columns.push_back(column);
    if (columns.size() > 7 && columns[7].size() >= 2)
      serials[columns[0]] = columns[7].substr(1, columns[7].size() - 2);
  }
  return serials;
}

TEST_F(RealTablesTest, TheServiceTagIsTheChassisSerialEachSourceRecorded) {
  const auto files = tarn_test::SharedTables();
  TARN_REQUIRE_SHARED_TABLES(files);
  const auto serials = RecordedSerials();
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    Load(file);
    char tag[256];
    ASSERT_EQ(GetServiceTag(tag, 0), 1);
    ASSERT_TRUE(serials.count(file.filename().string()));
    EXPECT_EQ(tag, serials.at(file.filename().string()));
    UnloadSmbTable();
  }
}

TEST_F(RealTablesTest, TheMalformedTableIsWalkedPastItsZeroLengthHeaderToItsEnd) {
  const auto path = tarn_test::SharedTablesDir() / "hyperv-vm-2.3-malformed.bin";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no " << path;
  Load(path);
  int structures = 0;
  const std::uint8_t* zeroLength = nullptr;
  for (const std::uint8_t* s = FirstSmbStructure(); s != nullptr; s = NextSmbStructure(s)) {
    ++structures;
    if (s[1] == 0 && zeroLength == nullptr) zeroLength = s;
  }
  ASSERT_NE(zeroLength, nullptr);
  EXPECT_EQ(zeroLength - g_structureTable, 0x1DE);
  EXPECT_GT(structures, 5);
  AskEverything();
}

TEST_F(RealTablesTest, EveryQueryStaysInsideTablesCutShortAtAnyLength) {
  const auto files = tarn_test::SharedTables();
  TARN_REQUIRE_SHARED_TABLES(files);
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    Load(file);
    const std::uint16_t whole = g_smbEntryPoint.structureTableLength;
    AskEverything();
    UnloadSmbTable();
    // The same table described as shorter: the copy then ends inside a structure or a string.
    for (std::uint16_t length = 1; length < whole; length = static_cast<std::uint16_t>(length * 5 / 4 + 3)) {
      const auto ep = sim::MakeEntryPoint(sim::kDefaultTableAddress, length, 0);
      machine.memory.Write(sim::kDefaultEntryPoint, ep.data(), ep.size());
      machine.calls.clear();
      machine.varn.ioctls.clear();
      Attach();
      ASSERT_EQ(machine.heapBlocks.at(g_structureTable), length);
      AskEverything();
      UnloadSmbTable();
    }
  }
}

}  // namespace
