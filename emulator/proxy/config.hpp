// The daemon's configuration: the proxy's own YAML format (which addresses to
// listen on) plus an `emulator:` section describing the emulated hardware.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <map>
#include <string>
#include <vector>

namespace emu::proxy {

struct ListenAddress {
  bool is_unix = true;
  std::string path;       // UNIX socket path
  std::string host;       // dotted-quad IPv4 address
  std::uint16_t port = 0; // 0 picks a free port
  std::string text() const;
};

struct VersionRecord {
  std::uint32_t component = 0;
  std::array<std::uint8_t, 4> version{};
};

struct DaemonConfig {
  std::vector<ListenAddress> listen;
  std::uint32_t endpoints = 1;
  std::uint64_t dram_size = 4ull << 30;
  std::uint64_t reserved_size = 64ull << 20;
  std::vector<std::uint32_t> endpoint_states;  // raw state per endpoint
  std::vector<VersionRecord> versions;
  std::map<std::string, std::uint32_t> call_status;  // dv_* name -> status
  std::uint32_t latency_us = 0;                      // added to every inference
  std::uint64_t client_memory = 1ull << 30;          // payload memory held for one client
  std::uint64_t total_memory = 2ull << 30;           // ... and for all of them
  std::uint32_t clients = 256;                        // connections served at once
  std::uint32_t handshake_timeout_ms = 5000;          // to complete the opening exchange
};

/// Reads and checks the file; the error is one line naming the file and what is wrong.
std::expected<DaemonConfig, std::string> read_config(const std::string& path);

/// Same, from YAML text (path is only used in messages).
std::expected<DaemonConfig, std::string> parse_config(const std::string& text,
                                                      const std::string& path);

}  // namespace emu::proxy
