// The dry run's options: the usage text and their parsing.
#include "tools/zim-sim/dry_run.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <sstream>

#include "tools/zim-sim/common.h"

namespace zimsim {

namespace {

// A number in decimal or 0x hex, within [lo, hi]; false when it is not one. Only digits: no blanks,
// no plus sign, a minus sign only where lo is negative, and nothing that overflows.
bool ParseNumber(const std::string& text, long long lo, long long hi, long long& out) {
  std::size_t at = 0;
  const bool negative = lo < 0 && !text.empty() && text[0] == '-';
  if (negative) ++at;
  unsigned base = 10;
  if (text.compare(at, 2, "0x") == 0 || text.compare(at, 2, "0X") == 0) {
    base = 16;
    at += 2;
  }
  if (at == text.size()) return false;
  unsigned long long magnitude = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    if (magnitude > (static_cast<unsigned long long>(INT64_MAX) - digit) / base) return false;
    magnitude = magnitude * base + digit;
  }
  const long long v = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) out.push_back(item);
  return out;
}

}  // namespace

const char* Usage() {
  return R"(usage: zim-sim [OPTION]...
       zim-sim --this-machine [--save DIR]
       zim-sim --preflight CAPTURE|DIR... [--entry-at ADDR] [--cmos PORT=FILE]... [--no-assumed-entry]
               [--summary] [--json FILE|-] [--html FILE]
Runs ZIM, as a person would see it, against a simulated machine and reports what would happen to the
real one. With no options: the built-in demo machine (a table with token tables, valid CMOS, the state
key holding a cleanup command, an image beside the program, the driver loaded, AC online).

machine
  --smbios FILE|DIR      the SMBIOS table from a capture, told by its content: a `dmidecode --dump-bin`
                         file (2.x, 3.x or legacy entry point; the table where the entry point puts
                         it), a copy of /sys/firmware/dmi/tables (a folder with smbios_entry_point and
                         DMI), or a Windows raw table (GetSystemFirmwareTable 'RSMB': no entry point,
                         a 2.x one is assumed with the structures found as its count)
  --entry-at ADDR        paragraph of the entry point written for the table (default 0xF0000)
  --no-assumed-entry     a dump with only a 3.x or legacy entry point gets that one alone, as on a
                         machine without a 2.x entry point (ZIM then finds no table); by default a
                         2.x entry point over the same table is assumed, and the transcript says so
  --phys ADDR=FILE       place the file's bytes in physical memory at ADDR, after the table
  --cmos PORT=FILE       a 256-byte CMOS bank behind index port PORT (data port PORT+1); repeatable;
                         when given, the demo banks are not used
  --image FILE           an image beside the program, in listing order; repeatable
  --no-image             no image beside the program
  --registry FILE        the initial HKLM state as a REGEDIT4 .reg file
  --platform P           nt, 9x, other or noversion (the version cannot be read)
  --driver D             loaded or missing
  --stage-result N       the driver's answer to staging
  --stage-fails          the driver refuses staging
  --restart R            accept or refuse
  --fail OP:N[+]         the Nth call of platform operation OP fails (with +: from then on)
  --command-line TEXT    the command line Windows gives ZIM (default "C:\TARN\BIOS\ZIM.EXE" quoted,
                         and a space), started from C:\TARN\BIOS: ZIM.EXE lies where its first word
                         leads from there (".EXE" added to a name without one), with the images
                         beside it. A '?' in that path stands for a character that the ANSI code
                         page cannot hold: Windows gives it as '?', and no call can name the folder
                         by it. The cleanup program lies where the state key's command names it.
                         Short (8.3) names are not modelled: on a volume that has them, "*.hdr" also
                         matches the short name of a file such as OLD.HDRX
person
  --power LIST           power answers in turn: online, offline, unknown, fail
  --answers LIST         message-box answers in turn: ok, cancel
  --close HOW            how the failure dialog is closed: ok, enter, escape, close
  --lang LANGID          user-interface language, such as 0x0411
run and output
  --runs N               at most N runs: after a restart the RunOnce values run, a "ZIM" value
                         starts ZIM again (default 1)
  --json FILE|-          the final state as JSON
  --save DIR             final CMOS banks (PORT.bin), registry (registry.reg), staged images, transcript
Exit status: 0 restart requested, 1 failed with an error code, 3 cancelled, 4 uncertain (what ZIM did
depended on bytes that the capture does not hold, or on an assumed 2.x entry point), 2 bad usage,
unreadable input, a report that could not be written or that names an input.

this machine (Linux, root)
  --this-machine         the token search and write of token 92 as ZIM would make them on the running
                         machine: its BIOS area read from /dev/mem, the clock's CMOS through the
                         kernel's /dev/nvram (never ports 0x70/0x71), the bank at 0x72/0x73 through
                         /dev/port. No data port is written: each write is reported ("would write ...")
                         and held back. Exit status: 0 token 92 would be set, 1 ERR3, 3 unknown (a read
                         failed: the device and address are given), 2 no /dev/mem, not root, or bad
                         usage. With --save DIR: each CMOS bank
                         of a token table, as read before (PORT-before.bin) and after (PORT-after.bin)
  --test-machine-writes  the writes made, on the project's QEMU test machine alone (refused elsewhere)
  --devices DIR          DIR/mem, DIR/port and DIR/nvram in place of those in /dev

pre-flight
  --preflight CAPTURE|DIR...  the token search and write of token 92 on every capture given (as for
                         --smbios; a folder that is no capture: every file and capture folder in it),
                         one row each as a Markdown table, written as they come; CMOS banks from
                         --cmos, else blank banks with valid checksums behind each token table's
                         ports. Exit status: 0 every capture gave a certain outcome, 1 some could
                         not be read, 4 some are uncertain (all read), 2 bad usage, or a report path
                         that names an input or another report (refused before anything is written).
  --summary              in place of the rows, the machines grouped by system maker, product and BIOS
                         version, one line a group; groups whose machines disagree first
  --json FILE|-          the rows, the outcome counts and the groups as JSON
  --html FILE            one self-contained page: the outcome counts as a chart, the groups, the rows
)";
}

std::string ParseOptions(int argc, char** argv, Options& o) {
  auto need = [&](int& i, const std::string& name, std::string& value) -> std::string {
    if (i + 1 >= argc) return name + " needs a value";
    value = argv[++i];
    return {};
  };
  bool preflight = false;
  std::vector<std::string> arguments, given;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    std::string v, err;
    long long n = 0;
    if (a.rfind("--", 0) == 0) given.push_back(a);
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--preflight") {
      preflight = true;
    } else if (a == "--no-assumed-entry") {
      o.assume2x = false;
    } else if (a == "--summary") {
      o.summary = true;
    } else if (a == "--no-image") {
      o.noImage = true;
    } else if (a == "--this-machine") {
      o.thisMachine = true;
    } else if (a == "--test-machine-writes") {
      o.testMachineWrites = true;
    } else if (a == "--stage-fails") {
      o.stageFails = true;
    } else if (a.rfind("--", 0) == 0) {
      static const char* const kWithValue[] = {
          "--smbios", "--entry-at",     "--phys",  "--cmos",    "--image",   "--registry",     "--platform",
          "--driver", "--stage-result", "--power", "--answers", "--close",   "--restart",      "--fail",
          "--lang",   "--runs",         "--json",  "--save",    "--devices", "--command-line", "--html"};
      if (std::find(std::begin(kWithValue), std::end(kWithValue), a) == std::end(kWithValue))
        return "unknown option " + a;
      if (!(err = need(i, a, v)).empty()) return err;
      // A file or folder option with an empty value is a mistake (an unset variable, say), never
      // "use the default".
      static const char* const kPaths[] = {"--smbios", "--image", "--registry",
                                           "--json",   "--save",  "--devices"};
      if (v.empty() && std::find(std::begin(kPaths), std::end(kPaths), a) != std::end(kPaths))
        return a + " needs a file name, not an empty one";
      if (a == "--smbios") {
        o.smbios = v;
      } else if (a == "--entry-at") {
        if (!ParseNumber(v, 0xF0000, 0xFFFF0, n) || (n & 0xF) != 0)
          return "--entry-at takes a paragraph from 0xF0000 to 0xFFFF0";
        o.entryAt = static_cast<std::uint32_t>(n);
      } else if (a == "--phys" || a == "--cmos") {
        const auto eq = v.find('=');
        if (eq == std::string::npos || eq + 1 == v.size()) return a + " takes ADDR=FILE";
        if (a == "--phys") {
          if (!ParseNumber(v.substr(0, eq), 0, 0xFFFFFFFF, n))
            return "--phys: bad address " + v.substr(0, eq);
          o.phys.push_back({static_cast<std::uint32_t>(n), v.substr(eq + 1)});
        } else {
          if (!ParseNumber(v.substr(0, eq), 0, 0xFFFE, n)) return "--cmos: bad port " + v.substr(0, eq);
          // Each bank takes its index port and the data port after it; no port serves two banks.
          for (const CmosFile& c : o.cmos)
            if (c.indexPort + 1 >= n && n + 1 >= c.indexPort)
              return "--cmos " + Hex(n, 2) + " overlaps the bank at " + Hex(c.indexPort, 2) + "/" +
                     Hex(c.indexPort + 1, 2);
          o.cmos.push_back({static_cast<std::uint16_t>(n), v.substr(eq + 1)});
        }
      } else if (a == "--image") {
        o.images.push_back(v);
      } else if (a == "--registry") {
        o.registry = v;
      } else if (a == "--platform") {
        if (v != "nt" && v != "9x" && v != "other" && v != "noversion")
          return "--platform takes nt, 9x, other or noversion";
        o.platform = v;
      } else if (a == "--driver") {
        if (v != "loaded" && v != "missing") return "--driver takes loaded or missing";
        o.driverLoaded = v == "loaded";
      } else if (a == "--stage-result") {
        if (!ParseNumber(v, INT32_MIN, 0xFFFFFFFFLL, n)) return "--stage-result takes a 32-bit number";
        o.stageResultSet = true;
        o.stageResult = static_cast<std::int32_t>(static_cast<std::uint32_t>(n));
      } else if (a == "--power") {
        for (const auto& p : SplitList(v)) {
          if (p != "online" && p != "offline" && p != "unknown" && p != "fail")
            return "--power takes a comma list of online, offline, unknown, fail";
          o.power.push_back(p);
        }
      } else if (a == "--answers") {
        for (const auto& p : SplitList(v)) {
          if (p != "ok" && p != "cancel") return "--answers takes a comma list of ok, cancel";
          o.answers.push_back(p);
        }
      } else if (a == "--close") {
        if (v != "ok" && v != "enter" && v != "escape" && v != "close")
          return "--close takes ok, enter, escape or close";
        o.close = v;
      } else if (a == "--restart") {
        if (v != "accept" && v != "refuse") return "--restart takes accept or refuse";
        o.restartAccepted = v == "accept";
      } else if (a == "--fail") {
        const auto colon = v.rfind(':');
        std::string count = colon == std::string::npos ? "" : v.substr(colon + 1);
        FailSpec f;
        if (!count.empty() && count.back() == '+') {
          f.persistent = true;
          count.pop_back();
        }
        if (colon == 0 || colon == std::string::npos || !ParseNumber(count, 1, INT64_MAX, n))
          return "--fail takes OP:N or OP:N+ with N from 1";
        f.op = v.substr(0, colon);
        f.nth = static_cast<std::uint64_t>(n);
        o.fails.push_back(f);
      } else if (a == "--lang") {
        if (!ParseNumber(v, 1, 0xFFFF, n)) return "--lang takes a LANGID such as 0x0409";
        o.lang = static_cast<win32::WORD>(n);
      } else if (a == "--runs") {
        if (!ParseNumber(v, 1, 1000, n)) return "--runs takes a number from 1 to 1000";
        o.runs = static_cast<int>(n);
      } else if (a == "--command-line") {
        if (ProgramOf(v).empty()) return "--command-line needs the program's name first";
        o.commandLine = v;
      } else if (a == "--json") {
        o.json = v;
      } else if (a == "--html") {
        o.html = v;
      } else if (a == "--save") {
        o.save = v;
      } else if (a == "--devices") {
        o.devices = v;
      } else {
        return "unknown option " + a;
      }
    } else {
      arguments.push_back(a);
    }
  }
  if (preflight) {
    for (const std::string& g : given)
      if (g != "--preflight" && g != "--entry-at" && g != "--cmos" && g != "--no-assumed-entry" &&
          g != "--json" && g != "--summary" && g != "--html" && g != "--help")
        return g + " does not apply to --preflight";
    if (o.summary && o.json == "-") return "--summary and --json - both write to standard output";
    if (arguments.empty() && !o.help) return "--preflight needs a FILE or DIR";
    for (const std::string& a : arguments)
      if (a.empty()) return "--preflight needs file names, not an empty one";
    o.preflight = arguments;
    return {};
  }
  if (!arguments.empty()) return "unexpected argument " + arguments.front();
  if (o.summary || !o.html.empty())
    return std::string(o.summary ? "--summary" : "--html") + " needs --preflight";
  if (o.thisMachine) {
    for (const std::string& g : given)
      if (g != "--this-machine" && g != "--test-machine-writes" && g != "--devices" && g != "--save" &&
          g != "--help")
        return g + " does not apply to --this-machine";
  } else if (o.testMachineWrites || !o.devices.empty()) {
    return std::string(o.testMachineWrites ? "--test-machine-writes" : "--devices") + " needs --this-machine";
  }
  if (o.noImage && !o.images.empty()) return "--no-image and --image exclude each other";
  return {};
}

}  // namespace zimsim
