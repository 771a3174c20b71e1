// The simulated machine that the options describe: the demo hardware or a captured table, CMOS
// banks, the registry, the files beside ZIM, the driver, the person.
#include "tools/zim-sim/dry_run.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "hosts/zim/program_resources.h"
#include "platform/sim/captures.h"
#include "platform/sim/demo_machine.h"
#include "tools/zim-sim/common.h"

namespace zimsim {

namespace {

constexpr char kProgramFolder[] = "C:\\TARN\\BIOS";

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

std::string ReadError(const std::string& path, const char* what) { return path + ": " + what; }

}  // namespace

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
  for (const PhysFile& p : o.phys) {
    if (!sim::ReadFileBytes(p.path, bytes)) return ReadError(p.path, "cannot be read");
    if (bytes.size() > 0x100000000ULL - p.address)
      return ReadError(p.path, "runs past the 4 GiB address space");
    m.memory.Write(p.address, bytes);
  }
  if (!o.cmos.empty()) m.cmos.clear();
  for (const CmosFile& c : o.cmos) {
    if (!sim::ReadFileBytes(c.path, bytes)) return ReadError(c.path, "cannot be read");
    if (bytes.size() != 256)
      return c.path + ": a CMOS bank must be 256 bytes, not " + std::to_string(bytes.size());
    std::copy(bytes.begin(), bytes.end(),
              m.AddCmosBank(c.indexPort, static_cast<std::uint16_t>(c.indexPort + 1)).bytes.begin());
  }

  // The program in its folder, beside its image and the cleanup program.
  const std::string program = std::string(kProgramFolder) + "\\ZIM.EXE";
  m.files.AddFile(program, {'M', 'Z'});
  m.files.AddFile(std::string(kProgramFolder) + "\\CLEANUP.EXE", {'M', 'Z'});
  if (o.images.empty() && !o.noImage) m.files.AddFile(std::string(kProgramFolder) + "\\A07.HDR", DemoImage());
  for (const std::string& path : o.images) {
    if (!sim::ReadFileBytes(path, bytes)) return ReadError(path, "cannot be read");
    m.files.AddFile(std::string(kProgramFolder) + "\\" + BaseName(path), bytes);
  }
  m.session.commandLine = "\"" + program + "\" ";
  m.user.modulePath = program;

  // The registry: the demo state, or the .reg file.
  if (o.registry.empty()) {
    m.registry.AddKey(kStateKey);
    m.registry.SetString(kStateKey, "BiosUpgradeCleanup", kCleanupCommand);
    m.registry.AddKey(sim::Registry::kRunOnceKey);
  } else {
    std::ifstream in(o.registry, std::ios::binary);
    if (!in) return ReadError(o.registry, "cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    m.registry = sim::Registry{};
    const std::string problem = m.registry.LoadReg(text.str());
    if (!problem.empty()) return o.registry + ": " + problem;
  }

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
