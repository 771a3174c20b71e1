// The simulated machine that the options describe: the demo hardware or a captured table, CMOS
// banks, the registry, the files beside ZIM, the driver, the person.
#include "tools/zim-sim/dry_run.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "hosts/zim/program_resources.h"
#include "platform/sim/captures.h"
#include "platform/sim/demo_machine.h"
#include "platform/sim/input_file.h"
#include "tools/zim-sim/common.h"

namespace zimsim {

namespace {

// The folder ZIM is started from, and where it lies unless its command line leads elsewhere.
constexpr char kStartFolder[] = "C:\\TARN\\BIOS";

constexpr char kStateKey[] = "Software\\Tarn\\BIOSUPGRADE";

constexpr char kCleanupCommand[] = "C:\\TARN\\BIOS\\CLEANUP.EXE -s";

// The demo image: a small, recognisable BIOS image of 4 KiB.
std::vector<std::uint8_t> DemoImage() {
  std::vector<std::uint8_t> image(4096);
  const char header[] = "TARN BIOS A07 ";
  std::copy(header, header + sizeof header - 1, image.begin());
  for (std::size_t i = sizeof header - 1; i < image.size(); ++i)
    image[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return image;
}

}  // namespace

std::string ReadCmosBank(const CmosFile& file, sim::CmosBank& bank) {
  std::vector<std::uint8_t> bytes;
  std::string problem = sim::ReadInputFile(file.path, sim::kLargestCmosBank, "a CMOS bank", bytes);
  if (!problem.empty()) return problem;
  if (bytes.size() != bank.bytes.size())
    return sim::Displayed(file.path) + ": a CMOS bank must be 256 bytes, not " + std::to_string(bytes.size());
  std::copy(bytes.begin(), bytes.end(), bank.bytes.begin());
  bank.dataPort = static_cast<std::uint16_t>(file.indexPort + 1);
  return {};
}

std::string BuildMachine(const Options& o, sim::Machine& m, sim::DumpInfo* table) {
  std::vector<std::uint8_t> bytes;
  zim_host::LoadProgramResources(m.user);
  // Hardware: the demo table and banks, or what the options bring.
  sim::BuildDemoHardware(m, o.entryAt);
  if (!o.smbios.empty()) {
    m.memory = sim::PhysicalMemory{};
    sim::DumpPlacement placement;
    placement.entryAt = o.entryAt;
    placement.assume2x = o.assume2x;
    const std::string problem = sim::LoadCaptureFile(m, o.smbios, placement, table);
    if (!problem.empty()) return problem;
  }
  std::string problem;
  for (const PhysFile& p : o.phys) {
    problem = sim::ReadInputFile(p.path, sim::kLargestPhysFile, "a file placed in memory", bytes);
    if (!problem.empty()) return problem;
    if (bytes.size() > 0x100000000ULL - p.address)
      return sim::Displayed(p.path) + ": runs past the 4 GiB address space";
    m.memory.Write(p.address, bytes);
  }
  if (!o.cmos.empty()) m.cmos.clear();
  for (const CmosFile& c : o.cmos) {
    sim::CmosBank bank;
    problem = ReadCmosBank(c, bank);
    if (!problem.empty()) return problem;
    m.cmos[c.indexPort] = bank;
  }

  // The program where its command line leads from the folder it is started from, beside its images.
  m.session.commandLine =
      o.commandLine.empty() ? "\"" + std::string(kStartFolder) + "\\ZIM.EXE\" " : o.commandLine;
  const std::string program = sim::ProgramFileName(ProgramOf(m.session.commandLine));
  m.files.AddFolder(kStartFolder);
  m.files.SetCurrentDirectory(kStartFolder);
  try {
    m.files.AddFile(program, {'M', 'Z'});
  } catch (const std::invalid_argument&) {
    return "--command-line: " + program + " is no program file's name";
  }
  m.user.modulePath = m.files.FullPath(program);
  const std::string folder = m.user.modulePath.substr(0, m.user.modulePath.rfind('\\'));
  if (o.images.empty() && !o.noImage) m.files.AddFile(folder + "\\A07.HDR", DemoImage());
  for (const std::string& path : o.images) {
    problem = sim::ReadInputFile(path, sim::kLargestImage, "a BIOS image", bytes);
    if (!problem.empty()) return problem;
    m.files.AddFile(folder + "\\" + BaseName(path), bytes);
  }

  // The registry: the demo state, or the .reg file.
  if (o.registry.empty()) {
    m.registry.AddKey(kStateKey);
    m.registry.SetString(kStateKey, "BiosUpgradeCleanup", kCleanupCommand);
    m.registry.AddKey(sim::Registry::kRunOnceKey);
  } else {
    problem = sim::ReadInputFile(o.registry, sim::kLargestRegistryFile, "a registry file", bytes);
    if (!problem.empty()) return problem;
    m.registry = sim::Registry{};
    problem = m.registry.LoadReg(std::string(bytes.begin(), bytes.end()));
    if (!problem.empty()) return sim::Displayed(o.registry) + ": " + problem;
  }

  // The cleanup program, where the state key's command names it; a command naming no file places
  // nothing, and the shell will not find it.
  if (const auto cleanup = m.registry.GetString(kStateKey, "BiosUpgradeCleanup")) {
    try {
      const std::string name = ProgramOf(*cleanup);
      if (!name.empty() && m.files.FindProgram(name).empty())
        m.files.AddFile(sim::ProgramFileName(name), {'M', 'Z'});
    } catch (const std::invalid_argument&) {
    }
  }
  // RunOnce commands run from the system folder at the next start.
  m.files.AddFolder(m.windowsDirectory + "\\SYSTEM32");

  // The platform and the person.
  if (o.platform == "9x") m.version.platformId = win32::VER_PLATFORM_WIN32_WINDOWS;
  if (o.platform == "other") m.version.platformId = 3;
  if (o.platform == "noversion") m.version.fails = true;
  m.varn.loaded = o.driverLoaded;
  if (o.stageResultSet) m.varn.stageResult = o.stageResult;
  m.varn.stageFails = o.stageFails;
  m.session.restartAccepted = o.restartAccepted;
  for (const std::string& p : o.power)
    m.session.power.push_back(p == "online"    ? sim::PowerAnswer::Online()
                              : p == "offline" ? sim::PowerAnswer::Offline()
                              : p == "unknown" ? sim::PowerAnswer::Unknown()
                                               : sim::PowerAnswer::Failure());
  for (const std::string& a : o.answers) m.user.answers.push_back(a == "ok" ? win32::IDOK : win32::IDCANCEL);
  m.user.close = o.close == "ok"       ? sim::CloseAction::Button
                 : o.close == "enter"  ? sim::CloseAction::Enter
                 : o.close == "escape" ? sim::CloseAction::Escape
                                       : sim::CloseAction::CloseBox;
  m.user.uiLanguage = o.lang;
  for (const FailSpec& f : o.fails) m.FailCall(f.op, f.nth, f.persistent);
  return {};
}

}  // namespace zimsim
