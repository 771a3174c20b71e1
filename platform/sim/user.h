// Simulated machine: the person at the screen, the user-interface language, the running program's
// module and its resources (string tables and dialog templates), and the modal dialog.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace sim {

// A dialog template as the resource loader holds it.
struct DialogItem {
  int id = 0;
  std::string className;
  std::string text;
  win32::DWORD style = 0;
  int width = 0, height = 0;  // dialog units
};
struct DialogTemplate {
  win32::DWORD style = 0;
  std::string caption;
  int width = 0, height = 0;  // dialog units
  std::vector<DialogItem> items;
};

// One language block of the string table: id to text.
struct StringBlock {
  win32::WORD language = 0;
  std::map<win32::UINT, std::string> texts;
};

// One message box as it appeared on the screen.
struct MessageBoxRecord {
  win32::UINT id = 0;  // the string id the text was loaded by; 0 when it came from elsewhere
  std::string text;
  std::string caption;
  win32::DWORD style = 0;  // buttons, icon and the other MB_ bits
  win32::DWORD_PTR helpContext = 0;
  win32::HWND owner = nullptr;
  bool dialogVisible = false;  // a dialog was already visible when the box appeared
  int answer = 0;
};

// How the person closes a dialog once it is visible.
enum class CloseAction {
  Button,    // clicks the first visible and enabled push button; presses Enter when there is none
  Enter,     // WM_COMMAND IDOK
  Escape,    // WM_COMMAND IDCANCEL
  CloseBox,  // WM_SYSCOMMAND SC_CLOSE
};

struct DrawIconRecord {
  win32::HDC dc = nullptr;
  int x = 0, y = 0;
  win32::HICON icon = nullptr;
};

// One control of a live dialog.
struct ControlState {
  int id = 0;
  std::string className;
  std::string text;
  win32::LONG style = 0;
  win32::HWND hwnd = nullptr;
  int width = 0, height = 0;  // pixels
};

// One run of a modal dialog, kept after it ends.
struct DialogRecord {
  int templateId = 0;
  win32::HWND hwnd = nullptr;
  std::string caption;
  win32::LONG style = 0;
  bool shown = false;           // it became visible (its initialisation returned without ending it)
  std::size_t boxesBefore = 0;  // message boxes shown before it became visible
  // "init" when it ended in its initialisation; else how the person closed it: "button", "enter",
  // "escape", "close box", or "left open" when the dialog ignored that action.
  std::string closedBy;
  win32::INT_PTR result = 0;
  std::vector<ControlState> controls;  // as they were when the dialog ended
  std::vector<DrawIconRecord> icons;   // icons drawn into it
  win32::LRESULT dragIcon = 0;         // its answer to WM_QUERYDRAGICON, asked while minimised
  std::vector<win32::UINT> messages;   // every message its procedure received, in order
  bool endRequested = false;           // EndDialog was called
  bool destroyed = false;              // the dialog is gone; only this record remains
  win32::DLGPROC proc = nullptr;
  win32::HDC paintDc = nullptr;  // between BeginPaint and EndPaint
};

class User {
 public:
  // ---- the program and its resources: whoever builds the machine loads the program's string
  // tables and dialog templates, as Windows reads them from the program file
  std::string modulePath = "C:\\TARN\\BIOS\\ZIM.EXE";
  win32::WORD uiLanguage = 0x0409;   // the user-interface language (LANGID)
  std::vector<StringBlock> strings;  // language blocks, in resource order
  std::map<int, DialogTemplate> dialogs;
  std::set<int> icons;  // the ids of its icon groups

  // The text the resource loader gives for `id` in the user-interface language: the block of
  // exactly that LANGID, else the first block of the same primary language, else 0x0409. Null
  // when the chosen block lacks the id.
  const std::string* FindString(win32::UINT id) const;

  // ---- the person
  std::deque<int> answers;  // IDOK / IDCANCEL for the next message boxes, in order
  CloseAction close = CloseAction::Button;

  // Answer for a box: the next scripted one; when they have run out, OK, except Cancel for a box
  // showing message 1 so that no run waits forever for mains power. A box without a Cancel button
  // answers IDOK whatever was pressed.
  int NextAnswer(win32::UINT stringId, win32::UINT buttons);

  // ---- the screen
  bool minimized = false;  // the dialog is minimised (IsIconic)
  std::map<int, int> metrics{{win32::SM_CXICON, 32}, {win32::SM_CYICON, 32}};
  win32::RECT clientRect{0, 0, 195, 164};  // the dialog's client area in pixels

  // ---- what happened
  std::vector<MessageBoxRecord> boxes;
  std::deque<DialogRecord> dialogRuns;  // a deque: records stay put while a dialog runs
  DialogRecord* FindDialog(win32::HWND hwnd);
  ControlState* FindControl(win32::HWND hwnd);
  // A dialog is visible now.
  bool AnyDialogVisible() const;

  // Set by LoadStringA: the id and text last loaded, so a box showing that text knows its id.
  win32::UINT lastStringId = 0;
  std::string lastString;

  // Handles of the module, the system's icons and new windows and device contexts.
  static constexpr std::uintptr_t kModuleHandle = 0x00400000;
  static constexpr std::uintptr_t kSystemIconBase = 0x00020000;   // + the icon's resource id
  static constexpr std::uintptr_t kProgramIconBase = 0x00030000;  // + the icon group's id
  std::uintptr_t nextWindow = 0x00010000;
};

}  // namespace sim
