#include "ara2/socket_path.hpp"

#include <sys/stat.h>

#include <cstdlib>

#include "ara2/text.hpp"

namespace tallowind::ara2 {

std::string resolve_socket_path(const char* env_value, std::span<const std::string_view> candidates,
                                std::string_view fallback) {
  if (env_value != nullptr && is_valid_utf8(env_value)) return env_value;
  for (std::string_view candidate : candidates) {
    const std::string path(candidate);
    struct stat info;
    // stat follows symbolic links: a dangling link does not count as present.
    if (::stat(path.c_str(), &info) == 0) return path;
  }
  return std::string(fallback);
}

std::string resolve_socket_path() {
  return resolve_socket_path(std::getenv("ARA2_SOCKET"), kSocketPaths, kDefaultSocket);
}

}  // namespace tallowind::ara2
