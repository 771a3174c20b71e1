// Captured SMBIOS tables, recognised by their content rather than their name: a `dmidecode
// --dump-bin` file; a copy of the kernel's /sys/firmware/dmi/tables (a folder holding
// `smbios_entry_point` and `DMI`); and the raw table as Windows' GetSystemFirmwareTable('RSMB')
// returns it (an 8-byte header: calling method, major and minor version, DMI revision, a 32-bit
// length; then the table), as inventory tools store it. Each is read into the shape of a dump file
// (entry point at offset 0, table at 0x20), so that one loader serves them all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/dump_loader.h"

namespace sim {

enum class CaptureFormat { DumpBin, KernelFolder, WindowsRaw };

const char* CaptureFormatName(CaptureFormat format);  // "dump-bin", "sysfs", "windows-raw"

struct Capture {
  CaptureFormat format = CaptureFormat::DumpBin;
  // As a dump file. A raw table carries no entry point: it gets the 2.x one it would have, with the
  // structures found as its count, which LoadCapture drops again when none is to be assumed.
  std::vector<std::uint8_t> dump;
};

// A folder holding `smbios_entry_point` and `DMI`.
bool IsKernelTablesFolder(const std::string& path);

// Recognises the bytes of one file: a dump file or a raw table. Empty on success, else why not.
std::string CaptureFromFile(std::vector<std::uint8_t> bytes, Capture& out);
// The kernel's two files: its entry point (2.x, 3.x or legacy) and the table.
std::string CaptureFromKernelFiles(const std::vector<std::uint8_t>& entry,
                                   const std::vector<std::uint8_t>& table, Capture& out);
// Reads the kernel's two files from `folder`; `culprit` as for ReadCapture.
std::string ReadKernelTables(const std::string& folder, Capture& out, std::string* culprit = nullptr);
// Reads the capture at `path`, a file or a folder. Empty on success, else why not, and `culprit`
// (when given) is the file at fault: `path`, or one of the folder's files.
std::string ReadCapture(const std::string& path, Capture& out, std::string* culprit = nullptr);

// Loads the capture as LoadDump loads a dump. A raw table's DumpInfo has kind None and no published
// count; it gets its 2.x entry point (assumed2x) unless `placement.assume2x` is false.
std::string LoadCapture(Machine& machine, const Capture& capture, const DumpPlacement& placement = {},
                        DumpInfo* info = nullptr);
// Reads and loads; a reason names the path ("PATH: ...").
std::string LoadCaptureFile(Machine& machine, const std::string& path, const DumpPlacement& placement = {},
                            DumpInfo* info = nullptr);

}  // namespace sim
