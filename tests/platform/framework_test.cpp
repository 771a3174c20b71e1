// The dialog framework over the simulated person: message boxes by catalogue id, the application
// run, the modal dialog with control binding, text and style changes.
#include <gtest/gtest.h>

#include "platform/framework/framework.h"
#include "platform/sim/machine.h"

namespace {

using namespace win32;

class FrameworkTest : public ::testing::Test {
 protected:
  sim::Machine machine;
  sim::Install installed{machine};
};

TEST_F(FrameworkTest, MessageBoxShowsTheCatalogueTextWithExclamationIconAndProgramNameAsCaption) {
  machine.user.modulePath = "C:\\Program Files\\Tarn\\Flash.Tool\\ZIM.EXE";
  EXPECT_EQ(AfxMessageBox(4, MB_OK, 4), IDOK);
  EXPECT_EQ(AfxMessageBox(1, MB_OKCANCEL), IDCANCEL);  // nothing scripted: Cancel at message 1

  ASSERT_EQ(machine.user.boxes.size(), 2u);
  const sim::MessageBoxRecord& warning = machine.user.boxes[0];
  EXPECT_EQ(warning.id, 4u);
  EXPECT_EQ(warning.text,
            "Please close all applications. Remove any media from the drives and any external devices. Your "
            "system will reboot and update your BIOS at this time.");
  EXPECT_EQ(warning.caption, "ZIM");
  EXPECT_EQ(warning.style, MB_OK | MB_ICONEXCLAMATION);
  EXPECT_EQ(warning.helpContext, 4u);
  const sim::MessageBoxRecord& attach = machine.user.boxes[1];
  EXPECT_EQ(attach.text, "Please attach AC.");
  EXPECT_EQ(attach.style, MB_OKCANCEL | MB_ICONEXCLAMATION);
  EXPECT_EQ(attach.helpContext, 0u);
}

}  // namespace
