#include "tools/zim-sim/dry_run.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "hosts/zim/program_resources.h"
#include "platform/framework/framework.h"
#include "platform/sim/demo_machine.h"
#include "tools/zim-sim/json.h"
#include "zim/app/bios_upgrade.h"
#include "zim/app/zim_app.h"
#include "zim/driver/device_slot.h"
#include "zim/driver/varn_ioctl.h"

namespace zimsim {

namespace {

constexpr char kProgramFolder[] = "C:\\TARN\\BIOS";
constexpr char kStateKey[] = "Software\\Tarn\\BIOSUPGRADE";
constexpr char kCleanupCommand[] = "C:\\TARN\\BIOS\\CLEANUP.EXE -s";

std::string Hex(std::uint64_t v, int digits = 0) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(v));
  return buf;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// A number in decimal or 0x hex, within [lo, hi]; false when it is not one.
bool ParseNumber(const std::string& text, long long lo, long long hi, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  errno = 0;
  const long long v = hex ? static_cast<long long>(std::strtoull(text.c_str() + 2, &end, 16))
                          : std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) out.push_back(item);
  return out;
}

// The program's path: the quoted first word of a command line, or its first word.
std::string ProgramPath(const std::string& commandLine) {
  if (!commandLine.empty() && commandLine[0] == '"') {
    const auto end = commandLine.find('"', 1);
    return commandLine.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  return commandLine.substr(0, commandLine.find(' '));
}

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ValueText(const std::vector<std::uint8_t>& data) {
  std::string s(data.begin(), data.end());
  return s.substr(0, s.find('\0'));
}

std::uint16_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

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

const char* Usage() {
  return R"(usage: zim-sim [OPTION]...
       zim-sim --preflight FILE|DIR... [--entry-at ADDR] [--cmos PORT=FILE]... [--no-assumed-entry]
               [--json FILE|-]
Runs ZIM, as a person would see it, against a simulated machine and reports what would happen to the
real one. With no options: the built-in demo machine (a table with token tables, valid CMOS, the state
key holding a cleanup command, an image beside the program, the driver loaded, AC online).

machine
  --smbios FILE          the SMBIOS table from a `dmidecode --dump-bin` file (2.x, 3.x or legacy
                         entry point; the table where the entry point puts it)
  --entry-at ADDR        paragraph of the entry point written for the table (default 0xF0000)
  --no-assumed-entry     a dump with only a 3.x or legacy entry point gets that one alone, as on a
                         machine without a 2.x entry point (ZIM then finds no table); by default a
                         2.x entry point over the same table is assumed, and the transcript says so
  --phys ADDR=FILE       place the file's bytes in physical memory at ADDR, after the table
  --cmos PORT=FILE       a 256-byte CMOS bank behind index port PORT (data port PORT+1); repeatable;
                         when given, the demo banks are not used
  --image FILE           an image beside the program, in listing order; repeatable
  --no-image             no image beside the program
  --registry FILE        the initial HKLM state as a REGEDIT4 .reg file
  --platform P           nt, 9x, other or noversion (the version cannot be read)
  --driver D             loaded or missing
  --stage-result N       the driver's answer to staging
  --stage-fails          the driver refuses staging
  --restart R            accept or refuse
  --fail OP:N[+]         the Nth call of platform operation OP fails (with +: from then on)
person
  --power LIST           power answers in turn: online, offline, unknown, fail
  --answers LIST         message-box answers in turn: ok, cancel
  --close HOW            how the failure dialog is closed: ok, enter, escape, close
  --lang LANGID          user-interface language, such as 0x0411
run and output
  --runs N               at most N runs: after a restart the RunOnce values run, a "ZIM" value
                         starts ZIM again (default 1)
  --json FILE|-          the final state as JSON
  --save DIR             final CMOS banks (PORT.bin), registry (registry.reg), staged images, transcript
Exit status: 0 restart requested, 1 failed with an error code, 3 cancelled, 2 bad usage or input.

pre-flight
  --preflight FILE|DIR...  the token search and write of token 92 on every dump given (a folder:
                         every file in it), one row each as a Markdown table (--json: the same rows);
                         CMOS banks from --cmos, else blank banks with valid checksums behind each
                         token table's ports. Exit status: 0 every file gave an outcome, 1 some could
                         not be read, 2 bad usage.
)";
}

std::string ParseOptions(int argc, char** argv, Options& o) {
  auto need = [&](int& i, const std::string& name, std::string& value) -> std::string {
    if (i + 1 >= argc) return name + " needs a value";
    value = argv[++i];
    return {};
  };
  bool preflight = false;
  std::vector<std::string> arguments, given;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    std::string v, err;
    long long n = 0;
    if (a.rfind("--", 0) == 0) given.push_back(a);
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--preflight") {
      preflight = true;
    } else if (a == "--no-assumed-entry") {
      o.assume2x = false;
    } else if (a == "--no-image") {
      o.noImage = true;
    } else if (a == "--stage-fails") {
      o.stageFails = true;
    } else if (a.rfind("--", 0) == 0) {
      static const char* const kWithValue[] = {
          "--smbios",   "--entry-at", "--phys",         "--cmos",  "--image",   "--registry",
          "--platform", "--driver",   "--stage-result", "--power", "--answers", "--close",
          "--restart",  "--fail",     "--lang",         "--runs",  "--json",    "--save"};
      if (std::find(std::begin(kWithValue), std::end(kWithValue), a) == std::end(kWithValue))
        return "unknown option " + a;
      if (!(err = need(i, a, v)).empty()) return err;
      if (a == "--smbios") {
        o.smbios = v;
      } else if (a == "--entry-at") {
        if (!ParseNumber(v, 0xF0000, 0xFFFF0, n) || (n & 0xF) != 0)
          return "--entry-at takes a paragraph from 0xF0000 to 0xFFFF0";
        o.entryAt = static_cast<std::uint32_t>(n);
      } else if (a == "--phys" || a == "--cmos") {
        const auto eq = v.find('=');
        if (eq == std::string::npos || eq + 1 == v.size()) return a + " takes ADDR=FILE";
        if (a == "--phys") {
          if (!ParseNumber(v.substr(0, eq), 0, 0xFFFFFFFF, n))
            return "--phys: bad address " + v.substr(0, eq);
          o.phys.push_back({static_cast<std::uint32_t>(n), v.substr(eq + 1)});
        } else {
          if (!ParseNumber(v.substr(0, eq), 0, 0xFFFE, n)) return "--cmos: bad port " + v.substr(0, eq);
          o.cmos.push_back({static_cast<std::uint16_t>(n), v.substr(eq + 1)});
        }
      } else if (a == "--image") {
        o.images.push_back(v);
      } else if (a == "--registry") {
        o.registry = v;
      } else if (a == "--platform") {
        if (v != "nt" && v != "9x" && v != "other" && v != "noversion")
          return "--platform takes nt, 9x, other or noversion";
        o.platform = v;
      } else if (a == "--driver") {
        if (v != "loaded" && v != "missing") return "--driver takes loaded or missing";
        o.driverLoaded = v == "loaded";
      } else if (a == "--stage-result") {
        if (!ParseNumber(v, INT32_MIN, 0xFFFFFFFFLL, n)) return "--stage-result takes a 32-bit number";
        o.stageResultSet = true;
        o.stageResult = static_cast<std::int32_t>(static_cast<std::uint32_t>(n));
      } else if (a == "--power") {
        for (const auto& p : SplitList(v)) {
          if (p != "online" && p != "offline" && p != "unknown" && p != "fail")
            return "--power takes a comma list of online, offline, unknown, fail";
          o.power.push_back(p);
        }
      } else if (a == "--answers") {
        for (const auto& p : SplitList(v)) {
          if (p != "ok" && p != "cancel") return "--answers takes a comma list of ok, cancel";
          o.answers.push_back(p);
        }
      } else if (a == "--close") {
        if (v != "ok" && v != "enter" && v != "escape" && v != "close")
          return "--close takes ok, enter, escape or close";
        o.close = v;
      } else if (a == "--restart") {
        if (v != "accept" && v != "refuse") return "--restart takes accept or refuse";
        o.restartAccepted = v == "accept";
      } else if (a == "--fail") {
        const auto colon = v.rfind(':');
        std::string count = colon == std::string::npos ? "" : v.substr(colon + 1);
        FailSpec f;
        if (!count.empty() && count.back() == '+') {
          f.persistent = true;
          count.pop_back();
        }
        if (colon == 0 || colon == std::string::npos || !ParseNumber(count, 1, INT64_MAX, n))
          return "--fail takes OP:N or OP:N+ with N from 1";
        f.op = v.substr(0, colon);
        f.nth = static_cast<std::uint64_t>(n);
        o.fails.push_back(f);
      } else if (a == "--lang") {
        if (!ParseNumber(v, 1, 0xFFFF, n)) return "--lang takes a LANGID such as 0x0409";
        o.lang = static_cast<win32::WORD>(n);
      } else if (a == "--runs") {
        if (!ParseNumber(v, 1, 1000, n)) return "--runs takes a number from 1 to 1000";
        o.runs = static_cast<int>(n);
      } else if (a == "--json") {
        o.json = v;
      } else if (a == "--save") {
        o.save = v;
      } else {
        return "unknown option " + a;
      }
    } else {
      arguments.push_back(a);
    }
  }
  if (preflight) {
    for (const std::string& g : given)
      if (g != "--preflight" && g != "--entry-at" && g != "--cmos" && g != "--no-assumed-entry" &&
          g != "--json" && g != "--help")
        return g + " does not apply to --preflight";
    if (arguments.empty() && !o.help) return "--preflight needs a FILE or DIR";
    o.preflight = arguments;
    return {};
  }
  if (!arguments.empty()) return "unexpected argument " + arguments.front();
  if (o.noImage && !o.images.empty()) return "--no-image and --image exclude each other";
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
    const std::string problem = sim::LoadDumpFile(m, o.smbios, placement, table);
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

namespace {

// One run of the program as a new process: static initialisation, the application, process exit.
RunReport RunProgram(sim::Machine& m, const std::string& commandLine) {
  RunReport r;
  r.commandLine = commandLine;
  m.session.commandLine = commandLine;
  m.user.modulePath = ProgramPath(commandLine);

  const std::size_t boxes = m.user.boxes.size(), dialogs = m.user.dialogRuns.size();
  const std::size_t launches = m.session.launches.size(), restarts = m.session.restarts.size();
  const std::size_t ioctls = m.varn.ioctls.size(), staged = m.varn.staged.size(),
                    released = m.varn.released.size();
  const sim::Registry registryBefore = m.registry;
  std::map<std::uint16_t, std::array<std::uint8_t, 256>> shadow;
  for (const auto& [port, bank] : m.cmos) shadow[port] = bank.bytes;

  // The program under test is ZIM's application object; naming it here also links it in.
  if (AfxGetApp() != &theApp) {
    r.outcome = "failed";
    return r;
  }
  CloseDeviceSlots();
  g_strCommandLine.clear();
  AfxRunApplication();
  CloseDeviceSlots();
  g_strCommandLine.clear();

  for (std::size_t i = boxes; i < m.user.boxes.size(); ++i) {
    const sim::MessageBoxRecord& b = m.user.boxes[i];
    r.messages.push_back({b.id, b.text,
                          (b.style & win32::MB_TYPEMASK) == win32::MB_OKCANCEL ? "OK, Cancel" : "OK",
                          b.answer == win32::IDCANCEL ? "Cancel" : "OK"});
  }
  for (std::size_t i = launches; i < m.session.launches.size(); ++i) {
    const sim::LaunchRecord& l = m.session.launches[i];
    r.launches.push_back(l.file.value_or("") + (l.parameters ? " " + *l.parameters : ""));
  }
  r.cleanupStarted = !r.launches.empty();
  for (std::size_t i = restarts; i < m.session.restarts.size(); ++i) {
    r.restartRequested = true;
    r.restartAccepted = r.restartAccepted || m.session.restarts[i].accepted;
  }
  for (std::size_t i = ioctls; i < m.varn.ioctls.size(); ++i) {
    const sim::IoctlRecord& c = m.varn.ioctls[i];
    ++r.ioctls[c.code];
    if (c.code == varn::IOCTL_STAGE_IMAGE) {
      r.stageResult = -1;
      if (c.succeeded && c.output.size() == 4)
        r.stageResult = static_cast<std::int32_t>(c.output[0] | (c.output[1] << 8) | (c.output[2] << 16) |
                                                  (static_cast<std::uint32_t>(c.output[3]) << 24));
    }
    if (c.code == varn::IOCTL_WRITE_INDEXED_PORT && c.succeeded && c.input.size() == 7) {
      const std::uint16_t port = Le16(c.input, 0);
      const std::uint8_t location = c.input[2];
      auto& bank = shadow[port];
      r.cmosWrites.push_back({port, location, bank[location], c.input[6]});
      bank[location] = c.input[6];
    }
  }
  for (std::size_t i = staged; i < m.varn.staged.size(); ++i)
    r.stagedSizes.push_back(m.varn.staged[i].size());
  r.released.assign(m.varn.released.begin() + static_cast<std::ptrdiff_t>(released), m.varn.released.end());

  // Registry changes: every value whose bytes differ, and every value that went away.
  for (const sim::RegKey* key : m.registry.Keys()) {
    for (const sim::RegValue& v : key->values) {
      const sim::RegValue* old = registryBefore.GetValue(key->path, v.name);
      if (old == nullptr || old->data != v.data || old->type != v.type)
        r.registry.push_back({key->path, v.name, false, ValueText(v.data)});
    }
  }
  for (const sim::RegKey* key : registryBefore.Keys())
    for (const sim::RegValue& v : key->values)
      if (m.registry.GetValue(key->path, v.name) == nullptr)
        r.registry.push_back({key->path, v.name, true, {}});

  const sim::DialogRecord* dialog = nullptr;
  for (std::size_t i = dialogs; i < m.user.dialogRuns.size(); ++i)
    if (m.user.dialogRuns[i].templateId == 102) dialog = &m.user.dialogRuns[i];
  if (dialog != nullptr) {
    r.dialogShown = dialog->shown;
    for (const sim::ControlState& c : dialog->controls) {
      if (c.id == 1001) r.dialogText = c.text;
      if (c.id == 1002)
        r.okVisible = (c.style & win32::WS_VISIBLE) != 0 && (c.style & win32::WS_DISABLED) == 0;
    }
  }
  r.errorCode = r.dialogText;
  if (dialog != nullptr && dialog->closedBy == "init")
    r.outcome = "cancelled";
  else if (r.errorCode.empty() && r.restartRequested)
    r.outcome = "restart";
  else
    r.outcome = "failed";
  return r;
}

}  // namespace

Report Run(const Options& o, sim::Machine& m) {
  Report report;
  std::deque<std::string> pending = {m.session.commandLine};
  std::vector<std::string> ranAtStart;
  while (!pending.empty() && static_cast<int>(report.runs.size()) < o.runs) {
    RunReport r = RunProgram(m, pending.front());
    pending.pop_front();
    r.ranAtStart = ranAtStart;
    ranAtStart.clear();
    const bool restarted = r.restartRequested && r.restartAccepted;
    report.runs.push_back(std::move(r));
    if (!restarted || static_cast<int>(report.runs.size()) >= o.runs) break;
    // The next start: the platform runs each RunOnce value once and deletes it.
    for (const sim::RunOnceEntry& e : m.registry.RunOnce()) {
      if (Upper(e.name) == "ZIM")
        pending.push_back(e.commandLine);
      else
        ranAtStart.push_back(e.commandLine);
    }
  }
  return report;
}

std::vector<std::string> TableNotes(const std::string& file, const sim::DumpInfo& d) {
  const std::string kind = sim::EntryPointName(d.kind);
  std::vector<std::string> notes;
  notes.push_back("SMBIOS " + d.version + ", " + kind + " entry point; table of " +
                  std::to_string(d.tableLength) + " bytes at file offset " + Hex(d.tableOffset) +
                  ", loaded at " + Hex(d.tableAddress) +
                  "; structures: " + (d.publishedCount ? std::to_string(*d.publishedCount) : "none") +
                  " published, " + std::to_string(d.foundCount) + " found");
  if (d.CountDiffers())
    notes.push_back("the entry point publishes " + std::to_string(*d.publishedCount) +
                    " structures, the table holds " + std::to_string(d.foundCount) +
                    ": ZIM walks the table by the published count");
  if (d.kind == sim::EntryPointKind::Smbios2) {
    notes.push_back("2.x entry point as published, at " + Hex(d.entryAt));
  } else if (d.assumed2x) {
    notes.push_back("assumed: a 2.x entry point at " + Hex(d.entryAt) + " over the same table, which " +
                    BaseName(file) + " does not publish; on a machine with only its " + kind +
                    " entry point ZIM finds no table and ends with ERR3 (--no-assumed-entry runs without "
                    "this assumption)");
  } else {
    notes.push_back("only the " + kind + " entry point, at " + Hex(d.entryAt) +
                    ", and no 2.x entry point (--no-assumed-entry): ZIM finds no table");
  }
  return notes;
}

std::string Transcript(const Report& report, const sim::Machine& m) {
  std::ostringstream t;
  int n = 0;
  if (report.table) {
    t << "== the table: " << report.tableFile << "\n";
    for (const std::string& note : TableNotes(report.tableFile, *report.table)) t << note << "\n";
  }
  for (const RunReport& r : report.runs) {
    t << "== run " << ++n << ": " << r.commandLine << "\n";
    for (const std::string& c : r.ranAtStart) t << "at start, the platform ran: " << c << "\n";
    for (const MessageShown& msg : r.messages) {
      std::string text = msg.text;
      std::replace(text.begin(), text.end(), '\n', ' ');
      t << "message " << msg.id << " [" << msg.buttons << "]: \"" << text << "\" -> " << msg.answer << "\n";
    }
    for (std::size_t size : r.stagedSizes) t << "image staged: " << size << " bytes\n";
    if (r.ioctls.count(varn::IOCTL_STAGE_IMAGE)) t << "stage result: " << r.stageResult << "\n";
    for (const CmosWrite& w : r.cmosWrites)
      t << "CMOS " << Hex(w.indexPort, 2) << "[" << Hex(w.location, 2) << "]: " << Hex(w.before, 2) << " -> "
        << Hex(w.after, 2) << "\n";
    for (std::int32_t v : r.released) t << "image released in the driver with stage result " << v << "\n";
    for (const RegistryChange& c : r.registry) {
      if (c.deleted)
        t << "registry: deleted HKLM\\" << c.key << " \"" << c.name << "\"\n";
      else
        t << "registry: set HKLM\\" << c.key << " \"" << c.name << "\" = \"" << c.data << "\"\n";
    }
    for (const std::string& l : r.launches) t << "started: " << l << "\n";
    if (r.restartRequested)
      t << "restart requested: " << (r.restartAccepted ? "accepted" : "refused") << "\n";
    t << "dialog: text \"" << r.dialogText << "\", OK button " << (r.okVisible ? "visible" : "hidden")
      << (r.dialogShown ? "" : ", never shown") << "\n";
    t << "outcome: " << r.outcome << (r.errorCode.empty() ? "" : " " + r.errorCode) << "\n";
  }
  t << "== the machine afterwards\n";
  for (const sim::RegKey* key : m.registry.Keys())
    for (const sim::RegValue& v : key->values)
      t << "HKLM\\" << key->path << " \"" << v.name << "\" = \"" << ValueText(v.data) << "\"\n";
  for (const auto& [port, bank] : m.cmos) {
    t << "CMOS " << Hex(port, 2) << ":";
    for (unsigned i = 0; i < 256; ++i) {
      if (i % 32 == 0) t << "\n  " << Hex(i, 2) << ":";
      t << " " << Hex(bank.bytes[i], 2).substr(2);
    }
    t << "\n";
  }
  return t.str();
}

std::uint32_t Crc32(const std::vector<std::uint8_t>& data) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::uint8_t b : data) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

std::string ToJson(const Report& report, const sim::Machine& m) {
  Json j;
  j.BeginObject();
  if (report.table) {
    const sim::DumpInfo& d = *report.table;
    j.Key("table").BeginObject();
    j.Key("file").String(report.tableFile);
    j.Key("smbios").String(d.version);
    j.Key("entry_point").String(sim::EntryPointName(d.kind));
    j.Key("entry_point_at").String(Hex(d.entryAt));
    j.Key("assumed_2x_entry_point").Bool(d.assumed2x);
    j.Key("structures").BeginObject().Key("published");
    if (d.publishedCount)
      j.Number(*d.publishedCount);
    else
      j.Null();
    j.Key("found").Number(d.foundCount).Key("differ").Bool(d.CountDiffers()).EndObject();
    j.Key("table_offset").Number(d.tableOffset);
    j.Key("table_length").Number(d.tableLength);
    j.EndObject();
  }
  j.Key("runs").BeginArray();
  for (const RunReport& r : report.runs) {
    j.BeginObject();
    j.Key("command_line").String(r.commandLine);
    j.Key("outcome").String(r.outcome);
    j.Key("error_code").String(r.errorCode);
    j.Key("messages").BeginArray();
    for (const MessageShown& msg : r.messages)
      j.BeginObject()
          .Key("id")
          .Number(msg.id)
          .Key("text")
          .String(msg.text)
          .Key("buttons")
          .String(msg.buttons)
          .Key("answer")
          .String(msg.answer)
          .EndObject();
    j.EndArray();
    j.Key("dialog")
        .BeginObject()
        .Key("text")
        .String(r.dialogText)
        .Key("ok_visible")
        .Bool(r.okVisible)
        .EndObject();
    j.Key("cleanup_started").Bool(r.cleanupStarted);
    j.Key("restart_requested").Bool(r.restartRequested);
    j.Key("stage_result").Number(r.stageResult);
    j.Key("ioctls").BeginObject();
    for (const auto& [code, count] : r.ioctls) j.Key(Hex(code)).Number(count);
    j.EndObject();
    j.EndObject();
  }
  j.EndArray();
  j.Key("cmos").BeginObject();
  for (const auto& [port, bank] : m.cmos) {
    std::string digits;
    for (std::uint8_t b : bank.bytes) digits += Hex(b, 2).substr(2);
    j.Key(Hex(port, 2)).String(digits);
  }
  j.EndObject();
  j.Key("registry").BeginObject();
  for (const sim::RegKey* key : m.registry.Keys()) {
    if (key->values.empty()) continue;
    j.Key(key->path.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + key->path).BeginObject();
    for (const sim::RegValue& v : key->values) j.Key(v.name).String(ValueText(v.data));
    j.EndObject();
  }
  j.EndObject();
  j.Key("driver").BeginObject().Key("staged").BeginArray();
  for (const auto& image : m.varn.staged)
    j.BeginObject()
        .Key("bytes")
        .Number(static_cast<long long>(image.size()))
        .Key("crc32")
        .String(Hex(Crc32(image), 8))
        .EndObject();
  j.EndArray().Key("released").BeginArray();
  for (std::int32_t v : m.varn.released) j.Number(v);
  j.EndArray().EndObject();
  j.EndObject();
  return j.Text() + "\n";
}

std::string Save(const std::string& folder, const Report& report, const sim::Machine& m) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return folder + ": cannot be created (" + ec.message() + ")";
  auto write = [&](const std::string& name, const void* data, std::size_t size) -> std::string {
    const std::string path = (fs::path(folder) / name).string();
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return out ? std::string{} : path + ": cannot be written";
  };
  std::string problem;
  for (const auto& [port, bank] : m.cmos)
    if (problem.empty()) problem = write(Hex(port, 2) + ".bin", bank.bytes.data(), bank.bytes.size());
  const std::string reg = m.registry.SaveReg();
  if (problem.empty()) problem = write("registry.reg", reg.data(), reg.size());
  for (std::size_t i = 0; i < m.varn.staged.size() && problem.empty(); ++i)
    problem =
        write("staged-" + std::to_string(i + 1) + ".bin", m.varn.staged[i].data(), m.varn.staged[i].size());
  const std::string transcript = Transcript(report, m);
  if (problem.empty()) problem = write("transcript.txt", transcript.data(), transcript.size());
  return problem;
}

int ExitStatus(const Report& report) {
  if (report.runs.empty()) return 1;
  const std::string& outcome = report.runs.back().outcome;
  return outcome == "restart" ? 0 : outcome == "cancelled" ? 3 : 1;
}

}  // namespace zimsim
