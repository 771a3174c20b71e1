/* caller: a program that uses the SMBIOS query library as its callers do, through the installed
   header and library (pkg-config on Linux, the release's tarnsys.h and each of its import libraries
   on Windows). It asks all six queries and prints one line each ("-" where a query answers 0).
   On Windows it needs no C library: it writes through kernel32, so that it also links the Microsoft
   way with nothing but TARNSYS.lib and kernel32 (lld-link /nodefaultlib /entry:caller_start). */
#include <tarnsys.h>

#ifdef _WIN32
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* bytes, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int status);
static void Write(const char* text, unsigned long size) {
  unsigned long written;
  WriteFile(GetStdHandle((unsigned long)-11), text, size, &written, 0);
}
int main(void);
void caller_start(void);
void caller_start(void) { ExitProcess((unsigned int)main()); }
#else
#include <unistd.h>
static void Write(const char* text, unsigned long size) { (void)!write(1, text, size); }
#endif

static char line[512];
static unsigned long used;
static void Put(const char* text) {
  while (*text != 0 && used < sizeof line - 1) line[used++] = *text++;
}
static void EndLine(void) {
  line[used++] = '\n';
  Write(line, used);
  used = 0;
}

int main(void) {
  char text[256], banner[64], hex[4];
  unsigned char bytes[8];
  int i;
  GetDllVersion(banner);
  banner[24] = 0; /* the library's name; the build's date and time follow */
  Put("banner: ");
  Put(banner);
  EndLine();
  Put("service tag: ");
  Put(GetServiceTag(text, 0) ? text : "-");
  EndLine();
  Put("system id: ");
  Put(GetSystemId(text) ? text : "-");
  EndLine();
  Put("manufacturer: ");
  Put(GetSmbTableValue(1, 4, 0, 0, 8, text) ? text : "-");
  EndLine();
  Put("system structure:");
  if (GetSmbTable(1, 0, sizeof bytes, bytes)) {
    for (i = 0; i < (int)sizeof bytes; ++i) {
      hex[0] = ' ';
      hex[1] = "0123456789ABCDEF"[bytes[i] >> 4];
      hex[2] = "0123456789ABCDEF"[bytes[i] & 15];
      hex[3] = 0;
      Put(hex);
    }
  } else {
    Put(" -");
  }
  EndLine();
  Put(GetAttribute(1, 2, 3, 4) == 0 ? "attribute: 0" : "attribute: not 0");
  EndLine();
  return 0;
}
