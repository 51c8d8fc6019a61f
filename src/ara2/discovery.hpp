// Finding running ARA-2 proxies through the process file system: the process
// named kinara_main, the listening sockets it holds open, and, where its file
// descriptors may not be read, the configuration file named on its command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ara2/core_error.hpp"
#include "ara2/proxy_endpoint.hpp"

namespace tallowind::ara2 {

struct Proxy {
  std::uint32_t pid = 0;
  std::vector<ProxyEndpoint> endpoints;  // UNIX sockets first, then TCP, each in kernel table order
  std::optional<std::string> config;     // as written on the command line, raw bytes
  std::optional<std::string> exe;        // target of the exe link, raw bytes
};

/// Every proxy visible under `proc_root` (normally "/proc"), sorted by pid.
/// Only a root that cannot be listed is an error; anything unreadable about
/// one process narrows what is reported about it.
Result<std::vector<Proxy>> discover(std::string_view proc_root);

}  // namespace tallowind::ara2
