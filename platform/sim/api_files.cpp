// Simulated backend: directory searches, disk geometry, file size and reads, the current directory.
#include "platform/sim/api.h"

namespace win32 {

using sim::api::Args;
using sim::api::Call;

namespace {

constexpr DWORD kErrorInvalidName = 123;  // ERROR_INVALID_NAME

// The file system's open id behind a file handle; 0 when `handle` is no open file.
int FileId(sim::Machine& m, HANDLE handle) {
  auto entry = m.LookupHandle(handle);
  return entry && entry->kind == sim::HandleKind::File ? entry->id : 0;
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* found) {
  Call call("FindFirstFileA", Args(pattern, found));
  if (call.injected()) return call.Return(INVALID_HANDLE_VALUE, ERROR_GEN_FAILURE);
  if (pattern == nullptr || found == nullptr)
    return call.Return(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
  sim::Machine& m = call.machine();
  const DWORD error = m.files.FindFirst(pattern, *found);
  if (error != ERROR_SUCCESS) return call.Return(INVALID_HANDLE_VALUE, error);
  return call.Return(m.NewHandle(sim::HandleKind::Find, 0));
}

BOOL FindClose(HANDLE search) {
  Call call("FindClose", Args(search));
  sim::Machine& m = call.machine();
  auto entry = m.LookupHandle(search);
  if (!entry || entry->kind != sim::HandleKind::Find) return call.Return<BOOL>(FALSE, ERROR_INVALID_HANDLE);
  // An injected fault reports failure; the search is released all the same, as the platform does.
  m.ReleaseHandle(search);
  return call.injected() ? call.Return<BOOL>(FALSE, ERROR_GEN_FAILURE) : call.Return<BOOL>(TRUE);
}

BOOL GetDiskFreeSpaceA(LPCSTR root, DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                       DWORD* totalClusters) {
  Call call("GetDiskFreeSpaceA", Args(root));
  if (call.injected()) return call.Return<BOOL>(FALSE, ERROR_GEN_FAILURE);
  sim::Drive drive;
  const DWORD error = call.machine().files.DiskFreeSpace(root, drive);
  if (error != ERROR_SUCCESS) return call.Return<BOOL>(FALSE, error);
  if (sectorsPerCluster != nullptr) *sectorsPerCluster = drive.sectorsPerCluster;
  if (bytesPerSector != nullptr) *bytesPerSector = drive.bytesPerSector;
  if (freeClusters != nullptr) *freeClusters = drive.freeClusters;
  if (totalClusters != nullptr) *totalClusters = drive.totalClusters;
  return call.Return<BOOL>(TRUE);
}

DWORD GetFileSize(HANDLE file, DWORD* sizeHigh) {
  Call call("GetFileSize", Args(file, sizeHigh));
  sim::Machine& m = call.machine();
  const int id = FileId(m, file);
  if (id == 0) return call.Return(INVALID_FILE_SIZE, ERROR_INVALID_HANDLE);
  if (call.injected()) return call.Return(INVALID_FILE_SIZE, ERROR_GEN_FAILURE);
  std::uint64_t size = 0;
  m.files.Size(id, size);
  if (sizeHigh != nullptr) *sizeHigh = static_cast<DWORD>(size >> 32);
  // A size whose low part reads as INVALID_FILE_SIZE is told apart by the last error.
  m.lastError = ERROR_SUCCESS;
  return call.Return(static_cast<DWORD>(size));
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* got, OVERLAPPED* overlapped) {
  Call call("ReadFile", Args(file, toRead, got, overlapped));
  sim::Machine& m = call.machine();
  if (got == nullptr && overlapped == nullptr) return call.Return<BOOL>(FALSE, ERROR_INVALID_PARAMETER);
  DWORD read = 0;
  const int id = FileId(m, file);
  const DWORD error =
      id == 0 ? ERROR_INVALID_HANDLE : m.files.Read(id, buffer, toRead, read, call.injected());
  if (got != nullptr) *got = read;
  return error == ERROR_SUCCESS ? call.Return<BOOL>(TRUE) : call.Return<BOOL>(FALSE, error);
}

BOOL SetCurrentDirectoryA(LPCSTR path) {
  Call call("SetCurrentDirectoryA", Args(path));
  if (call.injected()) return call.Return<BOOL>(FALSE, ERROR_GEN_FAILURE);
  if (path == nullptr || sim::HasWildcard(path)) return call.Return<BOOL>(FALSE, kErrorInvalidName);
  if (!call.machine().files.SetCurrentDirectory(path)) return call.Return<BOOL>(FALSE, ERROR_FILE_NOT_FOUND);
  return call.Return<BOOL>(TRUE);
}

}  // namespace win32
