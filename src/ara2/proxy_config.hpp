// The proxy's YAML configuration file, read into the addresses it declares.
//
// Scalars follow YAML 1.1 resolution. A field that wants text takes any
// scalar as written (so `- 8080` in a socket list is the text "8080") except
// a plain null (`~`, `null`, empty) or a plain boolean (`yes`, `off`, ...),
// which are type errors. A port wants a plain integer (decimal, 0x hex, 0o or
// leading-zero octal, 0b binary, `_` separators allowed) or one tagged `!!int`;
// a quoted "8080" is a string and so a type error. An explicit null for one
// of the four optional `proxy` keys counts as the key being absent. Duplicate
// keys are rejected for the fields read here; other keys may repeat, as they
// do not concern this reader. Aliases are resolved without copying, so
// alias bombs cost nothing; nesting, node count and file size are capped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ara2/core_error.hpp"
#include "ara2/proxy_endpoint.hpp"

namespace tallowind::ara2 {

struct ProxyConfig {
  std::string path;  // as given, raw bytes
  std::vector<ProxyEndpoint> endpoints;  // in file order
};

/// Larger files are refused before parsing: a proxy configuration is a few
/// hundred bytes, and discovery reads files named by other processes.
inline constexpr std::size_t kMaxProxyConfigBytes = 1 << 20;

/// Reads and interprets the configuration file at `path` (raw bytes).
Result<ProxyConfig> read_proxy_config(std::string_view path);

/// Interprets configuration text already read; `path` only names it in errors.
Result<ProxyConfig> parse_proxy_config(std::string_view path, std::string_view yaml_text);

}  // namespace tallowind::ara2
