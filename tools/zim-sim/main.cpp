// zim-sim: a dry run of ZIM against a captured or built-in machine.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "tools/zim-sim/dry_run.h"
#include "tools/zim-sim/preflight.h"

int main(int argc, char** argv) {
  zimsim::Options options;
  const std::string usageError = zimsim::ParseOptions(argc, argv, options);
  if (!usageError.empty()) {
    std::fprintf(stderr, "zim-sim: %s\n(zim-sim --help lists the options)\n", usageError.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(zimsim::Usage(), stdout);
    return 0;
  }
  if (!options.preflight.empty()) return zimsim::Preflight(options);
  if (options.thisMachine) return zimsim::ThisMachine(options);
  sim::Machine machine;
  sim::DumpInfo table;
  const std::string inputError = zimsim::BuildMachine(options, machine, &table);
  if (!inputError.empty()) {
    std::fprintf(stderr, "zim-sim: %s\n", inputError.c_str());
    return 2;
  }
  zimsim::Report report;
  {
    sim::Install installed(machine);
    report = zimsim::Run(options, machine);
  }
  if (!options.smbios.empty()) {
    report.tableFile = options.smbios;
    report.table = table;
  }
  const std::string transcript = zimsim::Transcript(report, machine);
  if (options.json == "-") {
    std::fputs(zimsim::ToJson(report, machine).c_str(), stdout);
  } else {
    std::fputs(transcript.c_str(), stdout);
    if (!options.json.empty()) {
      std::ofstream out(options.json, std::ios::binary);
      out << zimsim::ToJson(report, machine);
      if (!out) {
        std::fprintf(stderr, "zim-sim: %s: cannot be written\n", options.json.c_str());
        return 2;
      }
    }
  }
  if (!options.save.empty()) {
    const std::string problem = zimsim::Save(options.save, report, machine);
    if (!problem.empty()) {
      std::fprintf(stderr, "zim-sim: %s\n", problem.c_str());
      return 2;
    }
  }
  return zimsim::ExitStatus(report);
}
