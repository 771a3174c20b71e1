// The one way the host tools read a file that a user names: only a regular file is opened (a FIFO,
// a device or a folder is refused before anything is read), and never more than the bound that fits
// the file's kind, so that no input can make a tool hang or grow without limit. Every refusal is one
// line that names the file and the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sim {

// The most that each kind of input may hold.
inline constexpr std::size_t kLargestCmosBank = 256;
inline constexpr std::size_t kLargestTable = std::size_t{16} << 20;  // a structure table, any version
inline constexpr std::size_t kLargestImage = std::size_t{64} << 20;  // larger than any BIOS flash part
inline constexpr std::size_t kLargestRegistryFile = std::size_t{16} << 20;
inline constexpr std::size_t kLargestPhysFile = std::size_t{16} << 20;

class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for reading when it is a regular file; else "PATH: cannot be read: REASON".
  std::string Open(const std::string& path);
  // The size the file system gives; files such as those of sysfs may hold more or less.
  std::uint64_t Size() const { return size_; }
  // Up to `size` bytes from `offset` (fewer where the file ends); a reason when the read fails.
  std::string ReadAt(std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& out);
  // The whole file, refused when it holds more than `limit` bytes (`what` names its kind in the
  // reason: "a CMOS bank").
  std::string ReadAll(std::size_t limit, const char* what, std::vector<std::uint8_t>& out);

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
};

// A whole file at once: Open, then ReadAll.
std::string ReadInputFile(const std::string& path, std::size_t limit, const char* what,
                          std::vector<std::uint8_t>& out);

// The length of the well-formed UTF-8 sequence at `s` (of `n` bytes, n > 0), or 0 when none starts there.
std::size_t Utf8Length(const unsigned char* s, std::size_t n);

// A name or text as the reports show it: valid UTF-8 as it is, every control character and every
// byte that is not part of valid UTF-8 as \xHH, so that no name can break a line, a table or a
// terminal.
std::string Displayed(const std::string& text);

}  // namespace sim
