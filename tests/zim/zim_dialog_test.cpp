// The program as the person meets it: the warning, the mains power prompts, the flash sequence, and
// what the main dialog shows afterwards, run through the application object.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "platform/framework/framework.h"
#include "platform/sim/demo_machine.h"
#include "support/zim_machine.h"
#include "zim/app/zim_app.h"
#include "zim/app/zim_dlg.h"
#include "zim/resources/resource.h"

namespace {

using namespace win32;
using Bytes = std::vector<std::uint8_t>;

constexpr char kStateKey[] = "Software\\Tarn\\BIOSUPGRADE";
constexpr char kRunOnceKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
constexpr LONG kButtonStyle = 0x40010000;  // as the template has it: hidden, enabled

class ZimDialogTest : public tarn_test::ZimTest {
 protected:
  void SetUp() override {
    ZimTest::SetUp();
    sim::BuildDemoHardware(machine);
    machine.files.AddFile("C:\\TARN\\BIOS\\ZIM.EXE", Bytes(64, 0x4D));
    machine.files.AddFile("C:\\TARN\\BIOS\\A07.HDR", Bytes(1000, 0x5A));
    machine.session.commandLine = "\"C:\\TARN\\BIOS\\ZIM.EXE\" ";
    machine.user.modulePath = "C:\\TARN\\BIOS\\ZIM.EXE";
    machine.registry.SetString(kStateKey, "BiosUpgradeCleanup", "C:\\TARN\\CLEANUP.EXE");
    machine.registry.AddKey(kRunOnceKey);
  }

  // Runs the program as its start-up code does.
  int Run() {
    EXPECT_EQ(AfxGetApp(), &theApp);
    return AfxRunApplication();
  }

  std::vector<UINT> BoxIds() const {
    std::vector<UINT> ids;
    for (const sim::MessageBoxRecord& b : machine.user.boxes) ids.push_back(b.id);
    return ids;
  }
  const sim::DialogRecord& Dialog() const {
    EXPECT_EQ(machine.user.dialogRuns.size(), 1u);
    return machine.user.dialogRuns.at(0);
  }
  const sim::ControlState& Control(int id) const {
    for (const sim::ControlState& c : Dialog().controls)
      if (c.id == id) return c;
    throw std::out_of_range("no such control");
  }
  void Power(std::vector<sim::PowerAnswer> answers) { machine.session.power = std::move(answers); }
  bool FlashSequenceRan() const { return !machine.sleeps.empty(); }

  // Every prompt came before the dialog was visible.
  void ExpectPromptsBeforeTheDialog() const {
    for (const sim::MessageBoxRecord& b : machine.user.boxes) EXPECT_FALSE(b.dialogVisible) << b.id;
    if (Dialog().shown) {
      EXPECT_EQ(Dialog().boxesBefore, machine.user.boxes.size());
    }
  }
};

TEST_F(ZimDialogTest, OnMainsTheWarningIsTheOnlyQuestionAndTheDialogStaysEmptyAfterTheRestartRequest) {
  EXPECT_EQ(Run(), 0);

  ASSERT_EQ(BoxIds(), (std::vector<UINT>{IDS_CLOSE_APPS}));
  const sim::MessageBoxRecord& warning = machine.user.boxes[0];
  EXPECT_EQ(warning.style, MB_OK | MB_ICONEXCLAMATION);
  EXPECT_EQ(warning.helpContext, 4u);
  EXPECT_EQ(warning.caption, "ZIM");

  ASSERT_EQ(machine.session.restarts.size(), 1u);
  EXPECT_TRUE(machine.session.restarts[0].accepted);
  EXPECT_EQ(machine.varn.staged.size(), 1u);
  EXPECT_TRUE(Dialog().shown);
  EXPECT_EQ(Control(IDC_STC_ERRORCODE).text, "");
  EXPECT_EQ(Control(IDC_BTN_OK).style, kButtonStyle);
  // The cleanup program is only registered for the next start, not started.
  EXPECT_TRUE(machine.session.launches.empty());
  ExpectPromptsBeforeTheDialog();
  // With no button to press, the person's OK is Enter.
  EXPECT_EQ(Dialog().closedBy, "enter");
}

TEST_F(ZimDialogTest, OnBatteryTheRequestRepeatsUntilMainsIsAttached) {
  // Still offline after the first OK; a failed query in between keeps the previous status.
  Power({sim::PowerAnswer::Offline(), sim::PowerAnswer::Offline(), sim::PowerAnswer::Failure(),
         sim::PowerAnswer::Online()});
  machine.user.answers = {IDOK, IDOK, IDOK, IDOK};
  Run();

  EXPECT_EQ(BoxIds(), (std::vector<UINT>{IDS_CLOSE_APPS, IDS_ATTACH_AC, IDS_ATTACH_AC, IDS_ATTACH_AC}));
  for (std::size_t i = 1; i < machine.user.boxes.size(); ++i) {
    EXPECT_EQ(machine.user.boxes[i].style, MB_OKCANCEL | MB_ICONEXCLAMATION);
    EXPECT_EQ(machine.user.boxes[i].helpContext, 0u);
    EXPECT_EQ(machine.user.boxes[i].text, "Please attach AC.");
  }
  EXPECT_TRUE(FlashSequenceRan());
  EXPECT_EQ(machine.session.restarts.size(), 1u);
  ExpectPromptsBeforeTheDialog();
}

TEST_F(ZimDialogTest, CancelOnBatteryStartsTheCleanupAndEndsBeforeTheDialogIsShown) {
  Power({sim::PowerAnswer::Offline()});
  machine.user.answers = {IDOK, IDOK, IDCANCEL};
  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(BoxIds(), (std::vector<UINT>{IDS_CLOSE_APPS, IDS_ATTACH_AC, IDS_ATTACH_AC}));
  EXPECT_EQ(machine.session.launches.size(), 1u);
  EXPECT_FALSE(FlashSequenceRan());
  EXPECT_TRUE(machine.varn.staged.empty());
  EXPECT_TRUE(machine.session.restarts.empty());
  EXPECT_FALSE(Dialog().shown);
  EXPECT_EQ(Dialog().closedBy, "init");
  EXPECT_EQ(Dialog().result, IDOK);
}

TEST_F(ZimDialogTest, UndeterminedLineStatusCountsAsMains) {
  Power({sim::PowerAnswer::Unknown()});
  Run();
  EXPECT_EQ(BoxIds(), (std::vector<UINT>{IDS_CLOSE_APPS}));
  EXPECT_EQ(machine.session.restarts.size(), 1u);
}

TEST_F(ZimDialogTest, UnreadablePowerStatusAsksOnceAndOkGoesOn) {
  Power({sim::PowerAnswer::Failure()});  // from then on
  Run();
  ASSERT_EQ(BoxIds(), (std::vector<UINT>{IDS_CLOSE_APPS, IDS_ENSURE_AC}));
  EXPECT_EQ(machine.user.boxes[1].style, MB_OKCANCEL | MB_ICONEXCLAMATION);
  EXPECT_EQ(machine.user.boxes[1].helpContext, 0u);
  EXPECT_TRUE(FlashSequenceRan());
  EXPECT_EQ(machine.session.restarts.size(), 1u);
  EXPECT_TRUE(machine.session.launches.empty());
}

TEST_F(ZimDialogTest, UnreadablePowerStatusCancelledEndsAndStartsTheCleanup) {
  Power({sim::PowerAnswer::Failure()});
  machine.user.answers = {IDOK, IDCANCEL};
  Run();
  EXPECT_EQ(BoxIds(), (std::vector<UINT>{IDS_CLOSE_APPS, IDS_ENSURE_AC}));
  EXPECT_FALSE(FlashSequenceRan());
  EXPECT_EQ(machine.session.launches.size(), 1u);
  EXPECT_FALSE(Dialog().shown);
}

TEST_F(ZimDialogTest, PowerPromptThatCannotBeShownCountsAsCancel) {
  // On battery, with every box after the warning failing: no endless loop, and no flash without
  // the person having been asked.
  Power({sim::PowerAnswer::Offline()});
  machine.FailCall("MessageBoxIndirectA", 2, true);
  Run();
  EXPECT_EQ(BoxIds(), (std::vector<UINT>{IDS_CLOSE_APPS}));
  EXPECT_EQ(machine.CountCalls("MessageBoxIndirectA"), 2u);
  EXPECT_FALSE(FlashSequenceRan());
  EXPECT_EQ(machine.session.launches.size(), 1u);
}

TEST_F(ZimDialogTest, AfterAFailureTheDialogShowsTheErrorCodeAndItsButtonEndsTheProgram) {
  // Staging fails with the retry already used: "ERR6".
  machine.varn.stageFails = true;
  machine.registry.SetString(kStateKey, "retry", "retry");
  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(BoxIds(), (std::vector<UINT>{IDS_CLOSE_APPS}));
  EXPECT_TRUE(Dialog().shown);
  EXPECT_EQ(Control(IDC_STC_ERRORCODE).text, "ERR6");
  const LONG style = Control(IDC_BTN_OK).style;
  EXPECT_EQ(style, kButtonStyle | WS_VISIBLE);
  EXPECT_EQ(style & WS_DISABLED, 0);
  EXPECT_EQ(Dialog().closedBy, "button");
  EXPECT_EQ(Dialog().result, IDOK);
  // The cleanup program started at once, before the dialog showed.
  EXPECT_EQ(machine.session.launches.size(), 1u);
  EXPECT_TRUE(machine.session.restarts.empty());
  ExpectPromptsBeforeTheDialog();
}

TEST_F(ZimDialogTest, EachErrorCodeIsShownExactly) {
  struct Case {
    const char* code;
    bool image;
    std::function<void(sim::Machine&)> arrange;
  };
  const Case cases[] = {
      {"ERR1", true, [](sim::Machine& m) { m.session.tokenAccessDenied = true; }},
      {"ERR2", false, [](sim::Machine&) {}},
      {"ERR5", true, [](sim::Machine& m) { m.session.restartAccepted = false; }},
  };
  for (const Case& c : cases) {
    sim::Machine m;
    sim::Install installed(m);
    zim_host::LoadProgramResources(m.user);
    sim::BuildDemoHardware(m);
    m.files.AddFile("C:\\TARN\\BIOS\\ZIM.EXE", Bytes(64, 0x4D));
    if (c.image) m.files.AddFile("C:\\TARN\\BIOS\\A07.HDR", Bytes(1000, 0x5A));
    m.session.commandLine = "\"C:\\TARN\\BIOS\\ZIM.EXE\" ";
    m.registry.SetString(kStateKey, "BiosUpgradeCleanup", "C:\\TARN\\CLEANUP.EXE");
    m.registry.AddKey(kRunOnceKey);
    c.arrange(m);
    AfxRunApplication();
    ASSERT_EQ(m.user.dialogRuns.size(), 1u) << c.code;
    const sim::DialogRecord& d = m.user.dialogRuns[0];
    EXPECT_EQ(d.controls[0].id, IDC_STC_ERRORCODE);
    EXPECT_EQ(d.controls[0].text, c.code);
    EXPECT_EQ(d.controls[1].style & (WS_VISIBLE | WS_DISABLED), WS_VISIBLE) << c.code;
    EXPECT_EQ(m.session.launches.size(), 1u) << c.code;
    CloseDeviceSlots();  // while this machine's handles are current
  }
}

TEST_F(ZimDialogTest, AfterAFailureTheButtonIsEnabledEvenWhenItStartedDisabled) {
  machine.user.dialogs[IDD_ZIM_DIALOG].items[1].style |= static_cast<DWORD>(WS_DISABLED);
  machine.varn.stageFails = true;
  machine.registry.SetString(kStateKey, "retry", "retry");
  Run();
  EXPECT_EQ(Control(IDC_BTN_OK).style, kButtonStyle | WS_VISIBLE);
  EXPECT_EQ(Dialog().closedBy, "button");
}

TEST_F(ZimDialogTest, AfterAFailureEnterEscapeAndTheCloseBoxAlsoEndTheProgram) {
  machine.varn.stageFails = true;
  const std::pair<sim::CloseAction, INT_PTR> closes[] = {{sim::CloseAction::Enter, IDOK},
                                                         {sim::CloseAction::Escape, IDCANCEL},
                                                         {sim::CloseAction::CloseBox, IDCANCEL}};
  for (const auto& [action, result] : closes) {
    machine.registry.SetString(kStateKey, "retry", "retry");  // each run clears it
    machine.user.close = action;
    EXPECT_EQ(AfxRunApplication(), 0);
    const sim::DialogRecord& run = machine.user.dialogRuns.back();
    EXPECT_EQ(run.controls[0].text, "ERR6");
    EXPECT_EQ(run.result, result);
    EXPECT_NE(run.closedBy, "left open");
    CloseDeviceSlots();
  }
  EXPECT_EQ(machine.user.dialogRuns.size(), 3u);
}

TEST_F(ZimDialogTest, RetryNoticeComesBeforeTheDialogWhichStaysEmpty) {
  // The first staging failure arranges the retry and restarts.
  machine.varn.stageFails = true;
  Run();
  EXPECT_EQ(BoxIds(), (std::vector<UINT>{IDS_CLOSE_APPS, IDS_RETRY_FLASH}));
  EXPECT_EQ(machine.user.boxes[1].style, MB_OK | MB_ICONEXCLAMATION);
  EXPECT_EQ(Control(IDC_STC_ERRORCODE).text, "");
  EXPECT_EQ(Control(IDC_BTN_OK).style, kButtonStyle);
  EXPECT_TRUE(machine.session.launches.empty());
  ExpectPromptsBeforeTheDialog();
}

TEST_F(ZimDialogTest, MinimisedDialogDrawsTheProgramIconCentredAndAnswersTheDragIconQuery) {
  struct Case {
    RECT client;
    int cxIcon, cyIcon;
    int x, y;
  };
  const Case cases[] = {
      {{0, 0, 195, 164}, 32, 32, 82, 66},
      // Smaller than the icon: negative positions, truncated toward zero.
      {{0, 0, 0, 0}, 32, 32, -15, -15},
      {{10, 20, 40, 45}, 32, 32, 0, -3},
      {{0, 0, 8, 3}, 48, 16, -19, -6},
  };
  const HICON programIcon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_ZIM));
  ASSERT_NE(programIcon, nullptr);
  machine.user.minimized = true;
  for (const Case& c : cases) {
    machine.user.clientRect = c.client;
    machine.user.metrics[SM_CXICON] = c.cxIcon;
    machine.user.metrics[SM_CYICON] = c.cyIcon;
    CZimDlg dlg;
    dlg.DoModal();
    const sim::DialogRecord& run = machine.user.dialogRuns.back();
    ASSERT_EQ(run.icons.size(), 1u);
    EXPECT_EQ(run.icons[0].x, c.x) << c.client.right;
    EXPECT_EQ(run.icons[0].y, c.y) << c.client.bottom;
    EXPECT_EQ(run.icons[0].icon, programIcon);
    EXPECT_EQ(run.dragIcon, reinterpret_cast<LRESULT>(programIcon));
    // The background is erased first, with the same device context.
    const auto erase = std::find(run.messages.begin(), run.messages.end(), WM_ICONERASEBKGND);
    EXPECT_NE(erase, run.messages.end());
    CloseDeviceSlots();
  }
}

// A program file without the icon falls back to the system's application icon rather than to none.
TEST_F(ZimDialogTest, WithoutItsOwnIconTheDialogDrawsTheSystemApplicationIcon) {
  machine.user.icons.clear();
  const HICON want = LoadIconA(nullptr, MAKEINTRESOURCEA(IDI_APPLICATION));
  ASSERT_NE(want, nullptr);
  machine.user.minimized = true;
  CZimDlg dlg;
  EXPECT_EQ(dlg.m_hMinimizedIcon, want);
  dlg.DoModal();
  const sim::DialogRecord& run = machine.user.dialogRuns.back();
  ASSERT_EQ(run.icons.size(), 1u);
  EXPECT_EQ(run.icons[0].icon, want);
  EXPECT_EQ(run.dragIcon, reinterpret_cast<LRESULT>(want));
}

TEST_F(ZimDialogTest, DialogThatIsNotMinimisedLeavesThePaintingToTheDialogManager) {
  Run();
  EXPECT_TRUE(Dialog().icons.empty());
  EXPECT_EQ(machine.CountCalls("BeginPaint"), 0u);
  EXPECT_EQ(Dialog().dragIcon, 0);  // not asked while not minimised
}

}  // namespace
