// The TARNSYS queries over a loaded table, each beside its bound: one memchr pass over the whole
// table copy. A query finds its structure in the structure index built at load; for reference, the
// walk from the table start that finds it without the index. And the load itself (attach and detach
// over the simulated machine), with the index and without it, and the index's building alone.
//
// Usage: tarn_bench_queries [benchmark flags] [--table FILE]... [--tables DIR]
// Each FILE (a dump file) is measured; from DIR, the table with the longest copy and the one with
// the most structures (as its entry point counts them); and the built-in demo table after them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "hosts/tarnsys/host_machine.h"
#include "platform/sim/machine.h"
#include "tarnsys/dll_main.h"
#include "tarnsys/library_state.h"
#include "tarnsys/smb_index.h"
#include "tarnsys/smb_table.h"
#include "tarnsys/table_loading.h"
#include "tarnsys/tarnsys.h"

namespace {

// A table loaded the way the library loads it: a prepared machine, the process attach, and the
// detach when the measurement is over. Only one can be loaded at a time, as the library's state is
// one per process.
class LoadedLibrary {
 public:
  // An empty path loads the demo table.
  explicit LoadedLibrary(const std::string& dumpFile) {
    tarnsys_host::PrepareMachine(machine_);
    if (dumpFile.empty()) {
      tarnsys_host::LoadDemo(machine_);
    } else {
      fault_ = tarnsys_host::LoadDumpFile(machine_, dumpFile);
    }
    installed_ = std::make_unique<sim::Install>(machine_);
    DllMain(nullptr, win32::DLL_PROCESS_ATTACH, nullptr);
    if (fault_.empty() && g_structureTable == nullptr) fault_ = "the library found no table";
  }
  ~LoadedLibrary() {
    DllMain(nullptr, win32::DLL_PROCESS_DETACH, nullptr);
    installed_.reset();
  }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  const std::string& fault() const { return fault_; }

 private:
  sim::Machine machine_;
  std::unique_ptr<sim::Install> installed_;
  std::string fault_;
};

// A byte value that the table does not hold, so that memchr looks at every byte; when the table holds
// all 256, the value whose first occurrence lies furthest in.
int AbsentByte(const SmbTable& table) {
  int best = 0;
  std::size_t furthest = 0;
  for (int c = 0; c < 256; ++c) {
    const void* at = std::memchr(table.start, c, table.length);
    if (at == nullptr) return c;
    const auto offset = static_cast<std::size_t>(static_cast<const std::uint8_t*>(at) - table.start);
    if (offset > furthest) furthest = offset, best = c;
  }
  return best;
}

// The type and instance of the last structure that the walk reaches: the deepest query there is.
struct Selector {
  int type = 0;
  int instance = 0;
};
Selector LastStructure() {
  Selector last;
  int seen[256] = {};
  for (const std::uint8_t* s = FirstSmbStructure(); s != nullptr; s = NextSmbStructure(s))
    last = {s[0], seen[s[0]]++};
  return last;
}

std::size_t CountStructures() {
  std::size_t count = 0;
  for (const std::uint8_t* s = FirstSmbStructure(); s != nullptr; s = NextSmbStructure(s)) ++count;
  return count;
}

using Query = void (*)(benchmark::State&, const Selector&);

struct Measured {
  const char* name;
  Query query;
};

char g_answer[65536];
std::uint8_t g_bytes[65536];

const Measured kQueries[] = {
    {"memchr over the table copy (bound)",
     [](benchmark::State& state, const Selector&) {
       const SmbTable table = LoadedSmbTable();
       const int c = AbsentByte(table);
       const std::uint8_t* start = table.start;
       for (auto _ : state) {
         // The pointer is made opaque each time, or the compiler would hoist the pure call.
         benchmark::DoNotOptimize(start);
         const void* at = std::memchr(start, c, table.length);
         benchmark::DoNotOptimize(at);
       }
       state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * table.length));
     }},
    // Not a query: the least any walk costs. Every structure's start is known beforehand, so the
    // loop only follows them, one dependent load each; no walk that has to find them can be faster.
    {"chase through the structure starts found beforehand (floor of a walk)",
     [](benchmark::State& state, const Selector&) {
       const SmbTable table = LoadedSmbTable();
       std::vector<std::uint32_t> next(table.length + 1, 0);
       std::uint32_t last = 0;
       for (const std::uint8_t* s = FirstSmbStructure(); s != nullptr; s = NextSmbStructure(s)) {
         const auto at = static_cast<std::uint32_t>(s - table.start);
         next[last] = at;
         last = at;
       }
       next[last] = static_cast<std::uint32_t>(table.length);  // the end
       const std::uint32_t* links = next.data();
       for (auto _ : state) {
         benchmark::DoNotOptimize(links);
         std::uint32_t at = links[0], count = 0;
         while (at != table.length) at = links[at], ++count;
         benchmark::DoNotOptimize(count);
       }
     }},
    // Not a query: how the queries found the last structure before the index, a walk over the table.
    {"walk from the table start to the last structure (without the index)",
     [](benchmark::State& state, const Selector& last) {
       for (auto _ : state) benchmark::DoNotOptimize(WalkToSmbStructure(last.type, last.instance));
     }},
    // The load: the process detach and attach, the service calls, the scan and the copy from the
    // simulated machine, with the index built after the copy and without it.
    {"load with the index",
     [](benchmark::State& state, const Selector&) {
       for (auto _ : state) {
         UnloadSmbTable();
         LoadSmbTable();
       }
     }},
    {"load without the index",
     [](benchmark::State& state, const Selector&) {
       for (auto _ : state) {
         UnloadSmbTable();
         LoadSmbTableCopy();
       }
       UnloadSmbTable();
       LoadSmbTable();
     }},
    {"building the index alone",
     [](benchmark::State& state, const Selector&) {
       for (auto _ : state) BuildSmbIndex();
     }},
    {"GetServiceTag",
     [](benchmark::State& state, const Selector&) {
       for (auto _ : state) benchmark::DoNotOptimize(GetServiceTag(g_answer, 0));
     }},
    {"GetSystemId",
     [](benchmark::State& state, const Selector&) {
       for (auto _ : state) benchmark::DoNotOptimize(GetSystemId(g_answer));
     }},
    // The BIOS characteristics, a 32-bit number of the first structure.
    {"GetSmbTableValue number (BIOS characteristics)",
     [](benchmark::State& state, const Selector&) {
       for (auto _ : state) benchmark::DoNotOptimize(GetSmbTableValue(0, 0x0A, 0, 0, 4, g_answer));
     }},
    // The handle of the last structure: a walk over the whole table.
    {"GetSmbTableValue number (last structure's handle)",
     [](benchmark::State& state, const Selector& last) {
       for (auto _ : state)
         benchmark::DoNotOptimize(GetSmbTableValue(last.type, 2, last.instance, 0, 2, g_answer));
     }},
    {"GetSmbTableValue string (system manufacturer)",
     [](benchmark::State& state, const Selector&) {
       for (auto _ : state) benchmark::DoNotOptimize(GetSmbTableValue(1, 4, 0, 0, 8, g_answer));
     }},
    {"GetSmbTable (chassis)",
     [](benchmark::State& state, const Selector&) {
       for (auto _ : state) benchmark::DoNotOptimize(GetSmbTable(3, 0, sizeof g_bytes, g_bytes));
     }},
    {"GetSmbTable (last structure)",
     [](benchmark::State& state, const Selector& last) {
       for (auto _ : state)
         benchmark::DoNotOptimize(GetSmbTable(last.type, last.instance, sizeof g_bytes, g_bytes));
     }},
};

void RegisterTable(const std::string& label, const std::string& dumpFile) {
  for (const Measured& m : kQueries) {
    const std::string name = label + "/" + m.name;
    benchmark::RegisterBenchmark(name.c_str(), [dumpFile, query = m.query](benchmark::State& state) {
      LoadedLibrary library(dumpFile);
      if (!library.fault().empty()) {
        state.SkipWithError(library.fault().c_str());
        for (auto _ : state) {
        }
        return;
      }
      const Selector last = LastStructure();
      query(state, last);
      state.counters["table_bytes"] = static_cast<double>(LoadedSmbTable().length);
      state.counters["structures"] = static_cast<double>(CountStructures());
    });
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<std::string> tables;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--table") == 0 && i + 1 < argc) {
      tables.push_back(argv[++i]);
    } else if (std::strcmp(argv[i], "--tables") == 0 && i + 1 < argc) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(argv[++i]))
        if (entry.path().extension() == ".bin") files.push_back(entry.path());
      std::sort(files.begin(), files.end());
      std::string longest, most;
      std::size_t longestBytes = 0, mostStructures = 0;
      for (const auto& file : files) {
        LoadedLibrary library(file.string());
        if (!library.fault().empty()) continue;
        if (LoadedSmbTable().length > longestBytes) longestBytes = LoadedSmbTable().length, longest = file;
        // As the entry point counts them: a walk also steps over the zero padding of a damaged table.
        if (g_smbEntryPoint.numberOfStructures > mostStructures)
          mostStructures = g_smbEntryPoint.numberOfStructures, most = file;
      }
      if (!longest.empty()) tables.push_back(longest);
      if (!most.empty() && most != longest) tables.push_back(most);
    } else {
      std::fprintf(stderr, "tarn_bench_queries: unknown argument '%s'\n", argv[i]);
      return 2;
    }
  }
  for (const std::string& file : tables) {
    const std::size_t slash = file.find_last_of('/');
    RegisterTable(slash == std::string::npos ? file : file.substr(slash + 1), file);
  }
  RegisterTable("demo", "");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
