// The main dialog (template 102). All the work happens in its initialisation, before it is first
// shown: the warning, the mains power check and the flash sequence. After a restart request it
// stays empty; after a failure it shows the error code and its OK button.
#pragma once

#include "platform/framework/framework.h"

class CZimDlg : public CDialog {
 public:
  explicit CZimDlg(CWnd* parent = nullptr);

  // True to go on; false when the user cancelled, after the cleanup program was started.
  bool CheckACPower();

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  bool OnInitDialog() override;
  bool OnCommand(win32::WPARAM wParam, win32::LPARAM lParam) override;
  // Draws m_hMinimizedIcon centred while the dialog is minimised.
  bool OnPaint() override;
  win32::HICON OnQueryDragIcon() override { return m_hMinimizedIcon; }

 public:
  CButton m_btnOK;
  CStatic m_stcErrorCode;
  win32::HICON m_hMinimizedIcon;
};
