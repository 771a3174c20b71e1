#include "zim/app/zim_dlg.h"

#include "zim/app/bios_upgrade.h"
#include "zim/resources/resource.h"

using namespace win32;

namespace {

// The program's own icon; the system's application icon when it cannot be loaded.
HICON ProgramIcon() {
  const HICON own = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_ZIM));
  return own != nullptr ? own : LoadIconA(nullptr, MAKEINTRESOURCEA(IDI_APPLICATION));
}

}  // namespace

CZimDlg::CZimDlg(CWnd* parent) : CDialog(IDD_ZIM_DIALOG, parent), m_hMinimizedIcon(ProgramIcon()) {}

void CZimDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_BTN_OK, m_btnOK);
  DDX_Control(pDX, IDC_STC_ERRORCODE, m_stcErrorCode);
}

bool CZimDlg::OnInitDialog() {
  CBiosUpgrade upgrade;
  CDialog::OnInitDialog();

  AfxMessageBox(IDS_CLOSE_APPS, MB_OK, IDS_CLOSE_APPS);
  if (!CheckACPower()) {
    // The dialog closes before it is ever shown.
    OnOK();
    return true;
  }
  if (!upgrade.RunWithShutdownPrivilege()) {
    m_stcErrorCode.SetWindowText(upgrade.GetErrorCode());
    // A style change only: the button shows when the dialog first paints.
    m_btnOK.ModifyStyle(static_cast<DWORD>(WS_DISABLED), static_cast<DWORD>(WS_VISIBLE), 0);
    upgrade.LaunchCleanup(true);
  }
  // After a restart request the dialog shows no text and no button until Windows closes it.
  return true;
}

bool CZimDlg::CheckACPower() {
  CBiosUpgrade upgrade;
  SYSTEM_POWER_STATUS status{};
  bool goOn = true;
  if (GetSystemPowerStatus(&status) == FALSE) {
    // A box that could not be shown counts as Cancel: the user was not asked to attach mains power.
    const int answer = AfxMessageBox(IDS_ENSURE_AC, MB_OKCANCEL, 0);
    goOn = answer != IDCANCEL && answer != 0;
  } else {
    // Any nonzero line status counts as mains power, 255 (unknown) included.
    while (goOn && status.ACLineStatus == 0) {
      const int answer = AfxMessageBox(IDS_ATTACH_AC, MB_OKCANCEL, 0);
      goOn = answer != IDCANCEL && answer != 0;
      // A failed query leaves the previous status.
      SYSTEM_POWER_STATUS now{};
      if (goOn && GetSystemPowerStatus(&now) != FALSE) status = now;
    }
  }
  if (!goOn) upgrade.LaunchCleanup(true);
  return goOn;
}

bool CZimDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (LOWORD(wParam) == IDC_BTN_OK && HIWORD(wParam) == BN_CLICKED) {
    OnOK();
    return true;
  }
  return CDialog::OnCommand(wParam, lParam);
}

bool CZimDlg::OnPaint() {
  if (!IsIconic()) return CDialog::OnPaint();
  PAINTSTRUCT paint{};
  const HDC dc = BeginPaint(m_hWnd, &paint);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int cxIcon = GetSystemMetrics(SM_CXICON);
  const int cyIcon = GetSystemMetrics(SM_CYICON);
  RECT rect{};
  GetClientRect(&rect);
  // Signed arithmetic, truncating toward zero: a client area smaller than the icon gives a
  // negative position.
  const int x = (rect.right - rect.left - cxIcon + 1) / 2;
  const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
  DrawIcon(dc, x, y, m_hMinimizedIcon);
  EndPaint(m_hWnd, &paint);
  return true;
}
