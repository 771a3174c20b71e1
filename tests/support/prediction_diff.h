// The differential check of the two predictions: the pre-flight's row for a dump against the dry
// run on the same dump with the same CMOS banks. Used by the host tests over made-up tables and by
// the prediction fuzzer over its corpus.
#pragma once

#include <string>

#include "tools/zim-sim/dry_run.h"
#include "tools/zim-sim/preflight.h"

namespace tarn_test {

// Empty when the two agree on `dumpPath`: both flash or neither does, and the dry run is uncertain
// whenever the pre-flight is (and not when the pre-flight flashed on certain bytes). Else what
// differs.
inline std::string PredictionsDiffer(const std::string& dumpPath, zimsim::Options options = {}) {
  const zimsim::PreflightRow row = zimsim::PreflightRows({dumpPath}, options, {}, 1).front();
  options.smbios = dumpPath;
  sim::Machine machine;
  const std::string problem = zimsim::BuildMachine(options, machine);
  if (!row.error.empty() || !problem.empty())
    return row.error.empty() == problem.empty() ? "" : "one refused the dump: " + row.error + problem;
  // The banks the pre-flight used: a blank bank behind each token table's ports where one can be.
  machine.cmos.clear();
  for (const zimsim::TokenTableRow& t : row.tables)
    if (t.indexPort != 0xFFFF && t.dataPort == t.indexPort + 1) machine.AddCmosBank(t.indexPort, t.dataPort);
  zimsim::Report report;
  {
    sim::Install installed(machine);
    report = zimsim::Run(options, machine);
  }
  const zimsim::RunReport& run = report.runs.back();
  const bool flashed = run.errorCode.empty() && run.restartRequested;
  if (flashed != row.flash)
    return "pre-flight: " + row.Outcome() + "; dry run: " + run.outcome + " " + run.errorCode;
  if (!row.uncertain.empty() && run.uncertain.empty())
    return "only the pre-flight is uncertain: " + row.uncertain;
  if (row.uncertain.empty() && row.flash && !run.uncertain.empty())
    return "only the dry run is uncertain: " + run.uncertain;
  return {};
}

}  // namespace tarn_test
