// Where the proxy's UNIX socket is looked for when no path is given.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>

namespace tallowind::ara2 {

inline constexpr std::string_view kDefaultSocket = "/var/run/proxy.sock";
inline constexpr std::array<std::string_view, 2> kSocketPaths = {"/var/run/proxy.sock", "/var/run/ara2.sock"};

/// ARA2_SOCKET when set to valid UTF-8 (even empty), otherwise the first of the
/// compiled-in socket paths that exists, otherwise the default socket.
std::string resolve_socket_path();

/// The same resolution with its inputs given: `env_value` is the variable's
/// value or nullptr when unset.
std::string resolve_socket_path(const char* env_value, std::span<const std::string_view> candidates,
                                std::string_view fallback);

}  // namespace tallowind::ara2
