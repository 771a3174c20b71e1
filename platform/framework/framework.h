// A small dialog framework: what ZIM needs of an application framework. An application object with
// an initialisation hook, a modal dialog from a template with control binding, control text and
// style changes, and message boxes by catalogue id. It is portable code over the seam: on Windows
// the seam reaches DialogBoxParamA and MessageBoxIndirectA, on the host the simulated person.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

class CWnd;

// The application: one instance with static storage duration registers itself on construction.
class CWinApp {
 public:
  // Without a name the application takes the program's file name without folder and extension.
  explicit CWinApp(const char* appName = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Called once at start. False ends the program without entering a message loop.
  virtual bool InitInstance() { return true; }
  // The exit code.
  virtual int ExitInstance() { return 0; }

  CWnd* m_pMainWnd = nullptr;
  std::string m_strAppName;  // set when the application runs

 private:
  friend int AfxRunApplication();
  std::string m_strGivenName;
};

// The registered application, or null.
CWinApp* AfxGetApp();

// Runs the registered application: names it, calls its initialisation and gives the exit code;
// -1 when no application is registered. Both the Windows entry point and the host harness call it.
int AfxRunApplication();

// The program file's full path, as the platform gives it; empty when it cannot be had.
std::string AfxGetModulePath();
// The program's file name without folder and extension, as the module path gives it.
std::string AfxGetModuleName();

// A window the program holds a handle of: the dialog itself, or one of its controls.
class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  win32::HWND GetSafeHwnd() const { return m_hWnd; }
  bool SetWindowText(const std::string& text);
  win32::LONG GetStyle() const;
  // Changes the window style; with `flags` 0 there is no frame update. True when the style changed.
  bool ModifyStyle(win32::DWORD remove, win32::DWORD add, win32::UINT flags = 0);
  bool IsIconic() const;
  bool GetClientRect(win32::RECT* rect) const;
  win32::LRESULT SendMessage(win32::UINT message, win32::WPARAM wParam = 0, win32::LPARAM lParam = 0);

  win32::HWND m_hWnd = nullptr;
};

class CButton : public CWnd {};
class CStatic : public CWnd {};

class CDialog;

// The direction and target of one data exchange.
class CDataExchange {
 public:
  CDataExchange(CDialog* dialog, bool saveAndValidate)
      : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
  CDialog* m_pDlgWnd;
  bool m_bSaveAndValidate;
};

// Binds `control` to the dialog's control `id` the first time; later exchanges leave it bound.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);

// A modal dialog from a template.
class CDialog : public CWnd {
 public:
  explicit CDialog(win32::UINT templateId, CWnd* parent = nullptr);
  ~CDialog() override;

  // Runs the dialog until it ends; its result, or -1 when it could not be created.
  virtual win32::INT_PTR DoModal();
  void EndDialog(int result);
  // Runs the data exchange; false when it failed.
  bool UpdateData(bool saveAndValidate = true);

 protected:
  // WM_INITDIALOG: binds the controls (data exchange towards the dialog). True lets the dialog
  // manager give the focus to the first control that takes it.
  virtual bool OnInitDialog();
  virtual void DoDataExchange(CDataExchange* pDX);
  // OK: data exchange in the saving direction, then the dialog ends with IDOK.
  virtual void OnOK();
  // Cancel (Escape, the close box): the dialog ends with IDCANCEL.
  virtual void OnCancel();
  // WM_COMMAND; true when handled. The default handles IDOK and IDCANCEL.
  virtual bool OnCommand(win32::WPARAM wParam, win32::LPARAM lParam);
  // WM_PAINT; false leaves the painting to the dialog manager.
  virtual bool OnPaint() { return false; }
  // WM_QUERYDRAGICON; null leaves the answer to the dialog manager.
  virtual win32::HICON OnQueryDragIcon() { return nullptr; }

 private:
  static win32::INT_PTR WINAPI DialogProc(win32::HWND hwnd, win32::UINT message, win32::WPARAM wParam,
                                          win32::LPARAM lParam);
  friend void DDX_Control(CDataExchange* pDX, int id, CWnd& control);

  win32::UINT m_nIDTemplate;
  CWnd* m_pParentWnd;
  std::vector<CWnd*> m_boundControls;  // unbound again when the dialog ends
};

// Shows the catalogue message `idPrompt` in a modal message box: `type` holds the buttons, and the
// exclamation icon is added when it names no icon; the caption is the program's file name without
// folder and extension. Gives the button pressed (IDOK or IDCANCEL).
int AfxMessageBox(win32::UINT idPrompt, win32::UINT type = win32::MB_OK, win32::UINT helpContext = 0);
