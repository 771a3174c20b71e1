// tarnsys: asks TARNSYS's six queries from the command line, in the manner of `dmidecode -s`, over a
// `dmidecode --dump-bin` file, the built-in demo machine, or the tables that the running Linux exposes.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "hosts/live/live_hardware.h"
#include "hosts/tarnsys/host_machine.h"
#include "platform/sim/input_file.h"
#include "platform/sim/machine.h"
#include "tarnsys/dll_main.h"
#include "tarnsys/smb_table.h"
#include "tarnsys/tarnsys.h"

namespace {

constexpr int kAnswered = 0;
constexpr int kNotFound = 1;
constexpr int kBadUsage = 2;

// Room for the longest answer: a string may run to the end of the table. Set once the table is loaded.
std::size_t g_answerRoom = 65536;

constexpr char kUsage[] =
    "usage: tarnsys [--from-dump FILE | --demo | --this-machine] COMMAND\n"
    "\n"
    "Commands:\n"
    "  version                                    the library's banner\n"
    "  service-tag [INSTANCE]                     the chassis serial number\n"
    "  system-id                                  the system identifier\n"
    "  table TYPE [INSTANCE [SIZE]]               a structure's bytes in hex, 16 to a line\n"
    "  value TYPE OFFSET INSTANCE MASK VALUETYPE  one field as text (VALUETYPE 0-7 numbers, 8 a string)\n"
    "  list                                       offset, type, length, handle and string-area size\n"
    "                                             of every structure\n"
    "\n"
    "Numbers are decimal or 0x hex. Without --from-dump or --demo the tables come from\n"
    "/sys/firmware/dmi/tables. With --this-machine (root) the library finds and copies the table\n"
    "itself, from the running machine's physical memory through /dev/mem.\n"
    "Exit status: 0 answered, 1 not found, 2 bad usage, an unreadable file, physical memory that\n"
    "could not be read, or an answer that could not be written.\n";

// The argument it may echo shows its control bytes as \xHH, never raw on the terminal.
int BadUsage(const std::string& message) {
  std::fprintf(stderr, "tarnsys: %s\nTry 'tarnsys --help'.\n", sim::Displayed(message).c_str());
  return kBadUsage;
}

// A decimal or 0x hex number, with an optional minus sign, within [low, high].
std::optional<long long> ParseNumber(const std::string& text, long long low, long long high) {
  std::size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++at;
  int base = 10;
  if (text.compare(at, 2, "0x") == 0 || text.compare(at, 2, "0X") == 0) {
    base = 16;
    at += 2;
  }
  if (at == text.size()) return std::nullopt;
  unsigned long long magnitude = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    magnitude = magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (magnitude > (1ull << 40)) return std::nullopt;
  }
  const long long value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  if (value < low || value > high) return std::nullopt;
  return value;
}

struct Arguments {
  std::vector<std::string> words;
  std::size_t next = 0;
  std::string fault;

  bool More() const { return next < words.size(); }
  // The next word as a number, or none with the fault set.
  // A structure type: 0 to 255, as the library compares only the low 8 bits.
  std::optional<long long> Type() {
    const std::size_t at = next;
    auto value = Number("TYPE");
    if (value && (*value < 0 || *value > 255)) {
      fault = "TYPE must be a structure type from 0 to 255: '" + words[at] + "'";
      return std::nullopt;
    }
    return value;
  }
  std::optional<long long> Number(const char* name, bool unsignedValue = false) {
    constexpr long long kIntLow = std::numeric_limits<std::int32_t>::min();
    constexpr long long kIntHigh = std::numeric_limits<std::int32_t>::max();
    constexpr long long kUnsignedHigh = std::numeric_limits<std::uint32_t>::max();
    if (!More()) {
      fault = std::string("missing ") + name;
      return std::nullopt;
    }
    const std::string& word = words[next++];
    auto value = unsignedValue ? ParseNumber(word, 0, kUnsignedHigh) : ParseNumber(word, kIntLow, kIntHigh);
    if (!value)
      fault = std::string(name) + " must be a " + (unsignedValue ? "32-bit unsigned" : "32-bit") +
              " number, decimal or 0x hex: '" + word + "'";
    return value;
  }
};

int Answer(int found, const char* text) {
  if (found == 0) {
    std::fputs("not found\n", stderr);
    return kNotFound;
  }
  std::printf("%s\n", text);
  return kAnswered;
}

int PrintTable(int type, int instance, std::optional<long long> size) {
  // No structure is longer than its table's 65535 bytes: a larger size copies the same.
  const std::size_t room =
      size ? std::min(static_cast<std::size_t>(*size), g_answerRoom - 1) : g_answerRoom - 1;
  std::vector<std::uint8_t> buffer(room == 0 ? 1 : room);
  if (GetSmbTable(type, instance, static_cast<int>(room), buffer.data()) == 0) return Answer(0, "");
  // The query does not tell how much it copied; the structure's own size does.
  const std::size_t copied = std::min(room, MeasureSmbStructure(FindSmbStructure(type, instance)));
  for (std::size_t i = 0; i < copied; ++i)
    std::printf("%02X%s", buffer[i], (i % 16 == 15 || i + 1 == copied) ? "\n" : " ");
  return kAnswered;
}

int PrintList() {
  const SmbTable table = LoadedSmbTable();
  std::uint8_t* s = FirstSmbStructure();
  if (s == nullptr) return Answer(0, "");
  for (; s != nullptr; s = NextSmbStructure(s)) {
    const std::size_t size = MeasureSmbStructure(s);
    std::printf("0x%04zX: type %u, length %u, ", static_cast<std::size_t>(s - table.start), s[0], s[1]);
    if (s[1] >= 4) {
      std::printf("handle 0x%04X, ", s[2] | (s[3] << 8));
    } else {
      std::printf("handle -, ");  // the handle would lie outside the formatted area
    }
    std::printf("strings %zu\n", size - s[1]);
  }
  return kAnswered;
}

int Run(const std::string& command, Arguments& args) {
  std::vector<char> text(g_answerRoom + 1, '\0');
  if (command == "version") {
    if (args.More()) return BadUsage("version takes no argument");
    GetDllVersion(text.data());
    std::printf("%s\n", text.data());
    return kAnswered;
  }
  if (command == "service-tag") {
    long long instance = 0;
    if (args.More()) {
      auto n = args.Number("INSTANCE");
      if (!n) return BadUsage(args.fault);
      instance = *n;
    }
    if (args.More()) return BadUsage("service-tag takes at most one argument");
    return Answer(GetServiceTag(text.data(), static_cast<int>(instance)), text.data());
  }
  if (command == "system-id") {
    if (args.More()) return BadUsage("system-id takes no argument");
    return Answer(GetSystemId(text.data()), text.data());
  }
  if (command == "table") {
    auto type = args.Type();
    if (!type) return BadUsage(args.fault);
    long long instance = 0;
    std::optional<long long> size;
    if (args.More()) {
      auto n = args.Number("INSTANCE");
      if (!n) return BadUsage(args.fault);
      instance = *n;
    }
    if (args.More()) {
      size = args.Number("SIZE");
      if (!size) return BadUsage(args.fault);
      if (*size < 0) return BadUsage("SIZE must not be negative");
    }
    if (args.More()) return BadUsage("table takes at most three arguments");
    return PrintTable(static_cast<int>(*type), static_cast<int>(instance), size);
  }
  if (command == "value") {
    auto type = args.Type();
    auto offset = type ? args.Number("OFFSET") : std::nullopt;
    auto instance = offset ? args.Number("INSTANCE") : std::nullopt;
    auto mask = instance ? args.Number("MASK", true) : std::nullopt;
    auto valueType = mask ? args.Number("VALUETYPE", true) : std::nullopt;
    if (!valueType) return BadUsage(args.fault);
    if (args.More()) return BadUsage("value takes exactly five arguments");
    return Answer(
        GetSmbTableValue(static_cast<int>(*type), static_cast<int>(*offset), static_cast<int>(*instance),
                         static_cast<unsigned>(*mask), static_cast<unsigned>(*valueType), text.data()),
        text.data());
  }
  if (args.More()) return BadUsage("list takes no argument");
  return PrintList();
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> dumpFile;
  bool demo = false, thisMachine = false;
  int at = 1;
  for (; at < argc && argv[at][0] == '-'; ++at) {
    const std::string option = argv[at];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return kAnswered;
    }
    if (option == "--demo") {
      demo = true;
    } else if (option == "--this-machine") {
      thisMachine = true;
    } else if (option == "--from-dump" && at + 1 < argc && argv[at + 1][0] != '\0') {
      dumpFile = argv[++at];
    } else if (option == "--from-dump") {
      return BadUsage("--from-dump needs a FILE");
    } else {
      return BadUsage("unknown option '" + option + "'");
    }
  }
  if (int{demo} + int{dumpFile.has_value()} + int{thisMachine} > 1)
    return BadUsage("use one of --from-dump, --demo and --this-machine");
  if (at == argc) return BadUsage("no COMMAND given");
  const std::string command = argv[at++];
  const char* known[] = {"version", "service-tag", "system-id", "table", "value", "list"};
  if (std::find(std::begin(known), std::end(known), command) == std::end(known))
    return BadUsage("unknown COMMAND '" + command + "'");
  Arguments args;
  args.words.assign(argv + at, argv + argc);

  sim::Machine machine;
  tarnsys_host::PrepareMachine(machine);
  sim::DumpInfo table;
  std::string fault;
  std::shared_ptr<live::LinuxHardware> hardware;
  if (demo) {
    tarnsys_host::LoadDemo(machine);
  } else if (dumpFile) {
    fault = tarnsys_host::LoadDumpFile(machine, *dumpFile, &table);
  } else if (thisMachine) {
    live::DevicePaths memoryAlone;  // TARNSYS reads physical memory and nothing else
    memoryAlone.ports.clear();
    memoryAlone.nvram.clear();
    fault = live::LinuxHardware::Open(memoryAlone, false, hardware);
    machine.varn.hardware = hardware;
  } else if (command != "version") {
    fault = tarnsys_host::LoadFirmwareTables(machine, tarnsys_host::kFirmwareTables, &table);
  }
  if (!fault.empty()) {
    std::fprintf(stderr, "tarnsys: %s\n", fault.c_str());
    return kBadUsage;
  }

  sim::Install installed(machine);
  tarnsys_host::AttachProcess(machine, &table);
  g_answerRoom = std::max(g_answerRoom, LoadedSmbTable().length + 1);
  int status = Run(command, args);
  DllMain(nullptr, win32::DLL_PROCESS_DETACH, nullptr);
  // The library reads a failed read as 0; what failed, and where, is said here.
  // Such an answer (often "not found") says nothing of the machine: the status says it is none.
  if (hardware && !hardware->faults().empty()) {
    std::fprintf(stderr, "tarnsys: physical memory could not be read: %s\n",
                 hardware->faults().front().c_str());
    status = kBadUsage;
  }
  // An answer that did not reach its reader is no answer.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || std::fclose(stdout) != 0) {
    std::fprintf(stderr, "tarnsys: standard output cannot be written: %s\n", std::strerror(errno));
    status = kBadUsage;
  }
  return status;
}
