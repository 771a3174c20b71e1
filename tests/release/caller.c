/* caller: a program that uses the SMBIOS query library as its callers do, through the installed
   header and library (pkg-config on Linux, the release's tarnsys.h and import library on Windows).
   It prints the service tag and the system id, one line each ("-" where a query answers 0). */
#include <stdio.h>
#include <string.h>

#include <tarnsys.h>

int main(void) {
  char tag[256], id[16], banner[64];
  memset(tag, 0, sizeof tag);
  memset(id, 0, sizeof id);
  GetDllVersion(banner);
  printf("service tag: %s\n", GetServiceTag(tag, 0) ? tag : "-");
  printf("system id: %s\n", GetSystemId(id) ? id : "-");
  printf("banner: %.24s\n", banner);
  return 0;
}
