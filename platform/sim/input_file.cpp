#include "platform/sim/input_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>

namespace sim {

namespace {

const char* KindOf(std::filesystem::file_type type) {
  using std::filesystem::file_type;
  switch (type) {
    case file_type::directory:
      return "a folder";
    case file_type::fifo:
      return "a FIFO";
    case file_type::character:
      return "a character device";
    case file_type::block:
      return "a block device";
    case file_type::socket:
      return "a socket";
    default:
      return "not a file";
  }
}

std::string Larger(const std::string& path, std::size_t limit, const char* what) {
  return Displayed(path) + ": larger than " + std::to_string(limit) + " bytes, the most that " + what +
         " can be";
}

std::string Errno(int error) { return error != 0 ? std::strerror(error) : "read error"; }

}  // namespace

InputFile::~InputFile() {
  if (file_ != nullptr) std::fclose(file_);
}

std::string InputFile::Open(const std::string& path) {
  namespace fs = std::filesystem;
  path_ = path;
  const std::string cannot = Displayed(path) + ": cannot be read: ";
  if (path.empty()) return "an empty file name";
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec) return cannot + (status.type() == fs::file_type::not_found ? Errno(ENOENT) : ec.message());
  // Checked before opening: opening a FIFO waits for a writer, and a device may never end.
  if (status.type() != fs::file_type::regular) return cannot + KindOf(status.type()) + ", not a regular file";
  errno = 0;
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) return cannot + Errno(errno);
  size_ = fs::file_size(path, ec);
  if (ec) size_ = 0;
  return {};
}

std::string InputFile::ReadAt(std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& out) {
  out.clear();
  errno = 0;
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<long>::max()) ||
      std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0)
    return Displayed(path_) + ": cannot be read: " + Errno(errno);
  out.resize(size);
  const std::size_t got = std::fread(out.data(), 1, size, file_);
  out.resize(got);
  if (std::ferror(file_) != 0) return Displayed(path_) + ": cannot be read: " + Errno(errno);
  return {};
}

std::string InputFile::ReadAll(std::size_t limit, const char* what, std::vector<std::uint8_t>& out) {
  // A file that says it is larger is not read at all; one byte more than the limit tells a file
  // that holds more than it says (sysfs), without reading the rest of it. The bytes are read in
  // steps, so that a small file costs what it holds, not what its kind's limit allows.
  if (size_ > limit) return Larger(path_, limit, what);
  out.clear();
  errno = 0;
  if (std::fseek(file_, 0, SEEK_SET) != 0) return Displayed(path_) + ": cannot be read: " + Errno(errno);
  std::uint8_t step[65536];
  for (;;) {
    const std::size_t want = std::min<std::size_t>(sizeof step, limit + 1 - out.size());
    if (want == 0) break;
    const std::size_t got = std::fread(step, 1, want, file_);
    out.insert(out.end(), step, step + got);
    if (got < want) break;
  }
  if (std::ferror(file_) != 0) return Displayed(path_) + ": cannot be read: " + Errno(errno);
  if (out.size() > limit) {
    out.clear();
    return Larger(path_, limit, what);
  }
  return {};
}

std::string ReadInputFile(const std::string& path, std::size_t limit, const char* what,
                          std::vector<std::uint8_t>& out) {
  InputFile file;
  std::string problem = file.Open(path);
  return problem.empty() ? file.ReadAll(limit, what, out) : problem;
}

std::size_t Utf8Length(const unsigned char* s, std::size_t n) {
  const unsigned char c = s[0];
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // overlong
    if (c == 0xED) high = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;   // overlong
    if (c == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (n < length || s[1] < low || s[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  return length;
}

std::string Displayed(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::string out;
  out.reserve(n);
  for (std::size_t i = 0; i < n;) {
    std::size_t length = Utf8Length(s + i, n - i);
    const bool control =
        length == 1 ? (s[i] < 0x20 || s[i] == 0x7F) : (length == 2 && s[i] == 0xC2 && s[i + 1] < 0xA0);
    if (length != 0 && !control) {
      out.append(text, i, length);
      i += length;
      continue;
    }
    if (length == 0) length = 1;
    for (std::size_t k = 0; k < length; ++k, ++i) {
      out += "\\x";
      out += kDigits[s[i] >> 4];
      out += kDigits[s[i] & 0xF];
    }
  }
  return out;
}

}  // namespace sim
