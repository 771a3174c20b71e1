// The fault-injection sweep over whole runs of ZIM. For each main scenario a clean run records every
// platform call; then, for every call position N of that record, the scenario runs again with call N
// failing once, and again with every call from N on failing. Each run must end as the program allows
// (a restart, a cancel, or an error code that the failure can give) and leave the machine whole: every
// token write whole or not made at all (each CMOS bank as it was, or as whole token writes leave it,
// and as the clean run leaves it when a restart was asked for), the retry state consistent, the cleanup
// program started or registered, every image the driver took either flashed or handed back, and nothing left
// open.
#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "platform/sim/smbios_builder.h"
#include "sweep_support.h"
#include "tools/zim-sim/dry_run.h"
#include "zim/driver/varn_ioctl.h"
#include "zim/tokens/token_access.h"

namespace {

using reliability::Struck;

constexpr char kStateKey[] = "Software\\Tarn\\BIOSUPGRADE";
constexpr char kRunOnceKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// A run scans the BIOS area at most twice: for token 92 and for token 93.
constexpr unsigned kScansPerRun = 2;

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// ---- the token tables, read from the machine's memory without ZIM's own walker

struct TokenRecordInfo {
  std::uint16_t id;
  std::uint8_t location, andMask, orValue;
};
struct TokenTable {
  std::uint16_t indexPort = 0, dataPort = 0;
  std::uint8_t type = 0, start = 0, end = 0, at = 0;
  std::vector<TokenRecordInfo> tokens;

  bool TwoBytes() const { return type == 0 || type == 2 || type == 3; }
  bool IsChecksumLocation(std::uint8_t location) const {
    if (type > 3) return false;
    return location == at || (TwoBytes() && location == static_cast<std::uint8_t>(at + 1));
  }
};

std::vector<TokenTable> TokenTables(const sim::Machine& m, std::uint32_t entryAt) {
  const auto ep = m.memory.Read(entryAt, 31);
  const std::uint32_t start = Le32(&ep[24]), end = start + Le16(&ep[22]);
  std::vector<TokenTable> tables;
  for (std::uint32_t p = start; p + 4 <= end;) {
    const auto header = m.memory.Read(p, 2);
    const std::uint8_t type = header[0], length = header[1];
    if (length < 4) break;
    if (type == 212 && length >= 12) {
      const auto s = m.memory.Read(p, length);
      TokenTable t{Le16(&s[4]), Le16(&s[6]), s[8], s[9], s[10], s[11], {}};
      for (std::size_t r = 12; r + 5 <= length; r += 5)
        t.tokens.push_back({Le16(&s[r]), s[r + 2], s[r + 3], s[r + 4]});
      tables.push_back(t);
    }
    if (type == 127) break;
    p += length;
    while (p + 1 < end && (m.memory.Read(p) != 0 || m.memory.Read(p + 1) != 0)) ++p;
    p += 2;
  }
  return tables;
}

using Bank = std::array<std::uint8_t, 256>;

// A bank after one whole write of a token: its byte set, then the checksum over the range as CMOS
// then holds it, stored where and as the checksum type says.
Bank Applied(Bank bank, const TokenTable& t, const TokenRecordInfo& r) {
  bank[r.location] = static_cast<std::uint8_t>((bank[r.location] & r.andMask) | r.orValue);
  // Types above 3, and a descriptor that is all zero, keep no checksum.
  if (t.type > 3 || (t.start == 0 && t.end == 0 && t.at == 0)) return bank;
  std::vector<std::uint8_t> range;
  for (unsigned i = t.start; i <= t.end; ++i) range.push_back(bank[i]);
  const std::uint16_t value = CmosChecksum(t.type, range.data(), range.size());
  if (t.type == 1) {
    bank[t.at] = static_cast<std::uint8_t>(value);
  } else {
    bank[t.at] = static_cast<std::uint8_t>(value >> 8);
    bank[static_cast<std::uint8_t>(t.at + 1)] = static_cast<std::uint8_t>(value);
  }
  return bank;
}

// Every state that whole token writes, in the order a run makes them, can leave a table's bank in:
// each run writes token 92, and token 93 after it when the restart is refused. A state outside it
// holds part of a write, or a write that no run makes.
std::set<Bank> WholeWriteStates(const Bank& initial, const TokenTable& t, int runs) {
  const TokenRecordInfo* t92 = nullptr;
  const TokenRecordInfo* t93 = nullptr;
  for (const TokenRecordInfo& r : t.tokens) {
    if (r.id == 92 && t92 == nullptr) t92 = &r;
    if (r.id == 93 && t93 == nullptr) t93 = &r;
  }
  std::set<Bank> states = {initial};
  for (int run = 0; run < runs; ++run) {
    std::set<Bank> next = states;
    for (const Bank& b : states) {
      if (t92 == nullptr) continue;
      const Bank set92 = Applied(b, t, *t92);
      next.insert(set92);
      if (t93 != nullptr) next.insert(Applied(set92, t, *t93));
    }
    states = next;
  }
  return states;
}

const TokenRecordInfo* FindToken(const std::vector<TokenTable>& tables, std::uint16_t id,
                                 const TokenTable** in) {
  for (const TokenTable& t : tables)
    for (const TokenRecordInfo& r : t.tokens)
      if (r.id == id) {
        *in = &t;
        return &r;
      }
  return nullptr;
}

// ---- the scenarios

struct Scenario {
  std::string name;
  zimsim::Options options;
  // The token table, when not the demo machine's: one table behind ports 0x72/0x73 whose checksum
  // covers the tokens' bytes, so that part of a write shows in the bank.
  std::optional<std::array<std::uint8_t, 4>> checksum;  // type, range start, range end, location
  std::uint16_t port = 0x72;                             // the table's index port
};

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> s(5);
  for (std::uint8_t type = 0; type <= 3; ++type) {
    Scenario t;
    t.name = "flash branch, checksum type " + std::to_string(type) + " over the token bytes";
    t.checksum = {type, 0x40, 0x7D, 0x7E};
    s.push_back(t);
  }
  Scenario refused;
  refused.name = "restart refused, token 93 written after token 92";
  refused.options.restartAccepted = false;
  refused.checksum = {2, 0x40, 0x7D, 0x7E};
  s.push_back(refused);
  Scenario inside;
  inside.name = "flash branch, checksum location inside its own range";
  inside.checksum = {0, 0x40, 0x7F, 0x60};
  s.push_back(inside);
  // The clock's bank with an all-zero descriptor: no checksum, so only the token bytes change.
  Scenario none;
  none.name = "flash branch, all-zero checksum descriptor on the clock's bank";
  none.checksum = {0, 0, 0, 0};
  none.port = 0x70;
  s.push_back(none);
  s[0].name = "flash branch";
  s[1].name = "retry branch";
  s[1].options.stageFails = true;
  s[2].name = "second run after a retry";
  s[2].options.stageFails = true;
  s[2].options.runs = 2;
  s[3].name = "AC cancelled";
  s[3].options.power = {"offline"};
  s[3].options.answers = {"ok", "cancel"};
  // Without the privilege calls and through the other device name.
  s[4].name = "flash branch on Windows 9x";
  s[4].options.platform = "9x";
  return s;
}

// One process of a scenario, with what it left behind before the platform's next start.
struct ProcessRun {
  zimsim::RunReport report;
  std::size_t firstRecord = 0, endRecord = 0;  // its records in the call log
  std::vector<std::int32_t> staged;            // stage results of the images the driver took in it
  std::vector<std::int32_t> released;
  std::vector<sim::LaunchRecord> launches;
  bool zimRegistered = false, retrySet = false, cleanupRegistered = false;
  std::string registryBefore, registryAfter;
  std::size_t openFiles = 0, openSearches = 0, openDevices = 0, openKeys = 0, heapBlocks = 0;
};

bool Restarted(const zimsim::RunReport& r) { return r.restartRequested && r.restartAccepted; }

// Runs the scenario's processes one by one through the dry run, so the state each leaves can be
// looked at before the platform's next start runs the RunOnce values.
std::vector<ProcessRun> RunProcesses(const zimsim::Options& options, sim::Machine& m) {
  zimsim::Options one = options;
  one.runs = 1;
  std::vector<ProcessRun> runs;
  for (int i = 0; i < options.runs; ++i) {
    ProcessRun p;
    p.firstRecord = m.calls.size();
    const std::size_t staged = m.varn.staged.size(), released = m.varn.released.size();
    const std::size_t launches = m.session.launches.size();
    p.registryBefore = m.registry.SaveReg();
    {
      reliability::HangGuard guard;
      p.report = zimsim::Run(one, m).runs.at(0);
    }
    p.endRecord = m.calls.size();
    p.staged.assign(m.varn.staged.size() - staged, m.varn.stageResult);
    p.released.assign(m.varn.released.begin() + static_cast<std::ptrdiff_t>(released), m.varn.released.end());
    p.launches.assign(m.session.launches.begin() + static_cast<std::ptrdiff_t>(launches),
                      m.session.launches.end());
    p.zimRegistered = m.registry.GetValue(kRunOnceKey, "ZIM") != nullptr;
    p.retrySet = m.registry.GetValue(kStateKey, "retry") != nullptr;
    p.cleanupRegistered = m.registry.GetValue(kRunOnceKey, "BiosUpgradeCleanup") != nullptr;
    p.registryAfter = m.registry.SaveReg();
    p.openFiles = m.OpenHandleCount(sim::HandleKind::File);
    p.openSearches = m.OpenHandleCount(sim::HandleKind::Find);
    p.openDevices = m.OpenHandleCount(sim::HandleKind::Device);
    p.openKeys = m.registry.OpenKeyCount();
    p.heapBlocks = m.heapBlocks.size();
    runs.push_back(p);
    if (!Restarted(p.report)) break;
    // The next start: the platform runs each RunOnce value once; "ZIM" starts the program again.
    std::optional<std::string> next;
    for (const sim::RunOnceEntry& e : m.registry.RunOnce())
      if (e.name == "ZIM") next = e.commandLine;
    if (!next) break;
    m.session.commandLine = *next;
  }
  return runs;
}

// ---- the clean record of a scenario

struct CleanRecord {
  std::vector<ProcessRun> runs;
  std::size_t calls = 0;
  std::map<std::uint16_t, Bank> cmos;  // each bank as the clean run leaves it
};

// ---- the invariants

struct SweepCounts {
  std::size_t positions = 0, runs = 0, processes = 0;
  // How often each named exception excused a state that the invariants otherwise forbid.
  std::map<std::string, std::size_t> excused;
};

class ZimSweep {
 public:
  ZimSweep(const Scenario& scenario, reliability::Violations& violations)
      : scenario_(scenario), violations_(violations) {}

  // Runs the scenario once without faults and keeps its record.
  void RecordClean() {
    sim::Machine m;
    Build(m);
    sim::Install installed(m);
    clean_.runs = RunProcesses(scenario_.options, m);
    clean_.calls = m.calls.size();
    std::size_t deviceControls = 0;
    for (const sim::CallRecord& c : m.calls) deviceControls += c.op == "DeviceIoControl" ? 1 : 0;
    // Faults are placed by ordinal among the device controls, so the log and the driver's own record
    // of the controls must agree one for one.
    ASSERT_EQ(deviceControls, m.varn.ioctls.size()) << scenario_.name;
    for (const auto& [port, bank] : m.cmos) clean_.cmos[port] = bank.bytes;
    Check(m, clean_.runs, "clean run", std::nullopt, false);
  }

  // For every position of the clean record, a run with that call failing once and a run with every
  // call from it on failing.
  void Sweep() {
    for (std::uint64_t n = 1; n <= clean_.calls; ++n) {
      std::optional<Struck> struck;
      for (bool persistent : {false, true}) {
        sim::Machine m;
        Build(m);
        m.FailCallAt(n, persistent);
        m.FailCallAt(
            reliability::CallCap(clean_.calls, kScansPerRun * static_cast<unsigned>(scenario_.options.runs)),
            true);
        sim::Install installed(m);
        const std::vector<ProcessRun> runs = RunProcesses(scenario_.options, m);
        ++counts_.runs;
        counts_.processes += runs.size();
        const std::string where = scenario_.name + ", call " + std::to_string(n) +
                                  (persistent ? " failing from then on" : " failing once");
        Struck s;
        if (reliability::FirstStruck(m, s)) {
          struck = s;
        } else if (!persistent) {
          violations_.Add(where, "no call was struck although the clean run made " +
                                     std::to_string(clean_.calls) + " calls");
          continue;
        }
        if (m.calls.size() + 1 >=
            reliability::CallCap(clean_.calls,
                                 kScansPerRun * static_cast<unsigned>(scenario_.options.runs))) {
          violations_.Add(where, "the run went on to " + std::to_string(m.calls.size()) + " calls (a hang)");
          continue;
        }
        Check(m, runs, where, struck, persistent);
      }
    }
    counts_.positions = clean_.calls;
  }

  const SweepCounts& counts() const { return counts_; }

 private:
  void Build(sim::Machine& m) {
    ASSERT_EQ(zimsim::BuildMachine(scenario_.options, m), "");
    if (scenario_.checksum) {
      const auto [type, start, end, at] = *scenario_.checksum;
      sim::SmbiosBuilder table;
      table.Add(1, 0x0100, {1, 2, 3, 4});
      const std::uint16_t port = scenario_.port;
      table.TokenTable(0xD400, port, static_cast<std::uint16_t>(port + 1), type, start, end, at,
                       {{93, 0x79, 0xFE, 0x01}, {92, 0x78, 0xBF, 0x40}});
      table.EndOfTable(0xFFFF);
      table.Install(m, 0xE0000, scenario_.options.entryAt);
      // Bytes of every kind in the range, so that each checksum type sees carries and shifts.
      auto& bank = m.cmos.at(port).bytes;
      for (unsigned i = 0; i < 256; ++i) bank[i] = static_cast<std::uint8_t>(i * 37 + 11);
      bank[0x78] = 0x21;  // neither token set
      bank[0x79] = 0x80;
    }
    if (tables_.empty()) {
      tables_ = TokenTables(m, scenario_.options.entryAt);
      for (const auto& [port, bank] : m.cmos) initialCmos_[port] = bank.bytes;
      // Each run writes token 92, and token 93 after it: two writes a run.
      for (const TokenTable& t : tables_)
        wholeStates_[t.indexPort] =
            WholeWriteStates(initialCmos_[t.indexPort], t, 2 * scenario_.options.runs);
    }
  }

  // Whether the run's records include a struck call that matches.
  template <class Pred>
  static bool StruckIn(const sim::Machine& m, const ProcessRun& p, Pred pred) {
    for (std::size_t i = p.firstRecord; i < p.endRecord; ++i)
      if (m.calls[i].injected && pred(m.calls[i])) return true;
    return false;
  }

  void Check(const sim::Machine& m, const std::vector<ProcessRun>& runs, const std::string& where,
             const std::optional<Struck>& struck, bool persistent) {
    auto fail = [&](const std::string& what) {
      violations_.Add(where + (struck ? " (" + struck->op + "(" + struck->args + "))" : std::string()), what);
    };
    // Counts a named exception when it applies.
    auto excused = [&](const char* name, bool applies) {
      if (applies) ++counts_.excused[name];
      return applies;
    };
    if (runs.empty()) return fail("no process ran");

    for (std::size_t k = 0; k < runs.size(); ++k) {
      const ProcessRun& p = runs[k];
      const zimsim::RunReport& r = p.report;
      const std::string run = "run " + std::to_string(k + 1) + ": ";
      const bool struckHere = struck && struck->record >= p.firstRecord && struck->record < p.endRecord;

      // The dialog never ran: the program did nothing at all.
      const bool noDialog =
          StruckIn(m, p, [](const sim::CallRecord& c) { return c.op == "DialogBoxParamA"; });
      if (noDialog && p.registryAfter != p.registryBefore)
        fail(run + "the dialog never ran, yet the registry changed");

      // ---- outcome
      // The error code the dialog set as its text, as the call log shows it even when that call was
      // struck; it cannot be known when the dialog never ran or its text control was not bound.
      std::string code = r.errorCode;
      for (std::size_t i = p.firstRecord; i < p.endRecord && code.empty(); ++i)
        if (m.calls[i].op == "SetWindowTextA") {
          const std::string& a = m.calls[i].args;
          const auto open = a.find('"'), close = a.rfind('"');
          if (open != std::string::npos && close > open) code = a.substr(open + 1, close - open - 1);
        }
      const bool codeHidden = noDialog || StruckIn(m, p, [](const sim::CallRecord& c) {
                                return c.op == "GetDlgItem" && Contains(c.args, ", 1001");
                              });
      // ERR4 never shows: a staging failure takes the retry branch, which ends in a restart or ERR6.
      static const char* const kShownCodes[] = {"ERR1", "ERR2", "ERR3", "ERR5", "ERR6", "ERR7"};
      const bool knownCode =
          std::find(std::begin(kShownCodes), std::end(kShownCodes), code) != std::end(kShownCodes);
      // The flash sequence begins with its start delay; a run without it ended at the power check.
      const bool cancelledAtPowerCheck =
          !noDialog && std::none_of(m.calls.begin() + static_cast<std::ptrdiff_t>(p.firstRecord),
                                    m.calls.begin() + static_cast<std::ptrdiff_t>(p.endRecord),
                                    [](const sim::CallRecord& c) { return c.op == "Sleep"; });
      // A cancel ends the dialog at once, unless ending it was struck: then the empty dialog stays
      // until the person closes it.
      const bool endStruck = StruckIn(m, p, [](const sim::CallRecord& c) { return c.op == "EndDialog"; });
      if (cancelledAtPowerCheck) {
        if (r.outcome != "cancelled" && !excused("closing after a cancel struck",
                                                 endStruck && r.outcome == "failed" && r.errorCode.empty()))
          fail(run + "cancelled at the power check, yet ended \"" + r.outcome + "\" \"" + r.errorCode + "\"");
      } else if (r.outcome == "failed" && !knownCode &&
                 !excused("error code text struck", code.empty() && codeHidden)) {
        fail(run + "failed with error code \"" + code + "\"");
      } else if (r.outcome != "failed" && r.outcome != "restart") {
        fail(run + "ended as \"" + r.outcome + "\"");
      }
      if (struckHere && !persistent) CheckOutcomeForFault(*struck, p, code, run, fail);

      // ---- registry: the retry state
      if (p.zimRegistered && !p.retrySet) {
        // A persistent fault can strike the writing of "retry" and then the undo that would take
        // "ZIM" back: neither can be done. Where "retry" was written, it stays with "ZIM".
        const bool undoStruck = StruckIn(m, p, [](const sim::CallRecord& c) {
          return (c.op == "RegOpenKeyExA" && Contains(c.args, "RunOnce")) ||
                 (c.op == "RegDeleteValueA" && Contains(c.args, "\"ZIM\""));
        });
        const bool retryWriteStruck = StruckIn(m, p, [](const sim::CallRecord& c) {
          return (c.op == "RegOpenKeyExA" && Contains(c.args, "BIOSUPGRADE")) ||
                 (c.op == "RegSetValueExA" && Contains(c.args, "\"retry\""));
        });
        if (!excused("retry write and undo struck", persistent && undoStruck && retryWriteStruck))
          fail(run + "\"ZIM\" is under RunOnce while \"retry\" is not set");
      }
      if (k == 1 && p.zimRegistered) fail(run + "the second run registered the program to run a third time");
      if (Restarted(r) && p.zimRegistered && p.cleanupRegistered)
        fail(run + "restarted for the retry with the cleanup program still under RunOnce, to run first");

      // ---- the cleanup program after a failure or a cancel
      if (r.outcome != "restart") {
        bool started = false;
        for (const sim::LaunchRecord& l : p.launches) started = started || l.result > 32;
        if (!started && !p.cleanupRegistered && !excused("dialog never ran", noDialog) &&
            !excused("cleanup launch and registration struck", CleanupUnreachable(m, p)))
          fail(run + "ended \"" + r.outcome + "\" with the cleanup program neither started nor registered");
      }

      // ---- driver: every image the driver took is flashed or handed back, nothing else is handed back
      for (std::int32_t v : p.released)
        if (std::count(p.released.begin(), p.released.end(), v) >
            std::count(p.staged.begin(), p.staged.end(), v))
          fail(run + "the release of " + std::to_string(v) + " matches no image staged in this run");
      if (!p.staged.empty()) {
        const bool flashed = Restarted(r) && r.errorCode.empty();
        if (flashed) {
          const TokenTable* table = nullptr;
          const TokenRecordInfo* t92 = FindToken(tables_, 92, &table);
          const std::uint8_t byte = m.cmos.at(table->indexPort).bytes[t92->location];
          if ((byte & static_cast<std::uint8_t>(~t92->andMask)) != t92->orValue)
            fail(run + "restarted to flash without token 92 set");
        } else if (std::find(p.released.begin(), p.released.end(), p.staged.back()) == p.released.end()) {
          const bool releaseStruck = StruckIn(m, p, [](const sim::CallRecord& c) {
            return c.op == "DeviceIoControl" && Contains(c.args, ", 0x222020,");
          });
          if (!excused("release struck", releaseStruck))
            fail(run + "an image was staged, not flashed, and not released");
        }
      }

      // ---- nothing stays open
      if (p.openFiles || p.openSearches || p.openDevices || p.openKeys || p.heapBlocks)
        fail(run + "left open: " + std::to_string(p.openFiles) + " files, " + std::to_string(p.openSearches) +
             " searches, " + std::to_string(p.openDevices) + " devices, " + std::to_string(p.openKeys) +
             " registry keys, " + std::to_string(p.heapBlocks) + " heap blocks");
    }

    // ---- CMOS: only token bytes and checksums change, and every token write is whole or not made
    // A restart that Windows accepted: the outcome alone can read "restart" when the error code's
    // text was struck.
    const bool restarted = Restarted(runs.back().report);
    for (const TokenTable& t : tables_) {
      const Bank& now = m.cmos.at(t.indexPort).bytes;
      const Bank& before = initialCmos_.at(t.indexPort);
      for (unsigned i = 0; i < 256; ++i) {
        if (now[i] == before[i]) continue;
        // Setting a token changes only its own bits: those that every token of the byte keeps.
        bool tokenByte = false;
        std::uint8_t kept = 0xFF;
        for (const TokenRecordInfo& r : t.tokens) {
          if (r.location != i) continue;
          tokenByte = true;
          kept &= r.andMask;
        }
        if (t.IsChecksumLocation(static_cast<std::uint8_t>(i))) continue;
        if (!tokenByte)
          fail("CMOS location " + std::to_string(i) + " behind port " + std::to_string(t.indexPort) +
               " changed, yet it holds no token and no checksum");
        else if ((now[i] & kept) != (before[i] & kept))
          fail("CMOS location " + std::to_string(i) + " behind port " + std::to_string(t.indexPort) +
               " lost bits that no token owns: " + std::to_string(before[i]) + " became " +
               std::to_string(now[i]));
      }
      const std::string bank = "the bank behind port " + std::to_string(t.indexPort);
      if (now != before && restarted && now != clean_.cmos.at(t.indexPort))
        fail(bank +
             " was written, and the run asked for a restart, yet the bank is not as the clean run leaves it");
      if (wholeStates_.at(t.indexPort).count(now) != 0) continue;
      // The one exception: the device fails for good in the middle of a write, so that putting back
      // fails too. ZIM stops writing at once, the dry run says which bytes it left, and neither that
      // run nor any after it asks for a restart.
      bool abandoned = false, restartAfter = false, leftAsSaid = true;
      for (const ProcessRun& p : runs) {
        for (const zimsim::TokenWriteFailure& f : p.report.tokenWriteFailures) {
          if (f.indexPort != t.indexPort || f.putBack) continue;
          abandoned = true;
          for (const zimsim::CmosWrite& l : f.left) leftAsSaid = leftAsSaid && now[l.location] == l.after;
        }
        restartAfter = restartAfter || (abandoned && Restarted(p.report));
      }
      const bool deviceGone = persistent && struck && struck->op == "DeviceIoControl" && abandoned;
      if (excused("device failed for good before the put-back", deviceGone && leftAsSaid && !restartAfter))
        continue;
      fail(bank + " holds part of a token write, or a write no run makes" +
           (abandoned ? std::string(leftAsSaid ? "" : "; the dry run's account of the bytes left is wrong") +
                            (restartAfter ? "; a restart was asked for after it" : "")
                      : ""));
    }
  }

  // The cleanup program can be neither started nor registered only when the fault struck the
  // launch itself (reading its command, or the shell) and nothing in this run registered it: the
  // run ended before the registration, or the registration was struck as well.
  static bool CleanupUnreachable(const sim::Machine& m, const ProcessRun& p) {
    std::size_t launchOpen = p.endRecord;
    for (std::size_t i = p.firstRecord; i < p.endRecord; ++i)
      if (m.calls[i].op == "RegOpenKeyExA" && Contains(m.calls[i].args, "BIOSUPGRADE") &&
          m.calls[i].args.ends_with(", 0x1"))
        launchOpen = i;
    bool launchStruck = false, registered = false;
    for (std::size_t i = p.firstRecord; i < p.endRecord; ++i) {
      const sim::CallRecord& c = m.calls[i];
      if (c.op == "RegSetValueExA" && Contains(c.args, "\"BiosUpgradeCleanup\"") && !c.injected &&
          c.result == "0")
        registered = true;
      if (i >= launchOpen && c.injected &&
          (c.op == "RegOpenKeyExA" || c.op == "RegQueryValueExA" || c.op == "ShellExecuteA"))
        launchStruck = true;
    }
    return launchStruck && !registered;
  }

  // With one call failing, the outcome follows from the step it struck.
  template <class Fail>
  void CheckOutcomeForFault(const Struck& s, const ProcessRun& p, const std::string& code,
                            const std::string& run, Fail fail) {
    auto expect = [&](const std::string& wanted, const char* step) {
      if (p.report.outcome != "failed" || code != wanted)
        fail(run + step + " failed, yet the run ended \"" + p.report.outcome + "\" \"" + code + "\"");
    };
    const bool enabling = s.op == "AdjustTokenPrivileges" && s.args.ends_with("ptr, ptr");
    if (s.op == "OpenProcessToken" || s.op == "LookupPrivilegeValueA" || enabling)
      expect("ERR1", "a privilege step");
    else if (s.op == "FindFirstFileA")
      expect("ERR2", "the image search");
    else if (s.op == "HeapAlloc" || s.op == "GetFileSize")
      expect("ERR7", "the image's memory");
    else if (s.op == "ExitWindowsEx" && !p.staged.empty())
      expect("ERR5", "the restart after token 92");
  }

  Scenario scenario_;
  reliability::Violations& violations_;
  CleanRecord clean_;
  std::vector<TokenTable> tables_;
  std::map<std::uint16_t, Bank> initialCmos_;
  std::map<std::uint16_t, std::set<Bank>> wholeStates_;
  SweepCounts counts_;
};

TEST(ZimFaultSweep, EveryCallFailingOnceOrFromThenOnLeavesTheMachineWhole) {
  reliability::Violations violations;
  SweepCounts total;
  int index = 0;
  for (const Scenario& scenario : Scenarios()) {
    const auto start = std::chrono::steady_clock::now();
    ZimSweep sweep(scenario, violations);
    sweep.RecordClean();
    if (HasFatalFailure()) return;
    sweep.Sweep();
    const SweepCounts& c = sweep.counts();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::ostringstream line;
    line << "ZIM, " << scenario.name << ": " << c.positions << " call positions, " << c.runs << " runs ("
         << c.processes << " processes), " << ms.count() << " ms; named exceptions used:";
    for (const auto& [name, n] : c.excused) line << " " << name << " " << n << ";";
    if (c.excused.empty()) line << " none";
    reliability::Report("zim_scenario_" + std::to_string(++index), line.str());
    total.positions += c.positions;
    total.runs += c.runs;
    for (const auto& [name, n] : c.excused) total.excused[name] += n;
  }
  EXPECT_GT(total.excused["device failed for good before the put-back"], 0u)
      << "a device that fails for good between the token's byte and its checksum leaves part of the write; "
         "the sweep must see it, or its check of the banks is blind";
  reliability::Report("zim_total", "ZIM: " + std::to_string(total.positions) + " call positions, " +
                                       std::to_string(total.runs) + " runs");
}

}  // namespace
