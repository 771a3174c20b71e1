// The check of the running machine: ZIM's token search and write of token 92 over this machine's own
// BIOS area and CMOS, everything else simulated. Read-only: data-port writes are held and reported.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "hosts/live/live_hardware.h"
#include "tools/zim-sim/common.h"
#include "tools/zim-sim/dry_run.h"
#include "tools/zim-sim/preflight.h"
#include "zim/app/bios_upgrade.h"
#include "zim/driver/device_slot.h"
#include "zim/tokens/token_access.h"

namespace zimsim {

namespace {

constexpr char kCommandLine[] = "/proc/cmdline";
constexpr char kFirmwareTable[] = "/sys/firmware/dmi/tables/DMI";

// Where in the BIOS area a 3.x entry point stands, if one does: on a machine without a 2.x entry
// point, it tells why ZIM finds no table there.
std::string Smbios3Anchor(sim::Hardware& hardware) {
  std::vector<std::uint8_t> area(0x10000);
  if (!hardware.ReadPhysical(0xF0000, area.data(), area.size())) return {};
  for (std::size_t p = 0; p + 5 <= area.size(); p += 16)
    if (std::memcmp(area.data() + p, "_SM3_", 5) == 0) return Hex(0xF0000 + p, 5);
  return {};
}

std::string Bank(std::uint16_t indexPort, std::uint8_t location) {
  return Hex(indexPort, 2) + "[" + Hex(location, 2) + "]";
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// A bank as the check reads it; locations it does not read stay 0 (the clock's registers).
std::vector<std::uint8_t> ReadBank(live::LinuxHardware& hardware, std::uint16_t indexPort) {
  std::vector<std::uint8_t> bank(256, 0);
  for (unsigned i = 0; i < 0x80; ++i) {
    const auto at = static_cast<std::uint8_t>(i);
    if (live::LinuxHardware::Reachable(indexPort, at, indexPort + 1))
      hardware.ReadMachine(indexPort, at, indexPort + 1, bank[i]);
  }
  return bank;
}

// Where the kernel offers /dev/nvram only once its module is loaded, loads it: the clock's bank is
// read through nothing else. What was done, for the transcript; empty when the device was there.
std::string LoadNvramModule(const std::string& device) {
  if (access(device.c_str(), F_OK) == 0) return {};
  char modprobe[] = "modprobe", quiet[] = "-q", nvram[] = "nvram";
  char* argv[] = {modprobe, quiet, nvram, nullptr};
  pid_t child = 0;
  int status = -1;
  if (posix_spawnp(&child, modprobe, nullptr, nullptr, argv, environ) == 0)
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  // The device node follows the module's registration.
  const bool loaded = child != 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  for (int i = 0; loaded && i < 20 && access(device.c_str(), F_OK) != 0; ++i) usleep(50000);
  if (access(device.c_str(), F_OK) == 0) return "loaded the kernel's nvram module, for " + device;
  return "the kernel's nvram module could not be loaded (modprobe nvram: " +
         std::string(child == 0 ? "not run" : "exit " + std::to_string(WEXITSTATUS(status))) + ")";
}

}  // namespace

int ThisMachine(const Options& o) {
  std::shared_ptr<live::LinuxHardware> hardware;
  live::DevicePaths paths;
  if (!o.devices.empty()) {
    paths.memory = o.devices + "/mem";
    paths.ports = o.devices + "/port";
    paths.nvram = o.devices + "/nvram";
  }
  if (o.testMachineWrites) {
    std::ifstream in(kCommandLine);
    std::stringstream commandLine;
    commandLine << in.rdbuf();
    std::vector<std::uint8_t> table;
    sim::ReadFileBytes(kFirmwareTable, table);
    const std::string refusal = live::TestMachineRefusal(commandLine.str(), table);
    if (!refusal.empty()) {
      std::fprintf(stderr, "zim-sim: writes are for the test machine alone: %s\n", refusal.c_str());
      return 2;
    }
  }
  // Stand-in devices are taken as they are.
  const std::string nvramNote = o.devices.empty() ? LoadNvramModule(paths.nvram) : std::string();
  const std::string fault = live::LinuxHardware::Open(paths, o.testMachineWrites, hardware);
  if (!fault.empty()) {
    std::fprintf(stderr, "zim-sim: %s\n", fault.c_str());
    return 2;
  }

  sim::Machine m;
  m.logCalls = false;
  m.version.platformId = win32::VER_PLATFORM_WIN32_NT;
  m.varn.loaded = true;
  m.varn.hardware = hardware;
  sim::Install installed(m);
  std::ostringstream t;
  t << "== this machine: physical memory from " << paths.memory << ", CMOS 0x72/0x73 through " << paths.ports
    << ", the clock's CMOS (0x70/0x71) through " << paths.nvram
    << (o.testMachineWrites ? " (the test machine: writes are made)" : " (read-only: nothing is written)")
    << "\n";
  if (!nvramNote.empty()) t << nvramNote << "\n";
  if (!hardware->usesNvram()) t << "the clock's CMOS cannot be read: " << hardware->nvramAbsence() << "\n";
  auto faulted = [&hardware] { return !hardware->faults().empty(); };

  // ZIM's own search, step by step, for the transcript and the reason of a failure. A read that
  // fails ends it: what follows would rest on a byte the machine did not give.
  CloseDeviceSlots();
  CTokenAccess access;
  std::uint8_t entryStatus = 0, walkStatus = 0, tokenStatus = 0;
  bool found = false;
  std::set<std::uint16_t> banks;
  std::string reason, note;
  bool refused = false;  // the token's table names CMOS that no BIOS keeps: nothing is touched
  if (access.FindEntryPoint(&entryStatus) && !faulted()) {
    t << "entry point: _SM_ " << unsigned{access.m_btMajorVersion} << "." << unsigned{access.m_btMinorVersion}
      << " at " << Hex(access.m_dwEntryPointAddress, 5) << ", table of " << access.m_wTableLength
      << " bytes at " << Hex(access.m_dwTableAddress, 5) << ", " << access.m_wStructureCount
      << " structures\n";
    for (std::int32_t n = 1; n <= 256 && access.FindTokenStructure(n, &walkStatus) && !faulted(); ++n) {
      banks.insert(access.m_wIndexPort);
      t << "token table " << n << ": ports " << Hex(access.m_wIndexPort, 2) << "/"
        << Hex(access.m_wDataPort, 2) << ", checksum type " << unsigned{access.m_btChecksumType} << " over "
        << Hex(access.m_btChecksumStart, 2) << "-" << Hex(access.m_btChecksumEnd, 2) << " at "
        << Hex(access.m_btChecksumLocation, 2) << "\n";
      if (!found && access.FindToken(kFlashToken, &tokenStatus) && !faulted()) {
        found = true;
        t << "token " << kFlashToken << ": in token table " << n << ", CMOS "
          << Bank(access.m_wIndexPort, access.m_btLocation) << ", AND mask " << Hex(access.m_btAndMask, 2)
          << ", OR value " << Hex(access.m_btOrValue, 2) << "\n";
        note = TokenTableNote(access);
        refused = access.ForbiddenLocation(true) >= 0;
        if (!note.empty()) t << "token " << kFlashToken << ": " << note << "\n";
      }
    }
    if (!found) reason = walkStatus == 3 ? "a string area runs to the table end" : "token 92 absent";
  } else if (!faulted()) {
    reason = EntryPointReason(entryStatus);
    const std::string at = Smbios3Anchor(*hardware);
    if (entryStatus == 1 && !at.empty())
      reason += "; the firmware publishes only a 3.x (_SM3_) entry point, at " + at;
  }
  CloseDeviceSlots();

  std::map<std::uint16_t, std::vector<std::uint8_t>> before;
  if (!o.save.empty() && !faulted())
    for (std::uint16_t b : banks)
      if (live::LinuxHardware::Reachable(b, 0x7F, static_cast<std::uint16_t>(b + 1)) &&
          (b != live::LinuxHardware::kClockBank || hardware->usesNvram()))
        before[b] = ReadBank(*hardware, b);

  // The write, as the flash sequence makes it.
  bool flash = false;
  if (found && !faulted()) {
    CBiosUpgrade upgrade;
    flash = upgrade.SetCmosToken(static_cast<std::uint8_t>(kFlashToken));
    CloseDeviceSlots();
    if (!flash) reason = refused ? note : "token 92 does not read back as set";
  }
  const char* verb = hardware->writes() ? "wrote " : "would write ";
  std::string ours, kernel;
  std::size_t count = 0;
  for (const live::HeldWrite& w : hardware->held()) {
    const std::string write =
        Bank(w.indexPort, w.location) + ": " + Hex(w.before, 2) + " -> " + Hex(w.after, 2);
    if (w.byKernel)
      kernel += (kernel.empty() ? "the kernel rewrote its checksum " : ", ") + write;
    else
      ours += (count++ == 0 ? verb : count == 2 ? ", checksum " : ", ") + write;
  }
  if (!ours.empty()) t << ours << "\n";
  if (!kernel.empty()) t << kernel << "\n";
  if (faulted()) {
    // The logic reads a failed read as 0 and goes on; the first failure is the one that counts.
    t << "outcome: unknown: " << hardware->faults().front();
    if (hardware->faultCount() > 1)
      t << " (" << hardware->faultCount() - 1 << " more reads or writes failed)";
    t << "\n";
  } else {
    t << "outcome: " << (flash ? "flash: token 92 set, restart" : "ERR3: " + reason) << "\n";
  }
  std::fputs(t.str().c_str(), stdout);

  if (!o.save.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(o.save, ec);
    for (const auto& [port, bytes] : before) {
      // Before: as read before the write; after: as the machine holds it now.
      const std::string stem = o.save + "/" + Hex(port, 2);
      if (!WriteFile(stem + "-before.bin", bytes) ||
          !WriteFile(stem + "-after.bin", ReadBank(*hardware, port))) {
        std::fprintf(stderr, "zim-sim: %s: cannot be written\n", o.save.c_str());
        return 2;
      }
    }
  }
  return faulted() ? 3 : flash ? 0 : 1;
}

}  // namespace zimsim
