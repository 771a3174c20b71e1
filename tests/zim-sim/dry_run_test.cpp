// The dry run: whole runs of ZIM on the demo machine and on machines the options describe, and the
// command's answers to bad input.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "hosts/live/live_hardware.h"
#include "platform/sim/smbios_builder.h"
#include "support/shared_tables.h"
#include "tools/zim-sim/dry_run.h"
#include "tools/zim-sim/fleet.h"
#include "tools/zim-sim/preflight.h"

namespace {

namespace fs = std::filesystem;

struct DryRun {
  zimsim::Report report;
  sim::Machine machine;
};

// Parses `args`, builds the machine and runs; fails the test on bad options or input.
std::unique_ptr<DryRun> DryRunOf(std::vector<std::string> args) {
  args.insert(args.begin(), "zim-sim");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  zimsim::Options options;
  EXPECT_EQ(zimsim::ParseOptions(static_cast<int>(argv.size()), argv.data(), options), "");
  auto run = std::make_unique<DryRun>();
  EXPECT_EQ(zimsim::BuildMachine(options, run->machine), "");
  sim::Install installed(run->machine);
  run->report = zimsim::Run(options, run->machine);
  return run;
}

// Runs the command itself; gives its exit status and what it wrote to stderr (and stdout).
int Command(const std::string& args, std::string* err = nullptr, std::string* out = nullptr) {
  const fs::path errFile = fs::temp_directory_path() / ("zim-sim-err-" + std::to_string(::getpid()));
  const fs::path outFile = fs::temp_directory_path() / ("zim-sim-out-" + std::to_string(::getpid()));
  const std::string cmd =
      std::string(TARN_BIN_DIR) + "/zim-sim " + args + " >" + outFile.string() + " 2>" + errFile.string();
  const int status = std::system(cmd.c_str());
  for (auto [file, text] : {std::pair{errFile, err}, std::pair{outFile, out}}) {
    if (text != nullptr) {
      std::ifstream in(file);
      text->assign(std::istreambuf_iterator<char>(in), {});
    }
    fs::remove(file);
  }
  return WEXITSTATUS(status);
}

// A folder of made-up dumps, removed at the end of the test.
class DumpFolder {
 public:
  DumpFolder() : path_(fs::temp_directory_path() / ("zim-sim-dumps-" + std::to_string(::getpid()))) {
    fs::create_directories(path_);
  }
  ~DumpFolder() { fs::remove_all(path_); }
  std::string Add(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    std::ofstream(path_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return (path_ / name).string();
  }
  std::string path() const { return path_.string(); }
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// A table whose third structure is a token table holding token 92 on the demo banks' first ports.
sim::SmbiosBuilder TokenTable() {
  sim::SmbiosBuilder b;
  b.Add(1, 0x100, {1, 2}, {"Tarn", "X"}).Add(3, 0x300, {1, 3, 0, 2}, {"Tarn", "TAG"});
  b.TokenTable(0xD400, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E, {{93, 0x78, 0xBF, 0x00}, {92, 0x78, 0xBF, 0x40}});
  b.EndOfTable(0x7F00);
  return b;
}

TEST(DryRunTest, DemoMachineEndsInARestartWithToken92Set) {
  auto run = DryRunOf({});
  ASSERT_EQ(run->report.runs.size(), 1u);
  const zimsim::RunReport& r = run->report.runs[0];
  EXPECT_EQ(r.outcome, "restart");
  EXPECT_EQ(r.errorCode, "");
  ASSERT_EQ(r.messages.size(), 1u);
  EXPECT_EQ(r.messages[0].id, 4u);
  EXPECT_EQ(r.stageResult, 1);
  EXPECT_EQ(run->machine.cmos[0x70].bytes[0x78] & 0x40, 0x40);
  EXPECT_FALSE(r.cleanupStarted);
  ASSERT_EQ(run->machine.varn.staged.size(), 1u);
  EXPECT_EQ(run->machine.varn.staged[0].size(), 4096u);
  EXPECT_EQ(run->machine.registry.GetString(sim::Registry::kRunOnceKey, "BiosUpgradeCleanup"),
            std::optional<std::string>("C:\\TARN\\BIOS\\CLEANUP.EXE -s"));
  EXPECT_EQ(zimsim::ExitStatus(run->report), 0);
}

TEST(DryRunTest, RetryAcrossARestartThenErr6) {
  auto run = DryRunOf({"--stage-fails", "--runs", "5"});
  ASSERT_EQ(run->report.runs.size(), 2u) << "the second failure registers nothing to run again";
  EXPECT_EQ(run->report.runs[0].outcome, "restart");
  ASSERT_EQ(run->report.runs[0].messages.size(), 2u);
  EXPECT_EQ(run->report.runs[0].messages[1].id, 3u);
  EXPECT_EQ(run->report.runs[1].commandLine, "\"C:\\TARN\\BIOS\\ZIM.EXE\" ");
  EXPECT_EQ(run->report.runs[1].outcome, "failed");
  EXPECT_EQ(run->report.runs[1].errorCode, "ERR6");
  EXPECT_TRUE(run->report.runs[1].cleanupStarted);
  EXPECT_EQ(run->machine.registry.GetValue("Software\\Tarn\\BIOSUPGRADE", "retry"), nullptr);
  EXPECT_EQ(run->machine.registry.GetValue(sim::Registry::kRunOnceKey, "ZIM"), nullptr);
  EXPECT_EQ(zimsim::ExitStatus(run->report), 1);
}

TEST(DryRunTest, RefusedRestartReleasesTheImageAndSetsToken93) {
  auto run = DryRunOf({"--restart", "refuse", "--stage-result", "0x1234"});
  const zimsim::RunReport& r = run->report.runs[0];
  EXPECT_EQ(r.errorCode, "ERR5");
  EXPECT_EQ(run->machine.varn.released, (std::vector<std::int32_t>{0x1234}));
  EXPECT_EQ(run->machine.cmos[0x70].bytes[0x78] & 0x40, 0) << "token 93 clears the flash bit";
  EXPECT_TRUE(r.okVisible);
}

TEST(DryRunTest, CapturedTableWithoutTokenTableFailsWithErr3AndReleases) {
  const fs::path table = fs::path(TARN_SHARED_DIR) / "smbios-tables" / "toshiba-laptop-2.7.bin";
  if (!fs::exists(table)) GTEST_SKIP() << "no captured tables at " << table.parent_path();
  auto run = DryRunOf({"--smbios", table.string(), "--entry-at", "0xFFFF0"});
  EXPECT_EQ(run->report.runs[0].errorCode, "ERR3");
  EXPECT_EQ(run->machine.varn.released, (std::vector<std::int32_t>{1}));
}

TEST(DryRunTest, ADumpIsReadWhereItsEntryPointPutsTheTableAndWalkedByItsPublishedCount) {
  const DumpFolder dumps;
  const auto table = TokenTable();
  using Kind = sim::EntryPointKind;
  const struct {
    std::string file;
    std::vector<std::string> options;
    std::string errorCode;
  } cases[] = {
      {dumps.Add("at20.bin", table.DumpBin()), {}, ""},
      {dumps.Add("at40.bin", table.DumpBin(Kind::Smbios2, 0x40)), {}, ""},
      // The token table is the third structure: a count of 2 ends the walk before it.
      {dumps.Add("short.bin", table.DumpBin(Kind::Smbios2, 0x20, 2)), {}, "ERR3"},
      {dumps.Add("v3.bin", table.DumpBin(Kind::Smbios3, 0x20)), {}, ""},
      {dumps.Path("v3.bin"), {"--no-assumed-entry"}, "ERR3"},
      {dumps.Add("legacy.bin", table.DumpBin(Kind::Legacy, 0x20)), {"--no-assumed-entry"}, "ERR3"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--smbios", c.file};
    args.insert(args.end(), c.options.begin(), c.options.end());
    auto run = DryRunOf(args);
    SCOPED_TRACE(c.file);
    EXPECT_EQ(run->report.runs[0].errorCode, c.errorCode);
    EXPECT_EQ(run->machine.cmos[0x70].bytes[0x78] & 0x40, c.errorCode.empty() ? 0x40 : 0);
  }
  sim::Machine m;
  sim::DumpInfo info;
  ASSERT_EQ(sim::LoadDumpFile(m, dumps.Path("short.bin"), {}, &info), "");
  const auto notes = zimsim::TableNotes("short.bin", info);
  EXPECT_NE(notes[1].find("publishes 2 structures, the table holds 4"), std::string::npos) << notes[1];
}

TEST(PreflightTest, ARowForEveryCapturedTableWithItsCountsAndTheSameRowsInJson) {
  const auto files = tarn_test::SharedTables();
  TARN_REQUIRE_SHARED_TABLES(files);
  // The structures each source recorded, by file.
  std::map<std::string, int> recorded;
  std::ifstream sources(tarn_test::SharedTablesDir() / "SOURCES.tsv");
  for (std::string line; std::getline(sources, line);) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string v; std::getline(fields, v, '\t');) f.push_back(v);
    if (f.size() > 6 && f[6] != "structures") recorded[f[0]] = std::stoi(f[6]);
  }
  std::vector<std::string> paths;
  for (const auto& p : files) paths.push_back(p.string());
  const auto rows = zimsim::PreflightRows(paths, zimsim::Options{});
  ASSERT_EQ(rows.size(), files.size());
  for (const auto& r : rows) {
    SCOPED_TRACE(r.file);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.dump.foundCount, recorded[fs::path(r.file).filename().string()]);
    EXPECT_EQ(r.Outcome(), "ERR3: no token table") << "none of these machines has one";
  }
  std::string json, err;
  EXPECT_EQ(Command("--preflight " + tarn_test::SharedTablesDir().string() + " --json -", &err, &json), 1)
      << "SOURCES.tsv is no dump";
  for (const auto& r : rows)
    EXPECT_NE(json.find("{\"file\": \"" + r.file + "\", \"smbios\": \"" + r.dump.version), std::string::npos)
        << r.file;
  EXPECT_NE(json.find("SOURCES.tsv\", \"outcome\": \"error\""), std::string::npos);
}

TEST(PreflightTest, RowsForMadeUpMachinesAndADamagedFile) {
  const DumpFolder dumps;
  const auto table = TokenTable();
  dumps.Add("a-flash.bin", table.DumpBin(sim::EntryPointKind::Smbios2, 0x40));
  dumps.Add("b-short.bin", table.DumpBin(sim::EntryPointKind::Smbios2, 0x20, 2));
  auto cut = table.DumpBin();
  cut.resize(cut.size() - 3);
  dumps.Add("c-cut.bin", cut);
  dumps.Add("d-v3.bin", table.DumpBin(sim::EntryPointKind::Smbios3, 0x20));
  zimsim::Options options;
  const auto rows = zimsim::PreflightRows(zimsim::PreflightFiles({dumps.path()}), options, {}, 2);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].Outcome(), "flash: token 92 set, restart");
  ASSERT_EQ(rows[0].tables.size(), 1u);
  EXPECT_EQ(rows[0].tables[0].structure, 3);
  ASSERT_TRUE(rows[0].token.has_value());
  EXPECT_EQ(rows[0].token->location, 0x78);
  EXPECT_EQ(rows[0].token->orValue, 0x40);
  EXPECT_EQ(rows[1].Outcome(),
            "ERR3: the published structure count (2) stops the walk before token table 1 (structure 3)");
  EXPECT_FALSE(rows[1].tables[0].reached);
  EXPECT_NE(rows[2].Outcome().find("runs past the end of the file"), std::string::npos) << rows[2].Outcome();
  EXPECT_TRUE(rows[3].flash && rows[3].dump.assumed2x);
  options.assume2x = false;
  EXPECT_EQ(zimsim::PreflightRows({dumps.Path("d-v3.bin")}, options)[0].Outcome(),
            "ERR3: no entry point: the dump has only its 3.x one, and none is assumed");

  std::string out, err;
  EXPECT_EQ(Command("--preflight " + dumps.path(), &err, &out), 1) << err;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2 + 4) << out;
  EXPECT_EQ(Command("--preflight " + dumps.Path("a-flash.bin") + " " + dumps.Path("d-v3.bin")), 0);
  EXPECT_EQ(Command("--preflight " + dumps.path() + " --image x.hdr", &err), 2);
  EXPECT_NE(err.find("--image does not apply to --preflight"), std::string::npos) << err;
}

// The same machine as the kernel's tables folder (NAME.sysfs) and as a Windows raw table (NAME.rsmb),
// made from its dump.
std::pair<std::string, std::string> AsOtherCaptures(const DumpFolder& dumps, const std::string& name,
                                                    const std::vector<std::uint8_t>& dump) {
  sim::Machine m;
  sim::DumpInfo info;
  EXPECT_EQ(sim::LoadDump(m, dump, {}, &info), "") << name;
  const auto table = dump.begin() + info.tableOffset;
  fs::create_directories(dumps.Path(name + ".sysfs"));
  dumps.Add(name + ".sysfs/smbios_entry_point",
            {dump.begin(), dump.begin() + std::min(info.tableOffset, 0x1Fu)});
  dumps.Add(name + ".sysfs/DMI", {table, table + info.tableLength});
  unsigned major = 0, minor = 0;
  std::sscanf(info.version.c_str(), "%u.%u", &major, &minor);
  std::vector<std::uint8_t> raw = {0, static_cast<std::uint8_t>(major), static_cast<std::uint8_t>(minor), 0};
  for (int i = 0; i < 4; ++i) raw.push_back(static_cast<std::uint8_t>(info.tableLength >> (8 * i)));
  raw.insert(raw.end(), table, table + info.tableLength);
  return {dumps.Path(name + ".sysfs"), dumps.Add(name + ".rsmb", raw)};
}

// A machine of a model: BIOS version (type 0), maker and product (type 1), a token table with token 92
// or none.
sim::SmbiosBuilder ModelTable(const std::string& maker, const std::string& product, const std::string& bios,
                              bool tokenTable = true) {
  sim::SmbiosBuilder b;
  b.Add(0, 0, {1, 2, 0, 0xF0, 3, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0}, {"Tarn BIOS", bios, "11/02/2026"});
  b.Add(1, 0x100, {1, 2}, {maker, product});
  if (tokenTable) b.TokenTable(0xD400, 0x72, 0x73, 1, 0x10, 0x2D, 0x2E, {{92, 0x78, 0xBF, 0x40}});
  return b.EndOfTable(0x7F00);
}

TEST(PreflightTest, EveryCaptureFormatGivesTheDumpsPrediction) {
  const DumpFolder dumps;
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> machines = {
      {"flash-2x", TokenTable().DumpBin()},
      {"flash-3x", TokenTable().DumpBin(sim::EntryPointKind::Smbios3, 0x20)},
      {"short-count", TokenTable().DumpBin(sim::EntryPointKind::Smbios2, 0x20, 2)},
      {"no-token-table", ModelTable("Tarn", "X", "A01", false).DumpBin()},
      {"other-ports", ModelTable("Tarn", "X", "A01").DumpBin(sim::EntryPointKind::Legacy, 0x20)}};
  for (const auto& f : tarn_test::SharedTables()) {
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(sim::ReadFileBytes(f.string(), bytes));
    machines.push_back({f.stem().string(), bytes});
  }
  for (const auto& [name, dump] : machines) {
    SCOPED_TRACE(name);
    const auto [folder, raw] = AsOtherCaptures(dumps, name, dump);
    const auto rows = zimsim::PreflightRows({dumps.Add(name + ".bin", dump), folder, raw}, zimsim::Options{});
    EXPECT_EQ(rows[0].format, sim::CaptureFormat::DumpBin);
    EXPECT_EQ(rows[1].format, sim::CaptureFormat::KernelFolder);
    EXPECT_EQ(rows[2].format, sim::CaptureFormat::WindowsRaw);
    EXPECT_EQ(rows[2].dump.kind, sim::EntryPointKind::None);
    for (std::size_t i = 1; i < rows.size(); ++i) {
      // A raw table's assumed count is the structures found, so a short published count no longer
      // stops ZIM.
      if (i == 2 && rows[0].dump.CountDiffers()) {
        EXPECT_EQ(rows[2].Outcome().find("published structure count"), std::string::npos);
        if (name == "short-count") {
          EXPECT_EQ(rows[2].Outcome(), "flash: token 92 set, restart");
        }
        continue;
      }
      EXPECT_EQ(rows[i].Outcome(), rows[0].Outcome()) << rows[i].file;
      EXPECT_EQ(rows[i].tables.size(), rows[0].tables.size());
      EXPECT_EQ(rows[i].token.has_value(), rows[0].token.has_value());
      EXPECT_EQ(rows[i].model.product, rows[0].model.product);
      EXPECT_EQ(rows[i].dump.foundCount, rows[0].dump.foundCount);
    }
  }
  const fs::path shared = fs::path(TARN_SHARED_DIR);
  if (fs::exists(shared / "windows-raw-tables" / "laptop-3.2.rsmb")) {
    const auto rows = zimsim::PreflightRows({(shared / "smbios-tables" / "laptop-3.2.bin").string(),
                                             (shared / "windows-raw-tables" / "laptop-3.2.rsmb").string()},
                                            zimsim::Options{});
    EXPECT_EQ(rows[1].error, "");
    EXPECT_EQ(rows[1].Outcome(), rows[0].Outcome());
    EXPECT_EQ(rows[1].dump.foundCount, rows[0].dump.foundCount);
    EXPECT_EQ(rows[1].model.maker, rows[0].model.maker);
    EXPECT_FALSE(rows[1].model.maker.empty());
  }
  zimsim::Options without;
  without.assume2x = false;
  EXPECT_EQ(zimsim::PreflightRows({dumps.Path("flash-2x.rsmb")}, without)[0].Outcome(),
            "ERR3: no entry point: the capture is a table without one, and none is assumed");
  // The dry run takes the same captures.
  std::string out;
  EXPECT_EQ(Command("--smbios " + dumps.Path("flash-2x.rsmb"), nullptr, &out), 0);
  EXPECT_NE(out.find("is a table without its entry point; a 2.x entry point"), std::string::npos) << out;
  EXPECT_EQ(Command("--smbios " + dumps.Path("flash-3x.sysfs")), 0);
}

TEST(PreflightTest, RowsComeInTheOrderOfTheFilesPastTheWindowOfHeldRows) {
  const DumpFolder dumps;
  const auto good = TokenTable().DumpBin();
  std::vector<std::string> files;
  for (int i = 0; i < 700; ++i)
    files.push_back(dumps.Add(std::to_string(i), i % 7 == 3 ? std::vector<std::uint8_t>(40, 'x') : good));
  const auto rows = zimsim::PreflightRows(files, zimsim::Options{}, {}, 3);
  ASSERT_EQ(rows.size(), files.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].file, files[i]);
    ASSERT_EQ(rows[i].error.empty(), i % 7 != 3) << i;
  }
}

// Counts the rows of the JSON report by outcome.
std::map<std::string, int> JsonRowOutcomes(const std::string& json) {
  std::map<std::string, int> counts;
  std::istringstream lines(json);
  for (std::string line; std::getline(lines, line);) {
    const auto at = line.find("\"outcome\": \"");
    if (line.rfind("{\"file\": ", 0) == 0 && at != std::string::npos)
      ++counts[line.substr(at + 12, line.find('"', at + 12) - at - 12)];
  }
  return counts;
}

// A number written as `before`N in `text`, or -1.
int NumberAfter(const std::string& text, const std::string& before) {
  const auto at = text.find(before);
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + before.size());
}

TEST(PreflightTest, TheSummaryPutsDisagreeingModelsFirstAndThePageCountsAreTheJsons) {
  const DumpFolder dumps;
  const auto flashing = ModelTable("  Alder & Pine ", "AP 7", "A01");
  dumps.Add("a1.bin", flashing.DumpBin());
  dumps.Add("a2.bin", flashing.DumpBin(sim::EntryPointKind::Smbios3, 0x20));
  AsOtherCaptures(dumps, "a3", flashing.DumpBin());
  const auto torn = ModelTable("Corvid", "C2", "B07");
  dumps.Add("c1.bin", torn.DumpBin());
  dumps.Add("c2.bin", torn.DumpBin(sim::EntryPointKind::Smbios2, 0x20, 2));
  dumps.Add("h1.bin", ModelTable("Heron\x01", "H3", "  ", false).DumpBin());
  dumps.Add("junk.txt", std::vector<std::uint8_t>(64, 'x'));
  fs::create_directories(dumps.Path("out"));  // a folder that is no capture, passed over
  const std::string json = dumps.Path("out/report.json"), page = dumps.Path("out/report.html");
  std::string out, err;
  ASSERT_EQ(
      Command("--preflight " + dumps.path() + " --summary --json " + json + " --html " + page, &err, &out), 1)
      << err;
  std::istringstream lines(out);
  std::vector<std::string> table;
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("| ", 0) == 0) table.push_back(line);
  ASSERT_EQ(table.size(), 5u) << out;  // the head and four groups
  EXPECT_EQ(table[1].rfind("| 2 | Corvid | C2 | B07 | **disagree: ERR3 1, flash 1** |", 0), 0u) << table[1];
  EXPECT_EQ(
      table[2].rfind(
          "| 4 | Alder & Pine | AP 7 | A01 | flash | token 92 set, restart | 0x72/0x73, checksum 1 |", 0),
      0u)
      << table[2];
  EXPECT_NE(out.find("| Heron? | H3 | (none) | ERR3 | no token table | no token table |"), std::string::npos)
      << out;
  EXPECT_NE(out.find("8 machines: 5 flash, 2 ERR3, 1 cannot be read"), std::string::npos) << out;

  std::ifstream jsonIn(json), pageIn(page);
  const std::string j(std::istreambuf_iterator<char>(jsonIn), {}),
      h(std::istreambuf_iterator<char>(pageIn), {});
  const auto rows = JsonRowOutcomes(j);
  int total = 0;
  for (const char* o : {"flash", "ERR3", "error"}) {
    SCOPED_TRACE(o);
    const int inRows = rows.count(o) ? rows.at(o) : 0;
    total += inRows;
    EXPECT_EQ(NumberAfter(j, "\"" + std::string(o) + "\": "), inRows) << j;
    EXPECT_EQ(NumberAfter(h, "data-outcome=\"" + std::string(o) + "\" data-count=\""), inRows) << h;
  }
  EXPECT_EQ(total, 8);
  std::size_t pageRows = 0;
  for (std::size_t at = 0; (at = h.find("<tr class=\"row ", at)) != std::string::npos; ++at) ++pageRows;
  EXPECT_EQ(pageRows, 8u);
  EXPECT_NE(h.find("Alder &amp; Pine"), std::string::npos);
  for (const char* fetched : {"<script", " src=", "href=", "url(", "@import"})
    EXPECT_EQ(h.find(fetched), std::string::npos) << fetched;
  EXPECT_NE(
      j.find(
          "{\"system_maker\": \"Corvid\", \"product\": \"C2\", \"bios_version\": \"B07\", \"machines\": 2, "
          "\"disagree\": true"),
      std::string::npos)
      << j;
}

TEST(PreflightTest, PageTextIsEscapedAndWellFormedUtf8) {
  const std::string bad = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"a<b>&\"c\"", "a&lt;b&gt;&amp;&quot;c&quot;"},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {"\xFF"
       "a\x01",
       bad + "a" + bad},
      {"\xC0\x80", bad + bad},                      // overlong
      {"\xED\xA0\x80", bad + bad + bad},            // a surrogate
      {"\xE2\x82", bad + bad},                      // cut short
      {"\xF4\x90\x80\x80", bad + bad + bad + bad},  // past U+10FFFF
  };
  for (const auto& [in, expected] : cases) EXPECT_EQ(zimsim::HtmlText(in), expected) << in;
}

TEST(DryRunTest, CancelledAtThePowerPrompt) {
  auto run = DryRunOf({"--power", "offline", "--answers", "ok,cancel"});
  const zimsim::RunReport& r = run->report.runs[0];
  EXPECT_EQ(r.outcome, "cancelled");
  EXPECT_TRUE(r.cleanupStarted);
  EXPECT_TRUE(run->machine.varn.staged.empty());
  EXPECT_EQ(zimsim::ExitStatus(run->report), 3);
}

TEST(DryRunTest, JsonHoldsTheFinalState) {
  auto run = DryRunOf({"--no-image"});
  const std::string json = zimsim::ToJson(run->report, run->machine);
  for (const char* key :
       {"\"runs\"", "\"outcome\": \"failed\"", "\"error_code\": \"ERR2\"", "\"messages\"",
        "\"dialog\": {\"text\": \"ERR2\", \"ok_visible\": true}", "\"cleanup_started\": true",
        "\"restart_requested\": false", "\"stage_result\": -1", "\"ioctls\"", "\"cmos\"", "\"0x70\": \"",
        "\"registry\"", "\"driver\"", "\"staged\": []", "\"released\": []"})
    EXPECT_NE(json.find(key), std::string::npos) << key << "\n" << json;
}

TEST(DryRunTest, SaveWritesBanksRegistryImagesAndTranscript) {
  auto run = DryRunOf({});
  const fs::path dir = fs::temp_directory_path() / ("zim-sim-save-" + std::to_string(::getpid()));
  ASSERT_EQ(zimsim::Save(dir.string(), run->report, run->machine), "");
  for (const char* name : {"0x70.bin", "0x72.bin", "registry.reg", "staged-1.bin", "transcript.txt"})
    EXPECT_TRUE(fs::exists(dir / name)) << name;
  EXPECT_EQ(fs::file_size(dir / "0x70.bin"), 256u);
  // The saved state loads back as the next machine's starting point.
  sim::Machine next;
  std::ifstream reg(dir / "registry.reg", std::ios::binary);
  EXPECT_EQ(next.registry.LoadReg(std::string(std::istreambuf_iterator<char>(reg), {})), "");
  EXPECT_EQ(next.registry.GetString(sim::Registry::kRunOnceKey, "BiosUpgradeCleanup"),
            run->machine.registry.GetString(sim::Registry::kRunOnceKey, "BiosUpgradeCleanup"));
  const std::string out = (dir / "out.json").string();
  EXPECT_EQ(Command("--cmos 0x70=" + (dir / "0x70.bin").string() + " --json " + out), 0)
      << "a saved bank with the token already set is set again";
  fs::remove_all(dir);
}

TEST(DryRunTest, BadUsageAndUnreadableInputExitWith2AndSayWhy) {
  const fs::path dir = fs::temp_directory_path() / ("zim-sim-bad-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "short.bin") << "only a few bytes";
  std::ofstream(dir / "bad.reg") << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"x\"=oops\n";
  struct Case {
    std::string args;
    std::string says;
  } cases[] = {
      {"--platform os2", "--platform"},
      {"--runs 0", "--runs"},
      {"--bogus", "unknown option --bogus"},
      {"--fail GetVersionExA", "--fail"},
      {"--smbios " + (dir / "missing.bin").string(), "missing.bin: cannot be read"},
      {"--smbios " + (dir / "short.bin").string(), "short.bin: "},
      {"--cmos 0x70=" + (dir / "short.bin").string(), "256 bytes"},
      {"--registry " + (dir / "bad.reg").string(), "bad.reg: line 4"},
      // A machine without /dev/mem; and writes, refused before any device is opened off the test machine.
      {"--this-machine --devices " + dir.string(), "/mem: No such file or directory"},
      {"--this-machine --test-machine-writes", "writes are for the test machine alone"},
      {"--test-machine-writes", "needs --this-machine"},
      {"--this-machine --runs 2", "--runs does not apply to --this-machine"},
  };
  for (const Case& c : cases) {
    std::string err;
    EXPECT_EQ(Command(c.args, &err), 2) << c.args;
    EXPECT_NE(err.find(c.says), std::string::npos) << c.args << ": " << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n') <= 2, true) << err;
  }
  fs::remove_all(dir);
}

// The check of the running machine over stand-ins for /dev/mem and /dev/port: plain files, read
// at the address or port as an offset. The port file answers every location with the data port's
// byte; it shows whatever was written to it.
TEST(ThisMachineTest, ReadOnlyReportsTheWritesAndLeavesDataPortAndIndexPortAsFound) {
  DumpFolder devices;
  struct Case {
    bool smbios2;
    int status;
    std::string says;
  } cases[] = {
      {true, 0,
       "would write 0x70[0x78]: 0x21 -> 0x61, checksum 0x70[0x2E]: 0x21 -> 0x03, 0x70[0x2F]: 0x21 -> 0xDE\n"
       "outcome: flash: token 92 set, restart\n"},
      {false, 1,
       "outcome: ERR3: no entry point: no _SM_ anchor in 0xF0000-0xFFFFF; the firmware publishes only a 3.x "
       "(_SM3_) entry point, at 0xF0000\n"},
  };
  for (const Case& c : cases) {
    fs::remove_all(devices.Path("saved"));
    sim::Machine m;
    TokenTable().Install(m);
    if (!c.smbios2) {
      const std::uint8_t anchor[] = {'_', 'S', 'M', '3', '_'};
      m.memory.Write(0xF0000, anchor, sizeof anchor);
    }
    devices.Add("mem", m.memory.Read(0, 0x100000));
    std::vector<std::uint8_t> ports(0x100, 0xFF);
    ports[0x70] = 0x12;
    ports[0x71] = 0x21;
    devices.Add("port", ports);
    std::string out, err;
    EXPECT_EQ(Command("--this-machine --devices " + devices.path() + " --save " + devices.Path("saved"), &err,
                      &out),
              c.status)
        << err;
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
    std::vector<std::uint8_t> after;
    ASSERT_TRUE(sim::ReadFileBytes(devices.Path("port"), after));
    EXPECT_EQ(after[0x71], 0x21) << "no data-port write";
    EXPECT_EQ(after[0x70], 0x12) << "the index port as found";
    EXPECT_EQ(fs::exists(devices.Path("saved/0x70-before.bin")), c.smbios2);
  }
}

TEST(ThisMachineTest, WritesAreForTheTestMachineAlone) {
  sim::SmbiosBuilder qemu;
  qemu.Add(1, 0x100, {1, 2}, {"QEMU", "Standard PC"})
      .Add(3, 0x300, {1, 3, 0, 2}, {"QEMU", live::kTestMachineSerial});
  qemu.EndOfTable(0x7F00);
  sim::SmbiosBuilder otherSerial;
  otherSerial.Add(1, 0x100, {1, 2}, {"QEMU", "Standard PC"}).Add(3, 0x300, {1, 3, 0, 2}, {"QEMU", "OTHER"});
  const std::string marked = "console=ttyS0 quiet rdinit=/init tarn.test-machine=7QX2K41";
  struct Case {
    std::string commandLine;
    std::vector<std::uint8_t> table;
    std::string refusal;
  } cases[] = {
      {marked, qemu.Bytes(), ""},
      {"console=ttyS0 tarn.test-machine=7QX2K41x", qemu.Bytes(), "does not carry tarn.test-machine=7QX2K41"},
      {marked, TokenTable().Bytes(), "the system manufacturer is \"Tarn\", not \"QEMU\""},
      {marked, otherSerial.Bytes(), "the chassis serial number is \"OTHER\", not \"7QX2K41\""},
      {marked, {}, "the system manufacturer is \"\""},
  };
  for (const Case& c : cases) {
    const std::string refusal = live::TestMachineRefusal(c.commandLine, c.table);
    if (c.refusal.empty())
      EXPECT_EQ(refusal, "");
    else
      EXPECT_NE(refusal.find(c.refusal), std::string::npos) << refusal;
  }
}

TEST(ThisMachineTest, OnlyTheClockAndSecondBanksAreReachedAndNeverWithTheNmiBit) {
  EXPECT_TRUE(live::LinuxHardware::Reachable(0x70, 0x7F, 0x71));
  EXPECT_TRUE(live::LinuxHardware::Reachable(0x72, 0x00, 0x73));
  EXPECT_FALSE(live::LinuxHardware::Reachable(0x70, 0x80, 0x71));
  EXPECT_FALSE(live::LinuxHardware::Reachable(0x70, 0x10, 0x73));
  EXPECT_FALSE(live::LinuxHardware::Reachable(0xB2, 0x10, 0xB3));
  EXPECT_EQ(live::LinuxHardware::IndexToRestore(0x12), 0x12);
  EXPECT_EQ(live::LinuxHardware::IndexToRestore(0xFF), 0x0D);
}

}  // namespace
