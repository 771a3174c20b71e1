/* tarnload: a program that uses TARNSYS.dll as its callers do. It loads the library (whose process
   attach installs and starts the VARN service and copies the table), asks the queries read from
   standard input, one per line, and unloads it. The queries and the output are those of the host's
   `tarnsys` command, so that the two can be compared line by line:
     version | service-tag [INSTANCE] | system-id | table TYPE [INSTANCE [SIZE]] |
     value TYPE OFFSET INSTANCE MASK VALUETYPE
   Each query prints "== QUERY", then the answer, or "not found" when the export answered 0.
     tarnload PATH-OF-TARNSYS.DLL < QUERIES */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

typedef int(WINAPI* GetDllVersionFn)(char*);
typedef int(WINAPI* GetServiceTagFn)(char*, int);
typedef int(WINAPI* GetSmbTableFn)(int, int, int, void*);
typedef int(WINAPI* GetSmbTableValueFn)(int, int, int, unsigned, unsigned, char*);
typedef int(WINAPI* GetSystemIdFn)(char*);
typedef int(WINAPI* GetAttributeFn)(int, int, int, int);

static GetDllVersionFn pGetDllVersion;
static GetServiceTagFn pGetServiceTag;
static GetSmbTableFn pGetSmbTable;
static GetSmbTableValueFn pGetSmbTableValue;
static GetSystemIdFn pGetSystemId;
static GetAttributeFn pGetAttribute;

static char g_text[65536 + 16];
static unsigned char g_low[65536], g_high[65536];

static void Answer(int found) {
  if (found)
    printf("%s\n", g_text);
  else
    printf("not found\n");
}

/* A structure's bytes as the tarnsys command prints them. The export does not tell how many bytes it
   copied: ask twice over buffers filled with 0x00 and 0xFF; the copy ends where they first differ. */
static void Table(int type, int instance, int size) {
  memset(g_low, 0x00, sizeof g_low);
  memset(g_high, 0xFF, sizeof g_high);
  const int found = pGetSmbTable(type, instance, size, g_low) && pGetSmbTable(type, instance, size, g_high);
  if (!found) {
    printf("not found\n");
    return;
  }
  int copied = 0;
  while (copied < size && g_low[copied] == g_high[copied]) ++copied;
  for (int i = 0; i < copied; ++i) printf("%02X%s", g_low[i], (i % 16 == 15 || i + 1 == copied) ? "\n" : " ");
}

static void Query(char* line) {
  char* words[8];
  int n = 0;
  for (char* w = strtok(line, " \t\r\n"); w != NULL && n < 8; w = strtok(NULL, " \t\r\n")) words[n++] = w;
  if (n == 0) return;
  printf("==");
  for (int i = 0; i < n; ++i) printf(" %s", words[i]);
  printf("\n");
  memset(g_text, 0, sizeof g_text);
  if (strcmp(words[0], "version") == 0) {
    pGetDllVersion(g_text);
    printf("%s\n", g_text);
  } else if (strcmp(words[0], "service-tag") == 0) {
    Answer(pGetServiceTag(g_text, n > 1 ? (int)strtol(words[1], NULL, 0) : 0));
  } else if (strcmp(words[0], "system-id") == 0) {
    Answer(pGetSystemId(g_text));
  } else if (strcmp(words[0], "table") == 0 && n >= 2) {
    const int size = n > 3 ? (int)strtol(words[3], NULL, 0) : 65535;
    Table((int)strtol(words[1], NULL, 0), n > 2 ? (int)strtol(words[2], NULL, 0) : 0,
          size > 65535 ? 65535 : size);
  } else if (strcmp(words[0], "value") == 0 && n == 6) {
    Answer(pGetSmbTableValue((int)strtol(words[1], NULL, 0), (int)strtol(words[2], NULL, 0),
                             (int)strtol(words[3], NULL, 0), (unsigned)strtoul(words[4], NULL, 0),
                             (unsigned)strtoul(words[5], NULL, 0), g_text));
  } else if (strcmp(words[0], "attribute") == 0) {
    printf("%d\n", pGetAttribute(1, 2, 3, 4));
  } else {
    printf("bad query\n");
  }
}

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IONBF, 0); /* nothing is lost if the process ends abruptly */
  if (argc != 2) {
    fprintf(stderr, "usage: tarnload PATH-OF-TARNSYS.DLL < QUERIES\n");
    return 2;
  }
  HMODULE dll = LoadLibraryA(argv[1]);
  if (dll == NULL) {
    printf("tarnload: %s cannot be loaded (%lu)\n", argv[1], GetLastError());
    return 1;
  }
  pGetDllVersion = (GetDllVersionFn)(void*)GetProcAddress(dll, "GetDllVersion");
  pGetServiceTag = (GetServiceTagFn)(void*)GetProcAddress(dll, "GetServiceTag");
  pGetSmbTable = (GetSmbTableFn)(void*)GetProcAddress(dll, "GetSmbTable");
  pGetSmbTableValue = (GetSmbTableValueFn)(void*)GetProcAddress(dll, "GetSmbTableValue");
  pGetSystemId = (GetSystemIdFn)(void*)GetProcAddress(dll, "GetSystemId");
  pGetAttribute = (GetAttributeFn)(void*)GetProcAddress(dll, "GetAttribute");
  if (!pGetDllVersion || !pGetServiceTag || !pGetSmbTable || !pGetSmbTableValue || !pGetSystemId ||
      !pGetAttribute) {
    printf("tarnload: an export is missing\n");
    return 1;
  }
  char line[256];
  while (fgets(line, sizeof line, stdin) != NULL) Query(line);
  fflush(stdout);
  FreeLibrary(dll);
  return 0;
}
