// Reads a PE file's export and import tables, its sections and version fields from its bytes, without
// loading it.
#pragma once

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace tarn_windows {

class PeImage {
 public:
  explicit PeImage(std::string bytes) : bytes_(std::move(bytes)) {
    if (bytes_.size() < 0x40 || bytes_.compare(0, 2, "MZ") != 0) return;
    const std::uint32_t pe = U32(0x3C);
    if (pe + 24 > bytes_.size() || bytes_.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return;
    const std::uint16_t sections = U16(pe + 6);
    const std::uint16_t optionalSize = U16(pe + 20);
    optional_ = pe + 24;
    if (U16(optional_) != 0x10B) return;  // a 32-bit image
    sections_ = optional_ + optionalSize;
    sectionCount_ = sections;
    valid_ = true;
  }

  bool valid() const { return valid_; }
  // The machine field: 0x14C for x86.
  std::uint16_t machine() const { return U16(optional_ - 20); }

  struct Exports {
    std::string dllName;
    std::uint32_t base = 0;
    std::uint32_t functionCount = 0;
    std::vector<std::pair<std::string, std::uint32_t>> names;  // name and its ordinal
  };
  Exports ReadExports() const {
    Exports out;
    const std::uint32_t dir = Offset(U32(optional_ + 96));
    if (dir == 0) return out;
    out.dllName = Text(Offset(U32(dir + 12)));
    out.base = U32(dir + 16);
    out.functionCount = U32(dir + 20);
    const std::uint32_t nameCount = U32(dir + 24);
    const std::uint32_t names = Offset(U32(dir + 32));
    const std::uint32_t ordinals = Offset(U32(dir + 36));
    for (std::uint32_t i = 0; i < nameCount; ++i)
      out.names.emplace_back(Text(Offset(U32(names + 4 * i))), U16(ordinals + 2 * i) + out.base);
    return out;
  }

  // The sections' names; a long name ("/4") is read from the string table after the COFF symbols.
  std::vector<std::string> SectionNames() const {
    std::vector<std::string> out;
    const std::size_t strings = U32(optional_ - 12) + 18 * std::size_t{symbolCount()};
    for (std::uint16_t i = 0; i < sectionCount_; ++i) {
      const std::string name = bytes_.substr(sections_ + 40 * i, 8).c_str();
      out.push_back(name.size() > 1 && name[0] == '/' ? Text(strings + std::stoul(name.substr(1))) : name);
    }
    return out;
  }
  std::uint32_t symbolCount() const { return U32(optional_ - 8); }

  // The optional header's fields that decide which Windows accepts the image.
  std::uint16_t majorOsVersion() const { return U16(optional_ + 40); }
  std::uint16_t minorOsVersion() const { return U16(optional_ + 42); }
  std::uint16_t majorSubsystemVersion() const { return U16(optional_ + 48); }
  std::uint16_t minorSubsystemVersion() const { return U16(optional_ + 50); }
  std::uint16_t subsystem() const { return U16(optional_ + 68); }

  // Every imported function as "DLL Name" (an import by ordinal as "DLL #N"), the DLL's name in
  // capitals as the loader compares it.
  std::set<std::string> ImportedFunctions() const {
    std::set<std::string> out;
    std::uint32_t entry = Offset(U32(optional_ + 104));
    if (entry == 0) return out;
    for (; U32(entry + 12) != 0; entry += 20) {
      std::string dll = Text(Offset(U32(entry + 12)));
      for (char& c : dll)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      // The lookup table, or the address table where a linker left the lookup table out.
      std::uint32_t thunk = Offset(U32(entry) != 0 ? U32(entry) : U32(entry + 16));
      for (; thunk != 0 && U32(thunk) != 0; thunk += 4) {
        const std::uint32_t value = U32(thunk);
        if (value & 0x80000000u)
          out.insert(dll + " #" + std::to_string(value & 0xFFFF));
        else
          out.insert(dll + " " + Text(Offset(value) == 0 ? 0 : Offset(value) + 2));
      }
    }
    return out;
  }

  std::vector<std::string> ImportedDlls() const {
    std::vector<std::string> out;
    std::uint32_t entry = Offset(U32(optional_ + 104));
    if (entry == 0) return out;
    for (; U32(entry + 12) != 0; entry += 20) out.push_back(Text(Offset(U32(entry + 12))));
    return out;
  }

 private:
  std::uint16_t U16(std::size_t at) const {
    std::uint16_t v = 0;
    if (at + 2 <= bytes_.size()) std::memcpy(&v, bytes_.data() + at, 2);
    return v;
  }
  std::uint32_t U32(std::size_t at) const {
    std::uint32_t v = 0;
    if (at + 4 <= bytes_.size()) std::memcpy(&v, bytes_.data() + at, 4);
    return v;
  }
  std::string Text(std::size_t at) const {
    if (at == 0 || at >= bytes_.size()) return {};
    return std::string(bytes_.c_str() + at);
  }
  // The file offset of a relative virtual address, or 0.
  std::uint32_t Offset(std::uint32_t rva) const {
    if (!valid_ || rva == 0) return 0;
    for (std::uint16_t i = 0; i < sectionCount_; ++i) {
      const std::size_t s = sections_ + 40 * i;
      const std::uint32_t va = U32(s + 12), size = U32(s + 16), raw = U32(s + 20);
      if (rva >= va && rva < va + size) return raw + (rva - va);
    }
    return 0;
  }

  std::string bytes_;
  bool valid_ = false;
  std::size_t optional_ = 0, sections_ = 0;
  std::uint16_t sectionCount_ = 0;
};

}  // namespace tarn_windows
