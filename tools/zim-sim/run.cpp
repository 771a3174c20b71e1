// The run loop: ZIM started as a new process, again after each restart, as the platform would.
#include "tools/zim-sim/dry_run.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <map>

#include "tools/zim-sim/common.h"
#include "zim/app/bios_upgrade.h"
#include "zim/app/zim_app.h"
#include "zim/driver/device_slot.h"
#include "zim/driver/varn_ioctl.h"
#include "zim/tokens/token_access.h"

namespace zimsim {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// What ZIM makes of the token table it takes token `id` from (TokenTableNote), found by its own
// search on a copy of the machine's memory, so that the run's record of calls and controls stays
// as the run made it; empty when there is nothing to say or no such token.
std::string TokenNote(const sim::Machine& m, std::uint16_t id) {
  sim::Machine side;
  side.logCalls = false;
  side.varn.recordIoctls = false;
  side.varn.hardware = m.varn.hardware;
  side.varn.loaded = m.varn.loaded;
  side.version = m.version;
  side.memory = m.memory;
  sim::InstallOnThisThread installed(side);
  CloseDeviceSlots();
  CTokenAccess a;
  const std::string note = a.FindFirstToken(id) ? TokenTableNote(a) : std::string();
  CloseDeviceSlots();
  return note.empty() ? note : "token " + std::to_string(id) + ": " + note;
}

// One run of the program as a new process: static initialisation, the application, process exit.
// `program` is the program file's full path, as the platform found it.
RunReport RunProgram(sim::Machine& m, const std::string& commandLine, const std::string& program) {
  RunReport r;
  r.commandLine = commandLine;
  m.session.commandLine = commandLine;
  m.user.modulePath = program;

  const std::size_t boxes = m.user.boxes.size(), dialogs = m.user.dialogRuns.size();
  const std::size_t launches = m.session.launches.size(), restarts = m.session.restarts.size();
  const std::size_t ioctls = m.varn.ioctls.size(), staged = m.varn.staged.size(),
                    released = m.varn.released.size(), unheld = m.varn.unheldReadCount;
  m.varn.unheldAtFailure.reset();
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
    (l.result > 32 ? r.launches : r.launchesNotFound)
        .push_back(l.file.value_or("") + (l.parameters ? " " + *l.parameters : ""));
  }
  r.cleanupStarted = !r.launches.empty();
  for (std::size_t i = restarts; i < m.session.restarts.size(); ++i) {
    r.restartRequested = true;
    r.restartAccepted = r.restartAccepted || m.session.restarts[i].accepted;
  }
  // A token write is the port controls between two other controls (its search reads memory first).
  // Once a control fails after its first write, the writes that follow put bytes back.
  struct TokenWrite {
    bool writing = false, failed = false, abandoned = false;
    std::uint16_t port = 0;
    std::map<std::uint8_t, std::uint8_t> before;  // each location written, as it was
  } w;
  auto endTokenWrite = [&] {
    if (w.failed) {
      TokenWriteFailure f{w.port, !w.abandoned, {}};
      for (const auto& [location, before] : w.before)
        if (shadow[w.port][location] != before)
          f.left.push_back({w.port, location, before, shadow[w.port][location]});
      f.putBack = f.putBack && f.left.empty();
      r.tokenWriteFailures.push_back(f);
    }
    w = TokenWrite{};
  };
  for (std::size_t i = ioctls; i < m.varn.ioctls.size(); ++i) {
    const sim::IoctlRecord& c = m.varn.ioctls[i];
    ++r.ioctls[c.code];
    if (c.code == varn::IOCTL_STAGE_IMAGE) {
      r.stageResult = -1;
      if (c.succeeded && c.output.size() == 4)
        r.stageResult = static_cast<std::int32_t>(c.output[0] | (c.output[1] << 8) | (c.output[2] << 16) |
                                                  (static_cast<std::uint32_t>(c.output[3]) << 24));
    }
    const bool portWrite = c.code == varn::IOCTL_WRITE_INDEXED_PORT && c.input.size() == 7;
    const bool portRead = c.code == varn::IOCTL_READ_INDEXED_PORT;
    if (!portWrite && !portRead) endTokenWrite();
    if (portRead && !c.succeeded && w.writing) w.failed = true;
    if (!portWrite) continue;
    const std::uint16_t port = Le16(c.input, 0);
    const std::uint8_t location = c.input[2];
    auto& bank = shadow[port];
    if (!w.writing) w.port = port;
    w.writing = true;
    w.before.emplace(location, bank[location]);
    r.cmosWrites.push_back({port, location, bank[location], c.input[6], !c.succeeded, w.failed});
    if (!c.succeeded) {
      w.abandoned = w.failed;
      w.failed = true;
      continue;
    }
    bank[location] = c.input[6];
  }
  endTokenWrite();
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

  // Token 92 is written once an image is staged; token 93 after it when the restart is refused. A
  // run in which a control failed may have ended before ZIM read the table: it gets no note.
  if (r.stageResult != -1 && !m.varn.unheldAtFailure) {
    for (std::uint16_t id : {92, 93}) {
      if (id == 93 && (!r.restartRequested || r.restartAccepted)) continue;
      const std::string note = TokenNote(m, id);
      if (!note.empty()) r.tokenNotes.push_back(note);
    }
  }

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
  // Once a control has failed, ZIM's run ends with an error code whatever it reads afterwards:
  // those reads make no such ending uncertain. Any other ending counts them.
  const bool failedForGood = r.outcome == "failed" && !r.errorCode.empty();
  r.uncertain = Uncertainty(m, unheld, failedForGood ? m.varn.unheldAtFailure : std::nullopt,
                            r.restartRequested, !r.cmosWrites.empty());
  return r;
}

}  // namespace

Report Run(const Options& o, sim::Machine& m) {
  Report report;
  // The first run: started by the person, with the program where the machine was built to hold it.
  std::deque<std::pair<std::string, std::string>> pending = {{m.session.commandLine, m.user.modulePath}};
  std::vector<std::string> ranAtStart, notFoundAtStart;
  while (!pending.empty() && static_cast<int>(report.runs.size()) < o.runs) {
    RunReport r = RunProgram(m, pending.front().first, pending.front().second);
    pending.pop_front();
    r.ranAtStart = ranAtStart;
    r.notFoundAtStart = notFoundAtStart;
    ranAtStart.clear();
    notFoundAtStart.clear();
    const bool restarted = r.restartRequested && r.restartAccepted;
    report.runs.push_back(std::move(r));
    if (!restarted || static_cast<int>(report.runs.size()) >= o.runs) break;
    // The next start: the platform runs each RunOnce value once, from its own folder, and deletes
    // it. A program named by a relative name is looked for there and is not found.
    m.files.SetCurrentDirectory(m.windowsDirectory + "\\SYSTEM32");
    for (const sim::RunOnceEntry& e : m.registry.RunOnce()) {
      const std::string program = m.files.FindProgram(ProgramOf(e.commandLine));
      if (program.empty())
        notFoundAtStart.push_back(e.commandLine);
      else if (Upper(e.name) == "ZIM")
        pending.push_back({e.commandLine, program});
      else
        ranAtStart.push_back(e.commandLine);
    }
  }
  report.notFoundAtLastStart = notFoundAtStart;
  return report;
}

std::string UnheldReason(const sim::Machine& m, std::size_t from, std::optional<std::size_t> until) {
  const sim::VarnDevice& d = m.varn;
  const std::size_t to = std::min(d.unheldReadCount, until.value_or(d.unheldReadCount));
  if (to <= from) return {};
  std::string at;
  for (std::size_t i = from; i < std::min(to, d.unheldReads.size()); ++i)
    at += (at.empty() ? "" : ", ") + Hex(d.unheldReads[i]);
  if (at.empty()) at = "addresses";
  const std::size_t count = to - from;
  return "ZIM read " + std::to_string(count) + (count == 1 ? " value" : " values") + " at " + at +
         (to > d.unheldReads.size() ? " and more" : "") +
         " that the capture does not hold (past its table); the real machine has whatever lies there";
}

std::string Uncertainty(const sim::Machine& m, std::size_t from, std::optional<std::size_t> until,
                        bool flashed, bool wrote) {
  std::string why = UnheldReason(m, from, until);
  // Once ZIM acts on what it found behind an assumed entry point, a machine without that entry
  // point would have given "ERR3" instead, writing nothing.
  if ((flashed || wrote) && m.assumedEntryPoint)
    why += std::string(why.empty() ? "" : "; ") +
           (flashed ? "flash if the firmware also publishes a 2.x entry point in 0xF0000-0xFFFFF; ERR3 if not"
                    : "ERR3 either way, but the CMOS writes only if the firmware also publishes a 2.x entry "
                      "point in 0xF0000-0xFFFFF");
  return why;
}

int ExitStatus(const Report& report) {
  if (report.runs.empty()) return 1;
  if (!report.runs.back().uncertain.empty()) return 4;
  const std::string& outcome = report.runs.back().outcome;
  return outcome == "restart" ? 0 : outcome == "cancelled" ? 3 : 1;
}

}  // namespace zimsim
