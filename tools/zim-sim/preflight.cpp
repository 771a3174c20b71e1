#include "tools/zim-sim/preflight.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "tools/zim-sim/common.h"
#include "tools/zim-sim/fleet.h"
#include "tools/zim-sim/json.h"
#include "zim/app/bios_upgrade.h"
#include "zim/driver/device_slot.h"
#include "zim/driver/varn_ioctl.h"
#include "zim/tokens/token_access.h"

namespace zimsim {

namespace {

// A token table as the table holds it, read the way a careful reader walks a table.
struct HeldTable {
  TokenTableRow row;
  std::uint32_t offset = 0;  // in the table
  std::optional<TokenRow> token;
};

std::vector<HeldTable> HeldTokenTables(const std::uint8_t* table, std::size_t size, bool stopAtEnd) {
  std::vector<HeldTable> held;
  int structure = 0;
  sim::WalkStructures(table, size, stopAtEnd, [&](const sim::StructureSpan& s) {
    ++structure;
    if (s.type != CTokenAccess::kTokenTableType || s.length < 12) return;
    const std::size_t p = s.offset;
    HeldTable h;
    h.offset = static_cast<std::uint32_t>(p);
    h.row.number = static_cast<int>(held.size()) + 1;
    h.row.structure = structure;
    h.row.handle = Le16(table + p + 2);
    h.row.indexPort = Le16(table + p + 4);
    h.row.dataPort = Le16(table + p + 6);
    h.row.checksumType = table[p + 8];
    h.row.rangeStart = table[p + 9];
    h.row.rangeEnd = table[p + 10];
    h.row.checksumLocation = table[p + 11];
    for (std::size_t r = p + 12; r + 5 <= p + s.length; r += 5) {
      if (Le16(table + r) != kFlashToken) continue;
      h.token = TokenRow{h.row.number, table[r + 2], table[r + 3], table[r + 4], false};
      break;
    }
    held.push_back(h);
  });
  return held;
}

// Why no CMOS bank answers behind a token table's ports, or empty when one does. A bank sits behind
// an index port and the data port after it, as --cmos gives them.
std::string NoBank(const TokenTableRow& t, const std::map<std::uint16_t, sim::CmosBank>& cmos, bool given) {
  const std::string ports = Hex(t.indexPort, 2) + "/" + Hex(t.dataPort, 2);
  if (t.indexPort == t.dataPort)
    return "token table " + std::to_string(t.number) + " names ports " + ports +
           ", which cannot be a CMOS bank: index and data port are one port";
  if (t.indexPort == 0xFFFF || t.dataPort != t.indexPort + 1)
    return "token table " + std::to_string(t.number) + " names ports " + ports +
           ", which cannot be a CMOS bank here: a bank's data port is the one after its index port";
  const auto bank = cmos.find(t.indexPort);
  if (bank == cmos.end() || bank->second.dataPort != t.dataPort)
    return "token table " + std::to_string(t.number) + ": no CMOS bank " + (given ? "given " : "") +
           "behind ports " + ports;
  return {};
}

// One dump: load it, read its token tables, then ZIM's own search and write against it.
PreflightRow Look(const std::string& path, const Options& options,
                  const std::map<std::uint16_t, sim::CmosBank>& cmos, win32::HANDLE device) {
  PreflightRow row;
  row.file = path;
  sim::Machine m;
  m.logCalls = false;
  m.varn.recordIoctls = false;
  m.varn.keepStagedImages = false;
  sim::DumpPlacement placement;
  placement.entryAt = options.entryAt;
  placement.assume2x = options.assume2x;
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec) && !sim::IsKernelTablesFolder(path)) {
    const bool empty = std::filesystem::is_empty(path, ec);
    row.error = ec      ? "cannot be listed: " + ec.message()
                : empty ? "an empty folder: no captures in it"
                        : "a folder without smbios_entry_point and DMI: only the captures directly in a "
                          "folder given are read";
    return row;
  }
  sim::Capture capture;
  std::string culprit;
  row.error = sim::ReadCapture(path, capture, &culprit);
  if (!row.error.empty() && culprit != path) row.error = BaseName(culprit) + ": " + row.error;
  if (row.error.empty()) row.error = sim::LoadCapture(m, capture, placement, &row.dump);
  row.format = capture.format;
  if (!row.error.empty()) return row;
  const std::vector<std::uint8_t>& file = capture.dump;
  row.model = MachineModel(file.data() + row.dump.tableOffset, row.dump.tableLength);

  const std::vector<std::uint8_t> table = m.memory.Read(row.dump.tableAddress, row.dump.tableLength);
  std::vector<HeldTable> held =
      HeldTokenTables(table.data(), table.size(), row.dump.kind == sim::EntryPointKind::Smbios3);
  m.AttachDeviceHandle(device);
  sim::InstallOnThisThread installed(m);

  // What ZIM's walk reaches: each token table in turn up to the first that holds the token, as ZIM
  // stops there. This only explains the outcome; the outcome is the write below.
  CTokenAccess access;
  std::uint8_t entryStatus = 0, walkStatus = 0;
  std::optional<TokenRow> zimToken;
  std::uint32_t zimTokenTable = 0;  // the offset of the token table where ZIM found it
  bool refused = false;             // ZIM reads and writes nothing of that table's CMOS
  if (access.FindEntryPoint(&entryStatus)) {
    for (std::int32_t n = 1; !zimToken && access.FindTokenStructure(n, &walkStatus); ++n) {
      const std::uint32_t offset = access.m_dwStructureAddress - row.dump.tableAddress;
      auto same =
          std::find_if(held.begin(), held.end(), [&](const HeldTable& h) { return h.offset == offset; });
      if (same == held.end()) {
        HeldTable h;
        h.offset = offset;
        h.row = TokenTableRow{0,
                              0,
                              access.m_wHandle,
                              access.m_wIndexPort,
                              access.m_wDataPort,
                              access.m_btChecksumType,
                              access.m_btChecksumStart,
                              access.m_btChecksumEnd,
                              access.m_btChecksumLocation,
                              false};
        same = held.insert(std::upper_bound(held.begin(), held.end(), offset,
                                            [](std::uint32_t o, const HeldTable& t) { return o < t.offset; }),
                           h);
      }
      same->row.reached = true;
      std::uint8_t tokenStatus = 0;
      if (access.FindToken(kFlashToken, &tokenStatus)) {
        zimToken = TokenRow{0, access.m_btLocation, access.m_btAndMask, access.m_btOrValue, true};
        zimTokenTable = offset;
        row.tokenNote = TokenTableNote(access);
        refused = access.ForbiddenLocation(true) >= 0;
      }
    }
  }
  const TokenTableRow* zimTable = nullptr;
  for (std::size_t i = 0; i < held.size(); ++i) {
    held[i].row.number = static_cast<int>(i) + 1;
    if (held[i].token) held[i].token->table = held[i].row.number;
    if (zimToken && held[i].offset == zimTokenTable) zimToken->table = held[i].row.number;
    row.tables.push_back(held[i].row);
  }
  row.token = zimToken;
  for (const HeldTable& h : held)
    if (!row.token && h.token) row.token = h.token;
  if (zimToken) zimTable = &row.tables[static_cast<std::size_t>(zimToken->table - 1)];

  // CMOS: the banks given, else a blank bank behind each token table's ports where a bank can be
  // (a blank bank's checksum is 0 under every checksum type, so it is valid), as --cmos would give.
  std::map<std::uint16_t, sim::CmosBank> banks = cmos;
  if (cmos.empty()) {
    for (const TokenTableRow& t : row.tables)
      if (t.indexPort != 0xFFFF && t.dataPort == t.indexPort + 1) banks[t.indexPort].dataPort = t.dataPort;
  }
  m.cmos = banks;

  // The outcome: the flash sequence's own write of the token, as the dry run makes it, on the reads
  // it makes itself.
  const std::size_t unheldBefore = m.varn.unheldReadCount;
  std::map<std::uint16_t, std::array<std::uint8_t, 256>> shadow;
  for (const auto& [port, bank] : m.cmos) shadow[port] = bank.bytes;
  // Only the port writes are recorded: a record of every read of the search took most of the time.
  m.varn.recordIoctls = true;
  m.varn.recordOnly = varn::IOCTL_WRITE_INDEXED_PORT;
  CBiosUpgrade upgrade;
  row.flash = upgrade.SetCmosToken(kFlashToken);
  m.varn.recordIoctls = false;
  for (const sim::IoctlRecord& c : m.varn.ioctls) {
    if (c.code != varn::IOCTL_WRITE_INDEXED_PORT || c.input.size() != 7) continue;
    std::uint8_t& byte = shadow[Le16(c.input, 0)][c.input[2]];
    row.writes.push_back({Le16(c.input, 0), c.input[2], byte, c.input[6], !c.succeeded, false});
    if (c.succeeded) byte = c.input[6];
  }
  m.varn.ioctls.clear();
  row.uncertain = Uncertainty(m, unheldBefore, std::nullopt, row.flash, !row.writes.empty());
  // The reason in words, in this one place for every report.
  if (row.flash) {
    row.reason = "token 92 set, restart" + (row.tokenNote.empty() ? "" : "; " + row.tokenNote);
  } else if (row.dump.tooLongFor2x && row.dump.kind == sim::EntryPointKind::None) {
    row.reason = "no entry point: a 2.x one cannot describe its table of " +
                 std::to_string(row.dump.tableLength) + " bytes, so the machine publishes only a 3.x one";
  } else if (!row.dump.has2x && row.dump.kind == sim::EntryPointKind::None) {
    row.reason = "no entry point: the capture is a table without one, and none is assumed";
  } else if (!row.dump.has2x) {
    row.reason = std::string("no entry point: the dump has only its ") + sim::EntryPointName(row.dump.kind) +
                 (row.dump.tooLongFor2x ? " one, and a 2.x one cannot describe its table of " +
                                              std::to_string(row.dump.tableLength) + " bytes"
                                        : " one, and none is assumed");
  } else if (entryStatus != 0) {
    row.reason = EntryPointReason(entryStatus);
  } else if (refused) {
    row.reason = row.tokenNote;
  } else if (zimTable != nullptr && !NoBank(*zimTable, banks, !cmos.empty()).empty()) {
    row.reason = NoBank(*zimTable, banks, !cmos.empty());
  } else if (zimToken) {
    row.reason = "token 92 does not read back as set";
  } else if (row.tables.empty()) {
    row.reason = "no token table";
  } else if (!row.token) {
    row.reason = "token 92 absent";
  } else if (walkStatus == 3) {
    row.reason = "a string area runs to the table end before token table " + std::to_string(row.token->table);
  } else {
    // ZIM examines at least one structure, and at most as many as the entry point publishes.
    const TokenTableRow& t = row.tables[static_cast<std::size_t>(row.token->table - 1)];
    const int published = row.dump.publishedCount ? *row.dump.publishedCount : row.dump.foundCount;
    if (t.structure > std::max(published, 1))
      row.reason = "the published structure count (" + std::to_string(published) +
                   (row.dump.publishedCount ? "" : ", as found") + ") stops the walk before token table " +
                   std::to_string(t.number) + " (structure " + std::to_string(t.structure) + ")";
    else
      row.reason = "ZIM's walk does not reach token table " + std::to_string(t.number) +
                   ": a damaged structure before it";
  }
  return row;
}

PreflightRow LookSafely(const std::string& path, const Options& options,
                        const std::map<std::uint16_t, sim::CmosBank>& cmos, win32::HANDLE device) {
  try {
    return Look(path, options, cmos, device);
  } catch (const std::exception& e) {  // a file too large to hold, for one
    PreflightRow row;
    row.file = path;
    row.error = std::string("cannot be read: ") + e.what();
    return row;
  }
}

std::string TablesCell(const PreflightRow& r) {
  if (r.tables.empty()) return "none";
  std::string out;
  for (const TokenTableRow& t : r.tables) {
    if (!out.empty()) out += "; ";
    out += "#" + std::to_string(t.number) + " " + Hex(t.indexPort, 2) + "/" + Hex(t.dataPort, 2) +
           ", checksum " + std::to_string(t.checksumType) + " over " + Hex(t.rangeStart, 2) + "-" +
           Hex(t.rangeEnd, 2) + " at " + Hex(t.checksumLocation, 2) + (t.reached ? "" : " (not reached)");
  }
  return out;
}

std::string TokenCell(const PreflightRow& r) {
  if (!r.token) return "absent";
  const TokenRow& t = *r.token;
  return "#" + std::to_string(t.table) + ", CMOS " + Hex(t.location, 2) + ", AND " + Hex(t.andMask, 2) +
         ", OR " + Hex(t.orValue, 2) + (t.reached ? "" : " (not reached)");
}

std::string EntryCell(const PreflightRow& r) {
  std::string kind = sim::EntryPointName(r.dump.kind);
  if (r.dump.assumed2x) kind += ", 2.x assumed";
  if (r.format != sim::CaptureFormat::DumpBin)
    kind += " (" + std::string(sim::CaptureFormatName(r.format)) + ")";
  return kind;
}

std::string RowJson(const PreflightRow& r) {
  Json j;
  j.BeginObject().Key("file").String(r.file);
  if (!r.error.empty()) {
    j.Key("outcome").String(r.Key()).Key("reason").String(r.Why()).Key("cmos_writes").BeginArray().EndArray();
    j.EndObject();
    return j.Text();
  }
  const sim::DumpInfo& d = r.dump;
  j.Key("smbios").String(d.version);
  j.Key("capture").String(sim::CaptureFormatName(r.format));
  j.Key("system").BeginObject().Key("maker").String(r.model.maker).Key("product").String(r.model.product);
  j.Key("bios_version").String(r.model.bios).EndObject();
  j.Key("entry_point").String(sim::EntryPointName(d.kind));
  j.Key("assumed_2x_entry_point").Bool(d.assumed2x);
  j.Key("structures").BeginObject().Key("published").Number(d.publishedCount);
  j.Key("found").Number(d.foundCount).EndObject();
  j.Key("token_tables").BeginArray();
  for (const TokenTableRow& t : r.tables)
    j.BeginObject()
        .Key("table")
        .Number(t.number)
        .Key("structure")
        .Number(t.structure)
        .Key("handle")
        .String(Hex(t.handle, 4))
        .Key("index_port")
        .String(Hex(t.indexPort, 2))
        .Key("data_port")
        .String(Hex(t.dataPort, 2))
        .Key("checksum_type")
        .Number(t.checksumType)
        .Key("checksum_range")
        .String(Hex(t.rangeStart, 2) + "-" + Hex(t.rangeEnd, 2))
        .Key("checksum_location")
        .String(Hex(t.checksumLocation, 2))
        .Key("reached")
        .Bool(t.reached)
        .EndObject();
  j.EndArray();
  j.Key("token_92");
  if (r.token)
    j.BeginObject()
        .Key("table")
        .Number(r.token->table)
        .Key("cmos_index")
        .String(Hex(r.token->location, 2))
        .Key("and")
        .String(Hex(r.token->andMask, 2))
        .Key("or")
        .String(Hex(r.token->orValue, 2))
        .Key("reached")
        .Bool(r.token->reached)
        .EndObject();
  else
    j.Null();
  if (!r.tokenNote.empty()) j.Key("token_note").String(r.tokenNote);
  j.Key("outcome").String(r.Key()).Key("reason").String(r.Why());
  if (!r.uncertain.empty()) j.Key("simulated").String((r.flash ? "flash: " : "ERR3: ") + r.reason);
  j.Key("cmos_writes");
  CmosWritesJson(j, r.writes);
  j.EndObject();
  return j.Text();
}

}  // namespace

std::string PreflightRow::Key() const {
  if (!error.empty()) return "error";
  if (!uncertain.empty()) return "uncertain";
  return flash ? "flash" : "ERR3";
}

const std::string& PreflightRow::Why() const {
  return !error.empty() ? error : !uncertain.empty() ? uncertain : reason;
}

std::string PreflightRow::Outcome() const {
  // Never "flash" on what the capture does not show: what the simulation did follows the reason.
  if (Key() == "uncertain")
    return "uncertain: " + uncertain + " (simulated: " + (flash ? "flash" : "ERR3: " + reason) + ")";
  return Key() + ": " + Why();
}

std::string WritesText(const std::vector<CmosWrite>& writes) {
  if (writes.empty()) return "none";
  const auto mark = [](const CmosWrite& w) { return w.failed ? " (refused)" : ""; };
  const CmosWrite& first = writes.front();
  std::string out = Hex(first.indexPort, 2) + "[" + Hex(first.location, 2) + "] " + Hex(first.before, 2) +
                    "\xE2\x86\x92" + Hex(first.after, 2) + mark(first);
  for (std::size_t i = 1; i < writes.size();) {
    std::size_t j = i;
    while (j + 1 < writes.size() && writes[j + 1].indexPort == writes[i].indexPort &&
           writes[j + 1].location == writes[j].location + 1 && !writes[j + 1].failed && !writes[i].failed)
      ++j;
    out += ", " + Hex(writes[i].indexPort, 2) + "[" + Hex(writes[i].location, 2) +
           (j > i ? "-" + Hex(writes[j].location, 2) : "") + "]" + mark(writes[i]);
    i = j + 1;
  }
  return out;
}

std::string EntryPointReason(std::uint8_t status) {
  switch (status) {
    case 1:
      return "no entry point: no _SM_ anchor in 0xF0000-0xFFFFF";
    case 2:
      return "no entry point: no _SM_ anchor with a valid checksum";
    case 3:
      return "no entry point: its table lies outside the first megabyte";
    default:
      return "no entry point: a read through the driver failed";
  }
}

std::vector<std::string> PreflightFiles(const std::vector<std::string>& arguments) {
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  for (const std::string& a : arguments) {
    std::error_code ec;
    if (!fs::is_directory(a, ec) || sim::IsKernelTablesFolder(a)) {
      files.push_back(a);
      continue;
    }
    // Every entry gets its row: one that is no dump file (a folder, a FIFO, a broken link) says so.
    std::vector<std::string> inside;
    for (const auto& entry : fs::directory_iterator(a, ec)) inside.push_back(entry.path().string());
    if (ec || inside.empty()) {
      files.push_back(a);  // a folder that cannot be listed, or an empty one, gets its row
      continue;
    }
    std::sort(inside.begin(), inside.end());
    files.insert(files.end(), inside.begin(), inside.end());
  }
  return files;
}

void PreflightEach(const std::vector<std::string>& files, const Options& options,
                   const std::map<std::uint16_t, sim::CmosBank>& cmos, unsigned threads,
                   void (*progress)(std::size_t done, std::size_t total),
                   const std::function<void(PreflightRow&&)>& sink) {
  if (files.empty()) return;
  // ZIM keeps its token device handle for the whole process, as on Windows: it is opened once here,
  // and each dump's machine serves the driver behind that same handle. The threads only read it.
  sim::Machine opener;
  opener.logCalls = false;
  sim::InstallOnThisThread installed(opener);
  CloseDeviceSlots();
  const win32::HANDLE device = OpenDeviceOnce(g_tokenDeviceSlot);

  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads = static_cast<unsigned>(std::min<std::size_t>(threads, files.size()));
  // Rows are handed on in the order of the files: a thread takes file i only once row i - kWindow
  // has been handed on, so that no more than kWindow rows wait at once, whatever the number of files.
  constexpr std::size_t kWindow = 256;
  std::vector<std::optional<PreflightRow>> window(kWindow);
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t handedOn = 0;
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < files.size();) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return i < handedOn + kWindow; });
      }
      PreflightRow row = LookSafely(files[i], options, cmos, device);
      std::lock_guard<std::mutex> lock(mutex);
      window[i % kWindow] = std::move(row);
      changed.notify_all();
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work);
  auto shown = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::unique_lock<std::mutex> lock(mutex);
    for (bool ready = false; !ready;) {
      if (progress != nullptr && std::chrono::steady_clock::now() - shown > std::chrono::milliseconds(100)) {
        progress(i, files.size());
        shown = std::chrono::steady_clock::now();
      }
      ready = changed.wait_for(lock, std::chrono::milliseconds(100),
                               [&] { return window[i % kWindow].has_value(); });
    }
    PreflightRow row = std::move(*window[i % kWindow]);
    window[i % kWindow].reset();
    ++handedOn;
    changed.notify_all();
    lock.unlock();
    sink(std::move(row));
  }
  if (progress != nullptr) progress(files.size(), files.size());
  for (std::thread& t : pool) t.join();
  CloseDeviceSlots();
}

std::vector<PreflightRow> PreflightRows(const std::vector<std::string>& files, const Options& options,
                                        const std::map<std::uint16_t, sim::CmosBank>& cmos, unsigned threads,
                                        void (*progress)(std::size_t done, std::size_t total)) {
  std::vector<PreflightRow> rows;
  rows.reserve(files.size());
  PreflightEach(files, options, cmos, threads, progress,
                [&rows](PreflightRow&& r) { rows.push_back(std::move(r)); });
  return rows;
}

namespace {

constexpr char kMarkdownHead[] =
    "| file | SMBIOS | entry point | structures published / found | token tables | token 92 | outcome | CMOS "
    "writes |\n"
    "|---|---|---|---|---|---|---|---|\n";

std::string MarkdownRow(const PreflightRow& r) {
  if (!r.error.empty())
    return "| " + MarkdownText(r.file) + " | — | — | — | — | — | " + MarkdownText(r.Outcome()) + " | — |\n";
  const sim::DumpInfo& d = r.dump;
  return "| " + MarkdownText(r.file) + " | " + d.version + " | " + EntryCell(r) + " | " +
         (d.publishedCount ? std::to_string(*d.publishedCount) : "—") + " / " + std::to_string(d.foundCount) +
         " | " + TablesCell(r) + " | " + TokenCell(r) + " | " + MarkdownText(r.Outcome()) + " | " +
         WritesText(r.writes) + " |\n";
}

// The JSON report: {"rows": [...], "outcomes": {...}, "groups": [...]}, one row and one group a line,
// so that they can be read, grepped and compared line by line too; written as the rows come.
class JsonReport {
 public:
  std::string Row(const PreflightRow& r) {
    const std::string text = (rows_++ == 0 ? "{\"rows\": [\n" : ",\n") + RowJson(r);
    return text;
  }
  std::string End(const FleetSummary& summary) const {
    return std::string(rows_ == 0 ? "{\"rows\": [],\n" : "\n],\n") + SummaryJson(summary) + "}\n";
  }

 private:
  std::size_t rows_ = 0;
};

}  // namespace

std::string PreflightMarkdown(const std::vector<PreflightRow>& rows) {
  std::string out = kMarkdownHead;
  for (const PreflightRow& r : rows) out += MarkdownRow(r);
  return out;
}

std::string PreflightJson(const std::vector<PreflightRow>& rows) {
  JsonReport report;
  FleetSummary summary;
  std::string out;
  for (const PreflightRow& r : rows) {
    out += report.Row(r);
    summary.Add(r);
  }
  return out + report.End(summary);
}

namespace {

// Whether the progress line is on the screen now; a row for the same terminal clears it first.
bool g_progressShown = false;

void ShowProgress(std::size_t done, std::size_t total) {
  if (done < total)
    std::fprintf(stderr, "\rzim-sim: pre-flight %zu/%zu files", done, total);
  else
    std::fputs("\r\033[K", stderr);
  g_progressShown = done < total;
  std::fflush(stderr);
}

void ClearProgress() {
  if (!g_progressShown) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  g_progressShown = false;
}

// Whether standard output is the terminal that standard error is.
bool StdoutSharesTerminal() {
  struct stat out {
  }, err{};
  return ::isatty(STDOUT_FILENO) == 1 && ::fstat(STDOUT_FILENO, &out) == 0 &&
         ::fstat(STDERR_FILENO, &err) == 0 && out.st_rdev == err.st_rdev;
}

}  // namespace

int Preflight(const Options& options) {
  std::map<std::uint16_t, sim::CmosBank> cmos;
  for (const CmosFile& c : options.cmos) {
    const std::string problem = ReadCmosBank(c, cmos[c.indexPort]);
    if (!problem.empty()) {
      std::fprintf(stderr, "zim-sim: %s\n", problem.c_str());
      return 2;
    }
  }
  std::vector<std::string> files = PreflightFiles(options.preflight);
  // Outputs never clobber inputs: checked before anything is written.
  std::vector<std::pair<std::string, std::string>> reports;
  if (!options.json.empty() && options.json != "-") reports.emplace_back("--json", options.json);
  if (!options.html.empty()) reports.emplace_back("--html", options.html);
  std::vector<std::string> banks;
  for (const CmosFile& c : options.cmos) banks.push_back(c.path);
  std::string clash = ReportClash(reports, files);
  if (clash.empty()) clash = ReportClash(reports, banks);
  if (!clash.empty()) {
    std::fprintf(stderr, "zim-sim: %s\n", clash.c_str());
    return 2;
  }
  constexpr std::size_t kManyFiles = 100;
  const bool showProgress = files.size() >= kManyFiles && ::isatty(STDERR_FILENO) == 1;
  const bool clearForRows = showProgress && StdoutSharesTerminal();

  // Each row is written where it goes as it comes, and then only counted.
  const bool jsonOut = options.json == "-";
  std::FILE* jsonFile = nullptr;
  if (!options.json.empty() && !jsonOut && (jsonFile = std::fopen(options.json.c_str(), "wb")) == nullptr) {
    std::fprintf(stderr, "zim-sim: %s: cannot be written: %s\n", sim::Displayed(options.json).c_str(),
                 std::strerror(errno));
    return 2;
  }
  std::optional<HtmlReport> html;
  if (!options.html.empty()) html.emplace();
  JsonReport json;
  FleetSummary summary;
  bool allRead = true, allCertain = true;
  if (!jsonOut && !options.summary) std::fputs(kMarkdownHead, stdout);
  PreflightEach(files, options, cmos, 0, showProgress ? ShowProgress : nullptr, [&](PreflightRow&& r) {
    allRead = allRead && r.error.empty();
    allCertain = allCertain && r.uncertain.empty();
    if (clearForRows && (jsonOut || !options.summary)) ClearProgress();
    summary.Add(r);
    if (html) html->AddRow(r);
    if (jsonOut || jsonFile != nullptr) std::fputs(json.Row(r).c_str(), jsonOut ? stdout : jsonFile);
    if (!jsonOut && !options.summary) std::fputs(MarkdownRow(r).c_str(), stdout);
  });

  int status = !allRead ? 1 : !allCertain ? 4 : 0;
  if (clearForRows) ClearProgress();
  if (jsonOut) std::fputs(json.End(summary).c_str(), stdout);
  if (options.summary) std::fputs(SummaryMarkdown(summary).c_str(), stdout);
  if (jsonFile != nullptr) {
    std::fputs(json.End(summary).c_str(), jsonFile);
    if (std::ferror(jsonFile) != 0 || std::fclose(jsonFile) != 0) {
      std::fprintf(stderr, "zim-sim: %s: cannot be written: %s\n", sim::Displayed(options.json).c_str(),
                   std::strerror(errno));
      status = 2;
    }
  }
  if (html) {
    const std::string problem = html->Finish(options.html, summary);
    if (!problem.empty()) {
      std::fprintf(stderr, "zim-sim: %s\n", problem.c_str());
      status = 2;
    }
  }
  // A report that did not reach standard output is no report.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "zim-sim: standard output cannot be written: %s\n", std::strerror(errno));
    status = 2;
  }
  return status;
}

}  // namespace zimsim
