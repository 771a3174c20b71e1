// libtarnsys.so loaded with dlopen: with TARNSYS_DUMP naming a table it answers every query as the
// tarnsys command does over the same file; without a readable table it loads and answers 0.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/smbios_builder.h"
#include "support/shared_tables.h"
#include "tarnsys_run.h"

namespace {

using tarn_test::RunTarnsys;

// The six exports of one load of the library; unloads it when done.
class Library {
 public:
  explicit Library(const char* dump) {
    if (dump != nullptr) {
      setenv("TARNSYS_DUMP", dump, 1);
    } else {
      unsetenv("TARNSYS_DUMP");
    }
    handle_ = dlopen(TARN_BIN_DIR "/libtarnsys.so", RTLD_NOW | RTLD_LOCAL);
    unsetenv("TARNSYS_DUMP");
    if (handle_ == nullptr) return;
    GetAttribute = reinterpret_cast<int (*)(int, int, int, int)>(dlsym(handle_, "GetAttribute"));
    GetDllVersion = reinterpret_cast<int (*)(char*)>(dlsym(handle_, "GetDllVersion"));
    GetServiceTag = reinterpret_cast<int (*)(char*, int)>(dlsym(handle_, "GetServiceTag"));
    GetSmbTable = reinterpret_cast<int (*)(int, int, int, void*)>(dlsym(handle_, "GetSmbTable"));
    GetSmbTableValue = reinterpret_cast<int (*)(int, int, int, unsigned, unsigned, char*)>(
        dlsym(handle_, "GetSmbTableValue"));
    GetSystemId = reinterpret_cast<int (*)(char*)>(dlsym(handle_, "GetSystemId"));
  }
  ~Library() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool Loaded() const {
    return handle_ != nullptr && GetAttribute && GetDllVersion && GetServiceTag && GetSmbTable &&
           GetSmbTableValue && GetSystemId;
  }

  int (*GetAttribute)(int, int, int, int) = nullptr;
  int (*GetDllVersion)(char*) = nullptr;
  int (*GetServiceTag)(char*, int) = nullptr;
  int (*GetSmbTable)(int, int, int, void*) = nullptr;
  int (*GetSmbTableValue)(int, int, int, unsigned, unsigned, char*) = nullptr;
  int (*GetSystemId)(char*) = nullptr;

 private:
  void* handle_ = nullptr;
};

// What the command prints for an answer of 1, or "(not found)" for an answer of 0.
std::string Command(const std::vector<std::string>& args) {
  const auto r = RunTarnsys(args);
  if (r.status == 1) return "(not found)";
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

std::string Text(int answer, const char* buffer) {
  return answer ? std::string(buffer) + "\n" : "(not found)";
}

TEST(TarnsysLibrary, ExportsExactlyTheSixQueries) {
  Library lib(nullptr);
  ASSERT_TRUE(lib.Loaded()) << dlerror();
  void* handle = dlopen(TARN_BIN_DIR "/libtarnsys.so", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  for (const char* internal : {"DllMain", "LoadSmbTable", "FindSmbStructure", "_ZN3sim7CurrentEv"})
    EXPECT_EQ(dlsym(handle, internal), nullptr) << internal;
  dlclose(handle);
}

TEST(TarnsysLibrary, AnswersAsTheCommandDoesForEveryRealTableAndALargeRawOne) {
  auto files = tarn_test::SharedTables();
  TARN_REQUIRE_SHARED_TABLES(files);
  // And a Windows raw table of about 70 KB, longer than a 2.x entry point can describe.
  sim::SmbiosBuilder big;
  for (int i = 0; i < 280; ++i) big.Add(11, static_cast<std::uint16_t>(i), {1}, {std::string(250, 'o')});
  big.Add(3, 0x300, {1, 3, 0, 2}, {"Tarn", "BIG-TABLE"})
      .Add(1, 0x100, {1, 2}, {"Tarn", "X"})
      .EndOfTable(0x7F00);
  const auto raw = sim::WindowsRawTable(big.Bytes());
  files.push_back(std::filesystem::temp_directory_path() /
                  ("tarnsys-big-" + std::to_string(getpid()) + ".rsmb"));
  std::ofstream(files.back(), std::ios::binary)
      .write(reinterpret_cast<const char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const std::string dump = file.string();
    Library lib(dump.c_str());
    ASSERT_TRUE(lib.Loaded()) << dlerror();
    std::vector<char> text(65536);

    lib.GetDllVersion(text.data());
    EXPECT_EQ(std::string(text.data()) + "\n", Command({"--from-dump", dump, "version"}));
    for (int instance : {0, 1}) {
      const int answer = lib.GetServiceTag(text.data(), instance);
      EXPECT_EQ(Text(answer, text.data()),
                Command({"--from-dump", dump, "service-tag", std::to_string(instance)}));
    }
    const int id = lib.GetSystemId(text.data());
    EXPECT_EQ(Text(id, text.data()), Command({"--from-dump", dump, "system-id"}));

    for (int type : {0, 1, 3, 127}) {
      std::vector<std::uint8_t> copy(65536, 0);
      const std::string printed = Command({"--from-dump", dump, "table", std::to_string(type)});
      const int answer = lib.GetSmbTable(type, 0, 65535, copy.data());
      ASSERT_EQ(answer == 0, printed == "(not found)") << type;
      const auto bytes = answer ? tarn_test::ParseHex(printed) : std::vector<std::uint8_t>{};
      EXPECT_EQ(
          std::vector<std::uint8_t>(copy.begin(), copy.begin() + static_cast<std::ptrdiff_t>(bytes.size())),
          bytes)
          << type;
    }
    // Fields of every width and rendering, strings, and a mask.
    const struct {
      int type, offset;
      unsigned mask, code;
    } fields[] = {{0, 4, 0, 8}, {0, 5, 0x3C, 0}, {0, 6, 0, 2},  {0, 10, 0, 6},     {1, 8, 0, 3},
                  {3, 5, 0, 1}, {4, 16, 0, 5},   {4, 16, 0, 7}, {4, 18, 0xFF00, 4}};
    for (const auto& f : fields) {
      const int answer = lib.GetSmbTableValue(f.type, f.offset, 0, f.mask, f.code, text.data());
      EXPECT_EQ(Text(answer, text.data()),
                Command({"--from-dump", dump, "value", std::to_string(f.type), std::to_string(f.offset), "0",
                         std::to_string(f.mask), std::to_string(f.code)}))
          << f.type << " " << f.offset << " " << f.code;
    }
  }
  EXPECT_EQ(Command({"--from-dump", files.back().string(), "service-tag"}), "BIG-TABLE\n")
      << "the library's too";
  std::filesystem::remove(files.back());
}

TEST(TarnsysLibrary, WithoutAReadableTableItLoadsAndAnswersZero) {
  // A device is refused before it is read: the library loads at once, without a table.
  for (const char* dump : {"/nonexistent/table.bin", "/dev/zero"}) {
    Library lib(dump);
    ASSERT_TRUE(lib.Loaded()) << dump << ": " << dlerror();
    char tag[16] = "";
    EXPECT_EQ(lib.GetServiceTag(tag, 0), 0) << dump;
  }
  Library lib("/nonexistent/table.bin");
  ASSERT_TRUE(lib.Loaded()) << dlerror();
  char text[256] = "";
  EXPECT_EQ(lib.GetDllVersion(text), 0);
  EXPECT_EQ(std::strlen(text), 44u);
  EXPECT_EQ(lib.GetServiceTag(text, 0), 0);
  EXPECT_EQ(lib.GetSystemId(text), 0);
  EXPECT_EQ(lib.GetSmbTable(0, 0, sizeof text, text), 0);
  EXPECT_EQ(lib.GetSmbTableValue(0, 0, 0, 0, 0, text), 0);
  EXPECT_EQ(lib.GetAttribute(1, 2, 3, 4), 0);
}

}  // namespace
