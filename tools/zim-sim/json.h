// A small JSON writer for the dry run's report: objects and arrays written in order, texts escaped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/input_file.h"

namespace zimsim {

class Json {
 public:
  Json& BeginObject() { return Open('{'); }
  Json& EndObject() { return Close('}'); }
  Json& BeginArray() { return Open('['); }
  Json& EndArray() { return Close(']'); }
  Json& Key(const std::string& key) {
    Separate();
    out_ += Quote(key) + ": ";
    afterKey_ = true;
    return *this;
  }
  Json& String(const std::string& s) { return Raw(Quote(s)); }
  Json& Number(long long v) { return Raw(std::to_string(v)); }
  Json& Bool(bool v) { return Raw(v ? "true" : "false"); }
  Json& Null() { return Raw("null"); }
  // A number, or null where there is none.
  template <class T>
  Json& Number(const std::optional<T>& v) {
    return v ? Number(static_cast<long long>(*v)) : Null();
  }
  const std::string& Text() const { return out_; }

  // Valid UTF-8 as it is, control characters escaped, and each byte that is not part of valid
  // UTF-8 as the text \xHH (as sim::Displayed shows it), so that any file name gives valid JSON.
  static std::string Quote(const std::string& s) {
    std::string q = "\"";
    const auto* bytes = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size(); ++i) {
      const unsigned char c = bytes[i];
      const std::size_t length = sim::Utf8Length(bytes + i, s.size() - i);
      if (length == 0) {
        q += sim::Displayed(std::string(1, static_cast<char>(c))).insert(0, "\\");
        continue;
      }
      // The C1 controls (U+0080-U+009F) are escaped as the C0 ones are.
      if (length == 2 && c == 0xC2 && bytes[i + 1] <= 0x9F) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", bytes[i + 1]);
        q += buf;
        ++i;
        continue;
      }
      if (length > 1) {
        q.append(s, i, length);
        i += length - 1;
        continue;
      }
      switch (c) {
        case '"':
          q += "\\\"";
          break;
        case '\\':
          q += "\\\\";
          break;
        case '\n':
          q += "\\n";
          break;
        case '\r':
          q += "\\r";
          break;
        case '\t':
          q += "\\t";
          break;
        default:
          if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            q += buf;
          } else {
            q += static_cast<char>(c);
          }
      }
    }
    return q + "\"";
  }

 private:
  Json& Raw(const std::string& v) {
    Separate();
    out_ += v;
    return *this;
  }
  Json& Open(char c) {
    Separate();
    out_ += c;
    first_.push_back(true);
    return *this;
  }
  Json& Close(char c) {
    first_.pop_back();
    out_ += c;
    return *this;
  }
  void Separate() {
    if (afterKey_) {
      afterKey_ = false;
      return;
    }
    if (!first_.empty()) {
      if (!first_.back()) out_ += ", ";
      first_.back() = false;
    }
  }

  std::string out_;
  std::vector<bool> first_;
  bool afterKey_ = false;
};

}  // namespace zimsim
