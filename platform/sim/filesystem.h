// Simulated machine: the file system. Drives with a sector size, folders whose entries are listed in
// the order they were added (as a FAT volume lists them), files with content, a current directory,
// files held open without sharing, and unbuffered reads that follow the platform's rules.
// Names are Windows paths ("C:\\TARN\\BIOS\\A.HDR"), compared without regard to case; relative
// names resolve against the current directory.
// A '?' in a name the machine is built with stands for a character that the ANSI code page cannot
// hold: the A calls show it as '?' and, as '?' is a wildcard, can name no path through it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace sim {

class Machine;

struct Drive {
  win32::DWORD bytesPerSector = 512;
  win32::DWORD sectorsPerCluster = 8;
  win32::DWORD freeClusters = 0x40000;
  win32::DWORD totalClusters = 0x80000;
};

// A file or folder as its folder lists it.
struct FileEntry {
  std::string name;       // as listed, case kept
  std::string shortName;  // the 8.3 alias the platform also matches patterns against; empty: none
  bool folder = false;
  std::vector<std::uint8_t> content;
  // When set, becomes the content right after GetFileSize has answered for an open of this file: the
  // file grows or shrinks between the size query and the reads.
  std::optional<std::vector<std::uint8_t>> contentAfterSizeQuery;
  bool heldElsewhere = false;  // another process holds it open without sharing
};

// One ReadFile on a file, as the file system answered it.
struct ReadRecord {
  std::string path;
  win32::DWORD asked = 0;
  win32::DWORD got = 0;
  bool succeeded = false;
};

class FileSystem {
 public:
  FileSystem();

  // ---- building (throws std::invalid_argument for a name that cannot be added)
  Drive& AddDrive(char letter);
  // Adds a folder and any missing parents; drives are added as needed.
  FileEntry& AddFolder(const std::string& path);
  // Adds a file (replacing the content of one that exists) and any missing parent folders.
  FileEntry& AddFile(const std::string& path, std::vector<std::uint8_t> content);
  // Removes a file or an empty folder that nothing holds open; false when it cannot.
  bool Remove(const std::string& path);

  // The current directory, a full path ("C:\\" for a drive's root).
  const std::string& CurrentDirectory() const { return current_; }
  // Makes an existing folder current; false when `path` names none. As the machine's builder may,
  // this reaches a folder whose name holds a '?'; SetCurrentDirectoryA refuses one (HasWildcard).
  bool SetCurrentDirectory(const std::string& path);

  // ---- inspecting
  FileEntry* Find(const std::string& path);
  const FileEntry* Find(const std::string& path) const;
  // The full path that `name` resolves to; empty when it cannot be resolved.
  std::string FullPath(const std::string& name) const;
  // The full path of the program file that `name` names as the platform looks for one: quotes
  // around it dropped, ".EXE" added to a name without an extension, a relative name taken from the
  // current directory. Empty when no such file exists.
  std::string FindProgram(std::string name) const;
  // Entries of a folder in listing order; empty when it names no folder.
  std::vector<const FileEntry*> List(const std::string& folder) const;
  std::size_t OpenFileCount() const { return open_.size(); }
  std::vector<ReadRecord> reads;
  bool recordReads = true;  // false: reads are carried out but not listed

  // ---- what the simulated calls use; each gives ERROR_SUCCESS or the platform's error code
  win32::DWORD Open(const std::string& name, win32::DWORD access, win32::DWORD shareMode,
                    win32::DWORD creation, win32::DWORD flags, int& id);
  void Close(int id);
  bool IsOpen(int id) const { return open_.count(id) != 0; }
  win32::DWORD Size(int id, std::uint64_t& size);
  // `fault`: the read fails as a disk error would (an injected fault).
  win32::DWORD Read(int id, void* buffer, win32::DWORD toRead, win32::DWORD& got, bool fault = false);
  win32::DWORD FindFirst(const std::string& pattern, win32::WIN32_FIND_DATAA& found) const;
  win32::DWORD DiskFreeSpace(const char* root, Drive& answer) const;

 private:
  struct Node {
    FileEntry entry;
    std::vector<std::string> children;  // keys, in listing order
  };
  struct OpenFile {
    std::string key;
    std::string path;
    win32::DWORD access = 0;
    win32::DWORD shareMode = 0;
    win32::DWORD flags = 0;
    std::uint64_t position = 0;
  };

  // Drive letter and components of a resolved name; nullopt when it cannot be resolved.
  struct Resolved {
    char drive = 'C';
    std::vector<std::string> parts;
  };
  std::optional<Resolved> Resolve(const std::string& name) const;
  static std::string Key(const Resolved& r, std::size_t count);
  static std::string Display(const Resolved& r, std::size_t count);
  Node* NodeAt(const std::string& key);
  const Node* NodeAt(const std::string& key) const;
  FileEntry& Add(const std::string& path, bool folder);

  std::map<char, Drive> drives_;
  std::map<std::string, Node> nodes_;  // by upper-case full path; a drive's root is "C:"
  std::map<int, OpenFile> open_;
  int nextOpen_ = 1;
  std::string current_ = "C:\\";
};

// The file name the platform runs for a program name: quotes around it dropped, ".EXE" added to a
// name without an extension.
std::string ProgramFileName(std::string name);

// Whether `path` holds a wildcard, which no platform call takes as part of a name.
bool HasWildcard(const std::string& path);

// Opens a file (not a device) for CreateFileA: returns INVALID_HANDLE_VALUE and sets the last error
// when it cannot be opened.
win32::HANDLE OpenFile(Machine& machine, const std::string& name, win32::DWORD access, win32::DWORD shareMode,
                       win32::DWORD creation, win32::DWORD flags);

}  // namespace sim
