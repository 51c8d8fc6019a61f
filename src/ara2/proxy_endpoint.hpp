// An address an ARA-2 proxy accepts connections on, as declared in a proxy
// configuration file or observed by discovery.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowind::ara2 {

struct Ipv4Address {
  std::array<std::uint8_t, 4> octets{};
  bool operator==(const Ipv4Address&) const = default;
};

/// Strict dotted quad: four decimal numbers 0-255 of one to three digits, no
/// leading zero (a lone 0 is fine), nothing around them, at most 15 characters.
std::optional<Ipv4Address> parse_ipv4(std::string_view text) noexcept;

/// "127.0.0.1"
std::string to_string(const Ipv4Address& address);

struct ProxyEndpoint {
  enum class Kind : std::uint8_t { Unix, Tcp };
  Kind kind = Kind::Unix;
  std::string path;  // Unix: the socket path as raw bytes
  Ipv4Address address;  // Tcp
  std::uint16_t port = 0;  // Tcp

  static ProxyEndpoint unix_socket(std::string path) { return {Kind::Unix, std::move(path), {}, 0}; }
  static ProxyEndpoint tcp(Ipv4Address address, std::uint16_t port) { return {Kind::Tcp, {}, address, port}; }
  bool operator==(const ProxyEndpoint&) const = default;
};

}  // namespace tallowind::ara2
