// The driver channel: device slots, the exact bytes of every control, failure results.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "support/zim_machine.h"
#include "zim/driver/driver_channel.h"
#include "zim/driver/image_controls.h"
#include "zim/driver/varn_ioctl.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class DriverChannelTest : public tarn_test::ZimTest {
 protected:
  void SetUp() override {
    ZimTest::SetUp();
    machine.AddCmosBank(0x70, 0x71).bytes[0x78] = 0x5A;
    machine.memory.Write(0xF0010, Bytes{0x11, 0x22, 0x33, 0x44});
  }
  std::vector<sim::CallRecord> Calls(const std::string& op) const {
    std::vector<sim::CallRecord> out;
    for (const auto& c : machine.calls)
      if (c.op == op) out.push_back(c);
    return out;
  }
};

TEST_F(DriverChannelTest, PhysicalReadsSendTheAddressAndAskForExactlyTheirWidth) {
  CDriverChannel channel;
  EXPECT_EQ(channel.ReadPhysByte(0xF0000, 0x10), 0x11);
  EXPECT_EQ(channel.ReadPhysWord(0xF0000, 0x10), 0x2211);
  EXPECT_EQ(channel.ReadPhysDword(0xF0000, 0x10), 0x44332211u);
  const auto reads = Ioctls(varn::IOCTL_READ_PHYSICAL);
  ASSERT_EQ(reads.size(), 3u);
  const Bytes request = {0x10, 0x00, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00};
  for (const auto& r : reads) EXPECT_EQ(r.input, request);
  EXPECT_EQ(reads[0].outSize, 1u);
  EXPECT_EQ(reads[1].outSize, 2u);
  EXPECT_EQ(reads[2].outSize, 4u);
}

TEST_F(DriverChannelTest, PhysicalAddressWrapsModulo2To32) {
  machine.memory.Write(0x00000001, 0x7E);
  CDriverChannel channel;
  EXPECT_EQ(channel.ReadPhysByte(0xFFFFFFFF, 2), 0x7E);
  EXPECT_EQ(Ioctls(varn::IOCTL_READ_PHYSICAL)[0].input, (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(DriverChannelTest, ShortOrFailedPhysicalReadGivesZero) {
  CDriverChannel channel;
  machine.varn.physicalReadShort = true;
  EXPECT_EQ(channel.ReadPhysDword(0xF0010, 0), 0u);
  machine.varn.physicalReadShort = false;
  machine.FailCall("DeviceIoControl", 2);
  EXPECT_EQ(channel.ReadPhysByte(0xF0010, 0), 0);
  EXPECT_EQ(channel.ReadPhysByte(0xF0010, 0), 0x11);
}

TEST_F(DriverChannelTest, PortControlsCarryPackedSevenByteRecords) {
  CDriverChannel channel;
  EXPECT_EQ(channel.ReadIndexedPort(0x70, 0x78, 0x71), 0x5A);
  channel.WriteIndexedPort(0x70, 0x79, 0x71, 0xC3);
  EXPECT_EQ(machine.cmos[0x70].bytes[0x79], 0xC3);

  const auto reads = Ioctls(varn::IOCTL_READ_INDEXED_PORT);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].input, (Bytes{0x70, 0, 0x78, 0, 0x71, 0, 0}));
  EXPECT_EQ(reads[0].outSize, 7u);
  const auto writes = Ioctls(varn::IOCTL_WRITE_INDEXED_PORT);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].input, (Bytes{0x70, 0, 0x79, 0, 0x71, 0, 0xC3}));
  EXPECT_EQ(writes[0].outSize, 0u);
}

TEST_F(DriverChannelTest, PortReadCountsOnlyWhenTheDriverGaveTheWholeRecord) {
  CDriverChannel channel;
  machine.cmos[0x70].bytes[0x78] = 0xA5;
  machine.varn.portReadLeavesOutput = true;  // succeeds, writes nothing, reports 0 bytes
  EXPECT_EQ(channel.ReadIndexedPort(0x70, 0x78, 0x71), 0);
  EXPECT_TRUE(channel.ReadFailed()) << "an answer of no bytes is no answer";
  machine.varn.portReadLeavesOutput = false;
  EXPECT_EQ(channel.ReadIndexedPort(0x72, 0x78, 0x73), 0) << "a port pair the driver refuses reads as 0";
}

// Real hardware behind the device: the machine's own memory and banks are no longer consulted.
struct FakeHardware : sim::Hardware {
  std::map<std::uint8_t, std::uint8_t> cmos{{0x78, 0xA7}};
  bool ReadPhysical(std::uint32_t address, std::uint8_t* out, std::size_t size) override {
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(address + i);
    return address < 0x100000;
  }
  bool ReadIndexed(std::uint16_t indexPort, std::uint8_t location, std::uint16_t,
                   std::uint8_t& value) override {
    value = cmos[location];
    return indexPort == 0x70;
  }
  bool WriteIndexed(std::uint16_t indexPort, std::uint8_t location, std::uint16_t,
                    std::uint8_t value) override {
    cmos[location] = value;
    return indexPort == 0x70;
  }
};

TEST_F(DriverChannelTest, HardwareAnswersInPlaceOfTheMachinesMemoryAndBanks) {
  auto hardware = std::make_shared<FakeHardware>();
  machine.varn.hardware = hardware;
  CDriverChannel channel;
  EXPECT_EQ(channel.ReadPhysDword(0xF0010, 0), 0x13121110u)
      << "the low bytes of the addresses, not 0x44332211";
  EXPECT_EQ(channel.ReadPhysByte(0x100000, 0), 0) << "a read the hardware refuses";
  EXPECT_EQ(channel.ReadIndexedPort(0x70, 0x78, 0x71), 0xA7);
  channel.WriteIndexedPort(0x70, 0x79, 0x71, 0xC3);
  EXPECT_EQ(hardware->cmos[0x79], 0xC3);
  EXPECT_EQ(machine.cmos[0x70].bytes[0x79], 0) << "the machine's bank is not written";
  EXPECT_EQ(channel.ReadIndexedPort(0x72, 0x78, 0x73), 0) << "a pair the hardware refuses";
}

TEST_F(DriverChannelTest, DeviceOpenUsesThePlatformsNameAndFlags) {
  struct Case {
    win32::DWORD platform;
    const char* args;
  } cases[] = {
      {win32::VER_PLATFORM_WIN32_NT, "\"\\\\.\\VARN\", 0xC0000000, 0x0, null, 0x3, 0x80, null"},
      {win32::VER_PLATFORM_WIN32_WINDOWS, "\"\\\\.\\VARN.VXD\", 0xC0000000, 0x0, null, 0x3, 0x4000000, null"},
  };
  for (const Case& c : cases) {
    CloseDeviceSlots();
    machine.calls.clear();
    machine.version.platformId = c.platform;
    CDriverChannel channel;
    EXPECT_EQ(channel.ReadPhysByte(0xF0010, 0), 0x11);
    const auto opens = Calls("CreateFileA");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].args, c.args);
    EXPECT_EQ(Calls("GetVersionExA")[0].args, "0x94") << "the 148-byte version structure";
  }
}

TEST_F(DriverChannelTest, NoDeviceOnOtherPlatformsOrWithoutVersion) {
  for (bool versionFails : {false, true}) {
    CloseDeviceSlots();
    machine.version.platformId = versionFails ? win32::VER_PLATFORM_WIN32_NT : 3;
    machine.version.fails = versionFails;
    CDriverChannel channel;
    EXPECT_EQ(channel.ReadPhysDword(0xF0010, 0), 0u);
    EXPECT_EQ(channel.ReadIndexedPort(0x70, 0x78, 0x71), 0);
    channel.WriteIndexedPort(0x70, 0x78, 0x71, 1);
    EXPECT_EQ(StageImageInDriver("x", 1), -1);
    ReleaseImageInDriver(5);
  }
  EXPECT_EQ(machine.CountCalls("CreateFileA"), 0u);
  EXPECT_TRUE(machine.varn.ioctls.empty());
  EXPECT_EQ(machine.cmos[0x70].bytes[0x78], 0x5A);
}

TEST_F(DriverChannelTest, AFailedOpenIsNeverRetriedOnThatSlot) {
  machine.varn.loaded = false;
  CDriverChannel channel;
  EXPECT_EQ(channel.ReadPhysByte(0xF0010, 0), 0);
  machine.varn.loaded = true;
  EXPECT_EQ(channel.ReadPhysByte(0xF0010, 0), 0);
  EXPECT_EQ(channel.ReadIndexedPort(0x70, 0x78, 0x71), 0);
  EXPECT_EQ(machine.CountCalls("CreateFileA"), 1u);
  EXPECT_EQ(g_tokenDeviceSlot.handle, win32::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(g_tokenDeviceSlot.openAttempted);
  // The flash slot has its own first attempt, which now succeeds.
  EXPECT_EQ(StageImageInDriver("ab", 2), 1);
  EXPECT_EQ(machine.CountCalls("CreateFileA"), 2u);

  // At exit only the open slot is closed.
  CloseDeviceSlots();
  ASSERT_EQ(Calls("CloseHandle").size(), 1u);
  EXPECT_EQ(Calls("CloseHandle")[0].args, "ptr");
  EXPECT_FALSE(g_flashDeviceSlot.openAttempted);
}

TEST_F(DriverChannelTest, EachSlotOpensItsOwnHandleOnce) {
  EXPECT_EQ(StageImageInDriver("ab", 2), 1);
  CDriverChannel channel;
  channel.ReadPhysByte(0xF0010, 0);
  channel.ReadPhysByte(0xF0010, 1);
  ReleaseImageInDriver(1);
  EXPECT_EQ(machine.varn.opens, 2);
  EXPECT_NE(g_flashDeviceSlot.handle, g_tokenDeviceSlot.handle);
  CloseDeviceSlots();
  EXPECT_EQ(machine.CountCalls("CloseHandle"), 2u);
  EXPECT_EQ(machine.OpenHandleCount(sim::HandleKind::Device), 0u);
}

TEST_F(DriverChannelTest, StageImageGivesTheDriversAnswerOrMinusOne) {
  const Bytes image = {0x21, 0xBA, 0x0F, 0x00};
  machine.varn.stageResult = 0;
  EXPECT_EQ(StageImageInDriver(image.data(), 4), 0);
  machine.varn.stageResult = 0x7FFF0001;
  EXPECT_EQ(StageImageInDriver(image.data(), 4), 0x7FFF0001);
  machine.varn.stageLeavesOutput = true;
  EXPECT_EQ(StageImageInDriver(image.data(), 4), -1);
  machine.varn.stageLeavesOutput = false;
  machine.varn.stageFails = true;
  EXPECT_EQ(StageImageInDriver(image.data(), 4), -1);

  const auto stages = Ioctls(varn::IOCTL_STAGE_IMAGE);
  ASSERT_EQ(stages.size(), 4u);
  EXPECT_EQ(stages[0].input, image);
  EXPECT_EQ(stages[0].outSize, 4u);
  ASSERT_EQ(machine.varn.staged.size(), 3u);
}

TEST_F(DriverChannelTest, ReleaseSendsTheStageResultAsFourLittleEndianBytes) {
  ReleaseImageInDriver(-1);
  ReleaseImageInDriver(0x01020304);
  const auto releases = Ioctls(varn::IOCTL_RELEASE_IMAGE);
  ASSERT_EQ(releases.size(), 2u);
  EXPECT_EQ(releases[0].input, (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(releases[1].input, (Bytes{4, 3, 2, 1}));
  EXPECT_EQ(releases[1].outSize, 0u);
  EXPECT_EQ(machine.varn.released, (std::vector<std::int32_t>{-1, 0x01020304}));
}

}  // namespace
