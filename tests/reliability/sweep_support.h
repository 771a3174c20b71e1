// What both fault-injection sweeps share: a guard that turns a hanging run into a failure, the call
// that a fault struck, and the counts that the sweeps print.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/sim/machine.h"

namespace reliability {

// A run that takes longer than this has hung: the guard ends the test program with a message rather
// than leaving it to the test driver's time limit. Runs take milliseconds, sanitizers included.
inline constexpr unsigned kSecondsPerRun = 60;

extern "C" inline void OnHangingRun(int) {
  static const char kMessage[] =
      "reliability: a run of the sweep did not end within its time limit (a hang)\n";
  [[maybe_unused]] const auto written = ::write(2, kMessage, sizeof kMessage - 1);
  std::abort();
}

// Arms the time limit for one run; disarms it when the run is over.
class HangGuard {
 public:
  HangGuard() {
    std::signal(SIGALRM, OnHangingRun);
    ::alarm(kSecondsPerRun);
  }
  ~HangGuard() { ::alarm(0); }
  HangGuard(const HangGuard&) = delete;
  HangGuard& operator=(const HangGuard&) = delete;
};

// Calls that loop on the platform's answers are bounded by a cap: from the cap on every call fails,
// which ends any loop that waits on the platform, and a run that reaches the cap is reported as a
// hang. The cap lies far beyond what any faulted run needs: a multiple of the clean run, plus
// `scans` whole scans of the BIOS area (4096 paragraphs, one read each), which a failed read can
// turn a short scan into.
inline std::uint64_t CallCap(std::size_t cleanCalls, unsigned scans) {
  return 8 * cleanCalls + std::uint64_t{scans} * 4096 + 1000;
}

// The call that a fault struck, as the machine's call log shows it.
struct Struck {
  std::string op;
  std::string args;
  std::size_t record = 0;  // index in the call log
  // Among the device controls of the log, which one it was; -1 for any other call.
  long long ioctlOrdinal = -1;
};

// The first record that a fault struck, if any.
inline bool FirstStruck(const sim::Machine& m, Struck& out) {
  long long ioctls = 0;
  for (std::size_t i = 0; i < m.calls.size(); ++i) {
    const sim::CallRecord& c = m.calls[i];
    if (c.injected) {
      out = {c.op, c.args, i, c.op == "DeviceIoControl" ? ioctls : -1};
      return true;
    }
    if (c.op == "DeviceIoControl") ++ioctls;
  }
  return false;
}

// Collects violations, reporting the first few in full and counting the rest, so a broken invariant
// does not drown the log.
class Violations {
 public:
  void Add(const std::string& where, const std::string& what) {
    if (++count_ <= kShown) ADD_FAILURE() << where << ": " << what;
  }
  int count() const { return count_; }
  ~Violations() {
    if (count_ > kShown) ADD_FAILURE() << count_ - kShown << " more violations not shown";
  }

 private:
  static constexpr int kShown = 400;
  int count_ = 0;
};

// Prints a line of counts in the test's output and records it as a property of the test.
inline void Report(const std::string& key, const std::string& line) {
  std::cout << "[ sweep    ] " << line << std::endl;
  ::testing::Test::RecordProperty(key, line);
}

}  // namespace reliability
