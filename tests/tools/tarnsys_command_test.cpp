// The tarnsys command: the service tag of every real table against dmidecode, the bytes that
// dmidecode shows differently, the answers and exit statuses, and its handling of bad input.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "platform/sim/dump_loader.h"
#include "platform/sim/smbios_builder.h"
#include "support/shared_tables.h"
#include "tarnsys_run.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using tarn_test::RunTarnsys;

// A dump file in the temporary folder, removed with the object.
class DumpFile {
 public:
  explicit DumpFile(const Bytes& bytes) {
    char name[] = "/tmp/tarnsys-dump-XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    [[maybe_unused]] const auto written = write(fd, bytes.data(), bytes.size());
    close(fd);
  }
  explicit DumpFile(const sim::SmbiosBuilder& table) : DumpFile(table.DumpBin()) {}
  ~DumpFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// A table source as tarnsys and dmidecode name it: a dump file, or (empty) the running system.
std::vector<std::string> Source(const std::string& file) {
  return file.empty() ? std::vector<std::string>{} : std::vector<std::string>{"--from-dump", file};
}

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::string DmidecodeSerial(const std::string& file) {
  return tarn_test::RunProgram(tarn_test::DmidecodePath(),
                               With(Source(file), {"-s", "chassis-serial-number"}))
      .out;
}

// The chassis serial string's raw bytes, taken from the first chassis structure as tarnsys copies
// it; none when the structure is too short to hold the field or the string number is 0.
std::optional<std::string> RawSerial(const std::string& file) {
  const Bytes s = tarn_test::ParseHex(RunTarnsys(With(Source(file), {"table", "3"})).out);
  if (s.size() < 8 || s[1] < 8 || s[7] == 0) return std::nullopt;
  std::size_t at = s[1];
  for (int skip = 1; skip < s[7] && at < s.size() && s[at] != 0; ++skip)
    at += std::string(s.begin() + at, s.end()).find('\0') + 1;
  std::string text;
  while (at < s.size() && s[at] != 0) text += static_cast<char>(s[at++]);
  return text;
}

std::string Replaced(std::string text, char by) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) c = by;
  return text;
}

// Both replace the same bytes (below 32, above 126): tarnsys by a space, dmidecode by a dot.
void ExpectServiceTagAsDmidecodeShowsIt(const std::string& file) {
  const auto ours = RunTarnsys(With(Source(file), {"service-tag"}));
  const std::string theirs = FirstLine(DmidecodeSerial(file));
  ASSERT_EQ(ours.status, 0) << ours.err;
  const auto raw = RawSerial(file);
  ASSERT_TRUE(raw.has_value()) << "string number 0 or no serial field: see the cases below";
  EXPECT_EQ(ours.out, Replaced(*raw, ' ') + "\n");
  EXPECT_EQ(theirs, Replaced(*raw, '.'));
  if (Replaced(*raw, '.') == *raw) {
    EXPECT_EQ(ours.out, theirs + "\n") << "where dmidecode prints it unchanged";
  }
}

TEST(TarnsysCommand, TheServiceTagOfEveryRealTableIsWhatDmidecodePrintsForTheFirstChassis) {
  TARN_REQUIRE_DMIDECODE();
  const auto files = tarn_test::SharedTables();
  TARN_REQUIRE_SHARED_TABLES(files);
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    ExpectServiceTagAsDmidecodeShowsIt(file.string());
  }
}

// Where dmidecode shows a chassis serial number differently, and why.
TEST(TarnsysCommand, DmidecodeShowsSomeStringsAndSomeTablesDifferently) {
  TARN_REQUIRE_DMIDECODE();
  struct Case {
    const char* why;
    sim::SmbiosBuilder table;
    const char* dmidecode;  // its first line, or "" when it prints nothing
    const char* tarnsys;    // the command's answer, or null when it answers "not found"
  };
  const std::string unprintable = std::string(
      "A\x0A"
      "B\x7F"
      "C\xE9"
      "D");
  std::vector<Case> cases;
  cases.push_back({"both replace unprintable bytes: dmidecode by a dot, TARNSYS by a space",
                   sim::SmbiosBuilder().Add(3, 0x300, {1, 3, 0, 2}, {"M", unprintable}), "A.B.C.D",
                   "A B C D"});
  cases.push_back({"string number 0 means no string: dmidecode names the case, TARNSYS gives the empty text",
                   sim::SmbiosBuilder().Add(3, 0x300, {1, 3, 0, 0}, {"M"}), "Not Specified", ""});
  cases.push_back({"a number beyond the strings: dmidecode flags it, TARNSYS gives the empty text",
                   sim::SmbiosBuilder().Add(3, 0x300, {1, 3, 0, 5}, {"M"}), "<BAD INDEX>", ""});
  cases.push_back({"dmidecode stops at the end-of-table structure; the TARNSYS walk knows none",
                   sim::SmbiosBuilder().EndOfTable(0x7F00).Add(3, 0x300, {1, 3, 0, 2}, {"M", "AFTER"}), "",
                   "AFTER"});
  cases.push_back({"dmidecode stops at a header shorter than 4 bytes; TARNSYS walks over it",
                   sim::SmbiosBuilder().Raw({0x05, 0x02, 0, 0}).Add(3, 0x300, {1, 3, 0, 2}, {"M", "AFTER"}),
                   "", "AFTER"});
  cases.push_back(
      {"a first chassis too short for the serial field: dmidecode passes to the next, TARNSYS "
       "answers for the first and finds no field",
       sim::SmbiosBuilder().Add(3, 0x300, {1, 3}, {"M"}).Add(3, 0x301, {1, 3, 0, 2}, {"M", "SECOND"}),
       "SECOND", nullptr});
  for (Case& c : cases) {
    SCOPED_TRACE(c.why);
    DumpFile file(c.table);
    EXPECT_EQ(FirstLine(DmidecodeSerial(file.path())), c.dmidecode);
    const auto ours = RunTarnsys({"--from-dump", file.path(), "service-tag"});
    if (c.tarnsys == nullptr) {
      EXPECT_EQ(ours.status, 1);
      EXPECT_EQ(ours.err, "not found\n");
    } else {
      EXPECT_EQ(ours.status, 0);
      EXPECT_EQ(ours.out, std::string(c.tarnsys) + "\n");
    }
  }
}

TEST(TarnsysCommand, AnswersTheDemoMachine) {
  EXPECT_EQ(RunTarnsys({"--demo", "service-tag"}).out, "7QX2K41\n");
  EXPECT_EQ(RunTarnsys({"--demo", "system-id"}).out, "2620\n");
  EXPECT_EQ(RunTarnsys({"--demo", "value", "0x3", "5", "0", "0xF", "0"}).out, "3\n");
  EXPECT_EQ(RunTarnsys({"--demo", "value", "3", "4", "0", "0", "8"}).out, "Tarn Computer Corporation\n");
  const auto table = RunTarnsys({"--demo", "table", "11"});
  EXPECT_EQ(table.status, 0);
  EXPECT_EQ(table.out,
            "0B 05 00 0B 02 54 61 72 6E 20 43 6F 6D 70 75 74\n"
            "65 72 20 43 6F 72 70 6F 72 61 74 69 6F 6E 00 31\n"
            "5B 30 41 33 5D 00 00\n");
  EXPECT_EQ(RunTarnsys({"--demo", "table", "11", "0", "3"}).out, "0B 05 00\n");
  const auto list = RunTarnsys({"--demo", "list"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(FirstLine(list.out), "0x0000: type 0, length 20, handle 0x0000, strings 42");
  EXPECT_NE(list.out.find("0x00C3: type 11, length 5, handle 0x0B00, strings 34\n"), std::string::npos);
  const auto version = RunTarnsys({"--demo", "version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.size(), 45u);
}

TEST(TarnsysCommand, ATableWhereverTheEntryPointPutsItAnswersAsAtOffset0x20) {
  sim::SmbiosBuilder b;
  b.Add(1, 0x100, {1, 2}, {"Tarn", "X"}).Add(3, 0x300, {1, 3, 0, 2}, {"Tarn", "TAG-0x40"}).EndOfTable(0x7F00);
  const DumpFile at20(b);
  const auto expected = RunTarnsys({"--from-dump", at20.path(), "list"});
  ASSERT_EQ(expected.status, 0);
  using Kind = sim::EntryPointKind;
  for (const auto& [kind, offset] :
       {std::pair{Kind::Smbios2, 0x40u}, {Kind::Smbios3, 0x40u}, {Kind::Legacy, 0x30u}}) {
    const DumpFile elsewhere(b.DumpBin(kind, offset));
    SCOPED_TRACE(sim::EntryPointName(kind));
    EXPECT_EQ(RunTarnsys({"--from-dump", elsewhere.path(), "list"}).out, expected.out);
    EXPECT_EQ(RunTarnsys({"--from-dump", elsewhere.path(), "service-tag"}).out, "TAG-0x40\n");
  }
  // The same table as Windows gives it: an 8-byte header and no entry point.
  const DumpFile windows(sim::WindowsRawTable(b.Bytes()));
  EXPECT_EQ(RunTarnsys({"--from-dump", windows.path(), "list"}).out, expected.out);
}

TEST(TarnsysCommand, AnAnswerOfZeroIsNotFoundWithStatusOne) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--demo", "service-tag", "1"},
                                               {"--demo", "table", "99"},
                                               {"--demo", "value", "3", "200", "0", "0", "0"},
                                               {"--demo", "value", "3", "4", "0", "0", "9"},
                                               {"--demo", "service-tag", "-1"}}) {
    const auto r = RunTarnsys(args);
    EXPECT_EQ(r.status, 1) << args[1];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "not found\n");
  }
}

TEST(TarnsysCommand, BadUsageIsStatusTwoWithAMessage) {
  const std::vector<std::string> bad[] = {{},
                                          {"--demo"},
                                          {"--demo", "serial"},
                                          {"--bogus", "version"},
                                          {"--demo", "--from-dump", "x", "version"},
                                          {"--this-machine", "--demo", "version"},
                                          {"--from-dump"},
                                          {"--demo", "table"},
                                          {"--demo", "table", "three"},
                                          {"--demo", "table", "3", "0", "-1"},
                                          {"--demo", "table", "3", "0", "1", "1"},
                                          {"--demo", "value", "3", "4", "0", "0"},
                                          {"--demo", "value", "3", "4", "0", "-1", "0"},
                                          {"--demo", "value", "3", "4", "0", "0x100000000", "0"},
                                          {"--demo", "service-tag", "0x80000000"},
                                          {"--demo", "system-id", "1"},
                                          {"--demo", "list", "1"},
                                          {"--demo", "version", "1"},
                                          {"--demo", "value", "0x103", "4", "0", "0", "0"},
                                          {"--demo", "table", "-1"},
                                          {"--demo", "table", " 3"},
                                          {"--demo", "table", "+3"},
                                          {"--demo", "table", "0x-3"},
                                          {"--from-dump", "", "version"},
                                          {"--demo", "l\x1b]0;t\x07"}};
  for (const auto& args : bad) {
    const auto r = RunTarnsys(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("tarnsys: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find_first_of("\x1b\x07"), std::string::npos) << r.err;
  }
  const auto help = RunTarnsys({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: tarnsys [--from-dump FILE | --demo | --this-machine] COMMAND", 0), 0u);
}

TEST(TarnsysCommand, AnUnreadableOrMalformedFileIsOneLineNamingTheFileAndTheFault) {
  const auto missing = RunTarnsys({"--from-dump", "/nonexistent/table.bin", "service-tag"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "tarnsys: /nonexistent/table.bin: cannot be read: No such file or directory\n");

  DumpFile garbage(Bytes(64, 'x'));
  const auto malformed = RunTarnsys({"--from-dump", garbage.path(), "version"});
  EXPECT_EQ(malformed.status, 2);
  EXPECT_EQ(malformed.err,
            "tarnsys: " + garbage.path() +
                ": not an SMBIOS capture: no entry point (_SM_, _SM3_ or _DMI_) at offset 0, and "
                "no Windows raw table header\n");

  // What is no regular file is refused before it is read: a device that never ends, a FIFO without a
  // writer; a folder is read only as a copy of the kernel's tables.
  const std::string fifo = garbage.path() + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& [path, kind] :
       {std::pair<std::string, std::string>{"/dev/zero", "a character device"}, {fifo, "a FIFO"}}) {
    const auto r = RunTarnsys({"--from-dump", path, "list"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tarnsys: " + path + ": cannot be read: " + kind + ", not a regular file\n");
  }
  std::remove(fifo.c_str());
  const auto folder = RunTarnsys({"--from-dump", "/tmp", "list"});
  EXPECT_EQ(folder.status, 2);
  EXPECT_EQ(folder.err, "tarnsys: /tmp: a folder without smbios_entry_point and DMI\n");
  // An answer that cannot be written is no answer.
  EXPECT_EQ(
      std::system((std::string(TARN_BIN_DIR) + "/tarnsys --demo service-tag >/dev/full 2>/dev/null").c_str()),
      2 << 8);
}

TEST(TarnsysCommand, ATableLongerThanA2xEntryPointCanDescribeIsAnsweredAsDmidecodeReadsIt) {
  sim::SmbiosBuilder b;
  b.Add(1, 0x100, {1, 2}, {"Tarn", "X"});
  for (int i = 0; i < 280; ++i)  // about 70 KB
    b.Add(11, static_cast<std::uint16_t>(0xB00 + i), {1}, {std::string(250, 'o')});
  b.Add(3, 0x300, {1, 3, 0, 2}, {"Tarn", "BIG-TABLE"}).EndOfTable(0x7F00);
  const DumpFile big(b.DumpBin(sim::EntryPointKind::Smbios3, 0x20));
  const auto tag = RunTarnsys({"--from-dump", big.path(), "service-tag"});
  EXPECT_EQ(tag.status, 0) << tag.err;
  EXPECT_EQ(tag.out, "BIG-TABLE\n");
  EXPECT_EQ(RunTarnsys({"--from-dump", big.path(), "table", "3"}).status, 0);
  // The same table as Windows gives it answers the same.
  const DumpFile raw(sim::WindowsRawTable(b.Bytes()));
  EXPECT_EQ(RunTarnsys({"--from-dump", raw.path(), "list"}).out,
            RunTarnsys({"--from-dump", big.path(), "list"}).out);
  TARN_REQUIRE_DMIDECODE();
  EXPECT_EQ(FirstLine(DmidecodeSerial(big.path())), "BIG-TABLE");
}

TEST(TarnsysCommand, WithoutAnOptionItReadsTheRunningSystemsTables) {
  const bool readable = access("/sys/firmware/dmi/tables/DMI", R_OK) == 0 &&
                        access("/sys/firmware/dmi/tables/smbios_entry_point", R_OK) == 0;
  EXPECT_EQ(RunTarnsys({"version"}).status, 0) << "the banner needs no table";
  const auto r = RunTarnsys({"list"});
  if (!readable) {
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("tarnsys: /sys/firmware/dmi/tables/", 0), 0u) << r.err;
    return;
  }
  EXPECT_EQ(r.status, 0) << r.err;
  TARN_REQUIRE_DMIDECODE();
  if (RawSerial("").has_value()) ExpectServiceTagAsDmidecodeShowsIt("");
}

}  // namespace
