// The dialog framework over the simulated person: message boxes by catalogue id, the application
// run, the modal dialog with control binding, text and style changes, and how the person closes it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "hosts/zim/program_resources.h"
#include "platform/framework/framework.h"
#include "platform/sim/machine.h"

namespace {

using namespace win32;

// The framework runs ZIM's resources here: its message boxes are the catalogue's.
class FrameworkTest : public ::testing::Test {
 protected:
  FrameworkTest() { zim_host::LoadProgramResources(machine.user); }
  const std::vector<sim::MessageBoxRecord>& boxes() const { return machine.user.boxes; }

  sim::Machine machine;
  sim::Install installed{machine};
};

// ---- message boxes

TEST_F(FrameworkTest, MessageBoxShowsTheCatalogueTextWithExclamationIconAndProgramNameAsCaption) {
  machine.user.modulePath = "C:\\Program Files\\Tarn.Tools\\ZIM.EXE";
  EXPECT_EQ(AfxMessageBox(4, MB_OK, 4), IDOK);
  EXPECT_EQ(AfxMessageBox(2, MB_OKCANCEL), IDOK);

  ASSERT_EQ(boxes().size(), 2u);
  EXPECT_EQ(boxes()[0].id, 4u);
  EXPECT_EQ(boxes()[0].text,
            "Please close all applications. Remove any media from the drives and any external devices. Your "
            "system will reboot and update your BIOS at this time.");
  EXPECT_EQ(boxes()[0].caption, "ZIM");
  EXPECT_EQ(boxes()[0].style, MB_OK | MB_ICONEXCLAMATION);
  EXPECT_EQ(boxes()[0].helpContext, 4u);
  EXPECT_EQ(boxes()[0].owner, nullptr);  // no application window
  EXPECT_EQ(boxes()[1].text, "Please ensure AC is attached before continuing.");
  EXPECT_EQ(boxes()[1].style, MB_OKCANCEL | MB_ICONEXCLAMATION);
  EXPECT_EQ(boxes()[1].helpContext, 0u);
}

TEST_F(FrameworkTest, MessageBoxKeepsAnIconTheCallerNames) {
  constexpr UINT MB_ICONHAND = 0x10;
  AfxMessageBox(3, MB_OK | MB_ICONHAND);
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_EQ(boxes()[0].style, MB_OK | MB_ICONHAND);
}

TEST_F(FrameworkTest, CaptionIsTheFileNameWithoutFolderAndExtensionHoweverLongThePath) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"C:\\TARN\\BIOS\\ZIM.EXE", "ZIM"},
      {"D:\\a.b\\flash.update.exe", "flash.update"},
      {"C:\\NOEXT\\ZIM", "ZIM"},
      {"ZIM.EXE", "ZIM"},
      // Longer than the first buffer the name is read into.
      {"C:\\" + std::string(300, 'x') + "\\" + std::string(20, 'y') + ".exe", std::string(20, 'y')},
  };
  for (const auto& [path, caption] : cases) {
    machine.user.modulePath = path;
    AfxMessageBox(1, MB_OKCANCEL);
    EXPECT_EQ(boxes().back().caption, caption) << path;
  }
}

TEST_F(FrameworkTest, ScriptedAnswersComeFirstThenOkExceptCancelAtMessageOne) {
  machine.user.answers = {IDCANCEL, IDOK, IDCANCEL};
  EXPECT_EQ(AfxMessageBox(1, MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(AfxMessageBox(1, MB_OKCANCEL), IDOK);
  // Escape in a box with only OK gives IDOK.
  EXPECT_EQ(AfxMessageBox(4, MB_OK), IDOK);
  EXPECT_EQ(AfxMessageBox(2, MB_OKCANCEL), IDOK);
  EXPECT_EQ(AfxMessageBox(1, MB_OKCANCEL), IDCANCEL);
  ASSERT_EQ(boxes().size(), 5u);
  EXPECT_EQ(boxes()[2].answer, IDOK);
}

TEST_F(FrameworkTest, MessageBoxThatCannotBeShownGivesZero) {
  machine.FailCall("MessageBoxIndirectA", 1);
  EXPECT_EQ(AfxMessageBox(1, MB_OKCANCEL), 0);
  EXPECT_TRUE(boxes().empty());
  // A text that cannot be loaded still leaves the person a box to answer.
  machine.FailCall("LoadStringA", 2);
  EXPECT_EQ(AfxMessageBox(2, MB_OKCANCEL), IDOK);
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_EQ(boxes()[0].text, "");
}

// ---- the application

class TestApp : public CWinApp {
 public:
  using CWinApp::CWinApp;
  bool InitInstance() override {
    ++inits;
    nameDuringInit = m_strAppName;
    return result;
  }
  int ExitInstance() override { return 7; }
  int inits = 0;
  bool result = false;
  std::string nameDuringInit;
};

TEST_F(FrameworkTest, RunWithoutApplicationFails) { EXPECT_EQ(AfxRunApplication(), -1); }

TEST_F(FrameworkTest, RunNamesTheApplicationAfterTheProgramAndCallsItsInitialisationOnce) {
  machine.user.modulePath = "C:\\TOOLS\\FLASHER.EXE";
  TestApp app;
  EXPECT_EQ(AfxGetApp(), &app);
  EXPECT_EQ(AfxRunApplication(), 7);
  EXPECT_EQ(app.inits, 1);
  EXPECT_EQ(app.nameDuringInit, "FLASHER");
  app.result = true;  // no message loop either way
  EXPECT_EQ(AfxRunApplication(), 7);
  EXPECT_EQ(app.inits, 2);
}

TEST_F(FrameworkTest, NamedApplicationCaptionsItsBoxesWithItsName) {
  TestApp app("Tarn flash");
  AfxRunApplication();
  AfxMessageBox(4);
  EXPECT_EQ(boxes().back().caption, "Tarn flash");
}

// ---- the modal dialog (template 102: static 1001, hidden push button 1002)

class TestDialog : public CDialog {
 public:
  TestDialog() : CDialog(102) {}
  std::function<void(TestDialog&)> onInit;
  bool initResult = true;
  CButton m_btn;
  CStatic m_text;
  std::vector<bool> exchanges;  // the direction of each data exchange
  int clicks = 0;
  using CDialog::EndDialog;

 protected:
  void DoDataExchange(CDataExchange* pDX) override {
    exchanges.push_back(pDX->m_bSaveAndValidate);
    DDX_Control(pDX, 1002, m_btn);
    DDX_Control(pDX, 1001, m_text);
  }
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    if (onInit) onInit(*this);
    return initResult;
  }
  bool OnCommand(WPARAM wParam, LPARAM lParam) override {
    if (LOWORD(wParam) == 1002 && HIWORD(wParam) == BN_CLICKED) {
      ++clicks;
      OnOK();
      return true;
    }
    return CDialog::OnCommand(wParam, lParam);
  }
};

const sim::ControlState& Control(const sim::DialogRecord& d, int id) {
  for (const sim::ControlState& c : d.controls)
    if (c.id == id) return c;
  throw std::out_of_range("no control");
}

TEST_F(FrameworkTest, DialogBindsControlsChangesTextAndStyleAndEndsThroughItsButton) {
  TestDialog dlg;
  HWND boundButton = nullptr;
  dlg.onInit = [&](TestDialog& d) {
    boundButton = d.m_btn.GetSafeHwnd();
    EXPECT_NE(boundButton, nullptr);
    EXPECT_NE(d.m_text.GetSafeHwnd(), nullptr);
    EXPECT_TRUE(d.m_text.SetWindowText("ERR4"));
    const std::size_t callsBefore = machine.calls.size();
    EXPECT_TRUE(d.m_btn.ModifyStyle(static_cast<DWORD>(WS_DISABLED), static_cast<DWORD>(WS_VISIBLE)));
    // A style change only: read and write the style, nothing else.
    ASSERT_EQ(machine.calls.size(), callsBefore + 2);
    EXPECT_EQ(machine.calls[callsBefore].op, "GetWindowLongA");
    EXPECT_EQ(machine.calls[callsBefore + 1].op, "SetWindowLongA");
    // Nothing to change: no write.
    EXPECT_FALSE(d.m_btn.ModifyStyle(0, static_cast<DWORD>(WS_VISIBLE)));
    EXPECT_EQ(machine.CountCalls("SetWindowLongA"), 1u);
  };
  EXPECT_EQ(dlg.DoModal(), IDOK);

  ASSERT_EQ(machine.user.dialogRuns.size(), 1u);
  const sim::DialogRecord& run = machine.user.dialogRuns[0];
  EXPECT_EQ(run.templateId, 102);
  EXPECT_TRUE(run.shown);
  EXPECT_EQ(run.closedBy, "button");
  EXPECT_EQ(dlg.clicks, 1);
  EXPECT_EQ(Control(run, 1001).text, "ERR4");
  EXPECT_EQ(Control(run, 1002).style, 0x50010000);
  EXPECT_EQ(Control(run, 1002).hwnd, boundButton);
  // Bound towards the dialog at the start, saved by OK at the end.
  EXPECT_EQ(dlg.exchanges, (std::vector<bool>{false, true}));
  // The windows are gone: nothing stays bound.
  EXPECT_EQ(dlg.GetSafeHwnd(), nullptr);
  EXPECT_EQ(dlg.m_btn.GetSafeHwnd(), nullptr);
  EXPECT_FALSE(dlg.m_text.SetWindowText("late"));
}

TEST_F(FrameworkTest, PersonClosesWithEnterEscapeOrTheCloseBox) {
  struct Case {
    sim::CloseAction action;
    INT_PTR result;
    const char* closedBy;
  };
  const Case cases[] = {
      // The button is hidden, so pressing it falls back to Enter.
      {sim::CloseAction::Button, IDOK, "enter"},
      {sim::CloseAction::Enter, IDOK, "enter"},
      {sim::CloseAction::Escape, IDCANCEL, "escape"},
      {sim::CloseAction::CloseBox, IDCANCEL, "close box"},
  };
  for (const Case& c : cases) {
    machine.user.close = c.action;
    TestDialog dlg;
    EXPECT_EQ(dlg.DoModal(), c.result) << c.closedBy;
    EXPECT_EQ(machine.user.dialogRuns.back().closedBy, c.closedBy);
    EXPECT_EQ(dlg.clicks, 0);
  }
}

TEST_F(FrameworkTest, DisabledButtonIsNotPressed) {
  TestDialog dlg;
  dlg.onInit = [](TestDialog& d) { d.m_btn.ModifyStyle(0, static_cast<DWORD>(WS_VISIBLE | WS_DISABLED)); };
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_EQ(dlg.clicks, 0);
  EXPECT_EQ(machine.user.dialogRuns.back().closedBy, "enter");
}

TEST_F(FrameworkTest, DialogBecomesVisibleOnlyAfterItsInitialisationAndNotWhenItEndedThere) {
  TestDialog shown;
  shown.onInit = [&](TestDialog&) {
    EXPECT_EQ(AfxMessageBox(4), IDOK);
    EXPECT_FALSE(machine.user.AnyDialogVisible());
  };
  shown.DoModal();
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_FALSE(boxes()[0].dialogVisible);
  EXPECT_TRUE(machine.user.dialogRuns[0].shown);
  EXPECT_EQ(machine.user.dialogRuns[0].boxesBefore, 1u);

  TestDialog ended;
  ended.onInit = [](TestDialog& d) { d.EndDialog(IDCANCEL); };
  EXPECT_EQ(ended.DoModal(), IDCANCEL);
  const sim::DialogRecord& run = machine.user.dialogRuns[1];
  EXPECT_FALSE(run.shown);
  EXPECT_EQ(run.closedBy, "init");
  // It never painted and was never closed by the person.
  EXPECT_EQ(run.messages, (std::vector<UINT>{WM_INITDIALOG}));
}

TEST_F(FrameworkTest, MessageBoxDuringTheDialogIsOwnedByTheMainWindow) {
  TestApp app;
  TestDialog dlg;
  app.m_pMainWnd = &dlg;
  HWND during = nullptr;
  dlg.onInit = [&](TestDialog& d) {
    during = d.GetSafeHwnd();
    AfxMessageBox(4);
  };
  dlg.DoModal();
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_NE(during, nullptr);
  EXPECT_EQ(boxes()[0].owner, during);
}

TEST_F(FrameworkTest, MainWindowIsForgottenWhenTheWindowObjectGoes) {
  TestApp app;
  {
    TestDialog dlg;
    app.m_pMainWnd = &dlg;
  }
  EXPECT_EQ(app.m_pMainWnd, nullptr);
}

TEST_F(FrameworkTest, DialogThatCannotBeCreatedGivesMinusOne) {
  machine.FailCall("DialogBoxParamA", 1);
  TestDialog dlg;
  bool initialised = false;
  dlg.onInit = [&](TestDialog&) { initialised = true; };
  EXPECT_EQ(dlg.DoModal(), -1);
  EXPECT_FALSE(initialised);

  CDialog missing(4711);
  EXPECT_EQ(missing.DoModal(), -1);
}

TEST_F(FrameworkTest, MinimisedDialogWithoutPaintingOfItsOwnLeavesItToTheDialogManager) {
  machine.user.minimized = true;
  TestDialog dlg;
  dlg.DoModal();
  const sim::DialogRecord& run = machine.user.dialogRuns[0];
  EXPECT_EQ(run.messages, (std::vector<UINT>{WM_INITDIALOG, WM_PAINT, WM_QUERYDRAGICON, WM_COMMAND}));
  EXPECT_EQ(run.dragIcon, 0);
  EXPECT_TRUE(run.icons.empty());
}

}  // namespace
