// One line per event on stderr, prefixed with the program name.
#pragma once

#include <cstdio>
#include <string_view>

#include <fmt/format.h>

namespace emu::proxy {

template <class... Args>
void log(fmt::format_string<Args...> format, Args&&... args) {
  std::string line = "ara2-emulator: " + fmt::format(format, std::forward<Args>(args)...) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace emu::proxy
