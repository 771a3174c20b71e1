// Runs a program with its output and error streams captured, for the command-level tests.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace tarn_test {

struct Outcome {
  int status = -1;  // the exit status; -1 when the program could not be run or did not exit
  std::string out;
  std::string err;
};

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs `program` (searched in PATH unless it has a slash) with `args`.
inline Outcome RunProgram(const std::string& program, const std::vector<std::string>& args) {
  char outPath[] = "/tmp/tarnsys-test-out-XXXXXX";
  char errPath[] = "/tmp/tarnsys-test-err-XXXXXX";
  const int out = mkstemp(outPath);
  const int err = mkstemp(errPath);
  Outcome result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(out);
  close(err);
  result.out = Slurp(outPath);
  result.err = Slurp(errPath);
  std::remove(outPath);
  std::remove(errPath);
  return result;
}

inline Outcome RunTarnsys(const std::vector<std::string>& args) {
  return RunProgram(std::string(TARN_BIN_DIR) + "/tarnsys", args);
}

// The oracle's path, or empty when it is not installed.
inline std::string DmidecodePath() {
  for (const char* dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
    const std::string path = std::string(dir) + "/dmidecode";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

// The bytes of `tarnsys table` output: hex pairs separated by blanks and line ends.
inline std::vector<std::uint8_t> ParseHex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::stringstream in(text);
  for (std::string pair; in >> pair;)
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
  return bytes;
}

}  // namespace tarn_test

#define TARN_REQUIRE_DMIDECODE()          \
  if (tarn_test::DmidecodePath().empty()) \
  GTEST_SKIP() << "dmidecode is not installed (apt-get install dmidecode); the comparison needs it"
