#include "ara2/proxy_endpoint.hpp"

#include <arpa/inet.h>

#include <cstring>
#include <fmt/format.h>

namespace tallowind::ara2 {

std::optional<Ipv4Address> parse_ipv4(std::string_view text) noexcept {
  // glibc's inet_pton takes exactly the strict dotted quad for AF_INET. It
  // reads a C string: an embedded NUL, and a text longer than any quad (15
  // characters), are refused before the copy.
  char terminated[16];
  if (text.size() >= sizeof terminated || text.find('\0') != std::string_view::npos) return std::nullopt;
  std::memcpy(terminated, text.data(), text.size());
  terminated[text.size()] = '\0';
  Ipv4Address address;
  if (inet_pton(AF_INET, terminated, address.octets.data()) != 1) return std::nullopt;
  return address;
}

std::string to_string(const Ipv4Address& a) {
  return fmt::format("{}.{}.{}.{}", a.octets[0], a.octets[1], a.octets[2], a.octets[3]);
}

}  // namespace tallowind::ara2
