// The main dialog's command table: only a click of its OK button (control 1002) ends it; other
// notifications from that button, such as a change of focus, leave the dialog as it is.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/zim_machine.h"
#include "zim/app/zim_dlg.h"
#include "zim/resources/resource.h"

namespace {

using namespace win32;

// Reaches the dialog's command handler the way the dialog procedure does.
class CommandedDialog : public CZimDlg {
 public:
  using CZimDlg::OnCommand;
};

class DialogCommandTest : public tarn_test::ZimTest {};

TEST_F(DialogCommandTest, OnlyAClickOfTheOkButtonEndsTheDialog) {
  CommandedDialog dialog;
  dialog.m_hWnd = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x4242));
  const LPARAM button = 0x4343;                  // the button's window, as a click reports it
  constexpr WORD kSetFocus = 6, kKillFocus = 7;  // BN_SETFOCUS, BN_KILLFOCUS

  for (WORD notification : {kSetFocus, kKillFocus}) {
    EXPECT_FALSE(dialog.OnCommand(MAKEWPARAM(IDC_BTN_OK, notification), button)) << notification;
    EXPECT_EQ(machine.CountCalls("EndDialog"), 0u) << notification;
  }
  EXPECT_TRUE(dialog.OnCommand(MAKEWPARAM(IDC_BTN_OK, BN_CLICKED), button));
  ASSERT_EQ(machine.CountCalls("EndDialog"), 1u);
  const auto end = std::find_if(machine.calls.begin(), machine.calls.end(),
                                [](const sim::CallRecord& c) { return c.op == "EndDialog"; });
  EXPECT_EQ(end->args, "ptr, 1") << "ended with IDOK";
  dialog.m_hWnd = nullptr;
}

}  // namespace
