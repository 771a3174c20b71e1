/* CLEANUP.EXE for the end-to-end tests: the cleanup program that ZIM starts or registers. It only
   records each start, its command line as one line of C:\varn\ran.txt, so that the test can tell
   when and how it ran (at once, or from RunOnce when Wine ended or started a session). */
#include <string.h>
#include <windows.h>

int main(void) {
  HANDLE f = CreateFileA("C:\\varn\\ran.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (f == INVALID_HANDLE_VALUE) return 1;
  const char* line = GetCommandLineA();
  DWORD written;
  WriteFile(f, line, (DWORD)strlen(line), &written, NULL);
  WriteFile(f, "\r\n", 2, &written, NULL);
  CloseHandle(f);
  return 0;
}
