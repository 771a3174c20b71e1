/* varnctl: installs the stand-in VARN driver as a service, and checks it against the machine file it
   serves.
     varnctl install    registers VARN (kernel driver, system start) for
                        %windir%\system32\drivers\VARN.SYS, starts it and waits until its device opens
     varnctl check      opens \\.\VARN and issues every control with good and bad buffers, comparing
                        each answer with C:\varn\machine.bin; changes CMOS only to put it back
   Exit status 0 when everything held, 1 otherwise. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#define READ_PHYSICAL 0x222000
#define WRITE_INDEXED_PORT 0x22200C
#define READ_INDEXED_PORT 0x222010
#define STAGE_IMAGE 0x22201C
#define RELEASE_IMAGE 0x222020

static int g_failures;

static void Check(int ok, const char* what) {
  printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++g_failures;
}

static int Install(void) {
  char path[MAX_PATH];
  GetWindowsDirectoryA(path, MAX_PATH);
  strcat(path, "\\system32\\drivers\\VARN.SYS");
  SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (manager == NULL) {
    printf("varnctl: OpenSCManagerA failed (%lu)\n", GetLastError());
    return 1;
  }
  SC_HANDLE service =
      CreateServiceA(manager, "VARN", "VARN", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START,
                     SERVICE_ERROR_NORMAL, path, NULL, NULL, NULL, NULL, NULL);
  if (service == NULL) {
    printf("varnctl: CreateServiceA failed (%lu)\n", GetLastError());
    CloseServiceHandle(manager);
    return 1;
  }
  /* On a loaded machine Wine may report a start timeout (1053) while the driver is still loading: the
     device opening is what counts. */
  if (!StartServiceA(service, 0, NULL))
    printf("varnctl: StartServiceA failed (%lu); waiting for the device\n", GetLastError());
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  for (int tries = 0; tries < 900; ++tries) {
    HANDLE device = CreateFileA("\\\\.\\VARN", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (device != INVALID_HANDLE_VALUE) {
      CloseHandle(device);
      return 0;
    }
    Sleep(100);
  }
  printf("varnctl: \\\\.\\VARN did not open within 90 s\n");
  return 1;
}

/* ---- the machine file, as the driver reads it */

typedef struct {
  DWORD address, length;
  const BYTE* bytes;
} Region;
typedef struct {
  WORD indexPort, dataPort;
  const BYTE* bytes;
} Bank;

static BYTE* g_file;
static Region g_regions[64];
static DWORD g_regionCount;
static Bank g_banks[16];
static DWORD g_bankCount;
static int g_stageFails;
static LONG g_stageResult;

static DWORD Le32(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((DWORD)p[3] << 24); }
static WORD Le16(const BYTE* p) { return (WORD)(p[0] | (p[1] << 8)); }

static BYTE* ReadWhole(const char* path, DWORD* size) {
  HANDLE f =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  if (f == INVALID_HANDLE_VALUE) return NULL;
  *size = GetFileSize(f, NULL);
  BYTE* data = HeapAlloc(GetProcessHeap(), 0, *size + 1);
  DWORD got = 0;
  if (data != NULL && (!ReadFile(f, data, *size, &got, NULL) || got != *size)) {
    HeapFree(GetProcessHeap(), 0, data);
    data = NULL;
  }
  CloseHandle(f);
  if (data != NULL) data[*size] = 0;
  return data;
}

static int LoadMachine(void) {
  DWORD size = 0;
  g_file = ReadWhole("C:\\varn\\machine.bin", &size);
  if (g_file == NULL || size < 24 || memcmp(g_file, "VARNMCH1", 8) != 0) return 0;
  g_stageFails = (Le32(g_file + 8) & 1) != 0;
  g_stageResult = (LONG)Le32(g_file + 12);
  g_regionCount = Le32(g_file + 16);
  g_bankCount = Le32(g_file + 20);
  if (g_regionCount > 64 || g_bankCount > 16) return 0;
  const BYTE* p = g_file + 24;
  for (DWORD i = 0; i < g_regionCount; ++i) {
    g_regions[i].address = Le32(p);
    g_regions[i].length = Le32(p + 4);
    g_regions[i].bytes = p + 8;
    p += 8 + g_regions[i].length;
  }
  for (DWORD i = 0; i < g_bankCount; ++i) {
    g_banks[i].indexPort = Le16(p);
    g_banks[i].dataPort = Le16(p + 2);
    g_banks[i].bytes = p + 4;
    p += 260;
  }
  return p == g_file + size;
}

static BYTE Physical(DWORD address) {
  for (DWORD i = g_regionCount; i-- > 0;)
    if (address - g_regions[i].address < g_regions[i].length)
      return g_regions[i].bytes[address - g_regions[i].address];
  return 0;
}

/* ---- the controls */

static HANDLE g_device;
static DWORD g_issued[6];

static BOOL Issue(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
  const DWORD codes[] = {READ_PHYSICAL, WRITE_INDEXED_PORT, READ_INDEXED_PORT, STAGE_IMAGE, RELEASE_IMAGE};
  int slot = 0;
  while (slot < 5 && codes[slot] != code) ++slot;
  ++g_issued[slot];
  *returned = 0;
  return DeviceIoControl(g_device, code, in, inSize, out, outSize, returned, NULL);
}

static int Refused(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize) {
  DWORD returned;
  SetLastError(0);
  return !Issue(code, in, inSize, out, outSize, &returned) && GetLastError() == ERROR_INVALID_PARAMETER;
}

static void CheckPhysical(void) {
  char what[128];
  for (DWORD i = 0; i < g_regionCount; ++i) {
    const Region* r = &g_regions[i];
    BYTE request[8] = {0};
    memcpy(request, &r->address, 4);
    BYTE* out = HeapAlloc(GetProcessHeap(), 0, r->length + 16);
    DWORD returned;
    BOOL ok = Issue(READ_PHYSICAL, request, 8, out, r->length, &returned);
    snprintf(what, sizeof what, "physical read of the region at 0x%05lX, %lu bytes in one call", r->address,
             r->length);
    Check(ok && returned == r->length && memcmp(out, r->bytes, r->length) == 0, what);
    /* 1, 2 and 4 bytes, as ZIM reads them, at the region's end: past it lies what else is there. */
    for (DWORD n = 1; n <= 4; n *= 2) {
      const DWORD at = r->address + r->length - 1;
      memcpy(request, &at, 4);
      ok = Issue(READ_PHYSICAL, request, 8, out, n, &returned);
      int same = ok && returned == n;
      for (DWORD k = 0; same && k < n; ++k) same = out[k] == Physical(at + k);
      snprintf(what, sizeof what, "physical read of %lu byte(s) at 0x%05lX", n, at);
      Check(same, what);
    }
    HeapFree(GetProcessHeap(), 0, out);
  }
  BYTE request[8] = {0, 0, 0x0F, 0, 0, 0, 0, 0}, out[8];
  Check(Refused(READ_PHYSICAL, request, 7, out, 4), "physical read with a 7-byte request is refused");
  Check(Refused(READ_PHYSICAL, request, 9, out, 4), "physical read with a 9-byte request is refused");
  Check(Refused(READ_PHYSICAL, request, 8, NULL, 0), "physical read with no output is refused");
}

static void CheckPorts(void) {
  char what[128];
  for (DWORD i = 0; i < g_bankCount; ++i) {
    const Bank* b = &g_banks[i];
    int same = 1, echoed = 1;
    for (unsigned index = 0; index < 256; ++index) {
      BYTE in[7] = {(BYTE)b->indexPort,
                    (BYTE)(b->indexPort >> 8),
                    (BYTE)index,
                    0,
                    (BYTE)b->dataPort,
                    (BYTE)(b->dataPort >> 8),
                    0};
      BYTE out[7] = {0};
      DWORD returned;
      same = same && Issue(READ_INDEXED_PORT, in, 7, out, 7, &returned) && returned == 7 &&
             out[6] == b->bytes[index];
      echoed = echoed && memcmp(out, in, 6) == 0;
    }
    snprintf(what, sizeof what, "port reads give the 256 bytes of the bank at 0x%02X/0x%02X", b->indexPort,
             b->dataPort);
    Check(same, what);
    Check(echoed, "port reads give back the request's first six bytes");

    /* A write changes one byte and a read sees it; the byte is then put back. */
    const BYTE index = 0x7F, was = b->bytes[index];
    BYTE rec[7] = {(BYTE)b->indexPort,       (BYTE)(b->indexPort >> 8), index, 0, (BYTE)b->dataPort,
                   (BYTE)(b->dataPort >> 8), (BYTE)(was ^ 0xA5)};
    BYTE out[7] = {0};
    DWORD returned;
    BOOL wrote = Issue(WRITE_INDEXED_PORT, rec, 7, NULL, 0, &returned);
    rec[6] = 0;
    BOOL read = Issue(READ_INDEXED_PORT, rec, 7, out, 7, &returned);
    Check(wrote && read && out[6] == (BYTE)(was ^ 0xA5), "a port write is seen by the next read");
    rec[6] = was;
    Check(Issue(WRITE_INDEXED_PORT, rec, 7, NULL, 0, &returned), "a port write puts the byte back");

    rec[4] ^= 0x10;
    Check(Refused(READ_INDEXED_PORT, rec, 7, out, 7), "a port read with another data port is refused");
    rec[4] ^= 0x10;
    rec[3] = 1;
    Check(Refused(READ_INDEXED_PORT, rec, 7, out, 7), "a port read of index 0x100 or above is refused");
    rec[3] = 0;
    Check(Refused(READ_INDEXED_PORT, rec, 7, out, 6), "a port read with a 6-byte output is refused");
    Check(Refused(READ_INDEXED_PORT, rec, 8, out, 7), "a port read with an 8-byte request is refused");
    Check(Refused(WRITE_INDEXED_PORT, rec, 7, out, 1), "a port write with an output buffer is refused");
    Check(Refused(WRITE_INDEXED_PORT, rec, 6, NULL, 0), "a port write with a 6-byte record is refused");
  }
  BYTE none[7] = {0x34, 0x12, 0, 0, 0x35, 0x12, 0}, out[7];
  Check(Refused(READ_INDEXED_PORT, none, 7, out, 7), "a port read behind no bank is refused");
}

static void CheckStageAndRelease(void) {
  BYTE image[3000];
  for (int i = 0; i < (int)sizeof image; ++i) image[i] = (BYTE)(i * 7 + 3);
  LONG result = -1;
  DWORD returned;
  BOOL ok = Issue(STAGE_IMAGE, image, sizeof image, &result, 4, &returned);
  if (g_stageFails) {
    Check(!ok, "the stage control fails as the machine file asks");
  } else {
    Check(ok && returned == 4 && result == g_stageResult, "the stage control answers the configured result");
    DWORD size = 0;
    BYTE* kept = ReadWhole("C:\\varn\\staged-1.bin", &size);
    Check(kept != NULL && size == sizeof image && memcmp(kept, image, size) == 0,
          "the staged image is kept byte for byte");
    result = -1;
    ok = Issue(STAGE_IMAGE, NULL, 0, &result, 4, &returned);
    Check(ok && result == g_stageResult, "an empty image is staged too");
  }
  Check(Refused(STAGE_IMAGE, image, 16, &result, 3), "the stage control with a 3-byte output is refused");
  LONG value = -1;
  Check(Issue(RELEASE_IMAGE, &value, 4, NULL, 0, &returned), "the release control takes 4 bytes");
  Check(Refused(RELEASE_IMAGE, &value, 3, NULL, 0), "the release control with 3 bytes is refused");
  Check(Refused(RELEASE_IMAGE, &value, 4, &result, 4), "the release control with an output is refused");
  Check(Refused(0x222004, &value, 4, &result, 4), "an unknown control code is refused");
  Check(Refused(0x222024, &value, 4, NULL, 0), "another unknown control code is refused");
}

static int Occurrences(const char* text, const char* what) {
  int n = 0;
  for (const char* p = text; p != NULL && (p = strstr(p, what)) != NULL; ++p) ++n;
  return n;
}

/* The log's last counts line, written when the handle closed, must match what was issued. The driver
   sees the close after CloseHandle has returned, so wait a little for it. */
static void CheckLog(int closes) {
  DWORD size = 0;
  char* log = NULL;
  for (int tries = 0; tries < 50; ++tries) {
    if (log != NULL) HeapFree(GetProcessHeap(), 0, log);
    log = (char*)ReadWhole("C:\\varn\\log.txt", &size);
    if (log != NULL && Occurrences(log, "counts close") >= closes) break;
    Sleep(100);
  }
  Check(log != NULL && strstr(log, "load regions") != NULL && strstr(log, "\nopen") != NULL,
        "the driver logs its load and the open");
  char expected[200];
  snprintf(expected, sizeof expected,
           "0x222000=%lu 0x22200C=%lu 0x222010=%lu 0x22201C=%lu 0x222020=%lu other=%lu", g_issued[0],
           g_issued[1], g_issued[2], g_issued[3], g_issued[4], g_issued[5]);
  const char* last = log;
  for (const char* p = log; p != NULL && (p = strstr(p, "counts close")) != NULL; ++p) last = p;
  Check(last != NULL && strstr(last, expected) != NULL,
        "the counts logged at close match the controls issued");
  if (g_failures) printf("expected: %s\nlog:\n%s\n", expected, log ? log : "(none)");
}

static int CheckDriver(void) {
  if (!LoadMachine()) {
    printf("varnctl: C:\\varn\\machine.bin cannot be read\n");
    return 1;
  }
  DWORD size = 0;
  char* before = (char*)ReadWhole("C:\\varn\\log.txt", &size);
  const int closes = before != NULL ? Occurrences(before, "counts close") : 0;
  g_device = CreateFileA("\\\\.\\VARN", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  Check(g_device != INVALID_HANDLE_VALUE, "\\\\.\\VARN opens");
  if (g_device == INVALID_HANDLE_VALUE) return 1;
  HANDLE second = CreateFileA("\\\\.\\VARN", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  Check(second != INVALID_HANDLE_VALUE,
        "a second handle opens while the first is open, as ZIM's two slots need");
  if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
  CheckPhysical();
  CheckPorts();
  CheckStageAndRelease();
  CloseHandle(g_device);
  CheckLog(closes + 2);
  return g_failures == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IONBF, 0); /* nothing is lost if the process ends abruptly */
  if (argc == 2 && strcmp(argv[1], "install") == 0) return Install();
  if (argc == 2 && strcmp(argv[1], "check") == 0) return CheckDriver();
  printf("usage: varnctl install | check\n");
  return 2;
}
