// Helpers shared by the simulated backend's call implementations: argument formatting for the call
// log, and the one entry every call goes through.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "platform/sim/machine.h"

namespace sim::api {

inline std::string Text(const char* s) { return s == nullptr ? "null" : "\"" + std::string(s) + "\""; }
inline std::string Hex(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}
inline std::string Ptr(const void* p) {
  if (p == nullptr) return "null";
  return p == win32::INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE" : "ptr";
}

template <class T>
std::string Arg(const T& v) {
  if constexpr (std::is_same_v<T, std::string>) {
    return v;
  } else if constexpr (std::is_convertible_v<T, const char*>) {
    return Text(v);
  } else if constexpr (std::is_pointer_v<T>) {
    return Ptr(v);
  } else if constexpr (std::is_signed_v<T>) {
    return std::to_string(static_cast<long long>(v));
  } else {
    return Hex(static_cast<std::uint64_t>(v));
  }
}

template <class... T>
std::string Args(const T&... v) {
  // Formatting is the dearest part of a call; a machine that records nothing skips it.
  if (HasCurrent() && !Current().logCalls) return {};
  std::string out;
  ((out += (out.empty() ? "" : ", ") + Arg(v)), ...);
  return out;
}

// One platform call: counts it, decides whether an injected fault strikes it, and logs it with its
// result when the implementation returns through Return.
class Call {
 public:
  Call(const char* op, std::string args) : m_(Current()), op_(op), args_(std::move(args)) {
    injected_ = m_.Inject(op_);
  }
  Machine& machine() { return m_; }
  bool injected() const { return injected_; }
  template <class R>
  R Return(R value, win32::DWORD error = win32::ERROR_SUCCESS) {
    if (error != win32::ERROR_SUCCESS) m_.lastError = error;
    if (m_.logCalls) m_.Log(op_, args_, Arg(value), injected_);
    return value;
  }
  void Done() { m_.Log(op_, args_, "", injected_); }

 private:
  Machine& m_;
  const char* op_;  // a literal naming the call
  std::string args_;
  bool injected_ = false;
};

}  // namespace sim::api
