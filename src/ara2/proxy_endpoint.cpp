#include "ara2/proxy_endpoint.hpp"

#include <fmt/format.h>

namespace ara2 {

std::optional<Ipv4Address> parse_ipv4(std::string_view text) noexcept {
  if (text.empty() || text.size() > 15) return std::nullopt;
  Ipv4Address address;
  std::size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    const std::size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    const std::size_t digits = pos - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
    address.octets[part] = static_cast<std::uint8_t>(value);
  }
  if (pos != text.size()) return std::nullopt;
  return address;
}

std::string to_string(const Ipv4Address& a) {
  return fmt::format("{}.{}.{}.{}", a.octets[0], a.octets[1], a.octets[2], a.octets[3]);
}

}  // namespace ara2
