// The dry run: ZIM against a simulated machine, as the person at the screen would see it, and what
// would happen to the real machine.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/dump_loader.h"
#include "platform/sim/machine.h"

namespace zimsim {

struct PhysFile {
  std::uint32_t address = 0;
  std::string path;
};
struct CmosFile {
  std::uint16_t indexPort = 0;
  std::string path;
};
struct FailSpec {
  std::string op;
  std::uint64_t nth = 0;
  bool persistent = false;
};

struct Options {
  std::string commandLine;  // as Windows gives it to ZIM; empty: ZIM's quoted full path and a space
  std::string smbios;       // dump file; empty: the demo table
  std::uint32_t entryAt = 0xF0000;
  bool assume2x = true;  // a 3.x or legacy dump also gets a 2.x entry point (--no-assumed-entry: not)
  std::vector<PhysFile> phys;
  std::vector<CmosFile> cmos;
  std::vector<std::string> images;  // image files, in listing order; empty: the demo image
  bool noImage = false;
  std::string registry;  // REGEDIT4 file; empty: the demo registry
  std::string platform = "nt";
  bool driverLoaded = true;
  bool stageResultSet = false;
  std::int32_t stageResult = 1;
  bool stageFails = false;
  std::vector<std::string> power;    // online, offline, unknown, fail
  std::vector<std::string> answers;  // ok, cancel
  std::string close = "ok";
  bool restartAccepted = true;
  std::vector<FailSpec> fails;
  win32::WORD lang = 0x0409;
  int runs = 1;
  std::string json;  // file, "-" for stdout, empty for none
  std::string save;  // folder, empty for none
  bool help = false;
  std::vector<std::string> preflight;  // --preflight: the files and folders to look at
  bool summary = false;                // --summary: the groups by model in place of the rows
  std::string html;                    // --html FILE: the report page
  bool thisMachine = false;            // --this-machine: the check of the running machine
  bool testMachineWrites = false;      // --test-machine-writes: its writes made, on the test machine alone
  std::string devices;                 // --devices DIR: mem, port and nvram from DIR in place of /dev's
};

// Parses the command line; an empty result means success, else the message for the user.
std::string ParseOptions(int argc, char** argv, Options& options);
const char* Usage();

// Builds the machine the options describe; an empty result means success, else a one-line message
// naming the file and what is wrong with it. With --smbios, `table` (when given) tells what the dump
// publishes and holds and where it went.
std::string BuildMachine(const Options& options, sim::Machine& machine, sim::DumpInfo* table = nullptr);

// Reads a --cmos bank: exactly 256 bytes, its data port the one after its index port.
std::string ReadCmosBank(const CmosFile& file, sim::CmosBank& bank);

struct CmosWrite {
  std::uint16_t indexPort = 0;
  std::uint8_t location = 0;
  std::uint8_t before = 0;
  std::uint8_t after = 0;
  bool failed = false;   // the device refused it: the byte stays `before`
  bool putBack = false;  // it puts back a byte after a control failed in the middle of a token write
};
// The writes in the JSON's form: port, location, before, after, result.
class Json;
void CmosWritesJson(Json& json, const std::vector<CmosWrite>& writes);

// A token write in which a control failed after the first write: every byte it wrote put back, or
// the put-back abandoned at a write that failed, with the bytes that differ from before the write.
struct TokenWriteFailure {
  std::uint16_t indexPort = 0;
  bool putBack = false;
  std::vector<CmosWrite> left;  // location, as before the token write, as left
};

struct MessageShown {
  unsigned id = 0;
  std::string text;
  std::string buttons;  // "OK" or "OK, Cancel"
  std::string answer;   // "OK" or "Cancel"
};

struct RegistryChange {
  std::string key;
  std::string name;
  bool deleted = false;
  std::string data;
};

struct RunReport {
  std::string commandLine;
  std::string outcome;  // "restart", "failed" or "cancelled", as the simulation ran
  // Why that outcome is uncertain: what ZIM did depended on bytes that the capture does not hold.
  // The reports then show the outcome as "uncertain", never as the simulated one alone.
  std::string uncertain;
  std::string errorCode;
  std::vector<MessageShown> messages;
  std::string dialogText;
  bool okVisible = false;
  bool dialogShown = false;
  std::vector<std::string> launches;          // "file parameters", started
  std::vector<std::string> launchesNotFound;  // the same, where no such program is
  bool cleanupStarted = false;
  bool restartRequested = false;
  bool restartAccepted = false;
  std::int32_t stageResult = -1;
  std::vector<std::size_t> stagedSizes;
  std::vector<std::int32_t> released;
  std::vector<CmosWrite> cmosWrites;
  std::vector<TokenWriteFailure> tokenWriteFailures;
  // For each token the run wrote or refused to write, what ZIM made of its token table: "token 92:
  // no checksum (its descriptor is all zero)", or why nothing was read or written.
  std::vector<std::string> tokenNotes;
  std::vector<RegistryChange> registry;
  std::map<std::uint32_t, int> ioctls;       // count per control code
  std::vector<std::string> ranAtStart;       // RunOnce commands the platform ran before this run
  std::vector<std::string> notFoundAtStart;  // RunOnce commands whose program the platform did not find
};

struct Report {
  std::vector<RunReport> runs;
  std::vector<std::string> notFoundAtLastStart;  // as RunReport's, at the start after the last run
  std::string tableFile;                         // the --smbios file, empty for the demo table
  std::optional<sim::DumpInfo> table;            // what it publishes and holds
};

// What the transcript says about a loaded dump, one line each: its entry point and counts, a
// published count that differs from the structures found, and an assumed 2.x entry point.
std::vector<std::string> TableNotes(const std::string& file, const sim::DumpInfo& table);

// Runs ZIM as many times as the options allow: after an accepted restart the platform runs the
// RunOnce values from its own folder (C:\WINDOWS\SYSTEM32), and a "ZIM" value whose program it
// finds there starts the program again with its command line.
Report Run(const Options& options, sim::Machine& machine);

std::string Transcript(const Report& report, const sim::Machine& machine);
std::string ToJson(const Report& report, const sim::Machine& machine);
// Writes `size` bytes to the file at `path` ("-": standard output), flushed and closed, each step
// checked; empty on success, else "PATH: cannot be written: REASON".
std::string WriteOutput(const std::string& path, const void* data, std::size_t size);
std::string WriteOutput(const std::string& path, const std::string& text);
// Flushes and closes standard output; empty when everything written to it got there.
std::string CloseStdout();
// Why a report would overwrite an input or another report, said before anything is written; else
// empty. `reports` are (option, path) pairs; `inputs` the files and folders the run reads (a capture
// folder stands for its smbios_entry_point and DMI). Paths that exist are compared by device and
// inode, others by their absolute, normalised form.
std::string ReportClash(const std::vector<std::pair<std::string, std::string>>& reports,
                        const std::vector<std::string>& inputs);
// --save writes into a new or an empty folder, and never onto the --json report `json`; else the
// reason.
std::string CheckSaveFolder(const std::string& folder, const std::string& json = {});
// Writes the final CMOS banks, registry, staged images and transcript; empty on success.
std::string Save(const std::string& folder, const Report& report, const sim::Machine& machine);

// Why a prediction is uncertain: the machine's device read bytes that its capture does not hold
// (VarnDevice::unheldReads, from `from` on, up to `until` when given); empty when it read none.
std::string UnheldReason(const sim::Machine& machine, std::size_t from = 0,
                         std::optional<std::size_t> until = std::nullopt);

// Why a prediction is uncertain, in words: UnheldReason, and, when ZIM acted on the table it found
// (`flashed`: it requested the restart; `wrote`: it wrote CMOS), an entry point the loader assumed.
std::string Uncertainty(const sim::Machine& machine, std::size_t from, std::optional<std::size_t> until,
                        bool flashed, bool wrote);

// Exit status of the whole dry run: 0 restart requested, 1 failed with an error code, 3 cancelled,
// 4 uncertain.
int ExitStatus(const Report& report);

// The check of the running machine (--this-machine). Exit status: 0 token 92 set (or would be),
// 1 "ERR3", 2 the devices cannot be opened or writes are refused, 3 unknown: a read or write of the
// machine failed.
int ThisMachine(const Options& options);

std::uint32_t Crc32(const std::vector<std::uint8_t>& data);

}  // namespace zimsim
