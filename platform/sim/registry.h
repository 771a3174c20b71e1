// Simulated machine: the registry under HKEY_LOCAL_MACHINE. Keys exist or not (the program never
// creates one) and grant some access rights; values keep their exact bytes and byte count, so a
// REG_SZ need not end in a zero. Loads and saves REGEDIT4 `.reg` text, and plays the platform's
// RunOnce processing at the next start.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace sim {

struct RegValue {
  std::string name;  // "" is the key's default value
  win32::DWORD type = win32::REG_SZ;
  std::vector<std::uint8_t> data;
};

struct RegKey {
  std::string path;                               // below HKLM, case kept; "" is HKLM itself
  win32::REGSAM allowed = win32::KEY_ALL_ACCESS;  // an open asking for more is refused
  std::vector<RegValue> values;                   // in the order they were first set
  RegValue* Find(const std::string& name);
  const RegValue* Find(const std::string& name) const;
};

// A RunOnce value as the platform runs it at the next start.
struct RunOnceEntry {
  std::string name;
  std::string commandLine;
};

inline constexpr win32::REGSAM KEY_READ = 0x20019;

class Registry {
 public:
  static constexpr char kRunOnceKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

  Registry();

  // ---- building and inspecting (paths below HKLM, case ignored)
  // Adds a key and any missing parents; an existing key keeps its values and gets `allowed`.
  RegKey& AddKey(const std::string& path, win32::REGSAM allowed = win32::KEY_ALL_ACCESS);
  RegKey* FindKey(const std::string& path);
  const RegKey* FindKey(const std::string& path) const;
  std::vector<const RegKey*> Keys() const;  // in the order they were added, HKLM itself first
  // Sets a value in an existing key (added when missing).
  void SetValue(const std::string& path, const std::string& name, win32::DWORD type,
                std::vector<std::uint8_t> data);
  // A REG_SZ as installers write it: the text and its terminating zero.
  void SetString(const std::string& path, const std::string& name, const std::string& text);
  const RegValue* GetValue(const std::string& path, const std::string& name) const;
  // A string value's text: its bytes up to the first zero; nullopt when absent.
  std::optional<std::string> GetString(const std::string& path, const std::string& name) const;
  bool DeleteValue(const std::string& path, const std::string& name);

  // ---- REGEDIT4 text
  // Merges a `.reg` text into the registry. Gives an empty text on success, else "line N: what is
  // wrong"; on error nothing is changed.
  std::string LoadReg(const std::string& text);
  // The whole registry as `.reg` text that LoadReg reads back to the same keys and exact bytes.
  std::string SaveReg() const;

  // ---- the platform at the next start: the string values of the RunOnce key, in order, each deleted
  std::vector<RunOnceEntry> RunOnce();

  // ---- what the simulated calls use; each gives the platform's status code
  win32::LSTATUS Open(win32::HKEY root, const char* subKey, win32::REGSAM access, win32::HKEY* result);
  win32::LSTATUS Query(win32::HKEY key, const char* name, win32::DWORD* type, win32::BYTE* data,
                       win32::DWORD* size) const;
  win32::LSTATUS Set(win32::HKEY key, const char* name, win32::DWORD type, const win32::BYTE* data,
                     win32::DWORD size);
  win32::LSTATUS Delete(win32::HKEY key, const char* name);
  win32::LSTATUS Close(win32::HKEY key);
  std::size_t OpenKeyCount() const { return open_.size(); }

 private:
  struct OpenKey {
    std::string key;  // upper-case path
    win32::REGSAM access = 0;
  };
  static std::string KeyOf(const std::string& path);
  const OpenKey* Handle(win32::HKEY key) const;

  std::map<std::string, RegKey> keys_;  // by upper-case path
  std::vector<std::string> order_;
  std::map<std::uintptr_t, OpenKey> open_;
  std::uintptr_t nextHandle_ = 0x1000;
};

}  // namespace sim
