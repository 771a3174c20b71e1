// TARNSYS.dll as other programs see it: its export table, and the six queries called through
// GetProcAddress with no driver on the machine. ZIM.exe and the DLL import only what the reviewed list
// allows, and ask for Windows 4.0.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "pe_image.h"
#include "shipped_imports.h"
#include "windows_support.h"

namespace {

using tarn_windows::PeImage;
using tarn_windows::ProgramFolder;
using tarn_windows::ReadWholeFile;

const std::string kDll = ProgramFolder() + "\\TARNSYS.dll";
const std::string kExe = ProgramFolder() + "\\ZIM.exe";

TEST(TarnsysExports, TheSixNamesAtOrdinalsOneToSixAndNothingElse) {
  const PeImage image(ReadWholeFile(kDll));
  ASSERT_TRUE(image.valid());
  EXPECT_EQ(image.machine(), 0x14C);
  const PeImage::Exports exports = image.ReadExports();
  EXPECT_EQ(exports.dllName, "TARNSYS.DLL");
  EXPECT_EQ(exports.base, 1u);
  EXPECT_EQ(exports.functionCount, 6u);
  const std::vector<std::pair<std::string, std::uint32_t>> expected = {
      {"GetAttribute", 1}, {"GetDllVersion", 2},    {"GetServiceTag", 3},
      {"GetSmbTable", 4},  {"GetSmbTableValue", 5}, {"GetSystemId", 6}};
  EXPECT_EQ(exports.names, expected);
}

// The reviewed list by program: "ZIM" and "TARNSYS" each to its "DLL Name" entries.
std::map<std::string, std::set<std::string>> ReviewedImports() {
  std::map<std::string, std::set<std::string>> out;
  std::istringstream lines(tarn_windows::kShippedImports);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string dll, function, program;
    if (!(words >> dll >> function) || dll[0] == '#') continue;
    while (words >> program) out[program].insert(dll + " " + function);
  }
  return out;
}

std::string Joined(const std::set<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += "\n  " + name;
  return out;
}

TEST(ProductImports, EachProgramImportsExactlyWhatTheReviewedListAllowsIt) {
  const auto reviewed = ReviewedImports();
  ASSERT_EQ(reviewed.size(), 2u);
  for (const auto& [path, program] : {std::pair{kExe, "ZIM"}, std::pair{kDll, "TARNSYS"}}) {
    SCOPED_TRACE(path);
    const PeImage image(ReadWholeFile(path));
    ASSERT_TRUE(image.valid());
    const std::set<std::string> imports = image.ImportedFunctions();
    const std::set<std::string>& allowed = reviewed.at(program);
    std::set<std::string> unreviewed, stale;
    for (const std::string& name : imports)
      if (!allowed.count(name)) unreviewed.insert(name);
    for (const std::string& name : allowed)
      if (!imports.count(name)) stale.insert(name);
    EXPECT_TRUE(unreviewed.empty()) << "imports that are not on the reviewed list "
                                       "(platform/windows/shipped-imports.txt):"
                                    << Joined(unreviewed);
    EXPECT_TRUE(stale.empty()) << "on the reviewed list but no longer imported:" << Joined(stale);
  }
}

TEST(ProductImports, BothProgramsAskForWindows4AndZimIsAWindowedProgram) {
  for (const std::string& path : {kDll, kExe}) {
    SCOPED_TRACE(path);
    const PeImage image(ReadWholeFile(path));
    ASSERT_TRUE(image.valid());
    EXPECT_EQ(image.majorOsVersion(), 4);
    EXPECT_EQ(image.minorOsVersion(), 0);
    EXPECT_EQ(image.majorSubsystemVersion(), 4);
    EXPECT_EQ(image.minorSubsystemVersion(), 0);
  }
  EXPECT_EQ(PeImage(ReadWholeFile(kExe)).subsystem(), 2);  // the Windows GUI subsystem
}

using AttributeFn = int(WINAPI*)(int, int, int, int);
using VersionFn = int(WINAPI*)(char*);
using ServiceTagFn = int(WINAPI*)(char*, int);
using SmbTableFn = int(WINAPI*)(int, int, int, void*);
using SmbTableValueFn = int(WINAPI*)(int, int, int, unsigned, unsigned, char*);
using SystemIdFn = int(WINAPI*)(char*);

class LoadedTarnsys : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryA(kDll.c_str());
    ASSERT_NE(module_, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (module_ != nullptr) {
      EXPECT_TRUE(FreeLibrary(module_));
    }
  }
  template <class Fn>
  Fn ByName(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }
  template <class Fn>
  Fn ByOrdinal(WORD ordinal) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module_, MAKEINTRESOURCEA(ordinal))));
  }
  HMODULE module_ = nullptr;
};

TEST_F(LoadedTarnsys, NamesAndOrdinalsReachTheSameFunctions) {
  const char* names[] = {"GetAttribute", "GetDllVersion",    "GetServiceTag",
                         "GetSmbTable",  "GetSmbTableValue", "GetSystemId"};
  for (WORD ordinal = 1; ordinal <= 6; ++ordinal) {
    SCOPED_TRACE(names[ordinal - 1]);
    void* byName = ByName<void*>(names[ordinal - 1]);
    EXPECT_NE(byName, nullptr);
    EXPECT_EQ(byName, ByOrdinal<void*>(ordinal));
  }
  EXPECT_EQ(ByOrdinal<void*>(7), nullptr);
  EXPECT_EQ(ByName<void*>("GetAttribute@16"), nullptr);
  EXPECT_EQ(ByName<void*>("_GetAttribute@16"), nullptr);
  EXPECT_EQ(ByName<void*>("DllMain"), nullptr);
}

TEST_F(LoadedTarnsys, WithoutTheDriverItAnswersItsVersionAndZeroToEveryQuery) {
  char banner[128];
  std::memset(banner, 'x', sizeof banner);
  EXPECT_EQ(ByOrdinal<VersionFn>(2)(banner), 0);
  EXPECT_EQ(std::strlen(banner), 44u) << banner;
  char again[128] = {};
  EXPECT_EQ(ByName<VersionFn>("GetDllVersion")(again), 0);
  EXPECT_STREQ(again, banner);

  EXPECT_EQ(ByName<AttributeFn>("GetAttribute")(1, 2, 3, 4), 0);
  char buffer[512] = {};
  EXPECT_EQ(ByName<ServiceTagFn>("GetServiceTag")(buffer, 1), 0);
  EXPECT_EQ(ByName<SmbTableFn>("GetSmbTable")(1, 1, sizeof buffer, buffer), 0);
  EXPECT_EQ(ByName<SmbTableValueFn>("GetSmbTableValue")(1, 4, 1, 0xFF, 8, buffer), 0);
  EXPECT_EQ(ByName<SystemIdFn>("GetSystemId")(buffer), 0);
  EXPECT_EQ(ByOrdinal<SmbTableFn>(4)(0, 1, sizeof buffer, buffer), 0);
}

}  // namespace
