#include "hosts/tarnsys/host_machine.h"

#include <cerrno>
#include <cstring>

#include "platform/sim/demo_machine.h"
#include "platform/sim/dump_loader.h"

namespace tarnsys_host {

namespace {

constexpr std::size_t kTableOffset = 0x20;  // where a dump file keeps its table

std::string CannotRead(const std::string& path) {
  const int error = errno;
  return path + ": cannot be read" + (error != 0 ? std::string(": ") + std::strerror(error) : std::string());
}

bool Read(const std::string& path, std::vector<std::uint8_t>& bytes) {
  errno = 0;
  return sim::ReadFileBytes(path, bytes);
}

std::string Loaded(sim::Machine& machine, std::string fault) {
  machine.varn.loaded = fault.empty();
  return fault;
}

}  // namespace

void PrepareMachine(sim::Machine& machine) {
  machine.logCalls = false;
  machine.varn.recordIoctls = false;
  machine.version.platformId = win32::VER_PLATFORM_WIN32_NT;
  machine.services.Add("VARN", win32::SERVICE_RUNNING);
  machine.varn.loaded = true;
}

std::string LoadDumpFile(sim::Machine& machine, const std::string& path) {
  return Loaded(machine, sim::LoadDumpFile(machine, path));
}

std::string LoadFirmwareTables(sim::Machine& machine, const std::string& folder) {
  const std::string entryPath = folder + "/smbios_entry_point";
  const std::string tablePath = folder + "/DMI";
  std::vector<std::uint8_t> entry, table;
  if (!Read(entryPath, entry)) return Loaded(machine, CannotRead(entryPath));
  if (!Read(tablePath, table)) return Loaded(machine, CannotRead(tablePath));

  // The same shape as a dump file: the entry point, pointed at offset 0x20, then the table.
  std::vector<std::uint8_t> file(
      entry.begin(), entry.begin() + static_cast<std::ptrdiff_t>(std::min(entry.size(), kTableOffset)));
  file.resize(kTableOffset, 0);
  if (std::memcmp(file.data(), "_SM3_", 5) == 0) {
    std::memset(file.data() + 0x10, 0, 8);
    file[0x10] = kTableOffset;
  } else if (std::memcmp(file.data(), "_SM_", 4) == 0) {
    std::memset(file.data() + 0x18, 0, 4);
    file[0x18] = kTableOffset;
  }
  file.insert(file.end(), table.begin(), table.end());
  const std::string fault = sim::LoadDumpBin(machine, file);
  return Loaded(machine, fault.empty() ? fault : entryPath + ": " + fault);
}

void LoadDemo(sim::Machine& machine) {
  sim::BuildDemoHardware(machine);
  machine.varn.loaded = true;
}

}  // namespace tarnsys_host
