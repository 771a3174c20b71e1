// Simulated backend: version, errors, heap, handles and the VARN device.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/sim/api.h"

namespace win32 {

using sim::api::Args;
using sim::api::Call;

BOOL GetVersionExA(OSVERSIONINFOA* info) {
  Call call("GetVersionExA", Args(info == nullptr ? 0u : info->dwOSVersionInfoSize));
  const sim::VersionInfo& v = call.machine().version;
  const DWORD size = info == nullptr ? 0 : info->dwOSVersionInfoSize;
  const bool sizeAccepted =
      size == sizeof(OSVERSIONINFOA) || (size == sizeof(OSVERSIONINFOEXA) && v.acceptsExtended);
  if (call.injected() || v.fails || !sizeAccepted) return call.Return<BOOL>(FALSE, ERROR_INVALID_PARAMETER);
  info->dwMajorVersion = v.major;
  info->dwMinorVersion = v.minor;
  info->dwBuildNumber = v.build;
  info->dwPlatformId = v.platformId;
  info->szCSDVersion[0] = '\0';
  return call.Return<BOOL>(TRUE);
}

// Not logged: asking for the last error is no platform effect, and logging it would shift every
// call position that fault injection counts.
DWORD GetLastError() { return sim::Current().lastError; }
void SetLastError(DWORD code) { sim::Current().lastError = code; }

void Sleep(DWORD milliseconds) {
  Call call("Sleep", Args(milliseconds));
  call.machine().sleeps.push_back(milliseconds);
  call.Done();
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  Call call("GetWindowsDirectoryA", Args(size));
  const std::string& dir = call.machine().windowsDirectory;
  if (call.injected()) return call.Return<UINT>(0, ERROR_GEN_FAILURE);
  if (dir.size() + 1 > size) return call.Return<UINT>(static_cast<UINT>(dir.size() + 1));
  std::memcpy(buffer, dir.c_str(), dir.size() + 1);
  return call.Return<UINT>(static_cast<UINT>(dir.size()));
}

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  // wsprintfA writes at most 1024 bytes, terminator included.
  std::va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, 1024, format, args);
  va_end(args);
  return n < 0 ? 0 : (n > 1023 ? 1023 : n);
}

// ---- heap

HANDLE GetProcessHeap() { return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFE0000)); }

LPVOID HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes) {
  Call call("HeapAlloc", Args(flags, static_cast<std::uint64_t>(bytes)));
  sim::Machine& m = call.machine();
  if (call.injected() || bytes > m.heapLimit) return call.Return<LPVOID>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
  // A zero-byte request still gets a distinct block, as the platform's heap gives one. The heap
  // guarantees only 8-byte alignment: a block that happens to start on a sector boundary is traded
  // for another, so code that must align its buffers cannot pass by luck. Blocks keep their exact
  // size, so the sanitizers still see every read past one.
  const std::size_t size = bytes == 0 ? 1 : bytes;
  void* block = std::malloc(size);
  std::vector<void*> aligned;
  while (block != nullptr && reinterpret_cast<std::uintptr_t>(block) % 512 == 0 && aligned.size() < 16) {
    aligned.push_back(block);
    block = std::malloc(size);
  }
  for (void* a : aligned) std::free(a);
  if (block == nullptr) return call.Return<LPVOID>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
  if (flags & HEAP_ZERO_MEMORY) {
    std::memset(block, 0, bytes);
  } else if (m.heapFill) {
    std::memset(block, *m.heapFill, bytes);
  }
  m.heapBlocks[block] = bytes;
  return call.Return<LPVOID>(block);
}

BOOL HeapFree(HANDLE, DWORD flags, LPVOID block) {
  Call call("HeapFree", Args(flags, block));
  sim::Machine& m = call.machine();
  auto it = m.heapBlocks.find(block);
  if (it == m.heapBlocks.end()) return call.Return<BOOL>(FALSE, ERROR_INVALID_PARAMETER);
  std::free(block);
  m.heapBlocks.erase(it);
  return call.Return<BOOL>(TRUE);
}

// ---- handles

BOOL CloseHandle(HANDLE handle) {
  Call call("CloseHandle", Args(handle));
  if (!call.machine().ReleaseHandle(handle)) return call.Return<BOOL>(FALSE, ERROR_INVALID_HANDLE);
  return call.Return<BOOL>(TRUE);
}

// ---- the VARN device, and files through the file system

namespace {

bool IsDeviceName(const std::string& name) { return name.rfind("\\\\.\\", 0) == 0; }

HANDLE OpenDevice(Call& call, const std::string& name) {
  sim::Machine& m = call.machine();
  const DWORD platform = m.version.platformId;
  const char* expected = platform == VER_PLATFORM_WIN32_WINDOWS ? "\\\\.\\VARN.VXD"
                         : platform == VER_PLATFORM_WIN32_NT    ? "\\\\.\\VARN"
                                                                : nullptr;
  if (!m.varn.loaded || expected == nullptr || name != expected)
    return call.Return(INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
  ++m.varn.opens;
  m.varn.openedNames.push_back(name);
  return call.Return(m.NewHandle(sim::HandleKind::Device, m.varn.opens));
}

std::uint32_t Le32(const BYTE* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t Le16(const BYTE* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// Carries out one control on the device; false when the driver would fail it.
bool Control(sim::Machine& m, DWORD code, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
             DWORD& returned) {
  sim::VarnDevice& d = m.varn;
  switch (code) {
    case sim::VarnDevice::kReadPhysical: {
      if (inSize != 8 || in == nullptr || outSize < 1 || out == nullptr) return false;
      const std::uint32_t address = Le32(in);
      const DWORD written = std::min(outSize, d.physicalReadMost);
      if (d.hardware) {
        if (!d.hardware->ReadPhysical(address, out, written)) return false;
      } else {
        m.memory.Read(address, out, written);
        const auto unheld = m.memory.FirstUnheld(address, written);
        if (unheld && (*unheld < 0xF0000 || *unheld > 0xFFFFF) && d.unheldReadCount++ < 16)
          d.unheldReads.push_back(*unheld);
      }
      returned = d.physicalReadShort ? outSize - 1 : written;
      return true;
    }
    case sim::VarnDevice::kWriteIndexedPort:
    case sim::VarnDevice::kReadIndexedPort: {
      const bool read = code == sim::VarnDevice::kReadIndexedPort;
      if (inSize != 7 || in == nullptr) return false;
      if (read ? (outSize != 7 || out == nullptr) : (outSize != 0 || out != nullptr)) return false;
      const std::uint16_t indexPort = Le16(in), index = Le16(in + 2), dataPort = Le16(in + 4);
      if (d.hardware) {
        if (index > 0xFF) return false;
        const auto location = static_cast<std::uint8_t>(index);
        if (!read) return d.hardware->WriteIndexed(indexPort, location, dataPort, in[6]);
        if (d.portReadLeavesOutput) return true;
        std::uint8_t value = 0;
        if (!d.hardware->ReadIndexed(indexPort, location, dataPort, value)) return false;
        std::memcpy(out, in, 6);
        out[6] = value;
        returned = 7;
        return true;
      }
      auto bank = m.cmos.find(indexPort);
      if (bank == m.cmos.end() || bank->second.dataPort != dataPort || index > 0xFF) return false;
      if (read) {
        if (d.portReadLeavesOutput) return true;
        std::memcpy(out, in, 6);
        out[6] = bank->second.bytes[index];
        returned = 7;
      } else {
        bank->second.bytes[index] = in[6];
      }
      return true;
    }
    case sim::VarnDevice::kStageImage: {
      if (outSize != 4 || out == nullptr || (inSize > 0 && in == nullptr)) return false;
      if (d.stageFails) return false;
      // A copy of every image is the dearest part of a large staging; one that is not wanted is
      // only counted.
      if (d.keepStagedImages) {
        d.staged.emplace_back(in, in + inSize);
      } else {
        d.staged.emplace_back();
      }
      if (!d.stageLeavesOutput) {
        const auto v = static_cast<std::uint32_t>(d.stageResult);
        for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(v >> (8 * i));
        returned = 4;
      }
      return true;
    }
    case sim::VarnDevice::kReleaseImage: {
      if (inSize != 4 || in == nullptr || outSize != 0 || out != nullptr) return false;
      d.released.push_back(static_cast<std::int32_t>(Le32(in)));
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security, DWORD creation,
                   DWORD flags, HANDLE templateFile) {
  Call call("CreateFileA", Args(name, access, shareMode, security, creation, flags, templateFile));
  if (call.injected()) return call.Return(INVALID_HANDLE_VALUE, ERROR_GEN_FAILURE);
  const std::string text = name == nullptr ? "" : name;
  if (IsDeviceName(text)) return OpenDevice(call, text);
  HANDLE h = sim::OpenFile(call.machine(), text, access, shareMode, creation, flags);
  return call.Return(h, h == INVALID_HANDLE_VALUE ? call.machine().lastError : ERROR_SUCCESS);
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     DWORD* returned, OVERLAPPED* overlapped) {
  Call call("DeviceIoControl", Args(device, code, in, inSize, out, outSize, returned, overlapped));
  sim::Machine& m = call.machine();
  auto entry = m.LookupHandle(device);
  if (entry == nullptr || entry->kind != sim::HandleKind::Device)
    return call.Return<BOOL>(FALSE, ERROR_INVALID_HANDLE);
  const auto* inBytes = static_cast<const BYTE*>(in);
  sim::IoctlRecord record{code, {}, outSize, false, {}};
  const bool recorded = m.varn.recordIoctls && (m.varn.recordOnly == 0 || m.varn.recordOnly == code);
  if (inBytes != nullptr && recorded) record.input.assign(inBytes, inBytes + inSize);
  DWORD got = 0;
  const bool ok = !call.injected() && overlapped == nullptr &&
                  Control(m, code, inBytes, inSize, static_cast<BYTE*>(out), outSize, got);
  if (recorded) {
    record.succeeded = ok;
    if (ok && out != nullptr) {
      const auto* outBytes = static_cast<const BYTE*>(out);
      record.output.assign(outBytes, outBytes + got);
    }
    m.varn.ioctls.push_back(std::move(record));
  }
  if (returned != nullptr) *returned = ok ? got : 0;
  if (!ok && !m.varn.unheldAtFailure) m.varn.unheldAtFailure = m.varn.unheldReadCount;
  return ok ? call.Return<BOOL>(TRUE) : call.Return<BOOL>(FALSE, ERROR_GEN_FAILURE);
}

}  // namespace win32
