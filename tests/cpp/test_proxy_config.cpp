#include <gtest/gtest.h>
#include <fmt/format.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ara2/proxy_config.hpp"
#include "ara2/text.hpp"
#include "temp_tree.hpp"

using tallowind::ara2::ErrorKind;
using tallowind::ara2::parse_proxy_config;
using tallowind::ara2::ProxyEndpoint;

namespace {

std::string shown(const ProxyEndpoint& e) {
  if (e.kind == ProxyEndpoint::Kind::Unix) return "unix:" + e.path;
  return "tcp:" + tallowind::ara2::to_string(e.address) + ":" + std::to_string(e.port);
}

std::vector<std::string> endpoints_of(std::string_view yaml) {
  const auto config = parse_proxy_config("proxy.yaml", yaml);
  if (!config) {
    ADD_FAILURE() << yaml << "\n -> " << config.error().message();
    return {};
  }
  std::vector<std::string> out;
  for (const auto& e : config->endpoints) out.push_back(shown(e));
  return out;
}

std::string reason_of(std::string_view yaml) {
  const auto config = parse_proxy_config("proxy.yaml", yaml);
  if (config) {
    ADD_FAILURE() << yaml << "\n -> parsed";
    return {};
  }
  EXPECT_EQ(config.error().kind(), ErrorKind::ConfigInvalid);
  const std::string prefix = "proxy.yaml is not a usable proxy configuration: ";
  const std::string& message = config.error().message();
  EXPECT_TRUE(message.starts_with(prefix)) << message;
  return message.substr(std::min(prefix.size(), message.size()));
}

/// Ten levels of ten aliases each: a billion leaves if anything expanded them.
std::string alias_bomb() {
  std::string text = "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int level = 1; level < 10; ++level) {
    text += fmt::format("a{0}: &a{0} [*a{1}", level, level - 1);
    for (int i = 1; i < 10; ++i) text += fmt::format(", *a{}", level - 1);
    text += "]\n";
  }
  return text;
}

}  // namespace

TEST(ProxyConfigEndpoints, FollowTheDeclaredInterfaceType) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"proxy: {}\n", {}},
      {"proxy:\n  interface_socket_file: [/run/a.sock, '']\n", {"unix:/run/a.sock", "unix:"}},
      {"proxy:\n  interface_type: Socket\n  interface_socket_file:\n    - /b\n    - /a\n", {"unix:/b", "unix:/a"}},
      {"proxy:\n  interface_type: ipv4\n  interface_ip_address: [127.0.0.1, 10.0.0.2, 10.0.0.3]\n"
       "  interface_port: [5000, 5001]\n",
       {"tcp:127.0.0.1:5000", "tcp:10.0.0.2:5001"}},
      {"proxy:\n  interface_type: IPV4\n  interface_ip_address: [localhost, 127.0.0.1, 010.0.0.1]\n"
       "  interface_port: [1, 5000, 7]\n",
       {"tcp:127.0.0.1:5000"}},
      {"proxy:\n  interface_type: IPV4\n  interface_ip_address: [0.0.0.0]\n  interface_port: [0x1F90]\n"
       "  interface_socket_file: [/ignored]\n",
       {"tcp:0.0.0.0:8080"}},
      {"proxy:\n  interface_type: IPV4\n  interface_ip_address: ['1.2.3.4', 1.2.3.5]\n"
       "  interface_port: [!!int \"65535\", 0]\n",
       {"tcp:1.2.3.4:65535", "tcp:1.2.3.5:0"}},
      // YAML 1.1 integer forms: leading-zero octal, binary, separators, signs.
      {"proxy:\n  interface_type: IPV4\n  interface_ip_address: [1.1.1.1, 1.1.1.2, 1.1.1.3, 1.1.1.4, 1.1.1.5]\n"
       "  interface_port: [010, 0b1_0000, 1_000, +7, 0o17]\n",
       {"tcp:1.1.1.1:8", "tcp:1.1.1.2:16", "tcp:1.1.1.3:1000", "tcp:1.1.1.4:7", "tcp:1.1.1.5:15"}},
      {"proxy:\n  interface_type: named_pipe\n  interface_socket_file: [/x]\n", {}},
      {"proxy:\n  interface_ip_address: [127.0.0.1]\n  interface_port: [1]\n", {}},
      // Numbers are kept as written where text is wanted.
      {"proxy:\n  interface_socket_file: [8080, 1.50]\n", {"unix:8080", "unix:1.50"}},
      // Explicit nulls read as absent keys.
      {"proxy:\n  interface_type:\n  interface_socket_file: ~\n  interface_port: null\n", {}},
      {"proxy:\n  interface_type: ~\n  interface_socket_file: [/s]\n", {"unix:/s"}},
      // Other keys, at both levels, are ignored whatever they hold, even repeated.
      {"version: [1, {a: b}]\nversion: 2\nproxy:\n  log_level: {x: [1]}\n  interface_socket_file: [/s]\n"
       "hardware:\n  - - deep\n",
       {"unix:/s"}},
      {"\"proxy\": {'interface_socket_file': [\"/q\"]}\n", {"unix:/q"}},
      {"\xEF\xBB\xBF# comment\n---\nproxy: {interface_socket_file: [/bom]}\n...\n", {"unix:/bom"}},
      {"paths: &p [/one, /two]\nproxy:\n  interface_socket_file: *p\n", {"unix:/one", "unix:/two"}},
      {"proxy:\n  interface_socket_file: [\"/run/\xC3\xA9 space.sock\"]\n", {"unix:/run/\xC3\xA9 space.sock"}},
      {alias_bomb() + "proxy: {interface_socket_file: [/after-bomb]}\n", {"unix:/after-bomb"}},
  };
  for (const auto& [yaml, expected] : cases) EXPECT_EQ(endpoints_of(yaml), expected) << yaml;
}

TEST(ProxyConfigErrors, ExplainTheProblemWithItsPosition) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "missing field `proxy` at line 1 column 1"},
      {"# nothing but a comment\n", "missing field `proxy` at line 1 column 1"},
      {"other: 1\n", "missing field `proxy` at line 1 column 1"},
      {"proxy: {}\n---\nproxy: {}\n", "found a second document where one was expected at line 2 column 1"},
      {"- proxy\n", "invalid type: sequence, expected a mapping with a `proxy` key at line 1 column 1"},
      {"just text\n", "invalid type: string \"just text\", expected a mapping with a `proxy` key at line 1 column 1"},
      {"proxy: [a]\n", "proxy: invalid type: sequence, expected a mapping at line 1 column 8"},
      {"proxy:\n", "proxy: invalid type: null, expected a mapping at line 1 column 7"},
      {"proxy: {}\nproxy: {}\n", "duplicate field `proxy` at line 2 column 1"},
      {"proxy:\n  interface_port: [1]\n  interface_port: [2]\n",
       "proxy: duplicate field `interface_port` at line 3 column 3"},
      {"proxy:\n  interface_port: [1, 70000]\n",
       "proxy.interface_port[1]: invalid value: integer `70000`, expected a port number from 0 to 65535 at line 2 "
       "column 23"},
      {"proxy:\n  interface_port:\n    - -1\n",
       "proxy.interface_port[0]: invalid value: integer `-1`, expected a port number from 0 to 65535 at line 3 "
       "column 7"},
      {"proxy:\n  interface_port: [\"8080\"]\n",
       "proxy.interface_port[0]: invalid type: string \"8080\", expected a port number from 0 to 65535 at line 2 "
       "column 20"},
      {"proxy:\n  interface_port: [80.5]\n",
       "proxy.interface_port[0]: invalid type: floating point `80.5`, expected a port number from 0 to 65535 at line "
       "2 column 20"},
      {"proxy:\n  interface_port: [on]\n",
       "proxy.interface_port[0]: invalid type: boolean `on`, expected a port number from 0 to 65535 at line 2 "
       "column 20"},
      {"proxy:\n  interface_port: [!!str 80]\n",
       "proxy.interface_port[0]: invalid type: string \"80\", expected a port number from 0 to 65535 at line 2 "
       "column 20"},
      {"proxy:\n  interface_port: [08080]\n",
       "proxy.interface_port[0]: invalid type: string \"08080\", expected a port number from 0 to 65535 at line 2 "
       "column 20"},
      {"proxy:\n  interface_port: [99999999999999999999999]\n",
       "proxy.interface_port[0]: invalid value: integer `99999999999999999999999`, expected a port number from 0 to "
       "65535 at line 2 column 20"},
      {"proxy:\n  interface_socket_file: {a: b}\n",
       "proxy.interface_socket_file: invalid type: mapping, expected a sequence at line 2 column 26"},
      {"proxy:\n  interface_socket_file: /run/proxy.sock\n",
       "proxy.interface_socket_file: invalid type: string \"/run/proxy.sock\", expected a sequence at line 2 column "
       "26"},
      {"proxy:\n  interface_ip_address: [~]\n",
       "proxy.interface_ip_address[0]: invalid type: null, expected a string at line 2 column 26"},
      {"proxy:\n  interface_socket_file: [/a, yes]\n",
       "proxy.interface_socket_file[1]: invalid type: boolean `yes`, expected a string at line 2 column 31"},
      {"proxy:\n  interface_type: [SOCKET]\n",
       "proxy.interface_type: invalid type: sequence, expected a string at line 2 column 19"},
      // Lists the chosen type does not use are still checked.
      {"proxy:\n  interface_type: SOCKET\n  interface_port: [65536]\n",
       "proxy.interface_port[0]: invalid value: integer `65536`, expected a port number from 0 to 65535 at line 3 "
       "column 20"},
      {"proxy:\n  interface_type: pipe\n", "unknown interface_type \"PIPE\""},
      {"proxy:\n  interface_type: 'a\"b\\c'\n", "unknown interface_type \"A\\\"B\\\\C\""},
      {"proxy:\n  interface_type: \"\"\n", "unknown interface_type \"\""},
      {"proxy: *nowhere\n", "unknown anchor `nowhere` at line 1 column 8"},
      // An anchor is usable only once its node is complete, so no node contains itself.
      {"proxy: &self {interface_socket_file: *self}\n", "unknown anchor `self` at line 1 column 38"},
      {alias_bomb() + "proxy: {interface_socket_file: *a9}\n",
       "proxy.interface_socket_file[0]: invalid type: sequence, expected a string at line 10 column 10"},
      {"x: " + std::string(100, '[') + std::string(100, ']') + "\nproxy: {}\n",
       "nesting deeper than 64 levels at line 1 column 67"},
  };
  for (const auto& [yaml, expected] : cases) EXPECT_EQ(reason_of(yaml), expected) << yaml;
}

TEST(ProxyConfigErrors, SyntaxErrorsCarryTheParsersMessageAndPosition) {
  const std::pair<std::string, std::string> cases[] = {
      {"proxy: [a, b\n", "did not find expected ',' or ']' at line 2 column 1"},
      {"proxy:\n  a: 1\n b: 2\n", "did not find expected key at line 3 column 2"},
      {"proxy: {}\x01\n", "control characters are not allowed at line 1 column 10"},
      {"proxy:\n\tinterface_port: [1]\n", "found character that cannot start any token at line 2 column 1"},
  };
  for (const auto& [yaml, expected] : cases) {
    const std::string reason = reason_of(yaml);
    EXPECT_TRUE(reason.ends_with(expected)) << reason;
  }
}

TEST(ProxyConfigErrors, NodeCountIsCapped) {
  std::string yaml = "x: [";
  for (int i = 0; i < 100'001; ++i) yaml += "1,";
  yaml += "]\nproxy: {}\n";
  EXPECT_TRUE(reason_of(yaml).starts_with("more than 100000 nodes at line 1 column ")) << reason_of(yaml);
}

TEST(ProxyConfigFile, ReadsTheFileAndKeepsThePathAsGiven) {
  TempTree tree;
  const std::string path = tree.write("dir/\xFF-proxy.yaml", "proxy:\n  interface_socket_file: [/run/p.sock]\n");
  const auto config = tallowind::ara2::read_proxy_config(path);
  ASSERT_TRUE(config) << config.error().message();
  EXPECT_EQ(config->path, path);
  ASSERT_EQ(config->endpoints.size(), 1u);
  EXPECT_EQ(config->endpoints[0], ProxyEndpoint::unix_socket("/run/p.sock"));

  const std::string invalid = tree.write("dir/\xFF-bad.yaml", "proxy: []\n");
  const auto error = tallowind::ara2::read_proxy_config(invalid);
  ASSERT_FALSE(error);
  EXPECT_EQ(error.error().message(), tree.path("dir/\xEF\xBF\xBD-bad.yaml") +
                                         " is not a usable proxy configuration: proxy: invalid type: sequence, "
                                         "expected a mapping at line 1 column 8");
}

TEST(ProxyConfigFile, ReadFailuresNameThePathAndTheCause) {
  TempTree tree;
  const std::string fifo = tree.path("fifo.yaml");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string large = tree.write("large.yaml", "proxy: {}\n" + std::string(tallowind::ara2::kMaxProxyConfigBytes, '#'));
  const std::pair<std::string, std::string> cases[] = {
      {tree.path("missing.yaml"), "No such file or directory (os error 2)"},
      {tree.path("\xFE-missing.yaml"), "No such file or directory (os error 2)"},
      {tree.mkdir("a-directory"), "Is a directory (os error 21)"},
      {tree.write("latin1.yaml", "proxy: {interface_socket_file: [/caf\xE9]}\n"), "the file is not valid UTF-8"},
      {tree.write("utf16.yaml", std::string("\xFF\xFEp\0r\0", 6)), "the file is not valid UTF-8"},
      {large, "the file is larger than the 1048576 bytes a proxy configuration may have"},
      // A FIFO would block a plain read until some writer appeared.
      {fifo, "not a regular file"},
      {tree.path("nul") + std::string(1, '\0') + ".yaml", "the path contains a NUL byte"},
  };
  for (const auto& [path, cause] : cases) {
    const auto result = tallowind::ara2::read_proxy_config(path);
    ASSERT_FALSE(result) << path;
    EXPECT_EQ(result.error().kind(), ErrorKind::ConfigRead);
    EXPECT_EQ(result.error().message(), "could not read " + tallowind::ara2::utf8_lossy(path) + ": " + cause);
  }
}
