// The proxy configuration reader on arbitrary YAML text.
#include <string_view>

#include "ara2/proxy_config.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)tallowind::ara2::parse_proxy_config("proxy.yaml", {reinterpret_cast<const char*>(data), size});
  return 0;
}
