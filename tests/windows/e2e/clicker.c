/* clicker: the person at the screen for the end-to-end runs of ZIM under Wine.
     clicker LOG SECONDS [PROGRAM|--probe]
   With PROGRAM it first starts that program the way the shell does (the quoted path and a space as
   the command line); with TARN_COMMAND_LINE set, with that command line instead, and with
   TARN_START_IN set, from that folder (made the clicker's own current directory first, as a command
   prompt's is, so that a relative name is found there).
   Then, until SECONDS have passed or C:\varn\stop exists, it watches the dialogs of every process
   and writes one line to LOG for each thing it sees:
     message [OK]: "TEXT"          a message box, answered with its OK button
     dialog "TEXT" OK visible      ZIM's main dialog (static 1001, button 1002); a visible OK is pressed
     dialog "TEXT" OK hidden       ... the dialog shown without its button (a restart is under way)
     window CLASS "TITLE"          any other dialog (for example, Wine's crash dialog)
   Message texts are written with each run of white space turned into one space, ends trimmed.
   With --probe it shows a message box of its own ("probe") and ends as soon as it has answered it:
   whether windows can be shown and pressed on this machine at all.
   With TARN_SHOTS set to a folder, it waits before answering each thing it sees until a picture of
   it has been taken (see Shoot), numbered as the lines of LOG. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define MAX_SEEN 256

typedef struct {
  HWND hwnd;
  char state[600];
} Seen;

static Seen g_seen[MAX_SEEN];
static int g_seenCount;
static HANDLE g_log;
static int g_shots;

static void Log(const char* line) {
  DWORD written;
  WriteFile(g_log, line, (DWORD)strlen(line), &written, NULL);
  WriteFile(g_log, "\r\n", 2, &written, NULL);
  FlushFileBuffers(g_log);
}

static DWORD WINAPI ShowProbe(LPVOID unused) {
  (void)unused;
  MessageBoxA(NULL, "probe", "probe", MB_OK);
  return 0;
}

/* With TARN_SHOTS set: where the window is, for a picture taken from outside (NN.rect: left, top,
   width, height on the screen), and a wait of up to 15 s for NN.done before it is answered. The picture
   is not taken here: a program that draws is ended with the others when Wine ends the session. */
static void Shoot(HWND hwnd) {
  const char* folder = getenv("TARN_SHOTS");
  if (folder == NULL) return;
  char path[MAX_PATH], text[64];
  RECT r;
  GetWindowRect(hwnd, &r);
  ++g_shots;
  snprintf(path, sizeof path, "%s\\%02d.rect", folder, g_shots);
  snprintf(text, sizeof text, "%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
  HANDLE out = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (out == INVALID_HANDLE_VALUE) return;
  DWORD written;
  WriteFile(out, text, (DWORD)strlen(text), &written, NULL);
  CloseHandle(out);
  snprintf(path, sizeof path, "%s\\%02d.done", folder, g_shots);
  for (int i = 0; i < 150 && GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
}

static void Squeeze(char* text) {
  char* out = text;
  int space = 1;
  for (const char* p = text; *p; ++p) {
    const int white = *p == ' ' || *p == '\t' || *p == '\r' || *p == '\n';
    if (white) {
      if (!space) *out++ = ' ';
      space = 1;
    } else {
      *out++ = *p;
      space = 0;
    }
  }
  if (out > text && out[-1] == ' ') --out;
  *out = 0;
}

/* The text of a message box: its longest static text. */
static BOOL CALLBACK LongestStatic(HWND child, LPARAM param) {
  char cls[32], text[512];
  GetClassNameA(child, cls, sizeof cls);
  if (lstrcmpiA(cls, "Static") != 0) return TRUE;
  GetWindowTextA(child, text, sizeof text);
  char* best = (char*)param;
  if (strlen(text) > strlen(best)) strcpy(best, text);
  return TRUE;
}

/* Remembers what was last logged for a window; true when the state is new. */
static int Changed(HWND hwnd, const char* state) {
  for (int i = 0; i < g_seenCount; ++i) {
    if (g_seen[i].hwnd != hwnd) continue;
    if (strcmp(g_seen[i].state, state) == 0) return 0;
    lstrcpynA(g_seen[i].state, state, sizeof g_seen[i].state);
    return 1;
  }
  if (g_seenCount < MAX_SEEN) {
    g_seen[g_seenCount].hwnd = hwnd;
    lstrcpynA(g_seen[g_seenCount++].state, state, sizeof g_seen[0].state);
  }
  return 1;
}

static void Forget(void) {
  for (int i = 0; i < g_seenCount;) {
    if (!IsWindow(g_seen[i].hwnd))
      g_seen[i] = g_seen[--g_seenCount];
    else
      ++i;
  }
}

static void Press(HWND button) {
  DWORD_PTR result;
  SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 2000, &result);
}

/* Whether the window was still shown when its state had been read. A window that is hidden or
   destroyed while it is read (its owner ends, or Wine ends the session) gives an empty title and no
   controls, which is no state the person could see; it is read again on the next round if it stays. */
static int StillShown(HWND hwnd) { return IsWindow(hwnd) && IsWindowVisible(hwnd); }

static BOOL CALLBACK Visit(HWND hwnd, LPARAM unused) {
  (void)unused;
  char cls[64], title[256], line[700];
  if (!IsWindowVisible(hwnd)) return TRUE;
  GetClassNameA(hwnd, cls, sizeof cls);
  if (strcmp(cls, "#32770") != 0) return TRUE;
  GetWindowTextA(hwnd, title, sizeof title);
  HWND text = GetDlgItem(hwnd, 1001), ok = GetDlgItem(hwnd, 1002);
  if (text != NULL && ok != NULL) {
    char body[256];
    GetWindowTextA(text, body, sizeof body);
    Squeeze(body);
    const int visible = IsWindowVisible(ok) && IsWindowEnabled(ok);
    snprintf(line, sizeof line, "dialog \"%s\" OK %s", body, visible ? "visible" : "hidden");
    if (!StillShown(hwnd)) return TRUE;
    if (Changed(hwnd, line)) {
      Log(line);
      Shoot(hwnd);
    }
    if (visible) Press(ok);
    return TRUE;
  }
  HWND button = GetDlgItem(hwnd, IDOK);
  char body[512] = "";
  EnumChildWindows(hwnd, LongestStatic, (LPARAM)body);
  Squeeze(body);
  if (button != NULL) {
    snprintf(line, sizeof line, "message [%s]: \"%s\"", GetDlgItem(hwnd, IDCANCEL) ? "OK, Cancel" : "OK",
             body);
    if (!StillShown(hwnd)) return TRUE;
    if (Changed(hwnd, line)) {
      Log(line);
      Shoot(hwnd);
    }
    Press(button);
  } else {
    snprintf(line, sizeof line, "window %s \"%s\" \"%s\"", cls, title, body);
    if (!StillShown(hwnd)) return TRUE;
    if (Changed(hwnd, line)) Log(line);
  }
  return TRUE;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: clicker LOG SECONDS [PROGRAM|--probe]\n");
    return 2;
  }
  g_log = CreateFileA(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, NULL);
  if (g_log == INVALID_HANDLE_VALUE) return 1;
  const DWORD until = GetTickCount() + (DWORD)atoi(argv[2]) * 1000;
  HANDLE probe = NULL;
  if (argc > 3 && strcmp(argv[3], "--probe") == 0) {
    probe = CreateThread(NULL, 0, ShowProbe, NULL, 0, NULL);
    if (probe == NULL) return 1;
  } else if (argc > 3) {
    char command[1024];
    const char* given = getenv("TARN_COMMAND_LINE");
    const char* folder = getenv("TARN_START_IN");
    if (given != NULL)
      snprintf(command, sizeof command, "%s", given);
    else
      snprintf(command, sizeof command, "\"%s\" ", argv[3]);
    if (folder != NULL && !SetCurrentDirectoryA(folder)) {
      Log("error: the folder to start from cannot be made current");
      return 1;
    }
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
      Log("error: the program cannot be started");
      return 1;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  while ((LONG)(until - GetTickCount()) > 0 &&
         GetFileAttributesA("C:\\varn\\stop") == INVALID_FILE_ATTRIBUTES) {
    EnumWindows(Visit, 0);
    Forget();
    if (probe != NULL && WaitForSingleObject(probe, 0) == WAIT_OBJECT_0) break;
    Sleep(100);
  }
  CloseHandle(g_log);
  return probe != NULL && WaitForSingleObject(probe, 0) != WAIT_OBJECT_0 ? 1 : 0;
}
