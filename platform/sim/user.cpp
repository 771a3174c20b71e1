#include "platform/sim/user.h"

namespace sim {

const std::string* User::FindString(win32::UINT id) const {
  const StringBlock* chosen = nullptr;
  for (const StringBlock& b : strings)
    if (b.language == uiLanguage) chosen = &b;
  for (const StringBlock& b : strings)
    if (chosen == nullptr && (b.language & 0x3FF) == (uiLanguage & 0x3FF)) chosen = &b;
  for (const StringBlock& b : strings)
    if (chosen == nullptr && b.language == 0x0409) chosen = &b;
  if (chosen == nullptr) return nullptr;
  auto it = chosen->texts.find(id);
  return it == chosen->texts.end() ? nullptr : &it->second;
}

int User::NextAnswer(win32::UINT stringId, win32::UINT buttons) {
  int answer = win32::IDOK;
  if (!answers.empty()) {
    answer = answers.front();
    answers.pop_front();
  } else if (stringId == 1) {
    answer = win32::IDCANCEL;
  }
  // Without a Cancel button, Escape and the close box also give IDOK.
  const bool hasCancel = (buttons & win32::MB_TYPEMASK) == win32::MB_OKCANCEL;
  return hasCancel ? answer : win32::IDOK;
}

DialogRecord* User::FindDialog(win32::HWND hwnd) {
  for (DialogRecord& d : dialogRuns)
    if (d.hwnd == hwnd && !d.destroyed) return &d;
  return nullptr;
}

ControlState* User::FindControl(win32::HWND hwnd) {
  for (DialogRecord& d : dialogRuns)
    if (!d.destroyed)
      for (ControlState& c : d.controls)
        if (c.hwnd == hwnd) return &c;
  return nullptr;
}

bool User::AnyDialogVisible() const {
  for (const DialogRecord& d : dialogRuns)
    if (d.shown && !d.destroyed) return true;
  return false;
}

}  // namespace sim
