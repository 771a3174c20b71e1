// The sector size that image staging takes from the volume: an answer that is no power of two, or
// larger than any disk's sectors, is not believed. Taken as it stands, such a size would put the
// aligned read area partly outside the sector buffer; 512 is used instead, and the platform then
// decides whether reads of that size are allowed on such a volume.
#include <gtest/gtest.h>

#include "support/zim_machine.h"
#include "zim/app/bios_upgrade.h"

namespace {

class SectorSizeTest : public tarn_test::ZimTest {};

TEST_F(SectorSizeTest, AnAnswerThatIsNoPowerOfTwoOrTooLargeIsNotBelieved) {
  for (win32::DWORD reported : {520u, 3072u, 0x20000u}) {
    SCOPED_TRACE(reported);
    sim::Machine m;
    sim::Install installed(m);
    CloseDeviceSlots();
    m.files.AddDrive('D').bytesPerSector = reported;
    m.files.AddFile("D:\\IMAGES\\A07.HDR", std::vector<std::uint8_t>(1000, 0x5A));
    CBiosUpgrade upgrade;
    // Reads of 512 bytes are what such a volume refuses, so staging fails; but no read asked for
    // the size reported, and nothing is left held.
    EXPECT_EQ(upgrade.StageImage("D:\\IMAGES\\A07.HDR"), -1);
    EXPECT_EQ(upgrade.GetErrorCode(), "ERR4");
    ASSERT_FALSE(m.files.reads.empty());
    for (const sim::ReadRecord& r : m.files.reads) EXPECT_EQ(r.asked, 512u);
    EXPECT_TRUE(m.heapBlocks.empty());
    EXPECT_EQ(m.files.OpenFileCount(), 0u);
    CloseDeviceSlots();
  }
  // A power of two up to 64 KiB is believed.
  machine.files.AddDrive('E').bytesPerSector = 0x10000;
  machine.files.AddFile("E:\\A07.HDR", std::vector<std::uint8_t>(70000, 0x5A));
  CBiosUpgrade upgrade;
  EXPECT_NE(upgrade.StageImage("E:\\A07.HDR"), -1);
  ASSERT_EQ(machine.files.reads.size(), 2u);
  EXPECT_EQ(machine.files.reads[0].asked, 0x10000u);
  EXPECT_EQ(machine.files.reads[1].got, 70000u - 0x10000u);
}

}  // namespace
