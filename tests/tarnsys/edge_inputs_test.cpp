// Inputs at the edges of what the library reads: a Windows directory at the length limit of the
// driver path, a scan asked of no device, tag texts with trailing non-digits, a vendor structure too
// short for either system-id field, and OEM system-id characters beyond the letters.
#include <cstring>
#include <string>

#include "tarnsys/driver_service.h"
#include "tarnsys/tarnsys.h"
#include "tarnsys_test.h"

namespace {

using tarn_test::TarnsysTest;

class EdgeInputsTest : public TarnsysTest {
 protected:
  std::string SystemId() {
    char buffer[16] = "untouched";
    return GetSystemId(buffer) ? buffer : std::string("(0) ") + buffer;
  }
};

TEST_F(EdgeInputsTest, AWindowsDirectoryTooLongForTheDriverPathRegistersNoServiceButTheDeviceOpens) {
  // 259 characters still fit, with the separator and the driver's own part after them.
  const std::string longest = "C:\\" + std::string(256, 'W');
  machine.windowsDirectory = longest;
  Attach(sim::SmbiosBuilder().EndOfTable(0x7F00));
  ASSERT_EQ(machine.services.creations.size(), 1u);
  EXPECT_EQ(machine.services.creations[0].binaryPath, longest + "\\SYSTEM32\\DRIVERS\\VARN.SYS");
  UnloadSmbTable();

  // One that does not fit the platform's buffer has no path: nothing is registered, and the start
  // and the device open are still tried.
  sim::Machine m;
  m.windowsDirectory = "C:\\" + std::string(300, 'W');
  sim::SmbiosBuilder().EndOfTable(0x7F00).Install(m);
  sim::Install installed(m);
  Attach();
  EXPECT_TRUE(m.services.creations.empty());
  EXPECT_EQ(m.CountCalls("CreateServiceA"), 0u);
  EXPECT_EQ(m.CountCalls("StartServiceA"), 0u) << "no service exists to be started";
  EXPECT_EQ(m.CountCalls("CreateFileA"), 1u);
  EXPECT_NE(g_device, win32::INVALID_HANDLE_VALUE);
  EXPECT_NE(g_structureTable, nullptr);
  UnloadSmbTable();
}

TEST_F(EdgeInputsTest, AScanOfNoDeviceReadsNothing) {
  sim::SmbiosBuilder().EndOfTable(0x7F00).Install(machine);
  SmbEntryPoint entry{};
  EXPECT_FALSE(FindSmbEntryPoint(win32::INVALID_HANDLE_VALUE, entry));
  EXPECT_EQ(machine.CountCalls("DeviceIoControl"), 0u);
  const SmbEntryPoint zero{};
  EXPECT_EQ(std::memcmp(&entry, &zero, sizeof zero), 0);
}

TEST_F(EdgeInputsTest, ATagIsTheDigitsAtTheStartOfItsText) {
  const std::pair<const char*, win32::DWORD> cases[] = {{"42x", 42}, {"7;9", 7}, {"x1", 0}, {"0012", 12}};
  for (const auto& [text, tag] : cases) {
    SCOPED_TRACE(text);
    machine.services.creations.clear();
    machine.services.byName.clear();
    EXPECT_TRUE(InstallDriverService("SVC", "SVC", "p", "", 1, 1, 0x20000000, 1, "", text, "", ""));
    ASSERT_EQ(machine.services.creations.size(), 1u);
    EXPECT_EQ(machine.services.creations[0].tagId, tag);
  }
}

TEST_F(EdgeInputsTest, AVendorStructureTooShortForEitherFieldLeavesTheIdToTheOemStrings) {
  sim::SmbiosBuilder b;
  b.Add(208, 0xD000, {0x01, 0x02});  // the formatted area ends before offset 6
  b.Add(11, 0xB00, {2}, {"first", "1[2A]"});
  Attach(b);
  EXPECT_EQ(SystemId(), "42");
}

TEST_F(EdgeInputsTest, OemIdCharactersAboveTheLettersAreTakenAsTheyAre) {
  // Only a to z are raised to upper case; '{', '~' and 0xE9 keep their codes, less 55.
  const std::pair<std::string, std::string> cases[] = {
      {"1[{]", "68"}, {"1[~]", "71"}, {"1[\xE9]", std::to_string(0xE9 - 55)}, {"1[z]", "35"}};
  for (const auto& [text, id] : cases) {
    sim::SmbiosBuilder b;
    b.Add(11, 0xB00, {2}, {"first", text});
    Attach(b);
    EXPECT_EQ(SystemId(), id) << text;
    UnloadSmbTable();
  }
}

}  // namespace
