// Whole-process timing of two commands over the same inputs: the runs alternate between the two, so
// that a change in the machine's load falls on both alike. Each run's wall time is taken with
// clock_gettime(CLOCK_MONOTONIC) around posix_spawn and waitpid; output goes to /dev/null.
//
// Usage: tarn_bench_process RUNS COMMAND_A... --vs COMMAND_B...
// Prints one line per command: "median_us mean_us min_us runs failures", A first.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

double NowMicroseconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

struct Command {
  std::vector<char*> argv;  // null-terminated
  std::vector<double> times;
  int failures = 0;
};

// One run; false when the command could not be started or did not exit with status 0.
bool RunOnce(Command& command, posix_spawn_file_actions_t* actions) {
  const double start = NowMicroseconds();
  pid_t pid = 0;
  if (posix_spawnp(&pid, command.argv[0], actions, nullptr, command.argv.data(), environ) != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  command.times.push_back(NowMicroseconds() - start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Report(Command& command) {
  std::vector<double>& t = command.times;
  std::sort(t.begin(), t.end());
  double sum = 0;
  for (double v : t) sum += v;
  const double median =
      t.empty() ? 0 : (t.size() % 2 ? t[t.size() / 2] : (t[t.size() / 2 - 1] + t[t.size() / 2]) / 2);
  std::printf("%.1f %.1f %.1f %zu %d\n", median, t.empty() ? 0 : sum / static_cast<double>(t.size()),
              t.empty() ? 0 : t.front(), t.size(), command.failures);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fputs("usage: tarn_bench_process RUNS COMMAND_A... --vs COMMAND_B...\n", stderr);
    return 2;
  }
  const int runs = std::atoi(argv[1]);
  Command a, b;
  Command* filling = &a;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--vs") == 0 && filling == &a) {
      filling = &b;
    } else {
      filling->argv.push_back(argv[i]);
    }
  }
  if (runs < 1 || a.argv.empty() || b.argv.empty()) {
    std::fputs("tarn_bench_process: RUNS must be positive and both commands given\n", stderr);
    return 2;
  }
  a.argv.push_back(nullptr);
  b.argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

  // A few unmeasured runs first, so that both programs and their libraries are in the page cache.
  for (int i = 0; i < 3; ++i) {
    Command warmA{a.argv, {}, 0}, warmB{b.argv, {}, 0};
    RunOnce(warmA, &actions);
    RunOnce(warmB, &actions);
  }
  for (int i = 0; i < runs; ++i) {
    // Alternate which goes first, so that neither always follows the other.
    Command& first = i % 2 ? b : a;
    Command& second = i % 2 ? a : b;
    if (!RunOnce(first, &actions)) ++first.failures;
    if (!RunOnce(second, &actions)) ++second.failures;
  }
  posix_spawn_file_actions_destroy(&actions);
  Report(a);
  Report(b);
  return a.failures == 0 && b.failures == 0 ? 0 : 1;
}
