// The dry run's small helpers that its parts share: numbers and texts as the reports write them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "zim/tokens/token_access.h"

namespace zimsim {

// The token whose setting makes the BIOS flash itself at the next start.
inline constexpr std::uint16_t kFlashToken = 92;

inline std::string Hex(std::uint64_t v, int digits = 0) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(v));
  return buf;
}

inline std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The program a command line names: its quoted first word, or its first word.
inline std::string ProgramOf(const std::string& commandLine) {
  if (!commandLine.empty() && commandLine[0] == '"') {
    const auto end = commandLine.find('"', 1);
    return commandLine.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  return commandLine.substr(0, commandLine.find_first_of(" \t"));
}

// What ZIM makes of the token table `a` found a token in, in words: why it refuses to touch it
// (nothing is read or written, "ERR3"), or that it keeps no checksum; empty for a plain write.
inline std::string TokenTableNote(const CTokenAccess& a) {
  const int at = a.ForbiddenLocation(true);
  if (at >= 0 && a.m_wIndexPort == 0x70 && at >= 0x80)
    return "location " + Hex(at, 2) + " through index port 0x70";
  if (at >= 0)
    return "the token table names the clock's registers (" + Hex(a.m_wIndexPort, 2) + "[" + Hex(at, 2) + "])";
  if (a.m_btChecksumType <= 3 && !a.HasChecksum()) return "no checksum (its descriptor is all zero)";
  return {};
}

inline std::string ValueText(const std::vector<std::uint8_t>& data) {
  std::string s(data.begin(), data.end());
  return s.substr(0, s.find('\0'));
}

inline std::uint16_t Le16(const std::uint8_t* b) { return static_cast<std::uint16_t>(b[0] | (b[1] << 8)); }
inline std::uint16_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) { return Le16(b.data() + at); }

}  // namespace zimsim
