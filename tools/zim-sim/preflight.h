// The pre-flight: the dry run's token search and write of token 92 on many captured machines at
// once, one row per dump: what its entry point publishes, the token tables its table holds, where
// token 92 is, and whether the real ZIM would flash or end with "ERR3", and why.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/captures.h"
#include "platform/sim/dump_loader.h"
#include "tools/zim-sim/dry_run.h"

namespace zimsim {

struct TokenTableRow {
  int number = 0;     // counted from 1 in table order
  int structure = 0;  // its position among the table's structures, from 1; 0 when only ZIM's walk saw it
  std::uint16_t handle = 0;
  std::uint16_t indexPort = 0;
  std::uint16_t dataPort = 0;
  std::uint8_t checksumType = 0;
  std::uint8_t rangeStart = 0;
  std::uint8_t rangeEnd = 0;
  std::uint8_t checksumLocation = 0;
  bool reached = false;  // ZIM's walk of the table reaches it
};

struct TokenRow {
  int table = 0;  // the token table that holds it (TokenTableRow::number)
  std::uint8_t location = 0;
  std::uint8_t andMask = 0;
  std::uint8_t orValue = 0;
  bool reached = false;
};

// What a machine says it is: system maker and product name (type 1), BIOS version (type 0); empty
// where the table does not say.
struct Model {
  std::string maker;
  std::string product;
  std::string bios;
};

// The model a table names, its texts as the table holds them (raw bytes), trimmed of the spaces
// firmware pads them with (see fleet.cpp).
Model MachineModel(const std::uint8_t* table, std::size_t size);

// The prediction record of one capture, made on the one prediction path (Look in preflight.cpp):
// every report (rows, summary, JSON, page) is a rendering of it. Names are raw bytes; each output
// format escapes them with its own function.
struct PreflightRow {
  std::string file;
  sim::CaptureFormat format = sim::CaptureFormat::DumpBin;
  Model model;
  std::string error;  // the file could not be read as a dump; nothing else is filled
  sim::DumpInfo dump;
  std::vector<TokenTableRow> tables;
  std::optional<TokenRow> token;
  bool flash = false;  // as simulated: token 92 set, ZIM would request the restart
  std::string reason;  // the simulated outcome's reason in words ("token 92 set, restart", why "ERR3")
  // Why the outcome is not known: bytes the capture does not hold, or an assumed 2.x entry point.
  // The outcome is then "uncertain", never "flash".
  // What ZIM makes of the token table it took token 92 from: why it refuses it, or that it keeps no
  // checksum (TokenTableNote).
  std::string tokenNote;
  std::string uncertain;
  std::vector<CmosWrite> writes;  // the CMOS writes of ZIM's run; empty for ERR3 and an unread capture

  // "flash", "ERR3", "uncertain" or "error" (cannot be read).
  std::string Key() const;
  // The reason that goes with Key().
  const std::string& Why() const;
  // "flash: token 92 set, restart", "ERR3: ...", "uncertain: ... (simulated: ...)" or "error: ..."
  std::string Outcome() const;
};

// The writes in short, as the rows show them: "0x70[0x78] 0x81→0xC1, 0x70[0x2E-0x2F]" (the first
// write with its bytes, the others as runs of locations); "none" where there are none.
std::string WritesText(const std::vector<CmosWrite>& writes);

// Why ZIM finds no entry point, from the status of its scan.
std::string EntryPointReason(std::uint8_t status);

// The captures that the arguments name: a file, a capture folder (smbios_entry_point and DMI), or a
// folder of them, which gives every file and capture folder in it, by name.
std::vector<std::string> PreflightFiles(const std::vector<std::string>& arguments);

// The rows for `files`, in their order, with the entry point at `options.entryAt` (and
// `options.assume2x`), worked on by `threads` threads (0: one per core). CMOS: `cmos` when it holds
// banks, else a blank bank behind each token table's ports. `progress`, when given, is called now and
// then from the calling thread with the count of files done.
// The same rows handed to `sink` one by one, in the order of `files`, on the calling thread, while
// the threads work on the next ones: at most a bounded window of rows is held at once.
void PreflightEach(const std::vector<std::string>& files, const Options& options,
                   const std::map<std::uint16_t, sim::CmosBank>& cmos, unsigned threads,
                   void (*progress)(std::size_t done, std::size_t total),
                   const std::function<void(PreflightRow&&)>& sink);

std::vector<PreflightRow> PreflightRows(const std::vector<std::string>& files, const Options& options,
                                        const std::map<std::uint16_t, sim::CmosBank>& cmos = {},
                                        unsigned threads = 0,
                                        void (*progress)(std::size_t done, std::size_t total) = nullptr);

std::string PreflightMarkdown(const std::vector<PreflightRow>& rows);
std::string PreflightJson(const std::vector<PreflightRow>& rows);

// The whole command: rows, table or JSON, progress on a terminal. Exit status: 0 every file gave a
// certain outcome, 1 some could not be read, 4 some are uncertain (and all were read), 2 bad usage or
// input, or a report path that names an input or another report.
int Preflight(const Options& options);

}  // namespace zimsim
