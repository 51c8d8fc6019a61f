#include <gtest/gtest.h>

#include "../protocol/wire.hpp"
#include "config.hpp"

namespace emu::proxy {
namespace {

DaemonConfig parse(const std::string& text) {
  auto config = parse_config(text, "test.yaml");
  EXPECT_TRUE(config.has_value()) << (config ? "" : config.error());
  return config ? *config : DaemonConfig{};
}

TEST(DaemonConfig, SocketTypeListensOnEverySocketFileAndExtraAddresses) {
  auto config = parse(
      "proxy:\n  interface_socket_file: [/a.sock, /b.sock]\n"
      "  interface_ip_address: [1.2.3.4]\n  interface_port: [9]\n"
      "emulator:\n  listen: [\"tcp:127.0.0.1:0\", \"unix:/c.sock\"]\n");
  std::vector<std::string> texts;
  for (const auto& a : config.listen) texts.push_back(a.text());
  EXPECT_EQ(texts, (std::vector<std::string>{"unix:/a.sock", "unix:/b.sock", "tcp:127.0.0.1:0",
                                             "unix:/c.sock"}));
}

TEST(DaemonConfig, Ipv4TypePairsAddressesWithPorts) {
  auto config = parse(
      "proxy: {interface_type: iPv4, interface_ip_address: [10.0.0.1, 0.0.0.0], "
      "interface_port: [0x1F90, 0]}\n");
  ASSERT_EQ(config.listen.size(), 2u);
  EXPECT_EQ(config.listen[0].text(), "tcp:10.0.0.1:8080");
  EXPECT_EQ(config.listen[1].text(), "tcp:0.0.0.0:0");
}

TEST(DaemonConfig, EmulatedHardwareDefaultsAndOverrides) {
  auto defaults = parse("proxy: {interface_socket_file: [/s]}\n");
  EXPECT_EQ(defaults.endpoints, 1u);
  EXPECT_EQ(defaults.endpoint_states, std::vector<std::uint32_t>{1});
  EXPECT_FALSE(defaults.versions.empty());

  auto config = parse(
      "proxy: {interface_socket_file: [/s]}\n"
      "emulator:\n  endpoints: 3\n  endpoint_state: 12\n  dram_size: 1000\n  reserved_size: 10\n"
      "  versions: {firmware: 1.2.3.4, 9: 0.0.0.1}\n"
      "  faults: {latency_us: 5, call_status: {dv_infer_sync: 150}}\n"
      "  client_memory: 65536\n  total_memory: 131072\n  clients: 3\n  handshake_timeout_ms: 250\n");
  EXPECT_EQ(config.endpoint_states, (std::vector<std::uint32_t>{12, 12, 12}));
  EXPECT_EQ(config.dram_size, 1000u);
  EXPECT_EQ(config.reserved_size, 10u);
  ASSERT_EQ(config.versions.size(), 2u);
  EXPECT_EQ(config.versions[0].component, 2u);
  EXPECT_EQ(config.versions[0].version, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ(config.versions[1].component, 9u);
  EXPECT_EQ(config.latency_us, 5u);
  EXPECT_EQ(config.call_status.at("dv_infer_sync"), 150u);
  EXPECT_EQ(config.client_memory, 65536u);
  EXPECT_EQ(config.total_memory, 131072u);
  EXPECT_EQ(config.clients, 3u);
  EXPECT_EQ(config.handshake_timeout_ms, 250u);
}

struct Refusal {
  const char* text;
  const char* reason;
};

class DaemonConfigRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(DaemonConfigRefusal, NamesTheProblem) {
  auto config = parse_config(GetParam().text, "f.yaml");
  ASSERT_FALSE(config.has_value());
  EXPECT_NE(config.error().find("f.yaml is not a usable configuration: "), std::string::npos);
  EXPECT_NE(config.error().find(GetParam().reason), std::string::npos) << config.error();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DaemonConfigRefusal,
    testing::Values(
        Refusal{"proxy: {interface_socket_file: [/s]}\nemulator: {reserved_size: 9, dram_size: 8}\n",
                "reserved_size exceeds"},
        Refusal{"proxy: {interface_socket_file: [/s]}\nemulator: {client_memory: 100}\n",
                "emulator.client_memory must be an integer from 4096"},
        Refusal{"proxy: {interface_type: IPV4, interface_ip_address: [01.2.3.4], interface_port: [1]}\n",
                "dotted-quad"},
        Refusal{"proxy: {interface_type: IPV4, interface_ip_address: [\"1.2.3.4\\0\"], interface_port: [1]}\n",
                "dotted-quad"},
        Refusal{"proxy: {interface_type: IPV4, interface_ip_address: [1.2.3.4], interface_port: [\"1\"]}\n",
                "must be an integer"},
        Refusal{"proxy: {interface_socket_file: [/s]}\nemulator: {endpoints: 65}\n", "1 to 64"},
        Refusal{"proxy: {interface_socket_file: [/s]}\nemulator: {clients: 0}\n", "emulator.clients"},
        Refusal{"proxy: {interface_socket_file: [/s]}\nemulator: {handshake_timeout_ms: 0}\n",
                "emulator.handshake_timeout_ms"},
        Refusal{"proxy: {interface_socket_file: [/s]}\nemulator: {versions: {proxy: 1.2.3.256}}\n",
                "four numbers"},
        Refusal{"proxy: {interface_socket_file: [/s]}\nemulator: {listen: [\"tcp:1.2.3.4:65536\"]}\n",
                "emulator.listen"},
        Refusal{"- a\n- b\n", "the top level must be a mapping"},
        Refusal{"proxy: {interface_socket_file: [\"\"]}\n", "non-empty paths"}));

TEST(WireReader, ReadsPastTheEndPoisonTheReader) {
  wire::Writer w;
  w.put<std::uint32_t>(7).put_text("abc");
  auto bytes = w.bytes();
  wire::Reader in(bytes);
  EXPECT_EQ(in.get<std::uint32_t>(), 7u);
  EXPECT_EQ(in.get_text(), "abc");
  EXPECT_TRUE(in.at_end());
  EXPECT_EQ(in.get<std::uint64_t>(), 0u);
  EXPECT_FALSE(in.ok());
  EXPECT_EQ(in.get<std::uint32_t>(), 0u);  // stays poisoned
}

TEST(WireReader, LengthPrefixesAreBoundedByTheLimitAndTheData) {
  for (std::uint32_t claimed : {4u, 5u, 0xFFFFFFFFu}) {
    wire::Writer w;
    w.put<std::uint32_t>(claimed).put<std::uint32_t>(0x61616161);
    wire::Reader in(w.bytes());
    auto text = in.get_text(4);
    EXPECT_EQ(in.ok(), claimed == 4) << claimed;
    EXPECT_EQ(text, claimed == 4 ? "aaaa" : "");
  }
  wire::Writer w;
  w.put_text("abcdef");
  wire::Reader in(w.bytes());
  in.get_text(5);
  EXPECT_FALSE(in.ok());
}

}  // namespace
}  // namespace emu::proxy
