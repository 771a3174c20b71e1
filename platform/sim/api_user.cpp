// Simulated backend: the program's module and resources, message boxes and the modal dialog, as
// the person at the screen meets them.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/sim/api.h"

namespace win32 {

using sim::api::Args;
using sim::api::Call;

namespace {

constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_INVALID_ICON_HANDLE = 1402;
constexpr DWORD ERROR_INVALID_INDEX = 1413;
constexpr DWORD ERROR_CONTROL_ID_NOT_FOUND = 1421;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

constexpr LONG BS_TYPEMASK = 0xF;
constexpr LONG BS_DEFPUSHBUTTON = 0x1;

// Dialog base units of the template's font: a dialog unit is a quarter of the width and an eighth
// of the height of its average character.
constexpr int kBaseUnitX = 6;
constexpr int kBaseUnitY = 13;

HMODULE ModuleHandle() { return reinterpret_cast<HMODULE>(sim::User::kModuleHandle); }
bool IsOwnModule(HINSTANCE instance) { return instance == nullptr || instance == ModuleHandle(); }

std::string ResourceName(LPCSTR name) {
  const auto value = reinterpret_cast<ULONG_PTR>(name);
  if (value <= 0xFFFF) return "#" + std::to_string(value);
  return sim::api::Text(name);
}

template <class H>
H NewHandle(sim::User& user) {
  const std::uintptr_t value = user.nextWindow;
  user.nextWindow += 4;
  return reinterpret_cast<H>(value);
}

bool Iequals(const std::string& a, const char* b) {
  const std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Delivers a message to a dialog's procedure.
INT_PTR Deliver(sim::DialogRecord& dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  dialog.messages.push_back(message);
  return dialog.proc(dialog.hwnd, message, wParam, lParam);
}

// What the person does once the dialog is visible; gives how it was closed.
std::string CloseDialog(sim::User& user, sim::DialogRecord& dialog) {
  sim::CloseAction action = user.close;
  if (action == sim::CloseAction::Button) {
    for (const sim::ControlState& c : dialog.controls) {
      const bool pushButton = Iequals(c.className, "Button") && (c.style & BS_TYPEMASK) <= BS_DEFPUSHBUTTON;
      if (pushButton && (c.style & WS_VISIBLE) != 0 && (c.style & WS_DISABLED) == 0) {
        Deliver(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(c.id), BN_CLICKED),
                reinterpret_cast<LPARAM>(c.hwnd));
        return "button";
      }
    }
    action = sim::CloseAction::Enter;
  }
  switch (action) {
    case sim::CloseAction::Escape:
      Deliver(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      return "escape";
    case sim::CloseAction::CloseBox:
      // The dialog manager turns an unhandled close into the Cancel command.
      if (Deliver(dialog, WM_SYSCOMMAND, SC_CLOSE, 0) == FALSE && !dialog.endRequested &&
          Deliver(dialog, WM_CLOSE, 0, 0) == FALSE && !dialog.endRequested)
        Deliver(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      return "close box";
    default:
      Deliver(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      return "enter";
  }
}

}  // namespace

// ---- the module and its resources

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  Call call("GetModuleFileNameA", Args(module, size));
  const std::string& path = call.machine().user.modulePath;
  if (call.injected()) return call.Return<DWORD>(0, ERROR_GEN_FAILURE);
  if (!IsOwnModule(module)) return call.Return<DWORD>(0, ERROR_MOD_NOT_FOUND);
  if (buffer == nullptr || size == 0) return call.Return<DWORD>(0, ERROR_INSUFFICIENT_BUFFER);
  if (path.size() < size) {
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return call.Return(static_cast<DWORD>(path.size()));
  }
  // Too small: as much as fits, terminated, and the buffer size as the result.
  std::memcpy(buffer, path.data(), size - 1);
  buffer[size - 1] = '\0';
  return call.Return(size, ERROR_INSUFFICIENT_BUFFER);
}

HMODULE GetModuleHandleA(LPCSTR name) {
  Call call("GetModuleHandleA", Args(name));
  if (call.injected() || name != nullptr) return call.Return<HMODULE>(nullptr, ERROR_MOD_NOT_FOUND);
  return call.Return(ModuleHandle());
}

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size) {
  Call call("LoadStringA", Args(instance, id, size));
  sim::User& user = call.machine().user;
  if (buffer == nullptr || size <= 0) return call.Return(0, ERROR_INVALID_PARAMETER);
  buffer[0] = '\0';
  if (call.injected() || !IsOwnModule(instance)) return call.Return(0, ERROR_RESOURCE_NAME_NOT_FOUND);
  const std::string* text = user.FindString(id);
  if (text == nullptr) return call.Return(0, ERROR_RESOURCE_NAME_NOT_FOUND);
  // The stored text reaches the caller in the ANSI code page, which on this machine is UTF-8;
  // what does not fit is cut off.
  const std::size_t n = std::min(text->size(), static_cast<std::size_t>(size - 1));
  std::memcpy(buffer, text->data(), n);
  buffer[n] = '\0';
  user.lastStringId = id;
  user.lastString.assign(buffer, n);
  return call.Return(static_cast<int>(n));
}

// ---- message boxes

int MessageBoxIndirectA(const MSGBOXPARAMSA* params) {
  const bool valid = params != nullptr && params->cbSize == sizeof(MSGBOXPARAMSA);
  Call call("MessageBoxIndirectA",
            valid ? Args(params->lpszText, params->lpszCaption, params->dwStyle, params->dwContextHelpId)
                  : Args(params));
  sim::User& user = call.machine().user;
  if (!valid) return call.Return(0, ERROR_INVALID_PARAMETER);
  if (call.injected()) return call.Return(0, ERROR_NOT_ENOUGH_MEMORY);
  sim::MessageBoxRecord box;
  box.text = params->lpszText == nullptr ? "" : params->lpszText;
  box.caption = params->lpszCaption == nullptr ? "Error" : params->lpszCaption;
  box.id = box.text == user.lastString ? user.lastStringId : 0;
  box.style = params->dwStyle;
  box.helpContext = params->dwContextHelpId;
  box.owner = params->hwndOwner;
  box.dialogVisible = user.AnyDialogVisible();
  box.answer = user.NextAnswer(box.id, params->dwStyle);
  user.boxes.push_back(box);
  return call.Return(box.answer);
}

// ---- the modal dialog

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND parent, DLGPROC proc, LPARAM param) {
  Call call("DialogBoxParamA", Args(instance, ResourceName(templateName), parent));
  sim::User& user = call.machine().user;
  if (call.injected()) return call.Return<INT_PTR>(-1, ERROR_NOT_ENOUGH_MEMORY);
  if (proc == nullptr) return call.Return<INT_PTR>(-1, ERROR_INVALID_PARAMETER);
  const auto id = reinterpret_cast<ULONG_PTR>(templateName);
  auto found = user.dialogs.find(static_cast<int>(id));
  if (!IsOwnModule(instance) || id > 0xFFFF || found == user.dialogs.end())
    return call.Return<INT_PTR>(-1, ERROR_RESOURCE_NAME_NOT_FOUND);
  const sim::DialogTemplate& t = found->second;

  sim::DialogRecord& dialog = user.dialogRuns.emplace_back();
  dialog.templateId = static_cast<int>(id);
  dialog.hwnd = NewHandle<HWND>(user);
  dialog.caption = t.caption;
  // The dialog manager shows the dialog itself once its initialisation is done.
  dialog.style = static_cast<LONG>(t.style & ~static_cast<DWORD>(WS_VISIBLE));
  dialog.proc = proc;
  for (const sim::DialogItem& item : t.items)
    dialog.controls.push_back({item.id, item.className, item.text, static_cast<LONG>(item.style),
                               NewHandle<HWND>(user), item.width * kBaseUnitX / 4,
                               item.height * kBaseUnitY / 8});
  HWND focus = nullptr;
  for (const sim::ControlState& c : dialog.controls)
    if (focus == nullptr && (c.style & WS_VISIBLE) != 0 && (c.style & WS_DISABLED) == 0) focus = c.hwnd;

  Deliver(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), param);
  if (dialog.endRequested) {
    dialog.closedBy = "init";
  } else {
    dialog.shown = true;
    dialog.style |= WS_VISIBLE;
    dialog.boxesBefore = user.boxes.size();
    Deliver(dialog, WM_PAINT, 0, 0);
    if (user.minimized) dialog.dragIcon = Deliver(dialog, WM_QUERYDRAGICON, 0, 0);
    dialog.closedBy = CloseDialog(user, dialog);
    // An action the dialog ignores leaves it open; here the simulation ends with it open.
    if (!dialog.endRequested) dialog.closedBy = "left open";
  }
  dialog.destroyed = true;
  return call.Return<INT_PTR>(dialog.result);
}

BOOL EndDialog(HWND hwnd, INT_PTR result) {
  Call call("EndDialog", Args(hwnd, static_cast<long long>(result)));
  sim::DialogRecord* dialog = call.machine().user.FindDialog(hwnd);
  if (call.injected() || dialog == nullptr) return call.Return<BOOL>(FALSE, ERROR_INVALID_WINDOW_HANDLE);
  dialog->endRequested = true;
  dialog->result = result;
  return call.Return<BOOL>(TRUE);
}

HWND GetDlgItem(HWND hwnd, int id) {
  Call call("GetDlgItem", Args(hwnd, id));
  sim::DialogRecord* dialog = call.machine().user.FindDialog(hwnd);
  if (call.injected() || dialog == nullptr) return call.Return<HWND>(nullptr, ERROR_INVALID_WINDOW_HANDLE);
  for (const sim::ControlState& c : dialog->controls)
    if (c.id == id) return call.Return(c.hwnd);
  return call.Return<HWND>(nullptr, ERROR_CONTROL_ID_NOT_FOUND);
}

BOOL SetWindowTextA(HWND hwnd, LPCSTR text) {
  Call call("SetWindowTextA", Args(hwnd, text));
  sim::User& user = call.machine().user;
  if (call.injected()) return call.Return<BOOL>(FALSE, ERROR_NOT_ENOUGH_MEMORY);
  const std::string value = text == nullptr ? "" : text;
  if (sim::ControlState* c = user.FindControl(hwnd)) {
    c->text = value;
  } else if (sim::DialogRecord* d = user.FindDialog(hwnd)) {
    d->caption = value;
  } else {
    return call.Return<BOOL>(FALSE, ERROR_INVALID_WINDOW_HANDLE);
  }
  return call.Return<BOOL>(TRUE);
}

namespace {
LONG* StyleOf(sim::User& user, HWND hwnd) {
  if (sim::ControlState* c = user.FindControl(hwnd)) return &c->style;
  if (sim::DialogRecord* d = user.FindDialog(hwnd)) return &d->style;
  return nullptr;
}
}  // namespace

LONG GetWindowLongA(HWND hwnd, int index) {
  Call call("GetWindowLongA", Args(hwnd, index));
  LONG* style = StyleOf(call.machine().user, hwnd);
  if (call.injected() || style == nullptr) return call.Return<LONG>(0, ERROR_INVALID_WINDOW_HANDLE);
  if (index != GWL_STYLE) return call.Return<LONG>(0, ERROR_INVALID_INDEX);
  return call.Return(*style);
}

LONG SetWindowLongA(HWND hwnd, int index, LONG value) {
  Call call("SetWindowLongA", Args(hwnd, index, static_cast<DWORD>(value)));
  LONG* style = StyleOf(call.machine().user, hwnd);
  if (call.injected() || style == nullptr) return call.Return<LONG>(0, ERROR_INVALID_WINDOW_HANDLE);
  if (index != GWL_STYLE) return call.Return<LONG>(0, ERROR_INVALID_INDEX);
  const LONG previous = *style;
  *style = value;
  return call.Return(previous);
}

LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Call call("SendMessageA", Args(hwnd, message, wParam, static_cast<long long>(lParam)));
  sim::User& user = call.machine().user;
  if (sim::DialogRecord* d = user.FindDialog(hwnd))
    return call.Return<LRESULT>(Deliver(*d, message, wParam, lParam));
  if (user.FindControl(hwnd) != nullptr) return call.Return<LRESULT>(0);
  return call.Return<LRESULT>(0, ERROR_INVALID_WINDOW_HANDLE);
}

BOOL IsIconic(HWND hwnd) {
  Call call("IsIconic", Args(hwnd));
  sim::User& user = call.machine().user;
  if (call.injected() || user.FindDialog(hwnd) == nullptr) return call.Return<BOOL>(FALSE);
  return call.Return<BOOL>(user.minimized ? TRUE : FALSE);
}

int GetSystemMetrics(int index) {
  Call call("GetSystemMetrics", Args(index));
  const auto& metrics = call.machine().user.metrics;
  auto it = metrics.find(index);
  if (call.injected() || it == metrics.end()) return call.Return(0);
  return call.Return(it->second);
}

BOOL GetClientRect(HWND hwnd, RECT* rect) {
  Call call("GetClientRect", Args(hwnd));
  sim::User& user = call.machine().user;
  if (call.injected() || rect == nullptr) return call.Return<BOOL>(FALSE, ERROR_INVALID_PARAMETER);
  if (user.FindDialog(hwnd) != nullptr) {
    *rect = user.clientRect;
  } else if (const sim::ControlState* c = user.FindControl(hwnd)) {
    *rect = RECT{0, 0, c->width, c->height};
  } else {
    return call.Return<BOOL>(FALSE, ERROR_INVALID_WINDOW_HANDLE);
  }
  return call.Return<BOOL>(TRUE);
}

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint) {
  Call call("BeginPaint", Args(hwnd));
  sim::User& user = call.machine().user;
  sim::DialogRecord* dialog = user.FindDialog(hwnd);
  if (call.injected() || dialog == nullptr || paint == nullptr)
    return call.Return<HDC>(nullptr, ERROR_INVALID_WINDOW_HANDLE);
  *paint = PAINTSTRUCT{};
  paint->hdc = dialog->paintDc = NewHandle<HDC>(user);
  paint->rcPaint = user.clientRect;
  return call.Return(paint->hdc);
}

BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* paint) {
  Call call("EndPaint", Args(hwnd));
  sim::DialogRecord* dialog = call.machine().user.FindDialog(hwnd);
  if (dialog != nullptr && paint != nullptr && paint->hdc == dialog->paintDc) dialog->paintDc = nullptr;
  return call.Return<BOOL>(TRUE);  // always nonzero
}

BOOL DrawIcon(HDC dc, int x, int y, HICON icon) {
  Call call("DrawIcon", Args(dc, x, y, icon));
  sim::User& user = call.machine().user;
  if (call.injected()) return call.Return<BOOL>(FALSE, ERROR_GEN_FAILURE);
  if (icon == nullptr) return call.Return<BOOL>(FALSE, ERROR_INVALID_ICON_HANDLE);
  for (sim::DialogRecord& d : user.dialogRuns) {
    if (!d.destroyed && dc != nullptr && d.paintDc == dc) {
      d.icons.push_back({dc, x, y, icon});
      return call.Return<BOOL>(TRUE);
    }
  }
  return call.Return<BOOL>(FALSE, ERROR_INVALID_HANDLE);
}

HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
  Call call("LoadIconA", Args(instance, ResourceName(name)));
  const auto id = reinterpret_cast<ULONG_PTR>(name);
  if (call.injected()) return call.Return<HICON>(nullptr, ERROR_RESOURCE_NAME_NOT_FOUND);
  // The program's own icon groups for its module; the system's icons for a null instance.
  if (instance != nullptr) {
    if (!IsOwnModule(instance)) return call.Return<HICON>(nullptr, ERROR_RESOURCE_TYPE_NOT_FOUND);
    if (call.machine().user.icons.count(static_cast<int>(id)) == 0)
      return call.Return<HICON>(nullptr, ERROR_RESOURCE_NAME_NOT_FOUND);
    return call.Return(reinterpret_cast<HICON>(sim::User::kProgramIconBase + id));
  }
  if (id < IDI_APPLICATION || id > IDI_APPLICATION + 6)
    return call.Return<HICON>(nullptr, ERROR_RESOURCE_NAME_NOT_FOUND);
  return call.Return(reinterpret_cast<HICON>(sim::User::kSystemIconBase + id));
}

}  // namespace win32
