/* tarnbench: timings under Wine with the stand-in VARN driver (tests/windows/varn), run by
   bench/wine-run.
     tarnbench load DLL ROUNDS     loads DLL once untimed (the first load registers and starts the
                                   service), then ROUNDS times: LoadLibraryA timed, FreeLibrary not
     tarnbench ioctl COUNT ROUNDS  opens \\.\VARN, then ROUNDS times: COUNT physical-memory reads of
                                   8 bytes at successive paragraphs from 0xF0000, timed together
     tarnbench services ROUNDS     ROUNDS times, timed: the calls other than controls that every load
                                   makes once the service runs (the service looked up and its state
                                   queried, each with its own manager handle; the device opened and
                                   closed)
   Prints "median_us min_us rounds" of the timed rounds; exit status 1 when anything failed. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define READ_PHYSICAL 0x222000
#define MAX_ROUNDS 1000

static double g_times[MAX_ROUNDS];

static double Microseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  static LARGE_INTEGER frequency;
  if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
  return (double)(to.QuadPart - from.QuadPart) * 1e6 / (double)frequency.QuadPart;
}

static int Compare(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return x < y ? -1 : x > y;
}

static void Report(int rounds) {
  qsort(g_times, (size_t)rounds, sizeof g_times[0], Compare);
  const double median =
      rounds % 2 ? g_times[rounds / 2] : (g_times[rounds / 2 - 1] + g_times[rounds / 2]) / 2;
  printf("%.1f %.1f %d\n", median, g_times[0], rounds);
}

static int Load(const char* dll, int rounds) {
  HMODULE first = LoadLibraryA(dll);
  if (first == NULL) {
    printf("tarnbench: LoadLibraryA(%s) failed (%lu)\n", dll, GetLastError());
    return 1;
  }
  FreeLibrary(first);
  for (int i = 0; i < rounds; ++i) {
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    HMODULE library = LoadLibraryA(dll);
    QueryPerformanceCounter(&t1);
    if (library == NULL) {
      printf("tarnbench: LoadLibraryA(%s) failed in round %d (%lu)\n", dll, i + 1, GetLastError());
      return 1;
    }
    FreeLibrary(library);
    g_times[i] = Microseconds(t0, t1);
  }
  Report(rounds);
  return 0;
}

static int Controls(int count, int rounds) {
  HANDLE device = CreateFileA("\\\\.\\VARN", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  if (device == INVALID_HANDLE_VALUE) {
    printf("tarnbench: \\\\.\\VARN does not open (%lu)\n", GetLastError());
    return 1;
  }
  int failures = 0;
  for (int i = 0; i < rounds; ++i) {
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    for (int n = 0; n < count; ++n) {
      DWORD request[2] = {0xF0000u + 16u * (DWORD)(n % 4096), 0};
      unsigned char probe[8];
      DWORD returned = 0;
      if (!DeviceIoControl(device, READ_PHYSICAL, request, sizeof request, probe, sizeof probe, &returned,
                           NULL))
        ++failures;
    }
    QueryPerformanceCounter(&t1);
    g_times[i] = Microseconds(t0, t1);
  }
  CloseHandle(device);
  if (failures != 0) {
    printf("tarnbench: %d reads failed\n", failures);
    return 1;
  }
  Report(rounds);
  return 0;
}

/* One load's service-manager and device calls, as the library makes them when the service is
   already registered and running. */
static int ServiceCalls(void) {
  for (int step = 0; step < 2; ++step) {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) return 0;
    SC_HANDLE service = OpenServiceA(manager, "VARN", SERVICE_ALL_ACCESS);
    if (service == NULL) {
      CloseServiceHandle(manager);
      return 0;
    }
    SERVICE_STATUS status;
    const BOOL queried = step == 0 || QueryServiceStatus(service, &status);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (!queried) return 0;
  }
  HANDLE device = CreateFileA("\\\\.\\VARN", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  if (device == INVALID_HANDLE_VALUE) return 0;
  CloseHandle(device);
  return 1;
}

static int Services(int rounds) {
  for (int i = 0; i < rounds; ++i) {
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    const int ok = ServiceCalls();
    QueryPerformanceCounter(&t1);
    if (!ok) {
      printf("tarnbench: a service-manager or device call failed in round %d (%lu)\n", i + 1, GetLastError());
      return 1;
    }
    g_times[i] = Microseconds(t0, t1);
  }
  Report(rounds);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "services") == 0) {
    const int rounds = atoi(argv[2]);
    if (rounds < 1 || rounds > MAX_ROUNDS) return 2;
    return Services(rounds);
  }
  const int rounds = argc == 4 ? atoi(argv[3]) : 0;
  if (rounds < 1 || rounds > MAX_ROUNDS) {
    printf(
        "usage: tarnbench load DLL ROUNDS | tarnbench ioctl COUNT ROUNDS | tarnbench services ROUNDS"
        " (ROUNDS 1-%d)\n",
        MAX_ROUNDS);
    return 2;
  }
  if (strcmp(argv[1], "load") == 0) return Load(argv[2], rounds);
  if (strcmp(argv[1], "ioctl") == 0) return Controls(atoi(argv[2]), rounds);
  printf("tarnbench: unknown mode %s\n", argv[1]);
  return 2;
}
