// The host's tables as the library and the command read them: the firmware's entry point (2.x or
// 3.x, pointing wherever the firmware put the table) and raw table become the same memory that the
// equivalent dump file gives.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "hosts/tarnsys/host_machine.h"
#include "platform/sim/dump_loader.h"
#include "platform/sim/smbios_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

class FirmwareFolder {
 public:
  FirmwareFolder(const Bytes& entry, const Bytes& table) {
    char name[] = "/tmp/tarnsys-firmware-XXXXXX";
    path_ = mkdtemp(name);
    std::ofstream(path_ / "smbios_entry_point", std::ios::binary)
        .write(reinterpret_cast<const char*>(entry.data()), static_cast<std::streamsize>(entry.size()));
    std::ofstream(path_ / "DMI", std::ios::binary)
        .write(reinterpret_cast<const char*>(table.data()), static_cast<std::streamsize>(table.size()));
  }
  ~FirmwareFolder() { fs::remove_all(path_); }
  std::string path() const { return path_.string(); }

 private:
  fs::path path_;
};

sim::SmbiosBuilder Table() {
  sim::SmbiosBuilder b;
  b.Add(3, 0x300, {1, 3, 0, 2}, {"Maker", "FIRMWARE"}).EndOfTable(0x7F00);
  return b;
}

Bytes BiosArea(const sim::Machine& m) { return m.memory.Read(0xE0000, 0x20000); }

TEST(TarnsysHost, A2xEntryPointAndTableReadLikeTheDumpFile) {
  const auto table = Table();
  Bytes entry = table.DumpBin();
  entry.resize(31);
  entry[0x18] = 0x00, entry[0x19] = 0xF0, entry[0x1A] = 0x0E, entry[0x1B] = 0x00;  // the firmware's address
  FirmwareFolder folder(entry, table.Bytes());

  sim::Machine fromFirmware, fromDump;
  EXPECT_EQ(tarnsys_host::LoadFirmwareTables(fromFirmware, folder.path()), "");
  EXPECT_EQ(sim::LoadDumpBin(fromDump, table.DumpBin()), "");
  EXPECT_EQ(BiosArea(fromFirmware), BiosArea(fromDump));
  EXPECT_TRUE(fromFirmware.varn.loaded);
}

TEST(TarnsysHost, A3xEntryPointGetsA2xOneOverTheSameTable) {
  const auto table = Table();
  Bytes entry = {'_', 'S', 'M', '3', '_', 0, 0x18, 3, 2, 0, 1, 0};
  const auto length = static_cast<std::uint32_t>(table.Bytes().size()) + 16;  // 3.x gives a maximum
  for (int i = 0; i < 4; ++i) entry.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
  for (std::uint64_t address = 0x7AE4F000, i = 0; i < 8; ++i)
    entry.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
  FirmwareFolder folder(entry, table.Bytes());

  sim::Machine fromFirmware, fromDump;
  EXPECT_EQ(tarnsys_host::LoadFirmwareTables(fromFirmware, folder.path()), "");
  EXPECT_EQ(sim::LoadDumpBin(fromDump, table.DumpBin()), "");
  // The same table in the same place, described by a 2.x entry point of the same length.
  EXPECT_EQ(fromFirmware.memory.Read(0xE0000, table.Bytes().size()), table.Bytes());
  const Bytes ep = fromFirmware.memory.Read(0xF0000, 31);
  EXPECT_EQ(Bytes(ep.begin(), ep.begin() + 4), (Bytes{'_', 'S', 'M', '_'}));
  EXPECT_EQ(ep[0x16] | (ep[0x17] << 8), static_cast<int>(table.Bytes().size()));
}

TEST(TarnsysHost, UnreadableTablesNameTheFileAndLeaveNoDriver) {
  sim::Machine m;
  tarnsys_host::PrepareMachine(m);
  EXPECT_EQ(tarnsys_host::LoadFirmwareTables(m, "/nonexistent"),
            "/nonexistent/smbios_entry_point: cannot be read: No such file or directory");
  EXPECT_FALSE(m.varn.loaded);

  FirmwareFolder garbage(Bytes(8, 'x'), Bytes(64, 0));
  EXPECT_EQ(tarnsys_host::LoadFirmwareTables(m, garbage.path()),
            garbage.path() + "/smbios_entry_point: no SMBIOS entry point (_SM_, _SM3_ or _DMI_) at offset 0");

  // An entry point without its table names the table.
  FirmwareFolder noTable(Table().DumpBin(), {});
  fs::remove(fs::path(noTable.path()) / "DMI");
  EXPECT_EQ(tarnsys_host::LoadFirmwareTables(m, noTable.path()),
            noTable.path() + "/DMI: cannot be read: No such file or directory");
  const auto dump = Table().DumpBin();
  FirmwareFolder shortTable(dump, Bytes(16, 0));
  EXPECT_EQ(tarnsys_host::LoadFirmwareTables(m, shortTable.path()),
            shortTable.path() + "/DMI: holds 16 bytes, but its entry point declares a table of " +
                std::to_string(dump[0x16] | (dump[0x17] << 8)));
  EXPECT_FALSE(m.varn.loaded);
}

TEST(TarnsysHost, ADumpFileThatCannotServeNamesItself) {
  sim::Machine m;
  tarnsys_host::PrepareMachine(m);
  EXPECT_EQ(tarnsys_host::LoadDumpFile(m, "/nonexistent.bin"),
            "/nonexistent.bin: cannot be read: No such file or directory");
  EXPECT_FALSE(m.varn.loaded);

  FirmwareFolder folder(Bytes(8, 'x'), {});
  const std::string garbage = folder.path() + "/smbios_entry_point";
  EXPECT_EQ(tarnsys_host::LoadDumpFile(m, garbage),
            garbage +
                ": not an SMBIOS capture: no entry point (_SM_, _SM3_ or _DMI_) at offset 0, and no Windows "
                "raw table header");
  EXPECT_FALSE(m.varn.loaded);

  const std::string good = folder.path() + "/good.bin";
  const Bytes dump = Table().DumpBin();
  std::ofstream(good, std::ios::binary)
      .write(reinterpret_cast<const char*>(dump.data()), static_cast<std::streamsize>(dump.size()));
  EXPECT_EQ(tarnsys_host::LoadDumpFile(m, good), "");
  EXPECT_TRUE(m.varn.loaded);
}

}  // namespace
