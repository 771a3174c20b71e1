// Image staging: which file is staged, the exact reads and bytes the driver receives, every failure
// with its error code, and nothing left held on any path.
#include <gtest/gtest.h>

#include <functional>

#include "support/zim_machine.h"
#include "zim/app/bios_upgrade.h"
#include "zim/app/image_staging.h"
#include "zim/driver/varn_ioctl.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t size, std::uint8_t seed = 0) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + seed);
  return out;
}

Bytes Exchanged(Bytes b) {
  ExchangeNibbles(b.data(), b.size());
  return b;
}

class StagingTest : public tarn_test::ZimTest {
 protected:
  void SetUp() override {
    ZimTest::SetUp();
    machine.files.AddFile("C:\\TARN\\BIOS\\ZIM.EXE", Pattern(64));
    ASSERT_TRUE(machine.files.SetCurrentDirectory("C:\\TARN\\BIOS"));
    machine.varn.stageResult = 0x1234;
  }

  sim::FileEntry& AddImage(const std::string& name, Bytes content) {
    return machine.files.AddFile("C:\\TARN\\BIOS\\" + name, std::move(content));
  }

  std::vector<std::pair<win32::DWORD, win32::DWORD>> Reads() const {
    std::vector<std::pair<win32::DWORD, win32::DWORD>> out;
    for (const auto& r : machine.files.reads) out.emplace_back(r.asked, r.got);
    return out;
  }

  // Nothing that staging opens or allocates outlives it; only the device slot stays open.
  void ExpectNothingHeld() const {
    EXPECT_EQ(machine.OpenHandleCount(sim::HandleKind::File), 0u);
    EXPECT_EQ(machine.OpenHandleCount(sim::HandleKind::Find), 0u);
    EXPECT_EQ(machine.files.OpenFileCount(), 0u);
    EXPECT_TRUE(machine.heapBlocks.empty());
  }

  CBiosUpgrade upgrade;
};

TEST(NibbleExchange, SwapsTheTwoHalvesOfEveryByte) {
  Bytes b = {0x12, 0xAB, 0xF0, 0x00, 0x0F, 0xFF};
  ExchangeNibbles(b.data(), b.size());
  EXPECT_EQ(b, (Bytes{0x21, 0xBA, 0x0F, 0x00, 0xF0, 0xFF}));
}

TEST(NibbleExchange, WholeWordsAndTheTailAgreeWithOneByteAtATime) {
  // Every length around the word steps, from every start within a word, in place and into another
  // buffer; nothing outside the range is touched, and a separate source is left as it was.
  const Bytes all = Pattern(64 + 8, 3);
  for (std::size_t start = 0; start < 8; ++start) {
    for (std::size_t count = 0; count <= 64; ++count) {
      Bytes inPlace = all, source = all, copy(all.size(), 0xEE);
      ExchangeNibbles(inPlace.data() + start, count);
      ExchangeNibbles(source.data() + start, copy.data() + start, count);
      ASSERT_EQ(source, all);
      for (std::size_t i = 0; i < all.size(); ++i) {
        const bool inside = i >= start && i < start + count;
        const auto exchanged = static_cast<std::uint8_t>((all[i] & 0x0F) * 16 + all[i] / 16);
        ASSERT_EQ(inPlace[i], inside ? exchanged : all[i])
            << "start " << start << ", count " << count << ", byte " << i;
        ASSERT_EQ(copy[i], inside ? exchanged : 0xEE)
            << "start " << start << ", count " << count << ", byte " << i;
      }
    }
  }
}

TEST_F(StagingTest, DirectoryIsTheTextBeforeTheLastBackslashWithoutQuotes) {
  EXPECT_EQ(upgrade.GetDirectoryOfPath("\"C:\\TARN\\BIOS\\ZIM.EXE\" "), "C:\\TARN\\BIOS");
  EXPECT_EQ(upgrade.GetDirectoryOfPath("C:\\TARN\\BIOS\\ZIM.EXE"), "C:\\TARN\\BIOS");
  // A backslash in the arguments counts too.
  EXPECT_EQ(upgrade.GetDirectoryOfPath("\"C:\\TARN\\ZIM.EXE\" \"D:\\LOG\\x\""), "C:\\TARN\\ZIM.EXE D:\\LOG");
  EXPECT_EQ(upgrade.GetDirectoryOfPath("\"C:\\ZIM.EXE\""), "C:");
  EXPECT_EQ(upgrade.GetDirectoryOfPath("ZIM.EXE /x"), "");
  EXPECT_EQ(upgrade.GetDirectoryOfPath(""), "");
}

TEST_F(StagingTest, ImageIsReadSectorBySectorExchangedAndStagedWhole) {
  Bytes image = Pattern(1000, 7);
  image[0] = 0x12, image[1] = 0xAB, image[2] = 0xF0, image[3] = 0x00;
  AddImage("A07.HDR", image);
  upgrade.m_strErrorCode = "ERR1";  // a successful staging leaves the error code alone

  EXPECT_EQ(upgrade.FindImageFile(), 0x1234);
  EXPECT_EQ(upgrade.GetErrorCode(), "ERR1");
  EXPECT_EQ(Reads(), (std::vector<std::pair<win32::DWORD, win32::DWORD>>{{512, 512}, {512, 488}}));
  ASSERT_EQ(machine.varn.staged.size(), 1u);
  const Bytes& staged = machine.varn.staged[0];
  ASSERT_EQ(staged.size(), 1000u);
  EXPECT_EQ(Bytes(staged.begin(), staged.begin() + 4), (Bytes{0x21, 0xBA, 0x0F, 0x00}));
  EXPECT_EQ(staged, Exchanged(image));
  // Opened by its bare name, for reading, unshared and unbuffered.
  const auto opens = machine.calls;
  const auto open =
      std::find_if(opens.begin(), opens.end(), [](const auto& c) { return c.op == "CreateFileA"; });
  ASSERT_NE(open, opens.end());
  EXPECT_EQ(open->args, "\"A07.HDR\", 0x80000000, 0x0, null, 0x3, 0x20000080, null");
  EXPECT_TRUE(machine.varn.released.empty());
  ExpectNothingHeld();
}

TEST_F(StagingTest, EmptyImageMakesNoReadAndStagesZeroBytes) {
  AddImage("EMPTY.HDR", {});
  machine.varn.stageResult = 0;  // an answer of 0 is a success
  EXPECT_EQ(upgrade.FindImageFile(), 0);
  EXPECT_TRUE(upgrade.GetErrorCode().empty());
  EXPECT_TRUE(machine.files.reads.empty());
  ASSERT_EQ(Ioctls(varn::IOCTL_STAGE_IMAGE).size(), 1u);
  EXPECT_TRUE(Ioctls(varn::IOCTL_STAGE_IMAGE)[0].input.empty());
  ExpectNothingHeld();
}

TEST_F(StagingTest, OnlyTheFirstListedMatchIsStaged) {
  // Listed in the order the folder holds them, not by name; matched without regard to case.
  AddImage("README.TXT", Pattern(10));
  AddImage("b07.Hdr", Pattern(700, 1));
  AddImage("A07.HDR", Pattern(300, 2));
  EXPECT_EQ(upgrade.FindImageFile(), 0x1234);
  ASSERT_EQ(machine.varn.staged.size(), 1u);
  EXPECT_EQ(machine.varn.staged[0], Exchanged(Pattern(700, 1)));
  ExpectNothingHeld();
}

TEST_F(StagingTest, NoImageGivesErr2WithoutOpeningAnythingOrTouchingTheDevice) {
  AddImage("A07.HDX", Pattern(10));
  AddImage("A07.HDR.BAK", Pattern(10));
  machine.files.AddFile("C:\\TARN\\A07.HDR", Pattern(10));  // not in the current directory
  EXPECT_EQ(upgrade.FindImageFile(), -1);
  EXPECT_EQ(upgrade.GetErrorCode(), "ERR2");
  EXPECT_EQ(machine.CountCalls("CreateFileA"), 0u);
  EXPECT_EQ(machine.CountCalls("DeviceIoControl"), 0u);
  EXPECT_EQ(machine.varn.opens, 0);
  ExpectNothingHeld();
}

TEST_F(StagingTest, AFolderNamedLikeAnImageListedFirstFailsWithErr4) {
  machine.files.AddFolder("C:\\TARN\\BIOS\\OLD.HDR");
  AddImage("A07.HDR", Pattern(100));
  EXPECT_EQ(upgrade.FindImageFile(), -1);
  EXPECT_EQ(upgrade.GetErrorCode(), "ERR4");
  EXPECT_TRUE(machine.varn.staged.empty());
  ExpectNothingHeld();
}

struct FailureCase {
  const char* name;
  std::function<void(sim::Machine&, sim::FileEntry&)> arrange;
  bool driverCalled;
};

TEST_F(StagingTest, EveryFailureAfterTheImageIsFoundGivesErr4AndReleasesEverything) {
  const FailureCase cases[] = {
      {"held open by another process", [](sim::Machine&, sim::FileEntry& f) { f.heldElsewhere = true; },
       false},
      {"second read fails", [](sim::Machine& m, sim::FileEntry&) { m.FailCall("ReadFile", 2); }, false},
      {"file shrank: a read delivers nothing",
       [](sim::Machine&, sim::FileEntry& f) { f.contentAfterSizeQuery = Pattern(512); }, false},
      {"file grew: more bytes than room",
       [](sim::Machine&, sim::FileEntry& f) { f.contentAfterSizeQuery = Pattern(1100); }, false},
      {"driver not loaded", [](sim::Machine& m, sim::FileEntry&) { m.varn.loaded = false; }, false},
      {"stage control fails", [](sim::Machine& m, sim::FileEntry&) { m.varn.stageFails = true; }, true},
      {"driver answers -1", [](sim::Machine& m, sim::FileEntry&) { m.varn.stageResult = -1; }, true},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Machine m;
    sim::Install installed(m);
    CloseDeviceSlots();
    m.files.AddFolder("C:\\TARN\\BIOS");
    ASSERT_TRUE(m.files.SetCurrentDirectory("C:\\TARN\\BIOS"));
    c.arrange(m, m.files.AddFile("C:\\TARN\\BIOS\\A07.HDR", Pattern(1000)));
    CBiosUpgrade u;
    EXPECT_EQ(u.FindImageFile(), -1);
    EXPECT_EQ(u.GetErrorCode(), "ERR4");
    EXPECT_EQ(m.CountCalls("DeviceIoControl") > 0, c.driverCalled);
    EXPECT_EQ(m.OpenHandleCount(sim::HandleKind::File), 0u);
    EXPECT_EQ(m.OpenHandleCount(sim::HandleKind::Find), 0u);
    EXPECT_TRUE(m.heapBlocks.empty());
    // No read follows one that failed or delivered nothing.
    for (std::size_t i = 0; i + 1 < m.files.reads.size(); ++i)
      EXPECT_TRUE(m.files.reads[i].succeeded && m.files.reads[i].got > 0);
    CloseDeviceSlots();
  }
}

TEST_F(StagingTest, AllocationFailuresGiveErr7NotErr4) {
  AddImage("A07.HDR", Pattern(1000));
  for (int nth : {1, 2}) {
    SCOPED_TRACE(nth == 1 ? "image buffer" : "sector buffer");
    machine.faults.clear();
    machine.FailCall("HeapAlloc", machine.CountCalls("HeapAlloc") + nth);
    CBiosUpgrade u;
    EXPECT_EQ(u.FindImageFile(), -1);
    EXPECT_EQ(u.GetErrorCode(), "ERR7");
    ExpectNothingHeld();
  }
  // A size that cannot be had is no allocation to try.
  machine.faults.clear();
  machine.FailCall("GetFileSize", machine.CountCalls("GetFileSize") + 1);
  const std::size_t allocations = machine.CountCalls("HeapAlloc");
  EXPECT_EQ(upgrade.FindImageFile(), -1);
  EXPECT_EQ(upgrade.GetErrorCode(), "ERR7");
  EXPECT_EQ(machine.CountCalls("HeapAlloc"), allocations);
  EXPECT_TRUE(machine.varn.staged.empty());
  ExpectNothingHeld();
}

TEST_F(StagingTest, ReadsUseTheSectorSizeOfTheVolumeThatHoldsTheImage) {
  // Unbuffered reads of any other size are refused by the platform, so a wrong size fails here.
  machine.files.AddDrive('D').bytesPerSector = 4096;
  machine.files.AddFile("D:\\IMAGES\\A07.HDR", Pattern(5000));
  EXPECT_EQ(upgrade.StageImage("d:\\images\\a07.hdr"), 0x1234);
  EXPECT_EQ(Reads(), (std::vector<std::pair<win32::DWORD, win32::DWORD>>{{4096, 4096}, {4096, 904}}));
  EXPECT_EQ(machine.calls[0].op, "GetDiskFreeSpaceA");
  EXPECT_EQ(machine.calls[0].args, "\"d:\\\"");

  // A bare name lies on the current drive.
  machine.files.reads.clear();
  ASSERT_TRUE(machine.files.SetCurrentDirectory("D:\\IMAGES"));
  EXPECT_EQ(upgrade.FindImageFile(), 0x1234);
  EXPECT_EQ(Reads(), (std::vector<std::pair<win32::DWORD, win32::DWORD>>{{4096, 4096}, {4096, 904}}));
  ASSERT_EQ(machine.varn.staged.size(), 2u);
  EXPECT_EQ(machine.varn.staged[1], Exchanged(Pattern(5000)));

  // When the volume cannot be asked, 512 is taken.
  machine.files.reads.clear();
  ASSERT_TRUE(machine.files.SetCurrentDirectory("C:\\TARN\\BIOS"));
  AddImage("A07.HDR", Pattern(600));
  machine.FailCall("GetDiskFreeSpaceA", machine.CountCalls("GetDiskFreeSpaceA") + 1);
  EXPECT_EQ(upgrade.FindImageFile(), 0x1234);
  EXPECT_EQ(Reads(), (std::vector<std::pair<win32::DWORD, win32::DWORD>>{{512, 512}, {512, 88}}));
  ExpectNothingHeld();
}

}  // namespace
