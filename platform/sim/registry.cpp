#include "platform/sim/registry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr win32::DWORD kRegExpandSz = 2;
constexpr win32::DWORD kRegBinary = 3;
constexpr win32::DWORD kRegDword = 4;
constexpr win32::LSTATUS kErrorBadPathname = 161;  // ERROR_BAD_PATHNAME
constexpr char kMachineRoot[] = "HKEY_LOCAL_MACHINE";

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool SameName(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// Joins the non-empty components of a key path with single backslashes.
std::string CleanPath(const std::string& path) {
  std::string out;
  for (std::size_t at = 0; at <= path.size();) {
    std::size_t end = path.find('\\', at);
    if (end == std::string::npos) end = path.size();
    if (end > at) out += (out.empty() ? "" : "\\") + path.substr(at, end - at);
    at = end + 1;
  }
  return out;
}

std::string Quote(const std::vector<std::uint8_t>& bytes) {
  std::string out = "\"";
  for (std::uint8_t b : bytes) {
    if (b == '\\' || b == '"') out += '\\';
    out += static_cast<char>(b);
  }
  return out + "\"";
}

std::string Quote(const std::string& text) {
  return Quote(std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::string HexList(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
    out += (i == 0 ? "" : ",") + std::string(buf);
  }
  return out;
}

// A REG_SZ that .reg string syntax gives back byte for byte: one terminating zero, none inside,
// and no line breaks.
bool WritableAsString(const RegValue& v) {
  if (v.type != win32::REG_SZ || v.data.empty() || v.data.back() != 0) return false;
  return std::none_of(v.data.begin(), v.data.end() - 1,
                      [](std::uint8_t b) { return b == 0 || b == '\r' || b == '\n'; });
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// One change that a .reg text asks for.
struct RegChange {
  enum Kind { AddKey, SetValue, DeleteValue } kind;
  std::string key;
  RegValue value;
};

class RegParser {
 public:
  explicit RegParser(const std::string& text) {
    std::size_t at = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) at = 3;
    while (at <= text.size()) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines_.push_back(line);
      at = end + 1;
    }
  }

  // Empty on success, else the message.
  std::string Parse(std::vector<RegChange>& changes) {
    std::size_t i = 0;
    while (i < lines_.size() && Trim(lines_[i]).empty()) ++i;
    if (i == lines_.size() || Trim(lines_[i]) != "REGEDIT4")
      return At(i, "not a REGEDIT4 file: the first line must be \"REGEDIT4\"");
    std::optional<std::string> key;
    for (++i; i < lines_.size(); ++i) {
      const std::string line = Trim(lines_[i]);
      if (line.empty() || line[0] == ';') continue;
      std::string error;
      if (line[0] == '[') {
        error = ParseKey(line, key);
        if (error.empty()) changes.push_back({RegChange::AddKey, *key, {}});
      } else if (line[0] == '"' || line[0] == '@') {
        if (!key) return At(i, "a value before any [key] line");
        error = ParseValue(line, i, *key, changes);
      } else {
        error = "not a [key] line, a value or a comment";
      }
      if (!error.empty()) return At(i, error);
    }
    return {};
  }

 private:
  std::string At(std::size_t index, const std::string& what) const {
    return "line " + std::to_string(index + 1) + ": " + what;
  }

  static std::string ParseKey(const std::string& line, std::optional<std::string>& key) {
    if (line.back() != ']') return "a key line must end with ']'";
    const std::string inner = line.substr(1, line.size() - 2);
    if (!inner.empty() && inner[0] == '-') return "deleting keys is not supported";
    const std::size_t cut = inner.find('\\');
    const std::string root = inner.substr(0, cut);
    if (!SameName(root, kMachineRoot))
      return "only HKEY_LOCAL_MACHINE keys can be loaded, not \"" + root + "\"";
    key = cut == std::string::npos ? std::string() : CleanPath(inner.substr(cut + 1));
    return {};
  }

  // Reads a quoted text starting at `at` (on the opening quote); leaves `at` after the closing one.
  static std::string ParseQuoted(const std::string& line, std::size_t& at, std::string& out) {
    for (++at; at < line.size(); ++at) {
      const char c = line[at];
      if (c == '"') {
        ++at;
        return {};
      }
      if (c == '\\') {
        if (at + 1 >= line.size() || (line[at + 1] != '\\' && line[at + 1] != '"'))
          return "unknown escape in a quoted text (only \\\\ and \\\" are allowed)";
        out += line[++at];
      } else {
        out += c;
      }
    }
    return "a quoted text has no closing quote";
  }

  std::string ParseValue(const std::string& line, std::size_t& i, const std::string& key,
                         std::vector<RegChange>& changes) {
    RegValue value;
    std::size_t at = 0;
    if (line[0] == '@') {
      at = 1;
    } else if (std::string error = ParseQuoted(line, at, value.name); !error.empty()) {
      return error;
    }
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at >= line.size() || line[at] != '=') return "a value name must be followed by '='";
    std::string data = Trim(line.substr(at + 1));
    if (data == "-") {
      changes.push_back({RegChange::DeleteValue, key, std::move(value)});
      return {};
    }
    if (!data.empty() && data[0] == '"') {
      std::size_t q = 0;
      std::string text;
      if (std::string error = ParseQuoted(data, q, text); !error.empty()) return error;
      if (q != data.size()) return "unexpected text after the closing quote";
      value.type = win32::REG_SZ;
      value.data.assign(text.begin(), text.end());
      value.data.push_back(0);
    } else if (data.compare(0, 6, "dword:") == 0) {
      const std::string digits = data.substr(6);
      if (digits.size() != 8 ||
          !std::all_of(digits.begin(), digits.end(), [](char c) { return HexDigit(c) >= 0; }))
        return "dword: needs exactly eight hexadecimal digits";
      const auto v = static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16));
      value.type = kRegDword;
      for (int b = 0; b < 4; ++b) value.data.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
    } else if (data.compare(0, 3, "hex") == 0) {
      std::size_t colon = data.find(':');
      if (colon == std::string::npos) return "hex data needs a ':'";
      const std::string kind = data.substr(3, colon - 3);
      if (kind.empty()) {
        value.type = kRegBinary;
      } else {
        if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' || kind.size() > 10 ||
            !std::all_of(kind.begin() + 1, kind.end() - 1, [](char c) { return HexDigit(c) >= 0; }))
          return "hex(N): needs a hexadecimal type number N";
        value.type = static_cast<win32::DWORD>(std::stoul(kind.substr(1, kind.size() - 2), nullptr, 16));
      }
      std::string list = Trim(data.substr(colon + 1));
      // A list may go on over lines that end with a backslash.
      while (!list.empty() && list.back() == '\\') {
        if (i + 1 >= lines_.size()) return "the hex list goes on past the end of the text";
        list.pop_back();
        list += Trim(lines_[++i]);
      }
      if (std::string error = ParseHexList(list, value.data); !error.empty()) return error;
    } else {
      return "unknown value data (expected \"text\", dword:, hex: or hex(N):)";
    }
    changes.push_back({RegChange::SetValue, key, std::move(value)});
    return {};
  }

  static std::string ParseHexList(const std::string& list, std::vector<std::uint8_t>& out) {
    if (Trim(list).empty()) return {};
    for (std::size_t at = 0; at <= list.size();) {
      std::size_t end = list.find(',', at);
      if (end == std::string::npos) end = list.size();
      const std::string item = Trim(list.substr(at, end - at));
      if (item.empty() || item.size() > 2 || HexDigit(item[0]) < 0 ||
          (item.size() == 2 && HexDigit(item[1]) < 0))
        return "\"" + item + "\" in a hex list is not a byte in hexadecimal";
      out.push_back(static_cast<std::uint8_t>(std::stoul(item, nullptr, 16)));
      at = end + 1;
    }
    return {};
  }

  std::vector<std::string> lines_;
};

}  // namespace

RegValue* RegKey::Find(const std::string& name) {
  for (RegValue& v : values)
    if (SameName(v.name, name)) return &v;
  return nullptr;
}

const RegValue* RegKey::Find(const std::string& name) const { return const_cast<RegKey*>(this)->Find(name); }

Registry::Registry() { AddKey(""); }

std::string Registry::KeyOf(const std::string& path) { return Upper(CleanPath(path)); }

RegKey& Registry::AddKey(const std::string& path, win32::REGSAM allowed) {
  const std::string clean = CleanPath(path);
  std::string prefix;
  for (std::size_t at = 0;;) {
    const std::size_t end = std::min(clean.find('\\', at), clean.size());
    prefix = clean.substr(0, end);
    const std::string key = Upper(prefix);
    if (keys_.count(key) == 0) {
      keys_[key].path = prefix;
      order_.push_back(key);
    }
    if (end >= clean.size()) break;
    at = end + 1;
  }
  RegKey& key = keys_[Upper(clean)];
  key.allowed = allowed;
  return key;
}

RegKey* Registry::FindKey(const std::string& path) {
  auto it = keys_.find(KeyOf(path));
  return it == keys_.end() ? nullptr : &it->second;
}

const RegKey* Registry::FindKey(const std::string& path) const {
  return const_cast<Registry*>(this)->FindKey(path);
}

std::vector<const RegKey*> Registry::Keys() const {
  std::vector<const RegKey*> out;
  for (const std::string& key : order_) out.push_back(&keys_.at(key));
  return out;
}

void Registry::SetValue(const std::string& path, const std::string& name, win32::DWORD type,
                        std::vector<std::uint8_t> data) {
  RegKey* key = FindKey(path);
  if (key == nullptr) key = &AddKey(path);
  RegValue* value = key->Find(name);
  if (value == nullptr) value = &key->values.emplace_back(RegValue{name, type, {}});
  value->type = type;
  value->data = std::move(data);
}

void Registry::SetString(const std::string& path, const std::string& name, const std::string& text) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  SetValue(path, name, win32::REG_SZ, std::move(data));
}

const RegValue* Registry::GetValue(const std::string& path, const std::string& name) const {
  const RegKey* key = FindKey(path);
  return key == nullptr ? nullptr : key->Find(name);
}

std::optional<std::string> Registry::GetString(const std::string& path, const std::string& name) const {
  const RegValue* value = GetValue(path, name);
  if (value == nullptr) return std::nullopt;
  const auto end = std::find(value->data.begin(), value->data.end(), std::uint8_t{0});
  return std::string(value->data.begin(), end);
}

bool Registry::DeleteValue(const std::string& path, const std::string& name) {
  RegKey* key = FindKey(path);
  if (key == nullptr) return false;
  const auto it = std::find_if(key->values.begin(), key->values.end(),
                               [&](const RegValue& v) { return SameName(v.name, name); });
  if (it == key->values.end()) return false;
  key->values.erase(it);
  return true;
}

std::string Registry::LoadReg(const std::string& text) {
  std::vector<RegChange> changes;
  if (std::string error = RegParser(text).Parse(changes); !error.empty()) return error;
  for (RegChange& c : changes) {
    switch (c.kind) {
      case RegChange::AddKey:
        if (FindKey(c.key) == nullptr) AddKey(c.key);
        break;
      case RegChange::SetValue:
        SetValue(c.key, c.value.name, c.value.type, std::move(c.value.data));
        break;
      case RegChange::DeleteValue:
        DeleteValue(c.key, c.value.name);
        break;
    }
  }
  return {};
}

std::string Registry::SaveReg() const {
  std::string out = "REGEDIT4\r\n";
  for (const std::string& name : order_) {
    const RegKey& key = keys_.at(name);
    // A key with values, or a leaf, is written; loading it brings its parents back.
    const bool hasChild = std::any_of(order_.begin(), order_.end(), [&](const std::string& other) {
      return name.empty() ? !other.empty() : other.compare(0, name.size() + 1, name + "\\") == 0;
    });
    if (key.values.empty() && (hasChild || name.empty())) continue;
    out += "\r\n[" + std::string(kMachineRoot) + (key.path.empty() ? "" : "\\" + key.path) + "]\r\n";
    for (const RegValue& v : key.values) {
      out += v.name.empty() ? "@=" : Quote(v.name) + "=";
      if (WritableAsString(v)) {
        out += Quote(std::vector<std::uint8_t>(v.data.begin(), v.data.end() - 1));
      } else if (v.type == kRegDword && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x",
                      static_cast<unsigned>(v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                                            (static_cast<std::uint32_t>(v.data[3]) << 24)));
        out += buf;
      } else if (v.type == kRegBinary) {
        out += "hex:" + HexList(v.data);
      } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        out += buf + HexList(v.data);
      }
      out += "\r\n";
    }
  }
  return out + "\r\n";
}

std::vector<RunOnceEntry> Registry::RunOnce() {
  std::vector<RunOnceEntry> run;
  RegKey* key = FindKey(kRunOnceKey);
  if (key == nullptr) return run;
  std::vector<RegValue> kept;
  for (RegValue& v : key->values) {
    if (v.type != win32::REG_SZ && v.type != kRegExpandSz) {
      kept.push_back(std::move(v));
      continue;
    }
    const auto end = std::find(v.data.begin(), v.data.end(), std::uint8_t{0});
    run.push_back({v.name, std::string(v.data.begin(), end)});
  }
  key->values = std::move(kept);
  return run;
}

// ---- the calls

const Registry::OpenKey* Registry::Handle(win32::HKEY key) const {
  static const OpenKey machine{"", win32::KEY_ALL_ACCESS};
  if (key == win32::HKEY_LOCAL_MACHINE) return &machine;
  auto it = open_.find(reinterpret_cast<std::uintptr_t>(key));
  return it == open_.end() ? nullptr : &it->second;
}

win32::LSTATUS Registry::Open(win32::HKEY root, const char* subKey, win32::REGSAM access,
                              win32::HKEY* result) {
  if (result == nullptr) return win32::ERROR_INVALID_PARAMETER;
  *result = nullptr;
  const OpenKey* base = Handle(root);
  if (base == nullptr) return win32::ERROR_INVALID_HANDLE;
  const std::string sub = subKey == nullptr ? "" : subKey;
  if (!sub.empty() && sub[0] == '\\') return kErrorBadPathname;
  const std::string path = base->key.empty() ? KeyOf(sub) : KeyOf(base->key + "\\" + sub);
  auto it = keys_.find(path);
  if (it == keys_.end()) return win32::ERROR_FILE_NOT_FOUND;
  if ((access & ~it->second.allowed) != 0) return win32::ERROR_ACCESS_DENIED;
  const std::uintptr_t handle = nextHandle_;
  nextHandle_ += 4;
  open_[handle] = {path, access};
  *result = reinterpret_cast<win32::HKEY>(handle);
  return win32::ERROR_SUCCESS;
}

win32::LSTATUS Registry::Query(win32::HKEY key, const char* name, win32::DWORD* type, win32::BYTE* data,
                               win32::DWORD* size) const {
  const OpenKey* open = Handle(key);
  if (open == nullptr) return win32::ERROR_INVALID_HANDLE;
  if ((open->access & win32::KEY_QUERY_VALUE) == 0) return win32::ERROR_ACCESS_DENIED;
  if (data != nullptr && size == nullptr) return win32::ERROR_INVALID_PARAMETER;
  const RegValue* value = keys_.at(open->key).Find(name == nullptr ? "" : name);
  if (value == nullptr) return win32::ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = value->type;
  const auto needed = static_cast<win32::DWORD>(value->data.size());
  if (data == nullptr) {
    if (size != nullptr) *size = needed;
    return win32::ERROR_SUCCESS;
  }
  if (*size < needed) {
    *size = needed;
    return win32::ERROR_MORE_DATA;
  }
  if (needed > 0) std::memcpy(data, value->data.data(), needed);
  *size = needed;
  return win32::ERROR_SUCCESS;
}

win32::LSTATUS Registry::Set(win32::HKEY key, const char* name, win32::DWORD type, const win32::BYTE* data,
                             win32::DWORD size) {
  const OpenKey* open = Handle(key);
  if (open == nullptr) return win32::ERROR_INVALID_HANDLE;
  if ((open->access & win32::KEY_SET_VALUE) == 0) return win32::ERROR_ACCESS_DENIED;
  if (data == nullptr && size > 0) return win32::ERROR_INVALID_PARAMETER;
  std::vector<std::uint8_t> bytes;
  if (size > 0) bytes.assign(data, data + size);
  SetValue(keys_.at(open->key).path, name == nullptr ? "" : name, type, std::move(bytes));
  return win32::ERROR_SUCCESS;
}

win32::LSTATUS Registry::Delete(win32::HKEY key, const char* name) {
  const OpenKey* open = Handle(key);
  if (open == nullptr) return win32::ERROR_INVALID_HANDLE;
  if ((open->access & win32::KEY_SET_VALUE) == 0) return win32::ERROR_ACCESS_DENIED;
  return DeleteValue(keys_.at(open->key).path, name == nullptr ? "" : name) ? win32::ERROR_SUCCESS
                                                                            : win32::ERROR_FILE_NOT_FOUND;
}

win32::LSTATUS Registry::Close(win32::HKEY key) {
  if (key == win32::HKEY_LOCAL_MACHINE) return win32::ERROR_SUCCESS;
  return open_.erase(reinterpret_cast<std::uintptr_t>(key)) == 1 ? win32::ERROR_SUCCESS
                                                                 : win32::ERROR_INVALID_HANDLE;
}

}  // namespace sim
