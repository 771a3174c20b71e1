// TARNSYS: SMBIOS identification data for other programs. The library copies the SMBIOS structure
// table when a process loads it and answers these six queries from that copy. Every argument and
// result takes 32 bits; on Windows the functions are stdcall and exported under these plain names.
#pragma once

#include "platform/win32.h"

extern "C" {

// Reserved: ignores its arguments and answers 0.
int WINAPI GetAttribute(int a, int b, int c, int d);

// Writes the 44-character banner with the build date and time (buffer of at least 45 bytes);
// answers 0.
int WINAPI GetDllVersion(char* buffer);

// The chassis serial number (the service tag) of the instance-th chassis structure, unprintable
// bytes shown as spaces; 1 found, 0 not.
int WINAPI GetServiceTag(char* buffer, int instance);

// Copies up to bufferSize bytes of the instance-th structure of type (formatted area and strings,
// through its closing double zero); 1 found, 0 not.
int WINAPI GetSmbTable(int type, int instance, int bufferSize, void* buffer);

// One field of the instance-th structure of type, at offset, rendered as text by valueType (0-7
// numbers, 8 a string); mask selects and shifts bits of the narrower numbers; 1 done, 0 not.
int WINAPI GetSmbTableValue(int type, int offset, int instance, unsigned mask, unsigned valueType,
                            char* buffer);

// A system identifier in decimal (buffer of at least 6 bytes); 1 found, 0 not.
int WINAPI GetSystemId(char* buffer);

}  // extern "C"
