#include "zim/app/zim_app.h"

#include "zim/app/zim_dlg.h"

CZimApp theApp;

bool CZimApp::InitInstance() {
  CZimDlg dlg;
  m_pMainWnd = &dlg;
  // Its result, IDOK or IDCANCEL, changes nothing: the program ends either way.
  dlg.DoModal();
  return false;
}
