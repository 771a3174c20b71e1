// The application object, its run, and message boxes by catalogue id.
#include <vector>

#include "platform/framework/framework.h"

using namespace win32;

namespace {
CWinApp* g_app = nullptr;
}

CWinApp::CWinApp(const char* appName) : m_strGivenName(appName == nullptr ? "" : appName) {
  if (g_app == nullptr) g_app = this;
}

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

CWinApp* AfxGetApp() { return g_app; }

int AfxRunApplication() {
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return -1;
  app->m_strAppName = app->m_strGivenName.empty() ? AfxGetModuleName() : app->m_strGivenName;
  // The framework has no message loop of its own: whatever the initialisation gives, the program
  // ends when it returns.
  app->InitInstance();
  return app->ExitInstance();
}

std::string AfxGetModulePath() {
  std::vector<char> path(MAX_PATH);
  DWORD n = 0;
  // A result that fills the buffer may have been cut off: ask again with more room.
  while ((n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()))) == path.size() &&
         path.size() < 32768)
    path.resize(path.size() * 2);
  if (n == 0 || n >= path.size()) return "";
  return std::string(path.data(), n);
}

std::string AfxGetModuleName() {
  std::string name = AfxGetModulePath();
  const auto slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const auto dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

namespace {

// The catalogue text of `id`, empty when there is none.
std::string LoadText(HINSTANCE module, UINT id) {
  std::vector<char> buffer(256);
  for (;;) {
    const int n = LoadStringA(module, id, buffer.data(), static_cast<int>(buffer.size()));
    // A text that fills the buffer may have been cut off: load it again with more room.
    if (n <= 0) return "";
    if (static_cast<std::size_t>(n) < buffer.size() - 1 || buffer.size() >= 65536)
      return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

int AfxMessageBox(UINT idPrompt, UINT type, UINT helpContext) {
  const HINSTANCE module = GetModuleHandleA(nullptr);
  const std::string text = LoadText(module, idPrompt);
  const CWinApp* app = AfxGetApp();
  const std::string caption =
      app != nullptr && !app->m_strAppName.empty() ? app->m_strAppName : AfxGetModuleName();
  if ((type & MB_ICONMASK) == 0) type |= MB_ICONEXCLAMATION;

  MSGBOXPARAMSA params{};
  params.cbSize = sizeof params;
  params.hwndOwner = app != nullptr && app->m_pMainWnd != nullptr ? app->m_pMainWnd->GetSafeHwnd() : nullptr;
  params.hInstance = module;
  params.lpszText = text.c_str();
  params.lpszCaption = caption.c_str();
  params.dwStyle = type;
  params.dwContextHelpId = helpContext;
  return MessageBoxIndirectA(&params);
}
