// Process attach and detach: opening the VARN device (registering and starting its service on
// Windows NT), finding the SMBIOS entry point, copying the structure table into the heap, and
// indexing its structures.
#pragma once

#include "platform/win32.h"
#include "tarnsys/library_state.h"

// Opens the device for the running platform; INVALID_HANDLE_VALUE when it cannot be opened.
win32::HANDLE OpenDriverDevice();

// Scans 0xF0000-0xFFFF0 in 16-byte steps for an entry point with the "_SM_" anchor, a length of at
// least 31 and a zero checksum, and copies its first 31 bytes. False when there is none or when a
// read or an allocation fails.
bool FindSmbEntryPoint(win32::HANDLE device, SmbEntryPoint& entryPoint);

// Fills the library state as far as it gets; never fails: LoadSmbTableCopy, then the structure
// index of the copy.
void LoadSmbTable();
// The device, the entry point and the copy, without the index.
void LoadSmbTableCopy();

// For a host whose firmware publishes a table that no 2.x entry point can describe (longer than
// 65535 bytes, behind a 3.x entry point alone): takes a copy of it as the loaded table, when the
// process attach found none. The Windows library never calls it.
void AdoptSmbTable(const std::uint8_t* table, std::size_t length);

// Closes the device and frees the index and the copy; the entry point stays as it was.
void UnloadSmbTable();
