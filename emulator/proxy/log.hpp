// One line per event on stderr, prefixed with the program name.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace emu::proxy {

/// How much one connection may log: a burst, then a few lines a second, so
/// that no client can make the log grow with what it sends. Lines over the
/// limit are counted, and the count is written before the next line.
class LogLimit {
 public:
  static constexpr double kBurst = 20, kPerSecond = 2;

  /// True when a line may be written now; counts it as left out otherwise.
  bool admit() {
    auto now = std::chrono::steady_clock::now();
    tokens_ = std::min(kBurst, tokens_ + kPerSecond * std::chrono::duration<double>(now - last_).count());
    last_ = now;
    if (tokens_ < 1) {
      ++left_out_;
      return false;
    }
    tokens_ -= 1;
    return true;
  }
  /// Lines left out since the last call.
  std::uint64_t take_left_out() { return std::exchange(left_out_, 0); }

 private:
  double tokens_ = kBurst;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
  std::uint64_t left_out_ = 0;
};

/// The limit of the connection this thread serves, if any.
inline thread_local LogLimit* log_limit = nullptr;

inline void write_log_line(std::string_view text) {
  std::string line = fmt::format("ara2-emulator: {}\n", text);
  std::fwrite(line.data(), 1, line.size(), stderr);
}

template <class... Args>
void log(fmt::format_string<Args...> format, Args&&... args) {
  if (log_limit) {
    if (!log_limit->admit()) return;
    if (auto n = log_limit->take_left_out()) write_log_line(fmt::format("({} lines of this connection left out)", n));
  }
  write_log_line(fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace emu::proxy
