// The fault-injection sweep over TARNSYS's process attach and detach. For each table (the demo
// machine's and the captured ones) and each platform (Windows NT with the service manager, Windows
// 9x), a clean load records every platform call; then, for every position, the library is loaded
// with that call failing once, and with every call from it on failing. The library must always load,
// end in one row of its state table, answer every query from its copy and nothing beyond it (the
// asan build sees any read past the copy), answer 0 when it has no copy, and leave nothing open after
// the detach. A load whose index cannot be allocated walks the copy and answers as the clean load.
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "platform/sim/demo_machine.h"
#include "platform/sim/dump_loader.h"
#include "support/shared_tables.h"
#include "sweep_support.h"
#include "tarnsys/dll_main.h"
#include "tarnsys/library_state.h"
#include "tarnsys/smb_index.h"
#include "tarnsys/tarnsys.h"

namespace {

using reliability::Struck;

// A table of the sweep: how to build its machine, and where its entry point lies.
struct TableCase {
  std::string name;
  std::function<std::string(sim::Machine&)> build;  // empty on success, else why it cannot be built
  std::uint32_t entryAt = sim::kDefaultEntryPoint;
};

struct Mode {
  const char* name;
  win32::DWORD platformId;
};
constexpr Mode kModes[] = {{"Windows NT", win32::VER_PLATFORM_WIN32_NT},
                           {"Windows 9x", win32::VER_PLATFORM_WIN32_WINDOWS}};

// A captured table's entry point lies some paragraphs into the BIOS area, below it a decoy anchor
// whose checksum is wrong: the scan probes, reads the decoy whole and skips it before it finds it.
constexpr std::uint32_t kCapturedEntryAt = 0xF0100;
constexpr std::uint32_t kDecoyAt = 0xF0040;

std::vector<TableCase> Tables() {
  std::vector<TableCase> tables;
  tables.push_back({"demo table",
                    [](sim::Machine& m) {
                      sim::BuildDemoHardware(m);
                      return std::string();
                    },
                    sim::kDefaultEntryPoint});
  for (const auto& path : tarn_test::SharedTables()) {
    const std::string file = path.string();
    tables.push_back({path.filename().string(),
                      [file](sim::Machine& m) {
                        std::vector<std::uint8_t> bytes;
                        if (!sim::ReadFileBytes(file, bytes)) return std::string("cannot be read");
                        const std::string problem = sim::LoadDumpBin(m, bytes, kCapturedEntryAt);
                        if (!problem.empty()) return problem;
                        auto decoy = sim::MakeEntryPoint(sim::kDefaultTableAddress, 16, 1);
                        decoy[4] = static_cast<std::uint8_t>(decoy[4] + 1);
                        m.memory.Write(kDecoyAt, decoy.data(), decoy.size());
                        return std::string();
                      },
                      kCapturedEntryAt});
  }
  return tables;
}

// The library's process state as static initialisation leaves it.
void FreshProcess() {
  g_device = win32::INVALID_HANDLE_VALUE;
  g_structureTable = nullptr;
  g_structureIndex = nullptr;
  g_smbEntryPoint = SmbEntryPoint{};
}

// ---- the queries

constexpr int kTypes[] = {0, 1, 2, 3, 4, 11, 17, 127, 208, 212, 256 + 3};
struct ValueQuery {
  int type, offset, instance;
  unsigned mask, valueType;
};
constexpr ValueQuery kValues[] = {
    {0, 4, 0, 0, 8},    {0, 5, 0, 0, 8},    {0, 8, 0, 0, 8},    {1, 4, 0, 0, 8},    {1, 7, 0, 0, 8},
    {3, 7, 0, 0, 8},    {3, 7, 1, 0, 8},    {1, 8, 0, 0, 6},    {1, 8, 0, 0, 7},    {1, 0x18, 0, 0, 7},
    {3, 5, 0, 0xF0, 0}, {3, 5, 0, 0x80, 1}, {4, 0x10, 0, 0, 2}, {4, 0x16, 0, 0, 3}, {17, 0x0C, 1, 0, 3},
    {0, 0, 0, 0, 4},    {0, 0, 0, 0, 5},    {212, 4, 0, 0, 2},  {208, 6, 0, 0, 0},  {1, -1, 0, 0, 0},
    {1, 1, 0, 0, 9},    {127, 2, 0, 0, 2},  {127, 3, 0, 0, 2},  {4, 0x22, 0, 0, 8}, {17, 0x17, 3, 0, 8},
    {1, 0, -1, 0, 0},   {2, 4, 0, 0, 8},    {11, 4, 0, 0, 8},   {1, 255, 0, 0, 0},  {1, 0x19, 0, 0xFF00, 2},
};

std::uint64_t Fnv1a(const std::uint8_t* data, std::size_t size) {
  std::uint64_t h = 1469598103934665603ULL;
  for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ULL;
  return h;
}

// Asks every query of the library and writes down each answer; `tableQueriesAnswered` counts the
// table queries that answered 1.
std::vector<std::string> AskEverything(int& tableQueriesAnswered) {
  std::vector<std::string> answers;
  tableQueriesAnswered = 0;
  static char text[65536 + 8];
  static std::uint8_t block[4096];
  auto note = [&](const std::string& what, int result, const std::string& content) {
    answers.push_back(what + " = " + std::to_string(result) + (content.empty() ? "" : " " + content));
  };
  note("GetAttribute", GetAttribute(1, 2, 3, 4), "");
  std::memset(text, 0x55, 64);
  const int version = GetDllVersion(text);
  note("GetDllVersion", version, std::to_string(std::strlen(text)));
  for (int instance : {-1, 0, 1, 2}) {
    std::memset(text, 0, 16);
    const int r = GetServiceTag(text, instance);
    tableQueriesAnswered += r;
    note("GetServiceTag " + std::to_string(instance), r, text);
  }
  std::memset(text, 0, 16);
  int r = GetSystemId(text);
  tableQueriesAnswered += r;
  note("GetSystemId", r, text);
  for (int type : kTypes)
    for (int instance : {0, 1})
      for (int size : {5, static_cast<int>(sizeof block)}) {
        std::memset(block, 0xCC, sizeof block);
        r = GetSmbTable(type, instance, size, block);
        tableQueriesAnswered += r;
        note("GetSmbTable " + std::to_string(type) + " " + std::to_string(instance) + " " +
                 std::to_string(size),
             r, std::to_string(Fnv1a(block, sizeof block)));
      }
  for (const ValueQuery& q : kValues) {
    text[0] = '\0';
    r = GetSmbTableValue(q.type, q.offset, q.instance, q.mask, q.valueType, text);
    tableQueriesAnswered += r;
    note("GetSmbTableValue " + std::to_string(q.type) + " " + std::to_string(q.offset) + " " +
             std::to_string(q.instance) + " " + std::to_string(q.mask) + " " + std::to_string(q.valueType),
         r, text);
  }
  // Null buffers are refused, never written through.
  note("null buffers",
       GetServiceTag(nullptr, 0) + GetSystemId(nullptr) + GetSmbTable(0, 0, 4, nullptr) +
           GetSmbTableValue(0, 4, 0, 0, 8, nullptr),
       "");
  return answers;
}

// ---- one load

// The rows of the library's state table, as the state after the attach shows them.
enum class Row { NoDevice, DeviceNoTable, Loaded, None };
const char* RowName(Row row) {
  switch (row) {
    case Row::NoDevice:
      return "device invalid, no table";
    case Row::DeviceNoTable:
      return "device open, no table";
    case Row::Loaded:
      return "device open, table";
    default:
      return "in no row of the state table";
  }
}

struct LoadResult {
  win32::BOOL attached = win32::FALSE, detached = win32::FALSE;
  Row row = Row::None;
  std::string rowProblem;  // why the state is in no row, or what in it is wrong
  std::vector<std::string> answers;
  int tableAnswers = 0;
  std::size_t serviceHandlesAfterAttach = 0, struckServiceCloses = 0;
  std::size_t heapAfterDetach = 0, devicesAfterDetach = 0, serviceHandlesAfterDetach = 0;
  bool tableAfterDetach = false, deviceAfterDetach = false;
  int answersAfterDetach = 0;
  std::size_t serviceCalls = 0;
  bool entryZero = true;
  bool indexed = false;
};

// Reads the state that the attach left and tells which row it is in.
Row StateRow(const sim::Machine& m, std::uint32_t entryAt, std::string& problem) {
  const auto entryBytes = m.memory.Read(entryAt, sizeof(SmbEntryPoint));
  const SmbEntryPoint zero{};
  const bool entryZero = std::memcmp(&g_smbEntryPoint, &zero, sizeof zero) == 0;
  const bool entryReal = std::memcmp(&g_smbEntryPoint, entryBytes.data(), sizeof zero) == 0;
  if (!entryZero && !entryReal) problem = "the entry point kept is neither zero nor the machine's";
  const std::size_t liveBlocks = m.heapBlocks.size();
  if (g_device == win32::INVALID_HANDLE_VALUE) {
    if (g_structureTable != nullptr) problem = "a table without a device";
    if (liveBlocks != 0) problem = std::to_string(liveBlocks) + " heap blocks live without a table";
    return problem.empty() ? Row::NoDevice : Row::None;
  }
  const auto handle = m.LookupHandle(g_device);
  if (!handle || handle->kind != sim::HandleKind::Device) problem = "the device handle is no open device";
  if (g_structureTable == nullptr) {
    if (liveBlocks != 0) problem = std::to_string(liveBlocks) + " heap blocks live without a table";
    return problem.empty() ? Row::DeviceNoTable : Row::None;
  }
  const auto block = m.heapBlocks.find(g_structureTable);
  const std::uint16_t length = g_smbEntryPoint.structureTableLength;
  if (!entryReal)
    problem = "a table without the machine's entry point";
  else if (block == m.heapBlocks.end())
    problem = "the table is no live heap block";
  else if (block->second != length)
    problem = "the table block holds " + std::to_string(block->second) + " bytes, the entry point says " +
              std::to_string(length);
  else if (g_structureIndex != nullptr && m.heapBlocks.count(g_structureIndex) == 0)
    problem = "the index is no live heap block";
  else if (liveBlocks != (g_structureIndex != nullptr ? 2u : 1u))
    problem = std::to_string(liveBlocks) + " heap blocks live beside the table and its index";
  else if (m.memory.Read(g_smbEntryPoint.structureTableAddress, length) !=
           std::vector<std::uint8_t>(g_structureTable, g_structureTable + length))
    problem = "the copy differs from the table in memory";
  return problem.empty() ? Row::Loaded : Row::None;
}

bool IsServiceCall(const std::string& op) {
  return op == "OpenSCManagerA" || op == "OpenServiceA" || op == "CreateServiceA" || op == "StartServiceA" ||
         op == "QueryServiceStatus" || op == "CloseServiceHandle";
}

LoadResult Load(sim::Machine& m, std::uint32_t entryAt) {
  LoadResult r;
  reliability::HangGuard guard;
  FreshProcess();
  r.attached = DllMain(nullptr, win32::DLL_PROCESS_ATTACH, nullptr);
  r.serviceHandlesAfterAttach = m.services.OpenHandles();
  r.row = StateRow(m, entryAt, r.rowProblem);
  const SmbEntryPoint zero{};
  r.entryZero = std::memcmp(&g_smbEntryPoint, &zero, sizeof zero) == 0;
  r.indexed = g_structureIndex != nullptr;
  r.answers = AskEverything(r.tableAnswers);
  r.detached = DllMain(nullptr, win32::DLL_PROCESS_DETACH, nullptr);
  r.heapAfterDetach = m.heapBlocks.size();
  r.devicesAfterDetach = m.OpenHandleCount(sim::HandleKind::Device);
  r.serviceHandlesAfterDetach = m.services.OpenHandles();
  r.tableAfterDetach = g_structureTable != nullptr;
  r.deviceAfterDetach = g_device != win32::INVALID_HANDLE_VALUE;
  char text[64];
  r.answersAfterDetach = GetServiceTag(text, 0) + GetSystemId(text) + GetSmbTable(1, 0, sizeof text, text) +
                         GetSmbTableValue(1, 4, 0, 0, 8, text);
  for (const sim::CallRecord& c : m.calls) {
    r.struckServiceCloses += c.op == "CloseServiceHandle" && c.injected ? 1 : 0;
    r.serviceCalls += IsServiceCall(c.op) ? 1 : 0;
  }
  FreshProcess();
  return r;
}

// ---- the sweep of one table on one platform

struct Counts {
  std::size_t positions = 0, runs = 0;
  std::map<Row, std::size_t> rows;
};

class TarnsysSweep {
 public:
  TarnsysSweep(const TableCase& table, const Mode& mode, reliability::Violations& violations)
      : table_(table), mode_(mode), violations_(violations) {}

  bool Build(sim::Machine& m) {
    const std::string problem = table_.build(m);
    m.version.platformId = mode_.platformId;
    if (!problem.empty()) skipped_ = problem;
    return problem.empty();
  }
  const std::string& skipped() const { return skipped_; }

  void Run() {
    {
      sim::Machine m;
      if (!Build(m)) return;
      sim::Install installed(m);
      clean_ = Load(m, table_.entryAt);
      calls_ = m.calls.size();
      for (std::size_t i = 0; i < m.calls.size(); ++i) {
        cleanControls_ += m.calls[i].op == "DeviceIoControl" ? 1 : 0;
        if (m.calls[i].op == "DeviceIoControl") tableRead_ = i;  // the load's last control
      }
      Check(clean_, "clean load", std::nullopt, false);
      if (clean_.row != Row::Loaded || !clean_.indexed)
        violations_.Add(Where("clean load"), "the clean load has no table or no index");
    }
    for (std::uint64_t n = 1; n <= calls_; ++n) {
      std::optional<Struck> struck;
      for (bool persistent : {false, true}) {
        sim::Machine m;
        Build(m);
        m.FailCallAt(n, persistent);
        m.FailCallAt(reliability::CallCap(calls_, 1), true);
        sim::Install installed(m);
        const LoadResult r = Load(m, table_.entryAt);
        ++counts_.runs;
        ++counts_.rows[r.row];
        const std::string where =
            Where("call " + std::to_string(n) + (persistent ? " failing from then on" : " failing once"));
        if (!persistent) {
          Struck s;
          if (!reliability::FirstStruck(m, s)) {
            violations_.Add(where, "no call was struck");
            continue;
          }
          struck = s;
        }
        if (m.calls.size() + 1 >= reliability::CallCap(calls_, 1)) {
          violations_.Add(where, "the load went on to " + std::to_string(m.calls.size()) + " calls (a hang)");
          continue;
        }
        Check(r, where, struck, persistent);
      }
    }
    counts_.positions = calls_;
  }

  const Counts& counts() const { return counts_; }

 private:
  std::string Where(const std::string& what) const { return table_.name + ", " + mode_.name + ", " + what; }

  void Check(const LoadResult& r, const std::string& where, const std::optional<Struck>& struck,
             bool persistent) {
    auto fail = [&](const std::string& what) {
      violations_.Add(where + (struck ? " (" + struck->op + "(" + struck->args + "))" : std::string()), what);
    };
    if (r.attached != win32::TRUE || r.detached != win32::TRUE) fail("DllMain did not answer TRUE");
    if (r.row == Row::None) fail(std::string(RowName(r.row)) + ": " + r.rowProblem);

    // Answers: from the copy exactly as a clean load gives them, or 0 from every table query.
    if (r.row == Row::Loaded && r.answers != clean_.answers) {
      for (std::size_t i = 0; i < r.answers.size() && i < clean_.answers.size(); ++i)
        if (r.answers[i] != clean_.answers[i]) {
          fail("a loaded table answers \"" + r.answers[i] + "\" where the clean load answers \"" +
               clean_.answers[i] + "\"");
          break;
        }
    }
    if (r.row != Row::Loaded && r.tableAnswers != 0)
      fail(std::to_string(r.tableAnswers) + " table queries answered without a table");
    if (r.answers.empty() || r.answers[0] != "GetAttribute = 0" || r.answers[1] != "GetDllVersion = 0 44")
      fail("GetAttribute or GetDllVersion answered " + (r.answers.size() > 1 ? r.answers[1] : std::string()));
    if (r.answers.back() != "null buffers = 0") fail("a query took a null buffer");

    // Nothing stays open. A service handle may stay only where the platform refused to close it.
    if (r.serviceHandlesAfterAttach > r.struckServiceCloses)
      fail(std::to_string(r.serviceHandlesAfterAttach) + " service handles open after the attach, " +
           std::to_string(r.struckServiceCloses) + " closes refused");
    if (r.heapAfterDetach != 0 || r.devicesAfterDetach != 0 || r.tableAfterDetach || r.deviceAfterDetach ||
        r.serviceHandlesAfterDetach != r.serviceHandlesAfterAttach)
      fail("after the detach: " + std::to_string(r.heapAfterDetach) + " heap blocks, " +
           std::to_string(r.devicesAfterDetach) + " devices open");
    if (r.answersAfterDetach != 0) fail("a query answered after the detach");
    if (mode_.platformId != win32::VER_PLATFORM_WIN32_NT && r.serviceCalls != 0)
      fail("the service manager was asked on Windows 9x");

    // With one call failing, the row follows from the step it struck.
    if (!struck || persistent) return;
    const std::string& op = struck->op;
    // An allocation after the table read is the index's: the load keeps its copy and walks it.
    Row expected = Row::Loaded;
    if (op == "GetVersionExA" || op == "CreateFileA")
      expected = Row::NoDevice;
    else if (op == "DeviceIoControl" || (op == "HeapAlloc" && struck->record < tableRead_))
      expected = Row::DeviceNoTable;
    if (r.row != expected)
      fail(std::string("ended \"") + RowName(r.row) + "\", not \"" + RowName(expected) + "\"");
    if (op == "HeapAlloc" && r.indexed) fail("an allocation failed and the load has an index");
    // A failed read ends the scan with no entry point; only the table read, the last control, fails
    // after the entry point is kept.
    if (op == "DeviceIoControl") {
      const bool tableRead = struck->ioctlOrdinal + 1 == static_cast<long long>(cleanControls_);
      if (r.entryZero == tableRead)
        fail(tableRead ? "the table read failed and the entry point was not kept"
                       : "a read of the scan failed and an entry point was kept");
    }
  }

  TableCase table_;
  Mode mode_;
  reliability::Violations& violations_;
  LoadResult clean_;
  std::size_t calls_ = 0, cleanControls_ = 0, tableRead_ = 0;
  Counts counts_;
  std::string skipped_;
};

TEST(TarnsysFaultSweep, EveryCallOfTheLoadFailingOnceOrFromThenOnLeavesARowOfTheStateTable) {
  reliability::Violations violations;
  std::size_t positions = 0, runs = 0, tables = 0;
  for (const TableCase& table : Tables()) {
    for (const Mode& mode : kModes) {
      const auto start = std::chrono::steady_clock::now();
      TarnsysSweep sweep(table, mode, violations);
      sweep.Run();
      if (!sweep.skipped().empty()) {
        reliability::Report("tarnsys_skipped_" + table.name,
                            "TARNSYS, " + table.name + ": not loaded (" + sweep.skipped() + ")");
        break;
      }
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      const Counts& c = sweep.counts();
      std::ostringstream line;
      line << "TARNSYS, " << table.name << ", " << mode.name << ": " << c.positions << " call positions, "
           << c.runs << " runs, " << ms.count() << " ms; rows reached:";
      for (const auto& [row, n] : c.rows) line << " " << RowName(row) << " " << n << ";";
      reliability::Report("tarnsys_" + table.name + "_" + mode.name, line.str());
      positions += c.positions;
      runs += c.runs;
      tables += mode.platformId == win32::VER_PLATFORM_WIN32_NT ? 1 : 0;
    }
  }
  reliability::Report("tarnsys_total", "TARNSYS: " + std::to_string(tables) + " tables, " +
                                           std::to_string(positions) + " call positions, " +
                                           std::to_string(runs) + " runs");
  if (tarn_test::SharedTables().empty())
    std::cout << "[ sweep    ] no captured tables at " << tarn_test::SharedTablesDir().string()
              << ": only the demo table was swept" << std::endl;
}

}  // namespace
