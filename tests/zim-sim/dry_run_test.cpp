// The dry run: whole runs of ZIM on the demo machine and on machines the options describe, and the
// command's answers to bad input.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include "hosts/live/live_hardware.h"
#include "platform/sim/smbios_builder.h"
#include "support/prediction_diff.h"
#include "support/shared_tables.h"
#include "tools/zim-sim/common.h"
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

// A folder of made-up dumps, removed at the end of the test. Made anew, never found: a folder named
// after the process could be one a killed run left behind, holding another test's dumps.
class DumpFolder {
 public:
  DumpFolder() {
    std::string name = (fs::temp_directory_path() / "zim-sim-dumps-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("no folder for the dumps");
    path_ = name;
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

// A table whose third structure is a token table holding token 92 on the demo banks' first ports
// (the checksum and the token's location as given).
sim::SmbiosBuilder TokenTable(std::uint8_t type = 0, std::uint8_t start = 0x10, std::uint8_t end = 0x2D,
                              std::uint8_t at = 0x2E, std::uint8_t location = 0x78) {
  sim::SmbiosBuilder b;
  b.Add(1, 0x100, {1, 2}, {"Tarn", "X"}).Add(3, 0x300, {1, 3, 0, 2}, {"Tarn", "TAG"});
  b.TokenTable(0xD400, 0x70, 0x71, type, start, end, at,
               {{93, 0x78, 0xBF, 0x00}, {92, location, 0xBF, 0x40}});
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

TEST(DryRunTest, CommandLinesFoldersAndCleanupPathsAsWindowsGivesThem) {
  // Started by a relative name, staging refused: the retry names the program file by its full path,
  // so it comes back after the restart and ends with ERR6.
  auto relative = DryRunOf({"--command-line", "ZIM.EXE", "--stage-fails", "--runs", "3"});
  ASSERT_EQ(relative->report.runs.size(), 2u);
  EXPECT_EQ(relative->report.runs[1].commandLine, "\"C:\\TARN\\BIOS\\ZIM.EXE\"");
  EXPECT_EQ(relative->report.runs[1].errorCode, "ERR6");
  // An argument with a backslash, or a full path with forward slashes: the image beside ZIM.
  for (const char* line : {"\"C:\\TARN\\BIOS\\ZIM.EXE\" /log C:\\TEMP\\", "D:/TOOLS/ZIM /x"}) {
    auto run = DryRunOf({"--command-line", line});
    EXPECT_EQ(run->report.runs[0].outcome, "restart") << line;
    EXPECT_EQ(run->machine.varn.staged.size(), 1u) << line;
  }
  // A folder whose name the code page cannot hold: nothing is staged.
  auto unheld = DryRunOf({"--command-line", "\"C:\\TARN\\BIOS?\\ZIM.EXE\" "});
  EXPECT_EQ(unheld->report.runs[0].errorCode, "ERR2");
  EXPECT_TRUE(unheld->machine.varn.staged.empty());
  // A cleanup path holding "-s" starts that program; a RunOnce value naming a program by a relative
  // name finds nothing at the next start.
  const DumpFolder files;
  const std::string text =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Tarn\\BIOSUPGRADE]\n"
      "\"BiosUpgradeCleanup\"=\"C:\\\\TARN\\\\BIOS-setup\\\\CLEANUP.EXE -s\"\n\"N\x1b\"=\"\x1b]0;\x07\"\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce]\n"
      "\"ZIM\"=\"ZIM.EXE\"\n";
  const std::string reg = files.Add("setup.reg", std::vector<std::uint8_t>(text.begin(), text.end()));
  auto failed = DryRunOf({"--registry", reg, "--no-image"});
  EXPECT_EQ(failed->report.runs[0].launches,
            std::vector<std::string>{"C:\\TARN\\BIOS-setup\\CLEANUP.EXE -s"});
  auto flashed = DryRunOf({"--registry", reg, "--runs", "2"});
  ASSERT_EQ(flashed->report.runs.size(), 1u);
  EXPECT_EQ(flashed->report.notFoundAtLastStart, std::vector<std::string>{"ZIM.EXE"});
  const std::string transcript = zimsim::Transcript(flashed->report, flashed->machine);
  EXPECT_EQ(transcript.find_first_of("\x1b\x07"), std::string::npos) << transcript;
}

TEST(DryRunTest, RefusedRestartReleasesTheImageAndSetsToken93) {
  auto run = DryRunOf({"--restart", "refuse", "--stage-result", "0x1234"});
  const zimsim::RunReport& r = run->report.runs[0];
  EXPECT_EQ(r.errorCode, "ERR5");
  EXPECT_EQ(run->machine.varn.released, (std::vector<std::int32_t>{0x1234}));
  EXPECT_EQ(run->machine.cmos[0x70].bytes[0x78] & 0x40, 0) << "token 93 clears the flash bit";
  EXPECT_TRUE(r.okVisible);
}

// Whatever device control fails once, CMOS ends as it was with an error code shown, or as a run
// without faults leaves it (a failed staging retries across the restart, and then flashes).
TEST(DryRunTest, AnyOneDeviceControlFailingLeavesCmosAsBeforeWithAnErrorOrAsACleanRun) {
  auto clean = DryRunOf({});
  std::map<std::uint16_t, std::array<std::uint8_t, 256>> before, after;
  {
    sim::Machine fresh;
    zimsim::Options defaults;
    ASSERT_EQ(zimsim::BuildMachine(defaults, fresh), "");
    for (const auto& [port, bank] : fresh.cmos) before[port] = bank.bytes;
  }
  for (const auto& [port, bank] : clean->machine.cmos) after[port] = bank.bytes;
  ASSERT_NE(before, after);
  int controls = 0, putBack = 0;
  for (const auto& [code, count] : clean->report.runs[0].ioctls) controls += count;
  for (int n = 1; n <= controls; ++n) {
    auto run = DryRunOf({"--fail", "DeviceIoControl:" + std::to_string(n), "--runs", "2"});
    std::map<std::uint16_t, std::array<std::uint8_t, 256>> now;
    for (const auto& [port, bank] : run->machine.cmos) now[port] = bank.bytes;
    const zimsim::RunReport& last = run->report.runs.back();
    const bool asBefore = now == before && last.outcome == "failed" && !last.errorCode.empty();
    const bool asClean = now == after && last.outcome == "restart" && last.errorCode.empty();
    EXPECT_TRUE(asBefore || asClean) << "control " << n << ": " << last.outcome << " " << last.errorCode;
    // The demo machine holds every byte a run needs: what a failed read leads ZIM to read after it
    // cannot change the outcome, so it makes no prediction uncertain.
    for (const zimsim::RunReport& r : run->report.runs) {
      EXPECT_EQ(r.uncertain, "") << "control " << n;
      for (const zimsim::TokenWriteFailure& f : r.tokenWriteFailures) putBack += f.putBack ? 1 : 0;
    }
  }
  EXPECT_GT(putBack, 0) << "some control fails in the middle of the write, and the dry run says so";
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
  // What follows the declared table is not read: a dump trailed by 2 GiB that take no disk loads.
  const auto trailed = [](const std::string& path) {
    fs::resize_file(path, std::uintmax_t{2} << 30);
    return path;
  };
  const struct {
    std::string file;
    std::vector<std::string> options;
    std::string errorCode;
  } cases[] = {
      {dumps.Add("at20.bin", table.DumpBin()), {}, ""},
      {dumps.Add("at40.bin", table.DumpBin(Kind::Smbios2, 0x40)), {}, ""},
      {trailed(dumps.Add("trailed.bin", table.DumpBin(Kind::Smbios3, 0x20))), {}, ""},
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
  ASSERT_EQ(sim::LoadCaptureFile(m, dumps.Path("short.bin"), {}, &info), "");
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
  EXPECT_EQ(
      rows[3].Outcome(),
      "uncertain: flash if the firmware also publishes a 2.x entry point in 0xF0000-0xFFFFF; ERR3 if not "
      "(simulated: flash)");
  EXPECT_EQ(zimsim::WritesText(rows[0].writes),
            "0x70[0x78] 0x00\xE2\x86\x92"
            "0x40, 0x70[0x2E-0x2F]");
  options.assume2x = false;
  EXPECT_EQ(zimsim::PreflightRows({dumps.Path("d-v3.bin")}, options)[0].Outcome(),
            "ERR3: no entry point: the dump has only its 3.x one, and none is assumed");

  std::string out, err;
  EXPECT_EQ(Command("--preflight " + dumps.path(), &err, &out), 1) << err;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2 + 4) << out;
  EXPECT_EQ(Command("--preflight " + dumps.Path("a-flash.bin")), 0);
  EXPECT_EQ(Command("--preflight " + dumps.Path("a-flash.bin") + " " + dumps.Path("d-v3.bin")), 4);
  EXPECT_EQ(Command("--smbios " + dumps.Path("d-v3.bin")), 4) << "the dry run rests on the same assumption";
  EXPECT_EQ(Command("--preflight " + dumps.path() + " --image x.hdr", &err), 2);
  EXPECT_NE(err.find("--image does not apply to --preflight"), std::string::npos) << err;
}

// Defined below, beside the tests they were first written for.
sim::SmbiosBuilder ModelTable(const std::string& maker, const std::string& product, const std::string& bios,
                              bool tokenTable = true);
std::map<std::string, int> JsonRowOutcomes(const std::string& json);
int NumberAfter(const std::string& text, const std::string& before);

// The pre-flight and the dry run give one prediction for the same table and banks, and a prediction
// that rests on bytes the dump does not hold is uncertain in both, never "flash".
TEST(PreflightTest, AgreesWithTheDryRunAndSaysWhenItCannotKnow) {
  const char* const kAssumed =
      "uncertain: flash if the firmware also publishes a 2.x entry point in 0xF0000-0xFFFFF; ERR3 if not";
  const DumpFolder dumps;
  const std::vector<sim::TokenRecord> token92 = {{92, 0x78, 0xBF, 0x40}};
  sim::SmbiosBuilder many;  // token 92 in the 257th token table
  for (int i = 0; i < 256; ++i) many.TokenTable(0xD400, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E, {});
  many.TokenTable(0xD500, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E, token92).EndOfTable(0x7F00);
  auto cut = sim::SmbiosBuilder().TokenTable(0xD400, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E, token92).DumpBin();
  cut[0x16] = 13;  // the table ends one byte into token 92's record
  cut[0x17] = 0;
  sim::SmbiosBuilder large;  // a 3.x table longer than a 2.x entry point can describe
  for (int i = 0; i < 400; ++i) large.Add(11, static_cast<std::uint16_t>(i), {1}, {std::string(250, 'o')});
  large.TokenTable(0xD400, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E, token92).EndOfTable(0x7F00);
  const struct {
    std::string file;
    std::string outcome;  // the start of the row's outcome
  } cases[] = {
      {dumps.Add("flash.bin", TokenTable().DumpBin()), "flash: token 92 set, restart"},
      {dumps.Add("table-257.bin", many.DumpBin()), "flash: token 92 set, restart"},
      {dumps.Add("ports-0.bin",
                 sim::SmbiosBuilder().TokenTable(0xD400, 0, 0, 0, 0x10, 0x2D, 0x2E, token92).DumpBin()),
       "ERR3: token table 1 names ports 0x00/0x00, which cannot be a CMOS bank"},
      {dumps.Add(
           "ports-ffff.bin",
           sim::SmbiosBuilder().TokenTable(0xD400, 0xFFFF, 0xFFFF, 0, 0x10, 0x2D, 0x2E, token92).DumpBin()),
       "ERR3: token table 1 names ports 0xFFFF/0xFFFF, which cannot be a CMOS bank"},
      {dumps.Add("ports-70.bin",
                 sim::SmbiosBuilder().TokenTable(0xD400, 0x70, 0x70, 0, 0x10, 0x2D, 0x2E, token92).DumpBin()),
       "ERR3: token table 1 names ports 0x70/0x70, which cannot be a CMOS bank"},
      {dumps.Add("clock.bin", TokenTable(0, 0x10, 0x2D, 0x2E, 0x0B).DumpBin()),
       "ERR3: the token table names the clock's registers (0x70[0x0B])"},
      {dumps.Add("clock-checksum.bin", TokenTable(0, 0x10, 0x2D, 0x00).DumpBin()),
       "ERR3: the token table names the clock's registers (0x70[0x00])"},
      {dumps.Add("nmi.bin", TokenTable(0, 0x10, 0x2D, 0x2E, 0x90).DumpBin()),
       "ERR3: location 0x90 through index port 0x70"},
      {dumps.Add("no-checksum.bin", TokenTable(0, 0, 0, 0).DumpBin()), "flash: token 92 set, restart"},
      {dumps.Add("cut.bin", cut), "uncertain: ZIM read "},
      {dumps.Add("large.bin", large.DumpBin(sim::EntryPointKind::Smbios3, 0x20)),
       "ERR3: no entry point: the dump has only its 3.x one, and a 2.x one cannot describe its table"},
      // On an assumed 2.x entry point: a flash is uncertain, an ERR3 on the table itself is not.
      {dumps.Add("v3.bin", TokenTable().DumpBin(sim::EntryPointKind::Smbios3, 0x20)), kAssumed},
      {dumps.Add("legacy.bin", TokenTable().DumpBin(sim::EntryPointKind::Legacy, 0x20)), kAssumed},
      {dumps.Add("v3-clock.bin",
                 TokenTable(0, 0x10, 0x2D, 0x2E, 0x0B).DumpBin(sim::EntryPointKind::Smbios3, 0x20)),
       "ERR3: the token table names the clock's registers"},
      {dumps.Add("v3-overwritten.bin",  // the checksum's write overwrites the token's byte
                 TokenTable(1, 0x10, 0x2D, 0x2E, 0x2E).DumpBin(sim::EntryPointKind::Smbios3, 0x20)),
       "uncertain: ERR3 either way, but the CMOS writes only if the firmware also publishes a 2.x"},
  };
  std::map<std::string, int> keys;
  std::string files;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const auto row = zimsim::PreflightRows({c.file}, zimsim::Options{}, {}, 1).front();
    EXPECT_EQ(row.Outcome().rfind(c.outcome, 0), 0u) << row.Outcome();
    EXPECT_EQ(tarn_test::PredictionsDiffer(c.file), "");
    ++keys[row.Key()];
    files += " " + c.file;
  }
  // Every rendering counts each capture as its row does.
  std::string out, err;
  const std::string j = dumps.Path("r.json"), h = dumps.Path("r.html");
  ASSERT_EQ(Command("--preflight" + files + " --summary --json " + j + " --html " + h, &err, &out), 4) << err;
  std::ifstream jsonIn(j), pageIn(h);
  const std::string json(std::istreambuf_iterator<char>(jsonIn), {}),
      page(std::istreambuf_iterator<char>(pageIn), {});
  EXPECT_EQ(JsonRowOutcomes(json), keys);
  for (const auto& [key, n] : keys) {
    EXPECT_NE(out.find(" " + std::to_string(n) + " " + key + ","), std::string::npos) << key << out;
    EXPECT_EQ(NumberAfter(json, "\"" + key + "\": "), n) << key;
    int pageRows = 0;
    for (auto at = page.find("<tr class=\"row " + key + "\">"); at != std::string::npos;
         at = page.find("<tr class=\"row " + key + "\">", at + 1))
      ++pageRows;
    EXPECT_EQ(pageRows, n) << key;
    EXPECT_EQ(NumberAfter(page, "data-outcome=\"" + key + "\" data-count=\""), n) << key;
  }
  // No checksum: the token's byte alone is written, the clock's registers are not touched.
  EXPECT_EQ(Command("--smbios " + cases[8].file, &err, &out), 0) << err;
  EXPECT_NE(out.find("\ntoken 92: no checksum (its descriptor is all zero)\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("CMOS 0x70[0x00]"), std::string::npos) << out;
  EXPECT_EQ(Command("--smbios " + cases[8].file + " --json -", &err, &out), 0) << err;
  EXPECT_NE(out.find("\"token_notes\": [\"token 92: no checksum (its descriptor is all zero)\"]"),
            std::string::npos)
      << out;
  EXPECT_EQ(Command("--smbios " + cases[5].file, &err, &out), 1) << err;
  EXPECT_NE(out.find("\ntoken 92: the token table names the clock's registers (0x70[0x0B])\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("CMOS 0x70["), std::string::npos) << "nothing written";
  EXPECT_EQ(Command("--smbios " + cases[9].file, &err, &out), 4) << err;
  EXPECT_NE(out.find("\nuncertain: ZIM read"), std::string::npos) << out;
  EXPECT_NE(out.find("outcome: uncertain"), std::string::npos) << out;
  EXPECT_EQ(Command("--smbios " + cases[10].file + " --no-assumed-entry", &err, &out), 1) << err;
  EXPECT_NE(out.find("outcome: failed ERR3"), std::string::npos) << out;
  EXPECT_EQ(Command("--smbios " + cases[10].file, &err, &out), 1) << err;
  EXPECT_NE(out.find("no 2.x entry point: a 2.x entry point describes at most 65535 bytes"),
            std::string::npos)
      << out;
}

// Any file name gives a Markdown table and JSON that parse: control bytes (C0, DEL, C1) and bytes
// that are not UTF-8 as \xHH, the backslash escaped with the bar; JSON escapes control characters.
TEST(PreflightTest, ReportsAreWellFormedForAnyFileName) {
  const DumpFolder dumps;
  const std::string name = "a\\|b\r\x1b[2J\xff\x7f\xc2\x85\xc3\xa9.bin";
  dumps.Add(name, TokenTable().DumpBin());
  std::string out, err;
  EXPECT_EQ(Command("--preflight " + dumps.path(), &err, &out), 0) << err;
  const std::string row = out.substr(out.rfind("\n| ", out.size() - 2) + 1);
  EXPECT_EQ(row.rfind("| " + dumps.path() +
                          "/a\\\\\\|b\\\\x0D\\\\x1B[2J\\\\xFF\\\\x7F\\\\xC2\\\\x85\xc3\xa9.bin | 2.8 |",
                      0),
            0u)
      << row;
  EXPECT_EQ(Command("--preflight " + dumps.path() + " --json -", &err, &out), 0) << err;
  EXPECT_NE(out.find("/a\\\\|b\\r\\u001b[2J\\\\xFF\\u007f\\u0085\xc3\xa9.bin\""), std::string::npos) << out;
  for (char c : out) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << out;

  // Hostile names as file names and as the makers their tables name, through every report. The rows
  // and the summary keep their cells (8 a line) and one line each; makers one byte apart stay apart;
  // the JSON and the page, read back by a parser, give each name as README says (JSON: valid UTF-8 and
  // control characters as they are; the page: as the terminal shows it).
  // Each name, and as the JSON gives it.
  const std::pair<std::string, std::string> names[] = {{"M\303\251dion", "M\303\251dion"},
                                                       {"M\351dion", "M\\xE9dion"},
                                                       {"M\350dion", "M\\xE8dion"},
                                                       {"a<b>&c;", "a<b>&c;"},
                                                       {"p|q\\", "p|q\\"},
                                                       {"q\"uo'te", "q\"uo'te"},
                                                       {"l1\nl2\r\x1B[2J", "l1\nl2\r\x1B[2J"}};
  const std::string folder = dumps.Path("hostile");
  fs::create_directories(folder);
  std::vector<std::string> expected;
  const auto hex = [](const std::string& t) {
    std::string h;
    for (unsigned char c : t) h += zimsim::Hex(c, 2).substr(2);
    return h;
  };
  for (const auto& [raw, json] : names) {
    dumps.Add("hostile/" + raw + ".bin", ModelTable(raw, "P", "A01").DumpBin());
    const std::string page = sim::Displayed(raw), file = folder + "/";
    for (const std::string& line :
         {"json-file " + hex(file + json + ".bin"), "json-maker " + hex(json), "json-group " + hex(json),
          "page-file " + hex(sim::Displayed(file + raw + ".bin")), "page-maker " + hex(page),
          "page-group " + hex(page)})
      expected.push_back(line);
  }
  std::sort(expected.begin(), expected.end());
  const std::string j = dumps.Path("r.json"), h = dumps.Path("r.html");
  for (const char* summary : {"", " --summary"}) {
    ASSERT_EQ(Command("--preflight " + folder + " --json " + j + " --html " + h + summary, &err, &out), 0)
        << err;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2 + std::size(names) + (*summary ? 2 : 0)) << out;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      int bars = 0;
      for (std::size_t i = 0; i < line.size(); ++i) line[i] == '\\' ? ++i : bars += line[i] == '|';
      EXPECT_TRUE(line.rfind("| ", 0) != 0 || bars == 9) << line;
      for (char c : line) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << line;
    }
  }
  if (std::system("python3 -c '' 2>/dev/null") != 0) GTEST_SKIP() << "no python3 to read JSON and HTML back";
  const std::string read = dumps.Path("read"), reader = fs::path(__FILE__).parent_path() / "read_reports.py";
  ASSERT_EQ(std::system(("python3 " + reader + " " + j + " " + h + " >" + read).c_str()), 0);
  std::ifstream in(read);
  std::vector<std::string> got;
  for (std::string line; std::getline(in, line);) got.push_back(line);
  EXPECT_EQ(got, expected);
}

// The same machine as the kernel's tables folder (NAME.sysfs) and as a Windows raw table (NAME.rsmb,
// trailed by bytes that are no part of it), made from its dump.
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
  const auto raw = sim::WindowsRawTable({table, table + info.tableLength}, static_cast<std::uint8_t>(major),
                                        static_cast<std::uint8_t>(minor));
  // What follows the length the header gives is not read: 2 GiB of it, taking no disk.
  const std::string rsmb = dumps.Add(name + ".rsmb", raw);
  fs::resize_file(rsmb, std::uintmax_t{2} << 30);
  return {dumps.Path(name + ".sysfs"), rsmb};
}

// A machine of a model: BIOS version (type 0), maker and product (type 1), a token table with token 92
// or none.
sim::SmbiosBuilder ModelTable(const std::string& maker, const std::string& product, const std::string& bios,
                              bool tokenTable) {
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
      {"esc\x1b]0;t\x07", TokenTable().DumpBin()},  // the dry run's notes name the raw table's file
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
          EXPECT_TRUE(rows[2].flash && rows[2].Key() == "uncertain") << rows[2].Outcome();
        }
        continue;
      }
      // A raw table's entry point is assumed: a flash on it is uncertain.
      if (i == 2 && rows[0].flash && rows[0].uncertain.empty()) {
        EXPECT_EQ(rows[2].Key(), "uncertain");
        EXPECT_TRUE(rows[2].flash);
      } else {
        EXPECT_EQ(rows[i].Outcome(), rows[0].Outcome()) << rows[i].file;
      }
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
  EXPECT_EQ(Command("--smbios " + dumps.Path("flash-2x.rsmb"), nullptr, &out), 4);
  EXPECT_NE(out.find("is a table without its entry point; a 2.x entry point"), std::string::npos) << out;
  EXPECT_EQ(Command("--smbios '" + dumps.Path("esc\x1b]0;t\x07.rsmb") + "'", nullptr, &out), 4);
  EXPECT_EQ(out.find_first_of("\x1b\x07"), std::string::npos) << out;
  EXPECT_EQ(Command("--smbios " + dumps.Path("flash-3x.sysfs")), 4);
  // A raw table longer than a 2.x entry point can describe is read as its 3.x dump is.
  sim::SmbiosBuilder large;
  for (int i = 0; i < 280; ++i) large.Add(11, static_cast<std::uint16_t>(i), {1}, {std::string(250, 'o')});
  large.TokenTable(0xD400, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E, {{92, 0x78, 0xBF, 0x40}}).EndOfTable(0x7F00);
  const auto [largeFolder, largeRaw] =
      AsOtherCaptures(dumps, "large", large.DumpBin(sim::EntryPointKind::Smbios3, 0x20));
  const auto largeRow = zimsim::PreflightRows({largeRaw}, zimsim::Options{})[0];
  EXPECT_GT(largeRow.dump.tableLength, 70000u);
  EXPECT_EQ(largeRow.Outcome().rfind("ERR3: no entry point: a 2.x one cannot describe its table", 0), 0u)
      << largeRow.Outcome();
  EXPECT_EQ(Command("--smbios " + largeRaw, nullptr, &out), 1);
  EXPECT_NE(out.find("publishes only its 3.x entry point, which a raw table does not hold"),
            std::string::npos)
      << out;
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
  dumps.Add("k1.bin", ModelTable("Kestrel", "K1", "C01", false).DumpBin());
  dumps.Add("k2.bin", ModelTable("Kestrel", "K1", "C01").DumpBin(sim::EntryPointKind::Smbios2, 0x20, 2));
  dumps.Add("junk.txt", std::vector<std::uint8_t>(64, 'x'));
  const DumpFolder reports;
  const std::string json = reports.Path("report.json"), page = reports.Path("report.html");
  std::string out, err;
  ASSERT_EQ(
      Command("--preflight " + dumps.path() + " --summary --json " + json + " --html " + page, &err, &out), 1)
      << err;
  std::istringstream lines(out);
  std::vector<std::string> table;
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("| ", 0) == 0) table.push_back(line);
  ASSERT_EQ(table.size(), 6u) << out;  // the head and five groups
  EXPECT_EQ(table[1].rfind("| 4 | Alder & Pine | AP 7 | A01 | **disagree: flash 2, uncertain 2** |", 0), 0u)
      << table[1];
  EXPECT_EQ(table[2].rfind("| 2 | Corvid | C2 | B07 | **disagree: ERR3 1, flash 1** |", 0), 0u) << table[2];
  EXPECT_NE(out.find("| Heron\\\\x01 | H3 | (none) | ERR3 | no token table | no token table |"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("| 2 | Kestrel | K1 | C01 | ERR3 |"), std::string::npos) << out;
  EXPECT_NE(out.find("10 machines: 3 flash, 4 ERR3, 2 uncertain, 1 cannot be read"), std::string::npos)
      << out;

  std::ifstream jsonIn(json), pageIn(page);
  const std::string j(std::istreambuf_iterator<char>(jsonIn), {}),
      h(std::istreambuf_iterator<char>(pageIn), {});
  const auto rows = JsonRowOutcomes(j);
  int total = 0;
  for (const char* o : {"flash", "ERR3", "uncertain", "error"}) {
    SCOPED_TRACE(o);
    const int inRows = rows.count(o) ? rows.at(o) : 0;
    total += inRows;
    EXPECT_EQ(NumberAfter(j, "\"" + std::string(o) + "\": "), inRows) << j;
    EXPECT_EQ(NumberAfter(h, "data-outcome=\"" + std::string(o) + "\" data-count=\""), inRows) << h;
  }
  EXPECT_EQ(total, 10);
  std::size_t pageRows = 0;
  for (std::size_t at = 0; (at = h.find("<tr class=\"row ", at)) != std::string::npos; ++at) ++pageRows;
  EXPECT_EQ(pageRows, 10u);
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
  const std::pair<std::string, std::string> cases[] = {
      {"a<b>&\"c\"", "a&lt;b&gt;&amp;&quot;c&quot;"},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {"\xFF"
       "a\x01",
       "\\xFFa\\x01"},
      {"\xC0\x80", "\\xC0\\x80"},                    // overlong
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},           // a surrogate
      {"\xE2\x82", "\\xE2\\x82"},                    // cut short
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // past U+10FFFF
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
  const DumpFolder saved;
  const fs::path dir = fs::path(saved.path()) / "save";
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

// The table of bad inputs: one row a case, with the exit status and the start of the error's first
// line. Each answers at once: nothing here is read whole, waited on or grown without bound.
TEST(DryRunTest, BadInputGetsOneLineAndItsExitStatus) {
  const DumpFolder scratch;
  const fs::path dir = scratch.path();
  fs::create_directories(dir / "used");
  std::ofstream(dir / "short.bin") << "only a few bytes";
  std::ofstream(dir / "used" / "staged-3.bin") << "an earlier run's";
  std::ofstream(dir / "bad.reg") << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"x\"=oops\n";
  std::ofstream(dir / "sparse.bin").close();
  fs::resize_file(dir / "sparse.bin", std::uintmax_t{2} << 30);  // 2 GiB that take no disk
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const DumpFolder dumps;
  const std::string d = dir.string(), table = dumps.Add("table.bin", TokenTable().DumpBin());
  fs::create_hard_link(table, dir / "same.bin");
  fs::create_directories(dir / "kernel");
  for (const char* part : {"smbios_entry_point", "DMI"}) std::ofstream(dir / "kernel" / part) << "x";
  struct Case {
    std::string args;
    int status;
    std::string says;  // the start of the first line, after "zim-sim: "
  } cases[] = {
      {"--platform os2", 2, "--platform takes"},
      {"--runs 0", 2, "--runs takes"},
      {"--bogus", 2, "unknown option --bogus"},
      {"'--bo\x1b[2Jgus'", 2, "unknown option --bo\\x1B[2Jgus"},
      {"--fail GetVersionExA", 2, "--fail takes"},
      {"--fail GetVersionEx:1", 2, "--fail GetVersionEx:1 never struck: GetVersionEx was called 0 times"},
      // Numbers: digits alone, in range.
      {"--lang ' 5'", 2, "--lang takes"},
      {"--lang +5", 2, "--lang takes"},
      {"--stage-result 0x-1", 2, "--stage-result takes"},
      {"--stage-result 99999999999999999999", 2, "--stage-result takes"},
      {"--entry-at 0xF0000x", 2, "--entry-at takes"},
      // Empty names are mistakes, never the demo machine's defaults.
      {"--smbios ''", 2, "--smbios needs a file name"},
      {"--registry ''", 2, "--registry needs a file name"},
      {"--json ''", 2, "--json needs a file name"},
      {"--save ''", 2, "--save needs a file name"},
      {"--cmos 0x70=", 2, "--cmos takes ADDR=FILE"},
      {"--preflight ''", 2, "--preflight needs file names"},
      // Files: the reason, and only a regular file is read, within its kind's bound.
      {"--smbios " + d + "/missing.bin", 2, d + "/missing.bin: cannot be read: No such file or directory"},
      {"--smbios " + d + "/short.bin", 2, d + "/short.bin: not an SMBIOS capture: no entry point"},
      {"--smbios " + d + "/sparse.bin", 2, d + "/sparse.bin: not an SMBIOS capture: no entry point"},
      {"--smbios /dev/zero", 2, "/dev/zero: cannot be read: a character device, not a regular file"},
      {"--smbios " + fifo, 2, fifo + ": cannot be read: a FIFO, not a regular file"},
      {"--smbios " + d, 2, d + ": a folder without smbios_entry_point and DMI"},
      {"--cmos 0x70=/dev/zero", 2, "/dev/zero: cannot be read: a character device"},
      {"--cmos 0x70=" + d + "/sparse.bin", 2, d + "/sparse.bin: larger than 256 bytes"},
      {"--cmos 0x70=" + d + "/short.bin", 2, d + "/short.bin: a CMOS bank must be 256 bytes, not 16"},
      {"--cmos 0x70=" + d + "/missing.bin", 2, d + "/missing.bin: cannot be read: No such file"},
      {"--cmos 0x70=a --cmos 0x71=b", 2, "--cmos 0x71 overlaps the bank at 0x70/0x71"},
      {"--cmos 0x72=a --cmos 0x72=b", 2, "--cmos 0x72 overlaps the bank at 0x72/0x73"},
      {"--image " + fifo, 2, fifo + ": cannot be read: a FIFO"},
      {"--image " + d + "/sparse.bin", 2, d + "/sparse.bin: larger than 67108864 bytes"},
      {"--phys 0x1000=/dev/zero", 2, "/dev/zero: cannot be read: a character device"},
      {"--registry /dev/zero", 2, "/dev/zero: cannot be read: a character device"},
      {"--registry " + d + "/bad.reg", 2, d + "/bad.reg: line 4"},
      {"--preflight " + fifo + " --cmos 0x70=" + fifo, 2, fifo + ": cannot be read: a FIFO"},
      // Reports that cannot be written, and a folder that holds an earlier run's files.
      {"--json /dev/full", 2, "/dev/full: cannot be written: No space left on device"},
      {"--preflight " + table + " --json /dev/full", 2, "/dev/full: cannot be written"},
      {"--save " + d + "/used", 2, d + "/used: not empty"},
      {"--save " + d + "/new --json " + d + "/new/transcript.txt", 2, "also a path that --save"},
      {"--save " + d + "/new/ --json " + d + "/new/0x70.bin", 2, "also a path that --save"},
      // A report never overwrites an input, nor another report.
      {"--preflight " + table + " --json " + table, 2, "--json " + table + ": an input of this run"},
      {"--preflight " + d + "/used --html " + d + "/used/staged-3.bin", 2,
       "--html " + d + "/used/staged-3.bin"},
      {"--preflight " + table + " --json " + d + "/r --html " + d + "/r", 2, "also the path of --json"},
      {"--preflight " + table + " --json zim-sim-r --html ./zim-sim-r", 2, "also the path of --json"},
      {"--preflight " + table + " --html " + d + "/same.bin", 2, "the same file as the input " + table},
      {"--smbios " + table + " --json " + d + "/same.bin", 2, "the same file as the input " + table},
      {"--preflight " + d + " --json " + d + "/kernel/DMI", 2, "--json " + d + "/kernel/DMI: an input"},
      {"--registry " + d + "/bad.reg --json " + d + "/bad.reg", 2, "--json " + d + "/bad.reg: an input"},
      {"--this-machine --devices " + d + " --save " + d + "/used", 2, d + "/used: not empty"},
      {"--command-line ''", 2, "--command-line needs the program's name"},
      // A machine without /dev/mem; and writes, refused before any device is opened off the test machine.
      {"--this-machine --devices " + d, 2, d + "/mem: No such file or directory"},
      {"--this-machine --test-machine-writes", 2, "writes are for the test machine alone"},
      {"--test-machine-writes", 2, "--test-machine-writes needs --this-machine"},
      {"--this-machine --runs 2", 2, "--runs does not apply to --this-machine"},
  };
  for (const Case& c : cases) {
    std::string err;
    EXPECT_EQ(Command(c.args, &err), c.status) << c.args;
    const std::string first = err.substr(0, err.find('\n'));
    EXPECT_EQ(first.rfind("zim-sim: ", 0), 0u) << c.args << ": " << err;
    EXPECT_NE(first.find(c.says), std::string::npos) << c.args << ": " << err;
  }
  // What is printed must reach its reader.
  EXPECT_EQ(std::system((std::string(TARN_BIN_DIR) + "/zim-sim >/dev/full 2>/dev/null").c_str()), 2 << 8);
  fs::remove_all(dir);
}

// The check of the running machine over stand-ins for /dev/mem, /dev/port and /dev/nvram: plain
// files, read at the address, port or CMOS offset. Every write the process makes to them is
// recorded at the system call, whatever the check's own account says.
struct DeviceWrite {
  std::string file;
  off_t offset;
  std::uint8_t value;
};
std::string g_recordUnder = "/nonexistent/";
std::vector<DeviceWrite> g_deviceWrites;

void RecordWrite(int fd, const void* data, std::size_t size, off_t offset) {
  char link[64], path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = ::readlink(link, path, sizeof path - 1);
  if (n <= 0 || std::string(path, static_cast<std::size_t>(n)).rfind(g_recordUnder, 0) != 0) return;
  for (std::size_t i = 0; i < size; ++i)
    g_deviceWrites.push_back({fs::path(std::string(path, static_cast<std::size_t>(n))).filename().string(),
                              offset + static_cast<off_t>(i), static_cast<const std::uint8_t*>(data)[i]});
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* data, std::size_t size, off_t offset) {
  RecordWrite(fd, data, size, offset);
  return ::syscall(SYS_pwrite64, fd, data, size, offset);
}
extern "C" ssize_t pwrite64(int fd, const void* data, std::size_t size, off_t offset) {
  RecordWrite(fd, data, size, offset);
  return ::syscall(SYS_pwrite64, fd, data, size, offset);
}
extern "C" ssize_t write(int fd, const void* data, std::size_t size) {
  RecordWrite(fd, data, size, ::lseek(fd, 0, SEEK_CUR));
  return ::syscall(SYS_write, fd, data, size);
}

namespace {

// Port 0x70 reads 0x8D (NMI disabled), as an open bus or another program may leave it; the second
// bank's data port answers 0x33 at every location. No port 0x70/0x71 is ever written, no data
// port either, and the second bank's index port only with the locations the token write reads.
TEST(ThisMachineTest, ReadOnlyCheckWritesNoDataPortAndNoClockPortAndSaysWhyAReadFailed) {
  const DumpFolder root;
  sim::SmbiosBuilder second;
  second.Add(1, 0x100, {1, 2}, {"Tarn", "X"});
  second.TokenTable(0xD400, 0x72, 0x73, 1, 0x40, 0x4F, 0x50, {{92, 0x44, 0xBF, 0x40}}).EndOfTable(0x7F00);
  std::set<int> secondBankReads = {0x44, 0x50};
  for (int i = 0x40; i <= 0x4F; ++i) secondBankReads.insert(i);
  enum Mem { kWhole, kTableCut, kDirectory };
  struct Case {
    std::string name;
    sim::SmbiosBuilder table;
    bool smbios2, nvram, save;
    Mem mem;
    std::size_t portBytes;
    int status;
    std::string says;
  } cases[] = {
      {"clock bank through nvram", TokenTable(), true, true, true, kWhole, 0x100, 0,
       "would write 0x70[0x78]: 0x21 -> 0x61, checksum 0x70[0x2E]: 0x21 -> 0x03, 0x70[0x2F]: 0x21 -> 0xDE\n"
       "outcome: flash: token 92 set, restart\n"},
      {"clock bank without nvram", TokenTable(), true, false, true, kWhole, 0x100, 3,
       "/nvram: No such file or directory (this system offers no such device); the clock's bank is read "
       "through /dev/nvram alone"},
      {"second bank", second, true, false, false, kWhole, 0x100, 0,
       "would write 0x72[0x44]: 0x33 -> 0x73, checksum 0x72[0x50]: 0x33 -> 0x70\n"
       "outcome: flash: token 92 set, restart\n"},
      {"no checksum on the clock bank", TokenTable(3, 0, 0, 0), true, true, false, kWhole, 0x100, 0,
       "token 92: no checksum (its descriptor is all zero)\nwould write 0x70[0x78]: 0x21 -> 0x61\n"
       "outcome: flash: token 92 set, restart\n"},
      {"status register B", TokenTable(0, 0x10, 0x2D, 0x2E, 0x0B), true, true, false, kWhole, 0x100, 1,
       "outcome: ERR3: the token table names the clock's registers (0x70[0x0B])\n"},
      {"only a 3.x entry point", TokenTable(), false, true, true, kWhole, 0x100, 1,
       "outcome: ERR3: no entry point: no _SM_ anchor in 0xF0000-0xFFFFF; the firmware publishes only a 3.x "
       "(_SM3_) entry point, at 0xF0000\n"},
      {"memory cut before the table", TokenTable(), true, true, false, kTableCut, 0x100, 3,
       "/mem: 1 byte at 0xF1000: past the end of the device ("},
      {"memory that cannot be read", TokenTable(), true, true, false, kDirectory, 0x100, 3,
       "outcome: unknown: " + root.Path("8/mem") + ": 4 bytes at 0xF0000: Is a directory ("},
      {"port file that fails", second, true, true, false, kWhole, 0x73, 3,
       "/port: reading port 0x73 (CMOS 0x72[0x44]): past the end of the device\n"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string dir = root.Path(std::to_string(++n));
    fs::create_directories(dir);
    sim::Machine m;
    c.table.Install(m, 0xF1000);
    if (!c.smbios2) {
      const std::uint8_t anchor[] = {'_', 'S', 'M', '3', '_'};
      m.memory.Write(0xF0000, anchor, sizeof anchor);
    }
    std::vector<std::uint8_t> mem = m.memory.Read(0, 0x100000);
    if (c.mem == kTableCut) mem.resize(0xF0100);
    if (c.mem == kDirectory)
      fs::create_directories(dir + "/mem");
    else
      std::ofstream(dir + "/mem", std::ios::binary)
          .write(reinterpret_cast<const char*>(mem.data()), mem.size());
    std::vector<std::uint8_t> ports(c.portBytes, 0xFF);
    ports[0x70] = 0x8D;
    ports[0x71] = 0x21;
    ports[0x72] = 0x05;
    if (c.portBytes > 0x73) ports[0x73] = 0x33;
    std::ofstream(dir + "/port", std::ios::binary)
        .write(reinterpret_cast<const char*>(ports.data()), ports.size());
    if (c.nvram) std::ofstream(dir + "/nvram", std::ios::binary) << std::string(114, '\x21');

    zimsim::Options o;
    o.thisMachine = true;
    o.devices = dir;
    if (c.save) o.save = dir + "-saved";
    g_recordUnder = fs::canonical(dir).string() + "/";
    g_deviceWrites.clear();
    testing::internal::CaptureStdout();
    const int status = zimsim::ThisMachine(o);
    const std::string out = testing::internal::GetCapturedStdout();
    g_recordUnder = "/nonexistent/";
    EXPECT_EQ(status, c.status) << c.name << "\n" << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << c.name << "\n" << out;
    for (const DeviceWrite& w : g_deviceWrites) {
      EXPECT_EQ(w.file, "port") << c.name;
      EXPECT_EQ(w.offset, 0x72) << c.name << ": a write of " << zimsim::Hex(w.value) << " to port "
                                << zimsim::Hex(w.offset);
      EXPECT_TRUE(secondBankReads.count(w.value))
          << c.name << ": index " << zimsim::Hex(w.value) << " was not to be read";
    }
    EXPECT_EQ(g_deviceWrites.empty(), c.table.Bytes() != second.Bytes())
        << c.name << ": the second bank's index";
    EXPECT_EQ(fs::exists(dir + "-saved/0x70-before.bin"), c.save && c.nvram && c.smbios2) << c.name;
  }
}

// The test machine's writes: one that fails is a failed control and is not reported as made (a
// /dev/nvram that reads zeros and refuses writes); one that succeeds is recorded with what it replaced.
TEST(ThisMachineTest, TheTestMachinesWritesAreRecordedOnceMade) {
  const DumpFolder dir;
  dir.Add("mem", {});
  std::vector<std::uint8_t> ports(0x100, 0);
  ports[0x73] = 0x21;
  dir.Add("port", ports);
  fs::create_symlink("/dev/full", dir.Path("nvram"));
  std::shared_ptr<live::LinuxHardware> h;
  ASSERT_EQ(live::LinuxHardware::Open({dir.Path("mem"), dir.Path("port"), dir.Path("nvram")}, true, h), "");
  EXPECT_FALSE(h->WriteIndexed(0x70, 0x40, 0x71, 0x05));
  EXPECT_TRUE(h->held().empty());
  ASSERT_EQ(h->faults().size(), 1u);
  EXPECT_NE(h->faults()[0].find("/nvram: writing 0x05 to CMOS 0x70[0x40]: No space left on device"),
            std::string::npos)
      << h->faults()[0];
  EXPECT_TRUE(h->WriteIndexed(0x72, 0x10, 0x73, 0x5A));
  ASSERT_EQ(h->held().size(), 1u);
  EXPECT_EQ(h->held()[0].before, 0x21);
  EXPECT_EQ(h->held()[0].after, 0x5A);
  ASSERT_TRUE(sim::ReadFileBytes(dir.Path("port"), ports));
  EXPECT_EQ(ports[0x72], 0x10);
  EXPECT_EQ(ports[0x73], 0x5A);
}

TEST(ThisMachineTest, WritesAreForTheTestMachineAlone) {
  sim::SmbiosBuilder qemu;
  qemu.Add(1, 0x100, {1, 2}, {"QEMU", "Standard PC"})
      .Add(3, 0x300, {1, 3, 0, 2}, {"QEMU", live::kTestMachineSerial});
  qemu.EndOfTable(0x7F00);
  sim::SmbiosBuilder otherSerial;
  otherSerial.Add(1, 0x100, {1, 2}, {"QEMU", "Standard PC"}).Add(3, 0x300, {1, 3, 0, 2}, {"QEMU", "OTHER"});
  const std::string marked = "console=ttyS0 quiet rdinit=/init tarn.test-machine=7QX2K41";
  // The firmware's table is untrusted: a tail cut inside a header, a formatted area or a string is
  // no structure, and is not read past (the sanitizer build shows any read beyond it).
  sim::SmbiosBuilder system;
  system.Add(1, 0x100, {1, 2}, {"QEMU", "Standard PC"});
  auto then = [&system](std::vector<std::uint8_t> tail) {
    std::vector<std::uint8_t> t = system.Bytes();
    t.insert(t.end(), tail.begin(), tail.end());
    return t;
  };
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
      {marked, then({3, 0x1B, 0, 3}), "the chassis serial number is \"\""},
      {marked, then({3, 8, 0, 3, 1}), "the chassis serial number is \"\""},
      {marked, {1, 5, 0, 1}, "the system manufacturer is \"\""},
      {marked, then({3, 8, 0, 3, 1, 3, 0, 1, '7', 'Q', 'X', '2'}), "the chassis serial number is \"\""},
  };
  for (const Case& c : cases) {
    const std::string refusal = live::TestMachineRefusal(c.commandLine, c.table);
    if (c.refusal.empty())
      EXPECT_EQ(refusal, "");
    else
      EXPECT_NE(refusal.find(c.refusal), std::string::npos) << refusal;
  }
}

TEST(ThisMachineTest, OnlyTheClockBankPastItsRegistersAndTheSecondBankAreReached) {
  EXPECT_TRUE(live::LinuxHardware::Reachable(0x70, 0x7F, 0x71));
  EXPECT_TRUE(live::LinuxHardware::Reachable(0x70, 0x0E, 0x71));
  EXPECT_FALSE(live::LinuxHardware::Reachable(0x70, 0x0C, 0x71)) << "register C: reading it clears its flags";
  EXPECT_TRUE(live::LinuxHardware::Reachable(0x72, 0x00, 0x73));
  EXPECT_FALSE(live::LinuxHardware::Reachable(0x72, 0x80, 0x73));
  EXPECT_FALSE(live::LinuxHardware::Reachable(0x70, 0x10, 0x73));
  EXPECT_FALSE(live::LinuxHardware::Reachable(0xB2, 0x10, 0xB3));
}

}  // namespace
