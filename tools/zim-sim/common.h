// The dry run's small helpers, shared by its parts: numbers and texts as the transcript and the
// options write them, and where ZIM lives on the simulated machine.
#pragma once

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace zimsim {

inline constexpr char kProgramFolder[] = "C:\\TARN\\BIOS";
inline constexpr char kStateKey[] = "Software\\Tarn\\BIOSUPGRADE";
inline constexpr char kCleanupCommand[] = "C:\\TARN\\BIOS\\CLEANUP.EXE -s";

inline std::string Hex(std::uint64_t v, int digits = 0) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(v));
  return buf;
}

inline std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// A number in decimal or 0x hex, within [lo, hi]; false when it is not one.
inline bool ParseNumber(const std::string& text, long long lo, long long hi, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  errno = 0;
  const long long v = hex ? static_cast<long long>(std::strtoull(text.c_str() + 2, &end, 16))
                          : std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

inline std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) out.push_back(item);
  return out;
}

// The program's path: the quoted first word of a command line, or its first word.
inline std::string ProgramPath(const std::string& commandLine) {
  if (!commandLine.empty() && commandLine[0] == '"') {
    const auto end = commandLine.find('"', 1);
    return commandLine.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  return commandLine.substr(0, commandLine.find(' '));
}

inline std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

inline std::string ValueText(const std::vector<std::uint8_t>& data) {
  std::string s(data.begin(), data.end());
  return s.substr(0, s.find('\0'));
}

inline std::uint16_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

// The demo image: a small, recognisable BIOS image of 4 KiB.
inline std::vector<std::uint8_t> DemoImage() {
  std::vector<std::uint8_t> image(4096);
  const char header[] = "TARN BIOS A07 ";
  std::copy(header, header + sizeof header - 1, image.begin());
  for (std::size_t i = sizeof header - 1; i < image.size(); ++i)
    image[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return image;
}

inline std::string ReadError(const std::string& path, const char* what) { return path + ": " + what; }

}  // namespace zimsim
