// The simulated machine: what the platform and the hardware would hold, in one object that the
// simulated backend of the seam answers from. Tests and the host tools build one, install it as the
// current machine, run the logic, and inspect what happened.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/sim/filesystem.h"
#include "platform/sim/registry.h"
#include "platform/sim/services.h"
#include "platform/sim/session.h"
#include "platform/sim/user.h"
#include "platform/win32.h"

namespace sim {

// Physical memory: sparse, 32-bit addresses; a byte never written reads as 0. Memory past the first
// megabyte is RAM as on a PC: it holds what is written there, such as the tail of an entry point in
// the last paragraph of the BIOS area, and the stand-in driver's machine file carries it too.
class PhysicalMemory {
 public:
  std::uint8_t Read(std::uint32_t address) const;
  void Write(std::uint32_t address, std::uint8_t value);
  void Write(std::uint32_t address, const std::uint8_t* data, std::size_t size);
  void Write(std::uint32_t address, const std::vector<std::uint8_t>& data) {
    Write(address, data.data(), data.size());
  }
  std::vector<std::uint8_t> Read(std::uint32_t address, std::size_t size) const;
  // Copies `size` bytes a page at a time, as the device's reads do.
  void Read(std::uint32_t address, std::uint8_t* out, std::size_t size) const;
  // The address ranges of the pages that have been written, lowest first, adjacent pages merged;
  // every byte outside them reads as 0.
  struct Extent {
    std::uint32_t address;
    std::uint64_t length;
  };
  std::vector<Extent> Extents() const;
  // The first byte of [address, address + size) that was never written, if any: a byte that a
  // capture does not hold, which reads as 0 here and as whatever lies there on the real machine.
  std::optional<std::uint32_t> FirstUnheld(std::uint32_t address, std::size_t size) const;

 private:
  void Hold(std::uint64_t from, std::uint64_t size);
  static constexpr std::uint32_t kPageBits = 12;
  std::map<std::uint64_t, std::uint64_t> held_;  // the written bytes: start -> end, merged
  std::unordered_map<std::uint32_t, std::array<std::uint8_t, 1u << kPageBits>> pages_;
};

// One CMOS bank: 256 bytes behind an index/data port pair.
struct CmosBank {
  std::uint16_t dataPort = 0;
  std::array<std::uint8_t, 256> bytes{};
};

// Hardware that is not simulated: the physical memory and the indexed I/O ports of a real machine.
// When a machine holds one, the VARN device reads physical memory and reaches CMOS through it, in
// place of `memory` and `cmos`.
class Hardware {
 public:
  virtual ~Hardware() = default;
  // Copies `size` bytes from physical memory at `address`; false when they cannot all be read.
  virtual bool ReadPhysical(std::uint32_t address, std::uint8_t* out, std::size_t size) = 0;
  // One byte behind an index/data port pair; false when the pair or the location cannot be reached.
  virtual bool ReadIndexed(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                           std::uint8_t& value) = 0;
  virtual bool WriteIndexed(std::uint16_t indexPort, std::uint8_t location, std::uint16_t dataPort,
                            std::uint8_t value) = 0;
};

// One I/O control as the device received it.
struct IoctlRecord {
  win32::DWORD code = 0;
  std::vector<std::uint8_t> input;
  win32::DWORD outSize = 0;
  bool succeeded = false;
  std::vector<std::uint8_t> output;  // what the driver wrote to the output buffer
};

// The VARN kernel driver and its device, as ZIM and TARNSYS see them.
struct VarnDevice {
  static constexpr win32::DWORD kReadPhysical = 0x222000;
  static constexpr win32::DWORD kWriteIndexedPort = 0x22200C;
  static constexpr win32::DWORD kReadIndexedPort = 0x222010;
  static constexpr win32::DWORD kStageImage = 0x22201C;
  static constexpr win32::DWORD kReleaseImage = 0x222020;

  bool loaded = true;  // false: the driver is not loaded and every open is refused
  // Set: physical memory and the port pairs are this hardware's, not the machine's `memory` and `cmos`.
  std::shared_ptr<Hardware> hardware;

  // Configurable answers.
  bool physicalReadShort = false;              // physical reads report one byte fewer than asked
  win32::DWORD physicalReadMost = 0xFFFFFFFF;  // physical reads write, and report, at most this many bytes
  bool portReadLeavesOutput = false;           // port reads succeed, write no output and report 0 bytes
  std::int32_t stageResult = 1;                // what the stage control writes to its output
  bool stageFails = false;                     // the stage control fails
  bool stageLeavesOutput = false;              // the stage control succeeds without writing its output

  // What happened.
  std::vector<std::vector<std::uint8_t>> staged;  // each staged image, as received
  std::vector<std::int32_t> released;             // each value sent with the release control
  std::vector<IoctlRecord> ioctls;
  // Physical reads of bytes never written (PhysicalMemory::FirstUnheld), outside the BIOS area
  // 0xF0000-0xFFFFF: there the entry-point scan looks at every paragraph, and a machine is taken to
  // hold nothing but its entry point. The first address of each such read, up to 16 of them, and
  // the count of all.
  std::vector<std::uint32_t> unheldReads;
  std::size_t unheldReadCount = 0;
  // unheldReadCount when a control first failed (the dry run clears it for each run of ZIM).
  std::optional<std::size_t> unheldAtFailure;
  bool recordIoctls = true;      // false: controls are carried out but not recorded
  win32::DWORD recordOnly = 0;   // not 0: only controls of this code are recorded
  bool keepStagedImages = true;  // false: `staged` gets an empty entry for each image, not a copy
  int opens = 0;
  std::vector<std::string> openedNames;
};

// The person at the screen, the user interface language, resources: see user.h.

// One platform call as the backend saw it.
struct CallRecord {
  std::string op;
  std::string args;
  std::string result;
  bool injected = false;  // the call failed because a fault was injected
};

// Fault injection: fail the Nth call (1-based) of an operation, once or from then on; or the Nth
// platform call overall, once or from then on.
struct Fault {
  std::string op;  // empty: counts every platform call
  std::uint64_t nth = 0;
  bool persistent = false;
};

// Windows version answers.
struct VersionInfo {
  bool fails = false;           // GetVersionExA fails for every size
  bool acceptsExtended = true;  // false: the 156-byte structure is refused, 148 accepted
  win32::DWORD platformId = win32::VER_PLATFORM_WIN32_NT;
  win32::DWORD major = 5, minor = 1, build = 2600;
};

enum class HandleKind { Device, File, Find, Token, Process, Heap };

class Machine {
 public:
  Machine();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // ---- hardware
  PhysicalMemory memory;
  std::map<std::uint16_t, CmosBank> cmos;  // keyed by index port
  VarnDevice varn;
  CmosBank& AddCmosBank(std::uint16_t indexPort, std::uint16_t dataPort);

  // ---- platform
  VersionInfo version;
  win32::DWORD lastError = 0;
  std::string windowsDirectory = "C:\\WINDOWS";
  std::size_t heapLimit = std::size_t{1} << 30;  // larger allocations fail, as memory would run out
  // The byte that fills a block allocated without HEAP_ZERO_MEMORY, as a debug heap fills its fresh
  // blocks, so that bytes read before they were written show; unset: whatever the C heap holds.
  std::optional<std::uint8_t> heapFill;
  std::vector<win32::DWORD> sleeps;  // each Sleep, recorded, never slept
  FileSystem files;
  Registry registry;
  Services services;
  User user;
  Session session;

  // ---- calls and faults
  std::vector<CallRecord> calls;
  bool logCalls = true;  // false: calls are counted and faults injected, but nothing is recorded
  std::vector<Fault> faults;
  void FailCall(std::string op, std::uint64_t nth, bool persistent = false) {
    faults.push_back({std::move(op), nth, persistent});
  }
  void FailCallAt(std::uint64_t position, bool persistent = false) {
    faults.push_back({"", position, persistent});
  }
  // Counts a call of `op` and tells whether a fault strikes it.
  bool Inject(std::string_view op);
  void Log(std::string op, std::string args, std::string result, bool injected);
  std::size_t CountCalls(const std::string& op) const;

  // ---- handles (devices, files, searches, tokens): one table for CloseHandle
  // `onClose` runs when CloseHandle (or the owner) releases the handle.
  win32::HANDLE NewHandle(HandleKind kind, int id, std::function<void()> onClose = {});
  // The VARN device, open under a handle value that the program already holds: a program whose
  // device handle was opened against another machine with the same driver meets this one through it.
  void AttachDeviceHandle(win32::HANDLE handle);
  struct HandleEntry {
    HandleKind kind;
    int id;
    std::function<void()> onClose;
  };
  // The entry of an open handle, or null; valid until the handle table changes.
  const HandleEntry* LookupHandle(win32::HANDLE handle) const;
  bool ReleaseHandle(win32::HANDLE handle);
  std::size_t OpenHandleCount(HandleKind kind) const;

  // ---- heap: live blocks and their sizes
  std::map<void*, std::size_t> heapBlocks;

  // The loader wrote a 2.x entry point that the capture does not publish: what ZIM does once it
  // finds that entry point rests on the firmware publishing one.
  bool assumedEntryPoint = false;

 private:
  // Keyed by name without building a string per call: every simulated call passes through here.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, std::uint64_t, NameHash, std::equal_to<>> opCounts_;
  std::pair<const std::string, std::uint64_t>* lastOp_ = nullptr;  // calls come in runs of one name
  std::uint64_t totalCalls_ = 0;
  std::map<std::uintptr_t, HandleEntry> handles_;
  std::uintptr_t nextHandle_ = 0x100;
};

// The machine the simulated backend answers from: the one installed for the calling thread, else
// the one installed for the process.
Machine& Current();
bool HasCurrent();

// Makes a machine current for the whole process for the lifetime of this object.
class Install {
 public:
  explicit Install(Machine& machine);
  ~Install();
  Install(const Install&) = delete;
  Install& operator=(const Install&) = delete;

 private:
  Machine* previous_;
};

// Makes a machine current for the calling thread alone, for the lifetime of this object: a host
// tool that runs the logic against many machines at once gives each of its threads its own.
class InstallOnThisThread {
 public:
  explicit InstallOnThisThread(Machine& machine);
  ~InstallOnThisThread();
  InstallOnThisThread(const InstallOnThisThread&) = delete;
  InstallOnThisThread& operator=(const InstallOnThisThread&) = delete;

 private:
  Machine* previous_;
};

// Where a dump's table and entry point go unless told otherwise (see dump_loader.h).
inline constexpr std::uint32_t kDefaultTableAddress = 0xE0000;
inline constexpr std::uint32_t kDefaultEntryPoint = 0xF0000;

// The 31-byte 2.x entry point that describes a table of `length` bytes at `address`, both checksums
// right.
std::array<std::uint8_t, 31> MakeEntryPoint(std::uint32_t address, std::uint16_t length, std::uint16_t count,
                                            std::uint8_t major = 2, std::uint8_t minor = 8,
                                            std::uint16_t maxStructure = 0);

// Reads a whole file; false when it cannot be read.
bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& out);

}  // namespace sim
