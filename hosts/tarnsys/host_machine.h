// The host's stand-in for the VARN device: a simulated machine whose physical memory holds an
// SMBIOS table with a 2.x entry point in 0xF0000-0xFFFFF, taken from a capture (a `dmidecode
// --dump-bin` file, a copy of the kernel's tables folder or a Windows raw table), from the firmware's
// tables that Linux exposes, or from the built-in demo hardware.
#pragma once

#include <string>

#include "platform/sim/dump_loader.h"
#include "platform/sim/machine.h"

namespace tarnsys_host {

// The environment variable that names a dump file for libtarnsys.so.
inline constexpr char kDumpVariable[] = "TARNSYS_DUMP";
inline constexpr char kFirmwareTables[] = "/sys/firmware/dmi/tables";

// A machine as the library expects to find it: Windows NT, the VARN service registered and
// running, the driver loaded. Calls are neither logged nor recorded, as nobody inspects them.
void PrepareMachine(sim::Machine& machine);

// Each loader fills physical memory and gives an empty text, or a one-line reason that names the
// file at fault; on failure the driver is taken as not loaded, so the library finds no table.
// `table`, when given, tells what was loaded. Files are read with their bounds (input_file.h).
std::string LoadDumpFile(sim::Machine& machine, const std::string& path, sim::DumpInfo* table = nullptr);
// `smbios_entry_point` (a 2.x or 3.x entry point) and `DMI` (the table) from a folder.
std::string LoadFirmwareTables(sim::Machine& machine, const std::string& folder = kFirmwareTables,
                               sim::DumpInfo* table = nullptr);
void LoadDemo(sim::Machine& machine);

// The library's process attach over the installed `machine`. A table that no 2.x entry point can
// describe (`table` says so), which the library's own scan therefore cannot find, is then handed to
// the library, so that Linux programs get answers on any table the firmware publishes.
void AttachProcess(sim::Machine& machine, const sim::DumpInfo* table);

}  // namespace tarnsys_host
