// Resources, message boxes, the modal dialog and painting.
#include "platform/windows/real_api.h"

using win32_backend::as;

namespace win32 {

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size) {
  return ::LoadStringA(as<::HINSTANCE>(instance), id, buffer, size);
}
int MessageBoxIndirectA(const MSGBOXPARAMSA* params) {
  return ::MessageBoxIndirectA(as<const ::MSGBOXPARAMSA*>(params));
}
// Our DLGPROC is stdcall like the platform's, so the procedure is handed over as it is.
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND parent, DLGPROC proc, LPARAM param) {
  return ::DialogBoxParamA(as<::HINSTANCE>(instance), templateName, as<::HWND>(parent), as<::DLGPROC>(proc),
                           param);
}
BOOL EndDialog(HWND dialog, INT_PTR result) { return ::EndDialog(as<::HWND>(dialog), result); }
HWND GetDlgItem(HWND dialog, int id) { return as<HWND>(::GetDlgItem(as<::HWND>(dialog), id)); }
BOOL SetWindowTextA(HWND window, LPCSTR text) { return ::SetWindowTextA(as<::HWND>(window), text); }
LONG GetWindowLongA(HWND window, int index) { return ::GetWindowLongA(as<::HWND>(window), index); }
LONG SetWindowLongA(HWND window, int index, LONG value) {
  return ::SetWindowLongA(as<::HWND>(window), index, value);
}
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageA(as<::HWND>(window), message, wParam, lParam);
}
BOOL IsIconic(HWND window) { return ::IsIconic(as<::HWND>(window)); }
int GetSystemMetrics(int index) { return ::GetSystemMetrics(index); }
BOOL GetClientRect(HWND window, RECT* rect) {
  return ::GetClientRect(as<::HWND>(window), as<::LPRECT>(rect));
}
HDC BeginPaint(HWND window, PAINTSTRUCT* paint) {
  return as<HDC>(::BeginPaint(as<::HWND>(window), as<::LPPAINTSTRUCT>(paint)));
}
BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) {
  return ::EndPaint(as<::HWND>(window), as<const ::PAINTSTRUCT*>(paint));
}
BOOL DrawIcon(HDC dc, int x, int y, HICON icon) { return ::DrawIcon(as<::HDC>(dc), x, y, as<::HICON>(icon)); }
HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
  return as<HICON>(::LoadIconA(as<::HINSTANCE>(instance), name));
}

}  // namespace win32
