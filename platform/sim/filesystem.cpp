#include "platform/sim/filesystem.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

#include "platform/sim/machine.h"

namespace sim {

namespace {

constexpr win32::DWORD kErrorInvalidName = 123;  // ERROR_INVALID_NAME

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// A '?' may stand in a name that the machine is built with: it shows a character that the ANSI code
// page cannot hold, which the platform's A calls give as '?'. No call can name such an entry: the
// calls refuse a path with a wildcard in it (HasWildcard).
bool ValidComponent(const std::string& part) {
  for (char c : part)
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"|*", c) != nullptr) return false;
  return true;
}

// The platform's name matching: '*' any run of characters, '?' one character, case ignored.
bool Matches(const std::string& mask, const std::string& name) {
  std::size_t m = 0, n = 0, starM = std::string::npos, starN = 0;
  auto same = [](char a, char b) {
    return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
  };
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || (mask[m] != '*' && same(mask[m], name[n])))) {
      ++m;
      ++n;
    } else if (m < mask.size() && mask[m] == '*') {
      starM = m++;
      starN = n;
    } else if (starM != std::string::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

void CopyName(char* out, std::size_t size, const std::string& name) {
  const std::size_t n = std::min(name.size(), size - 1);
  std::memcpy(out, name.data(), n);
  out[n] = '\0';
}

}  // namespace

std::string ProgramFileName(std::string name) {
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
  const std::size_t base = name.find_last_of("\\/:");
  if (name.find('.', base == std::string::npos ? 0 : base + 1) == std::string::npos) name += ".EXE";
  return name;
}

bool HasWildcard(const std::string& path) { return path.find_first_of("?*") != std::string::npos; }

FileSystem::FileSystem() { AddDrive('C'); }

Drive& FileSystem::AddDrive(char letter) {
  const char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  if (drive < 'A' || drive > 'Z') throw std::invalid_argument(std::string("not a drive letter: ") + letter);
  const std::string key = std::string(1, drive) + ":";
  if (nodes_.count(key) == 0) {
    Node root;
    root.entry.name = key;
    root.entry.folder = true;
    nodes_.emplace(key, std::move(root));
  }
  return drives_[drive];
}

std::optional<FileSystem::Resolved> FileSystem::Resolve(const std::string& name) const {
  if (name.empty()) return std::nullopt;
  if (name.size() >= 2 && IsSeparator(name[0]) && IsSeparator(name[1]))
    return std::nullopt;  // no network names
  Resolved current;
  current.drive = current_[0];
  for (std::size_t at = 3; at < current_.size();) {
    const std::size_t end = current_.find('\\', at);
    current.parts.push_back(current_.substr(at, end - at));
    at = end == std::string::npos ? current_.size() : end + 1;
  }

  Resolved r;
  std::string rest = name;
  bool absolute = false;
  if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':') {
    r.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    rest = name.substr(2);
    // "X:name" is relative to the drive's current directory; only one drive has one here.
    absolute = (!rest.empty() && IsSeparator(rest[0])) || r.drive != current.drive;
  } else {
    r.drive = current.drive;
    absolute = IsSeparator(name[0]);
  }
  if (!absolute) r.parts = current.parts;
  for (std::size_t at = 0; at <= rest.size();) {
    std::size_t end = at;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    const std::string part = rest.substr(at, end - at);
    if (part == "..") {
      if (!r.parts.empty()) r.parts.pop_back();
    } else if (!part.empty() && part != ".") {
      if (!ValidComponent(part)) return std::nullopt;
      r.parts.push_back(part);
    }
    at = end + 1;
  }
  return r;
}

std::string FileSystem::Key(const Resolved& r, std::size_t count) {
  std::string key = std::string(1, r.drive) + ":";
  for (std::size_t i = 0; i < count; ++i) key += "\\" + Upper(r.parts[i]);
  return key;
}

std::string FileSystem::Display(const Resolved& r, std::size_t count) {
  std::string path = std::string(1, r.drive) + ":";
  if (count == 0) return path + "\\";
  for (std::size_t i = 0; i < count; ++i) path += "\\" + r.parts[i];
  return path;
}

FileSystem::Node* FileSystem::NodeAt(const std::string& key) {
  auto it = nodes_.find(key);
  return it == nodes_.end() ? nullptr : &it->second;
}

const FileSystem::Node* FileSystem::NodeAt(const std::string& key) const {
  auto it = nodes_.find(key);
  return it == nodes_.end() ? nullptr : &it->second;
}

FileEntry& FileSystem::Add(const std::string& path, bool folder) {
  const auto r = Resolve(path);
  if (!r) throw std::invalid_argument("not a valid file name: " + path);
  AddDrive(r->drive);
  for (std::size_t i = 1; i <= r->parts.size(); ++i) {
    const bool last = i == r->parts.size();
    const std::string key = Key(*r, i);
    Node* node = NodeAt(key);
    if (node != nullptr) {
      if (!last && !node->entry.folder)
        throw std::invalid_argument("a file stands where a folder is needed: " + path);
      if (last && node->entry.folder != folder)
        throw std::invalid_argument("already there as another kind: " + path);
      continue;
    }
    Node added;
    added.entry.name = r->parts[i - 1];
    added.entry.folder = !last || folder;
    nodes_.emplace(key, std::move(added));
    NodeAt(Key(*r, i - 1))->children.push_back(key);
  }
  return NodeAt(Key(*r, r->parts.size()))->entry;
}

FileEntry& FileSystem::AddFolder(const std::string& path) { return Add(path, true); }

FileEntry& FileSystem::AddFile(const std::string& path, std::vector<std::uint8_t> content) {
  FileEntry& entry = Add(path, false);
  entry.content = std::move(content);
  return entry;
}

bool FileSystem::Remove(const std::string& path) {
  const auto r = Resolve(path);
  if (!r || r->parts.empty()) return false;
  const std::string key = Key(*r, r->parts.size());
  const Node* node = NodeAt(key);
  if (node == nullptr || !node->children.empty()) return false;
  for (const auto& [id, file] : open_)
    if (file.key == key) return false;
  if (node->entry.folder && Upper(current_ + "\\").rfind(key + "\\", 0) == 0) return false;
  std::vector<std::string>& siblings = NodeAt(Key(*r, r->parts.size() - 1))->children;
  siblings.erase(std::find(siblings.begin(), siblings.end(), key));
  nodes_.erase(key);
  return true;
}

bool FileSystem::SetCurrentDirectory(const std::string& path) {
  const auto r = Resolve(path);
  if (!r) return false;
  const Node* node = NodeAt(Key(*r, r->parts.size()));
  if (node == nullptr || !node->entry.folder) return false;
  // Listed names keep their case; the current directory takes it from the listing.
  Resolved shown = *r;
  for (std::size_t i = 1; i <= shown.parts.size(); ++i) shown.parts[i - 1] = NodeAt(Key(*r, i))->entry.name;
  current_ = Display(shown, shown.parts.size());
  return true;
}

FileEntry* FileSystem::Find(const std::string& path) {
  const auto r = Resolve(path);
  Node* node = r ? NodeAt(Key(*r, r->parts.size())) : nullptr;
  return node == nullptr ? nullptr : &node->entry;
}

const FileEntry* FileSystem::Find(const std::string& path) const {
  const auto r = Resolve(path);
  const Node* node = r ? NodeAt(Key(*r, r->parts.size())) : nullptr;
  return node == nullptr ? nullptr : &node->entry;
}

std::string FileSystem::FullPath(const std::string& name) const {
  const auto r = Resolve(name);
  return r ? Display(*r, r->parts.size()) : std::string();
}

std::string FileSystem::FindProgram(std::string name) const {
  name = ProgramFileName(name);
  const FileEntry* entry = Find(name);
  return entry == nullptr || entry->folder ? std::string() : FullPath(name);
}

std::vector<const FileEntry*> FileSystem::List(const std::string& folder) const {
  std::vector<const FileEntry*> out;
  const auto r = Resolve(folder);
  const Node* node = r ? NodeAt(Key(*r, r->parts.size())) : nullptr;
  if (node == nullptr || !node->entry.folder) return out;
  for (const std::string& key : node->children) out.push_back(&NodeAt(key)->entry);
  return out;
}

win32::DWORD FileSystem::Open(const std::string& name, win32::DWORD access, win32::DWORD shareMode,
                              win32::DWORD creation, win32::DWORD flags, int& id) {
  const auto r = HasWildcard(name) ? std::nullopt : Resolve(name);
  if (!r) return kErrorInvalidName;
  const std::string key = Key(*r, r->parts.size());
  const Node* node = NodeAt(key);
  if (node == nullptr) {
    const Node* parent = r->parts.empty() ? nullptr : NodeAt(Key(*r, r->parts.size() - 1));
    return parent != nullptr && parent->entry.folder ? win32::ERROR_FILE_NOT_FOUND
                                                     : win32::ERROR_PATH_NOT_FOUND;
  }
  // The simulated volumes are read-only: the system only ever reads files. A folder cannot be
  // opened as a file.
  if (creation != win32::OPEN_EXISTING || (access & win32::GENERIC_WRITE) != 0 || node->entry.folder)
    return win32::ERROR_ACCESS_DENIED;
  if (node->entry.heldElsewhere) return win32::ERROR_SHARING_VIOLATION;
  const bool wantsRead = (access & win32::GENERIC_READ) != 0;
  for (const auto& [otherId, other] : open_) {
    if (other.key != key) continue;
    const bool otherReads = (other.access & win32::GENERIC_READ) != 0;
    if ((wantsRead && (other.shareMode & win32::FILE_SHARE_READ) == 0) ||
        (otherReads && (shareMode & win32::FILE_SHARE_READ) == 0))
      return win32::ERROR_SHARING_VIOLATION;
  }
  id = nextOpen_++;
  open_[id] = {key, Display(*r, r->parts.size()), access, shareMode, flags, 0};
  return win32::ERROR_SUCCESS;
}

void FileSystem::Close(int id) { open_.erase(id); }

win32::DWORD FileSystem::Size(int id, std::uint64_t& size) {
  auto it = open_.find(id);
  if (it == open_.end()) return win32::ERROR_INVALID_HANDLE;
  FileEntry& entry = NodeAt(it->second.key)->entry;
  size = entry.content.size();
  if (entry.contentAfterSizeQuery) {
    entry.content = std::move(*entry.contentAfterSizeQuery);
    entry.contentAfterSizeQuery.reset();
  }
  return win32::ERROR_SUCCESS;
}

win32::DWORD FileSystem::Read(int id, void* buffer, win32::DWORD toRead, win32::DWORD& got, bool fault) {
  got = 0;
  auto it = open_.find(id);
  if (it == open_.end()) return win32::ERROR_INVALID_HANDLE;
  OpenFile& file = it->second;
  ReadRecord unlisted;
  ReadRecord& record = recordReads ? reads.emplace_back(ReadRecord{file.path, toRead, 0, false}) : unlisted;
  if ((file.access & win32::GENERIC_READ) == 0) return win32::ERROR_ACCESS_DENIED;
  if (fault) return win32::ERROR_GEN_FAILURE;
  if ((file.flags & win32::FILE_FLAG_NO_BUFFERING) != 0) {
    // Unbuffered reads move whole sectors between the disk and a sector-aligned buffer.
    const std::uint64_t sector = drives_.at(file.path[0]).bytesPerSector;
    if (toRead % sector != 0 || reinterpret_cast<std::uintptr_t>(buffer) % sector != 0 ||
        file.position % sector != 0)
      return win32::ERROR_INVALID_PARAMETER;
  }
  const std::vector<std::uint8_t>& content = NodeAt(file.key)->entry.content;
  const std::uint64_t available = content.size() > file.position ? content.size() - file.position : 0;
  got = static_cast<win32::DWORD>(std::min<std::uint64_t>(toRead, available));
  if (got > 0) std::memcpy(buffer, content.data() + file.position, got);
  file.position += got;
  record.got = got;
  record.succeeded = true;
  return win32::ERROR_SUCCESS;
}

win32::DWORD FileSystem::FindFirst(const std::string& pattern, win32::WIN32_FIND_DATAA& found) const {
  std::size_t cut = pattern.find_last_of("\\/");
  if (cut == std::string::npos && pattern.size() >= 2 && pattern[1] == ':') cut = 1;
  const std::string folder = cut == std::string::npos ? current_ : pattern.substr(0, cut + 1);
  const std::string mask = cut == std::string::npos ? pattern : pattern.substr(cut + 1);
  if (HasWildcard(folder)) return kErrorInvalidName;
  const auto r = Resolve(folder);
  const Node* node = r ? NodeAt(Key(*r, r->parts.size())) : nullptr;
  if (node == nullptr || !node->entry.folder) return win32::ERROR_PATH_NOT_FOUND;
  for (const std::string& key : node->children) {
    const FileEntry& entry = NodeAt(key)->entry;
    if (mask.empty() ||
        !(Matches(mask, entry.name) || (!entry.shortName.empty() && Matches(mask, entry.shortName))))
      continue;
    found = {};
    found.dwFileAttributes = entry.folder ? win32::FILE_ATTRIBUTE_DIRECTORY : win32::FILE_ATTRIBUTE_NORMAL;
    const std::uint64_t size = entry.folder ? 0 : entry.content.size();
    found.nFileSizeLow = static_cast<win32::DWORD>(size);
    found.nFileSizeHigh = static_cast<win32::DWORD>(size >> 32);
    CopyName(found.cFileName, sizeof found.cFileName, entry.name);
    CopyName(found.cAlternateFileName, sizeof found.cAlternateFileName, entry.shortName);
    return win32::ERROR_SUCCESS;
  }
  return win32::ERROR_FILE_NOT_FOUND;
}

win32::DWORD FileSystem::DiskFreeSpace(const char* root, Drive& answer) const {
  char drive = current_[0];
  if (root != nullptr) {
    // The platform wants a root directory with its trailing backslash ("C:\").
    const std::string text = root;
    if (text.empty() || !IsSeparator(text.back()) || HasWildcard(text)) return kErrorInvalidName;
    const auto r = Resolve(text);
    const Node* node = r ? NodeAt(Key(*r, r->parts.size())) : nullptr;
    if (node == nullptr || !node->entry.folder) return win32::ERROR_PATH_NOT_FOUND;
    drive = r->drive;
  }
  answer = drives_.at(drive);
  return win32::ERROR_SUCCESS;
}

win32::HANDLE OpenFile(Machine& machine, const std::string& name, win32::DWORD access, win32::DWORD shareMode,
                       win32::DWORD creation, win32::DWORD flags) {
  int id = 0;
  const win32::DWORD error = machine.files.Open(name, access, shareMode, creation, flags, id);
  if (error != win32::ERROR_SUCCESS) {
    machine.lastError = error;
    return win32::INVALID_HANDLE_VALUE;
  }
  FileSystem* files = &machine.files;
  return machine.NewHandle(HandleKind::File, id, [files, id] { files->Close(id); });
}

}  // namespace sim
