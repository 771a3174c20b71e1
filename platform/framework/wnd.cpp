// Windows and controls the program holds, and the modal dialog.
#include <algorithm>
#include <map>

#include "platform/framework/framework.h"

using namespace win32;

CWnd::~CWnd() {
  // The application never points at a window object that is gone.
  if (CWinApp* app = AfxGetApp(); app != nullptr && app->m_pMainWnd == this) app->m_pMainWnd = nullptr;
}

bool CWnd::SetWindowText(const std::string& text) {
  return m_hWnd != nullptr && SetWindowTextA(m_hWnd, text.c_str()) != FALSE;
}

LONG CWnd::GetStyle() const { return m_hWnd == nullptr ? 0 : GetWindowLongA(m_hWnd, GWL_STYLE); }

bool CWnd::ModifyStyle(DWORD remove, DWORD add, UINT flags) {
  if (m_hWnd == nullptr) return false;
  const auto style = static_cast<DWORD>(GetWindowLongA(m_hWnd, GWL_STYLE));
  const DWORD changed = (style & ~remove) | add;
  if (changed == style) return false;
  SetWindowLongA(m_hWnd, GWL_STYLE, static_cast<LONG>(changed));
  // A frame update (flags != 0) is not needed by this program and not offered.
  static_cast<void>(flags);
  return true;
}

bool CWnd::IsIconic() const { return m_hWnd != nullptr && ::win32::IsIconic(m_hWnd) != FALSE; }

bool CWnd::GetClientRect(RECT* rect) const {
  return m_hWnd != nullptr && ::win32::GetClientRect(m_hWnd, rect) != FALSE;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return m_hWnd == nullptr ? 0 : SendMessageA(m_hWnd, message, wParam, lParam);
}

// ---- the modal dialog

namespace {
// Dialogs that are running, by window; the dialog procedure finds its object here.
std::map<HWND, CDialog*>& RunningDialogs() {
  static std::map<HWND, CDialog*> dialogs;
  return dialogs;
}
}  // namespace

CDialog::CDialog(UINT templateId, CWnd* parent) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog() {
  auto& running = RunningDialogs();
  for (auto it = running.begin(); it != running.end();)
    it = it->second == this ? running.erase(it) : std::next(it);
}

INT_PTR CDialog::DoModal() {
  const HWND parent = m_pParentWnd == nullptr ? nullptr : m_pParentWnd->GetSafeHwnd();
  const INT_PTR result =
      DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(static_cast<WORD>(m_nIDTemplate)), parent,
                      &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
  // The windows are gone: nothing stays bound to them.
  RunningDialogs().erase(m_hWnd);
  m_hWnd = nullptr;
  for (CWnd* control : m_boundControls) control->m_hWnd = nullptr;
  m_boundControls.clear();
  return result;
}

void CDialog::EndDialog(int result) {
  if (m_hWnd != nullptr) ::win32::EndDialog(m_hWnd, result);
}

bool CDialog::UpdateData(bool saveAndValidate) {
  CDataExchange dx(this, saveAndValidate);
  DoDataExchange(&dx);
  return true;
}

bool CDialog::OnInitDialog() {
  UpdateData(false);
  return true;
}

void CDialog::DoDataExchange(CDataExchange*) {}

void CDialog::OnOK() {
  if (!UpdateData(true)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

bool CDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
  // Menus and accelerators come without a control; buttons with BN_CLICKED.
  if (lParam != 0 && HIWORD(wParam) != BN_CLICKED) return false;
  switch (LOWORD(wParam)) {
    case IDOK:
      OnOK();
      return true;
    case IDCANCEL:
      OnCancel();
      return true;
    default:
      return false;
  }
}

INT_PTR WINAPI CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto& running = RunningDialogs();
  if (message == WM_INITDIALOG) {
    auto* dialog = reinterpret_cast<CDialog*>(lParam);
    dialog->m_hWnd = hwnd;
    running[hwnd] = dialog;
    return dialog->OnInitDialog() ? TRUE : FALSE;
  }
  auto it = running.find(hwnd);
  if (it == running.end()) return FALSE;
  CDialog* dialog = it->second;
  switch (message) {
    case WM_COMMAND:
      return dialog->OnCommand(wParam, lParam) ? TRUE : FALSE;
    case WM_PAINT:
      return dialog->OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(dialog->OnQueryDragIcon());
    default:
      return FALSE;
  }
}

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
  if (control.m_hWnd != nullptr) return;
  CDialog* dialog = pDX->m_pDlgWnd;
  control.m_hWnd = GetDlgItem(dialog->m_hWnd, id);
  if (control.m_hWnd != nullptr) dialog->m_boundControls.push_back(&control);
}
