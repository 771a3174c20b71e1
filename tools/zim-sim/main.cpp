// zim-sim: a dry run of ZIM against a captured or built-in machine.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim/input_file.h"
#include "tools/zim-sim/dry_run.h"
#include "tools/zim-sim/preflight.h"

namespace {

// An argument that a message echoes reaches the terminal as every name does (control bytes as \xHH).
int Fail(const std::string& problem) {
  std::fprintf(stderr, "zim-sim: %s\n", sim::Displayed(problem).c_str());
  return 2;
}

// Each --fail that never struck: a name that no call has, or a count that no run reached.
std::string UnfiredFault(const zimsim::Options& options, const sim::Machine& machine) {
  for (const zimsim::FailSpec& f : options.fails) {
    const std::size_t calls = machine.CountCalls(f.op);
    if (calls < f.nth)
      return "--fail " + f.op + ":" + std::to_string(f.nth) + " never struck: " + f.op + " was called " +
             std::to_string(calls) + (calls == 1 ? " time" : " times");
  }
  return {};
}

int DryRun(const zimsim::Options& options) {
  // The JSON never overwrites a file the run reads: refused before the run.
  std::vector<std::string> inputs = {options.smbios, options.registry};
  inputs.insert(inputs.end(), options.images.begin(), options.images.end());
  for (const zimsim::CmosFile& c : options.cmos) inputs.push_back(c.path);
  for (const zimsim::PhysFile& p : options.phys) inputs.push_back(p.path);
  std::erase(inputs, std::string());
  if (!options.json.empty() && options.json != "-") {
    const std::string clash = zimsim::ReportClash({{"--json", options.json}}, inputs);
    if (!clash.empty()) return Fail(clash);
  }
  sim::Machine machine;
  sim::DumpInfo table;
  const std::string inputError = zimsim::BuildMachine(options, machine, &table);
  if (!inputError.empty()) return Fail(inputError);
  zimsim::Report report;
  {
    sim::Install installed(machine);
    report = zimsim::Run(options, machine);
  }
  if (!options.smbios.empty()) {
    report.tableFile = options.smbios;
    report.table = table;
  }
  std::string problem;
  if (options.json == "-") {
    problem = zimsim::WriteOutput("-", zimsim::ToJson(report, machine));
  } else {
    problem = zimsim::WriteOutput("-", zimsim::Transcript(report, machine));
    if (problem.empty() && !options.json.empty())
      problem = zimsim::WriteOutput(options.json, zimsim::ToJson(report, machine));
  }
  if (problem.empty() && !options.save.empty()) problem = zimsim::Save(options.save, report, machine);
  if (problem.empty()) problem = UnfiredFault(options, machine);
  if (!problem.empty()) return Fail(problem);
  return zimsim::ExitStatus(report);
}

}  // namespace

int main(int argc, char** argv) {
  zimsim::Options options;
  const std::string usageError = zimsim::ParseOptions(argc, argv, options);
  if (!usageError.empty()) {
    std::fprintf(stderr, "zim-sim: %s\n(zim-sim --help lists the options)\n",
                 sim::Displayed(usageError).c_str());
    return 2;
  }
  int status = 0;
  // Checked before anything runs or any device is opened.
  const std::string saveProblem =
      options.save.empty() ? "" : zimsim::CheckSaveFolder(options.save, options.json);
  if (options.help) {
    status = zimsim::WriteOutput("-", zimsim::Usage()).empty() ? 0 : 2;
  } else if (!saveProblem.empty()) {
    status = Fail(saveProblem);
  } else if (!options.preflight.empty()) {
    status = zimsim::Preflight(options);
  } else if (options.thisMachine) {
    status = zimsim::ThisMachine(options);
  } else {
    status = DryRun(options);
  }
  // What was printed must have reached its reader, or the run did not report.
  // A failed write that was reported already (status 2) is not reported twice.
  const std::string problem = zimsim::CloseStdout();
  if (problem.empty()) return status;
  return status == 2 ? 2 : Fail(problem);
}
