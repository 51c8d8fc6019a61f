#include "config.hpp"

#include <arpa/inet.h>
#include <yaml.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>
#include <tuple>

#include <fmt/format.h>

namespace emu::proxy {

std::string ListenAddress::text() const {
  return is_unix ? fmt::format("unix:{}", path) : fmt::format("tcp:{}:{}", host, port);
}

namespace {

struct Entry;

struct Node {
  enum class Kind { Scalar, Sequence, Mapping } kind = Kind::Scalar;
  std::string value;
  bool quoted = false;
  std::vector<Node> items;     // sequence
  std::vector<Entry> entries;  // mapping
  std::size_t line = 0;
};

// Not a std::pair<Node, Node>: clang with libstdc++ cannot check that pair's
// constructors while Node is still incomplete.
struct Entry {
  Node key, value;
};

using Error = std::string;

/// Builds a small document tree from libyaml's events; anchors and aliases
/// have no use in these files and are refused.
class TreeBuilder {
 public:
  explicit TreeBuilder(const std::string& text) {
    yaml_parser_initialize(&parser_);
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
  }
  ~TreeBuilder() { yaml_parser_delete(&parser_); }
  TreeBuilder(const TreeBuilder&) = delete;
  TreeBuilder& operator=(const TreeBuilder&) = delete;

  std::expected<Node, Error> document() {
    std::optional<Node> root;
    int documents = 0;
    for (;;) {
      yaml_event_t event;
      if (!yaml_parser_parse(&parser_, &event)) return std::unexpected(parser_error());
      auto type = event.type;
      if (type == YAML_DOCUMENT_START_EVENT && ++documents > 1) {
        yaml_event_delete(&event);
        return std::unexpected(Error("more than one YAML document"));
      }
      if (type == YAML_STREAM_END_EVENT) {
        yaml_event_delete(&event);
        break;
      }
      if (type == YAML_SCALAR_EVENT || type == YAML_SEQUENCE_START_EVENT ||
          type == YAML_MAPPING_START_EVENT || type == YAML_ALIAS_EVENT) {
        auto node = node_from(event);
        if (!node) return node;
        root = std::move(*node);
        continue;
      }
      yaml_event_delete(&event);
    }
    if (!root) return std::unexpected(Error("the file is empty"));
    return std::move(*root);
  }

 private:
  Error parser_error() const {
    return fmt::format("{} at line {} column {}", parser_.problem ? parser_.problem : "syntax error",
                       parser_.problem_mark.line + 1, parser_.problem_mark.column + 1);
  }

  // Takes ownership of event.
  std::expected<Node, Error> node_from(yaml_event_t& event) {
    Node node;
    node.line = event.start_mark.line + 1;
    switch (event.type) {
      case YAML_ALIAS_EVENT:
        yaml_event_delete(&event);
        return std::unexpected(fmt::format("aliases are not supported (line {})", node.line));
      case YAML_SCALAR_EVENT:
        node.value.assign(reinterpret_cast<const char*>(event.data.scalar.value),
                          event.data.scalar.length);
        node.quoted = event.data.scalar.style != YAML_PLAIN_SCALAR_STYLE;
        yaml_event_delete(&event);
        return node;
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT: {
        bool mapping = event.type == YAML_MAPPING_START_EVENT;
        node.kind = mapping ? Node::Kind::Mapping : Node::Kind::Sequence;
        yaml_event_delete(&event);
        std::optional<Node> key;
        for (;;) {
          yaml_event_t child;
          if (!yaml_parser_parse(&parser_, &child)) return std::unexpected(parser_error());
          if (child.type == YAML_SEQUENCE_END_EVENT || child.type == YAML_MAPPING_END_EVENT) {
            yaml_event_delete(&child);
            return node;
          }
          auto item = node_from(child);
          if (!item) return item;
          if (!mapping) {
            node.items.push_back(std::move(*item));
          } else if (!key) {
            key = std::move(*item);
          } else {
            node.entries.emplace_back(std::move(*key), std::move(*item));
            key.reset();
          }
        }
      }
      default:
        yaml_event_delete(&event);
        return std::unexpected(Error("unexpected YAML event"));
    }
  }

  yaml_parser_t parser_;
};

std::string upper(std::string text) {
  for (auto& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

template <class T>
std::expected<T, Error> integer(const Node& node, std::string_view what, T min, T max,
                                bool allow_quoted = false) {
  if (node.kind != Node::Kind::Scalar || (node.quoted && !allow_quoted) || node.value.empty()) {
    return std::unexpected(fmt::format("{} must be an integer (line {})", what, node.line));
  }
  long long value = 0;
  const char* begin = node.value.data();
  const char* end = begin + node.value.size();
  int base = 10;
  if (node.value.size() > 2 && node.value[0] == '0' && (node.value[1] == 'x' || node.value[1] == 'X')) {
    begin += 2;
    base = 16;
  }
  auto [ptr, ec] = std::from_chars(begin, end, value, base);
  if (ec != std::errc() || ptr != end || value < static_cast<long long>(min) ||
      static_cast<unsigned long long>(value) > static_cast<unsigned long long>(max)) {
    return std::unexpected(fmt::format("{} must be an integer from {} to {} (line {})", what, min,
                                       max, node.line));
  }
  return static_cast<T>(value);
}

// A strict dotted quad, as glibc's inet_pton reads one. It reads a C string:
// an embedded NUL, and a text longer than any quad, are refused first.
bool parse_ipv4(std::string_view text) {
  char terminated[16];
  if (text.size() >= sizeof terminated || text.find('\0') != std::string_view::npos) return false;
  std::memcpy(terminated, text.data(), text.size());
  terminated[text.size()] = '\0';
  in_addr address;
  return inet_pton(AF_INET, terminated, &address) == 1;
}

std::expected<std::array<std::uint8_t, 4>, Error> version_text(const Node& node) {
  std::array<std::uint8_t, 4> out{};
  if (node.kind != Node::Kind::Scalar) {
    return std::unexpected(fmt::format("a version must be text like 1.2.3.4 (line {})", node.line));
  }
  std::string_view text = node.value;
  for (int i = 0; i < 4; ++i) {
    auto dot = text.find('.');
    auto part = text.substr(0, dot);
    unsigned value = 256;
    auto [ptr, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (ec != std::errc() || ptr != part.data() + part.size() || value > 255 ||
        (i < 3) != (dot != std::string_view::npos)) {
      return std::unexpected(
          fmt::format("version {:?} must be four numbers 0 to 255 joined by dots (line {})",
                      node.value, node.line));
    }
    out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
    text = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
  }
  return out;
}

constexpr const char* kComponents[] = {"proxy",     "pci_driver", "firmware", "cnn_model",
                                       "llm_model", "client_lib", "sysapi"};

/// Mapping lookup that refuses keys given twice.
class MappingView {
 public:
  static std::expected<MappingView, Error> of(const Node& node, std::string_view what) {
    if (node.kind != Node::Kind::Mapping) {
      return std::unexpected(fmt::format("{} must be a mapping (line {})", what, node.line));
    }
    MappingView view;
    for (const auto& [key, value] : node.entries) {
      if (key.kind != Node::Kind::Scalar) {
        return std::unexpected(fmt::format("{} has a key that is not text (line {})", what, key.line));
      }
      if (!view.entries_.emplace(key.value, &value).second) {
        return std::unexpected(fmt::format("duplicate key {} in {} (line {})", key.value, what, key.line));
      }
      view.order_.push_back({&key, &value});
    }
    return view;
  }
  const Node* find(const std::string& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second;
  }
  const std::vector<std::pair<const Node*, const Node*>>& order() const { return order_; }

 private:
  std::map<std::string, const Node*> entries_;
  std::vector<std::pair<const Node*, const Node*>> order_;
};

std::expected<std::vector<const Node*>, Error> sequence(const Node* node, std::string_view what) {
  std::vector<const Node*> out;
  if (!node) return out;
  if (node->kind == Node::Kind::Scalar && !node->quoted && (node->value.empty() || node->value == "~" || node->value == "null")) {
    return out;
  }
  if (node->kind != Node::Kind::Sequence) {
    return std::unexpected(fmt::format("{} must be a list (line {})", what, node->line));
  }
  for (const auto& item : node->items) out.push_back(&item);
  return out;
}

std::expected<void, Error> read_proxy(const Node& node, DaemonConfig& config) {
  auto proxy = MappingView::of(node, "proxy");
  if (!proxy) return std::unexpected(proxy.error());
  std::string type = "SOCKET";
  if (const Node* t = proxy->find("interface_type")) {
    if (t->kind != Node::Kind::Scalar) {
      return std::unexpected(fmt::format("interface_type must be text (line {})", t->line));
    }
    type = upper(t->value);
  }
  auto files = sequence(proxy->find("interface_socket_file"), "interface_socket_file");
  auto hosts = sequence(proxy->find("interface_ip_address"), "interface_ip_address");
  auto ports = sequence(proxy->find("interface_port"), "interface_port");
  if (!files) return std::unexpected(files.error());
  if (!hosts) return std::unexpected(hosts.error());
  if (!ports) return std::unexpected(ports.error());
  if (type == "SOCKET") {
    for (const Node* file : *files) {
      if (file->kind != Node::Kind::Scalar || file->value.empty()) {
        return std::unexpected(
            fmt::format("interface_socket_file entries must be non-empty paths (line {})", file->line));
      }
      config.listen.push_back({true, file->value, {}, 0});
    }
  } else if (type == "IPV4") {
    if (hosts->size() != ports->size()) {
      return std::unexpected(fmt::format(
          "interface_ip_address has {} entries but interface_port has {}; they pair up one to one",
          hosts->size(), ports->size()));
    }
    for (std::size_t i = 0; i < hosts->size(); ++i) {
      const Node* host = (*hosts)[i];
      if (host->kind != Node::Kind::Scalar || !parse_ipv4(host->value)) {
        return std::unexpected(fmt::format("{:?} is not a dotted-quad IPv4 address (line {})",
                                           host->value, host->line));
      }
      auto port = integer<std::uint16_t>(*(*ports)[i], "interface_port entries", 0, 65535);
      if (!port) return std::unexpected(port.error());
      config.listen.push_back({false, {}, host->value, *port});
    }
  } else if (type == "NAMED_PIPE") {
    return std::unexpected(Error("interface_type NAMED_PIPE is not supported by the emulator"));
  } else {
    return std::unexpected(fmt::format("unknown interface_type {:?}", type));
  }
  return {};
}

std::expected<ListenAddress, Error> extra_address(const Node& node) {
  std::string_view text = node.value;
  if (node.kind == Node::Kind::Scalar && text.starts_with("unix:") && text.size() > 5) {
    return ListenAddress{true, std::string(text.substr(5)), {}, 0};
  }
  if (node.kind == Node::Kind::Scalar && text.starts_with("tcp:")) {
    auto rest = text.substr(4);
    auto colon = rest.rfind(':');
    unsigned port = 65536;
    if (colon != std::string_view::npos) {
      auto digits = rest.substr(colon + 1);
      auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
      if (ec != std::errc() || ptr != digits.data() + digits.size()) port = 65536;
      if (port <= 65535 && parse_ipv4(rest.substr(0, colon))) {
        return ListenAddress{false, {}, std::string(rest.substr(0, colon)),
                             static_cast<std::uint16_t>(port)};
      }
    }
  }
  return std::unexpected(fmt::format(
      "emulator.listen entries are unix:/path or tcp:A.B.C.D:PORT, not {:?} (line {})", node.value,
      node.line));
}

std::expected<void, Error> read_emulator(const Node& node, DaemonConfig& config) {
  auto emulator = MappingView::of(node, "emulator");
  if (!emulator) return std::unexpected(emulator.error());
  static const char* known[] = {"endpoints", "dram_size", "reserved_size", "endpoint_state", "versions",
                                "listen",    "faults",    "client_memory", "total_memory", "clients",
                                "handshake_timeout_ms"};
  for (const auto& [key, value] : emulator->order()) {
    bool ok = false;
    for (const char* k : known) ok = ok || key->value == k;
    if (!ok) {
      return std::unexpected(fmt::format("unknown key emulator.{} (line {})", key->value, key->line));
    }
  }
  const std::tuple<const char*, std::uint32_t DaemonConfig::*, std::uint32_t, std::uint32_t> counts[] = {
      {"endpoints", &DaemonConfig::endpoints, 1, 64},
      {"clients", &DaemonConfig::clients, 1, 65536},
      {"handshake_timeout_ms", &DaemonConfig::handshake_timeout_ms, 1, 600'000}};
  for (const auto& [key, field, low, high] : counts) {
    if (const Node* n = emulator->find(key)) {
      auto v = integer<std::uint32_t>(*n, fmt::format("emulator.{}", key), low, high);
      if (!v) return std::unexpected(v.error());
      config.*field = *v;
    }
  }
  // Byte counts: emulated DRAM, and the caps on payload memory held for clients.
  const std::tuple<const char*, std::uint64_t DaemonConfig::*, std::uint64_t> sizes[] = {
      {"dram_size", &DaemonConfig::dram_size, 0},
      {"reserved_size", &DaemonConfig::reserved_size, 0},
      {"client_memory", &DaemonConfig::client_memory, 4096},
      {"total_memory", &DaemonConfig::total_memory, 4096}};
  for (auto [key, field, min] : sizes) {
    if (const Node* n = emulator->find(key)) {
      auto v = integer<std::uint64_t>(*n, fmt::format("emulator.{}", key), min, 1ull << 40);
      if (!v) return std::unexpected(v.error());
      config.*field = *v;
    }
  }
  if (config.reserved_size > config.dram_size) {
    return std::unexpected(Error("emulator.reserved_size exceeds emulator.dram_size"));
  }
  if (const Node* n = emulator->find("endpoint_state")) {
    std::vector<const Node*> states;
    if (n->kind == Node::Kind::Sequence) {
      for (const auto& item : n->items) states.push_back(&item);
    } else {
      states.assign(config.endpoints, n);
    }
    if (states.size() != config.endpoints) {
      return std::unexpected(fmt::format("emulator.endpoint_state lists {} states for {} endpoints",
                                         states.size(), config.endpoints));
    }
    for (const Node* s : states) {
      auto v = integer<std::uint32_t>(*s, "emulator.endpoint_state", 0, 0xffffffffu);
      if (!v) return std::unexpected(v.error());
      config.endpoint_states.push_back(*v);
    }
  }
  if (const Node* n = emulator->find("versions")) {
    auto versions = MappingView::of(*n, "emulator.versions");
    if (!versions) return std::unexpected(versions.error());
    config.versions.clear();
    for (const auto& [key, value] : versions->order()) {
      VersionRecord record;
      bool named = false;
      for (std::uint32_t code = 0; code < std::size(kComponents); ++code) {
        if (key->value == kComponents[code]) {
          record.component = code;
          named = true;
        }
      }
      if (!named) {
        // Keys written from JSON arrive quoted.
        auto code = integer<std::uint32_t>(*key, "a component of emulator.versions (a name or a code)",
                                           0, 0xffffffffu, true);
        if (!code) return std::unexpected(code.error());
        record.component = *code;
      }
      auto version = version_text(*value);
      if (!version) return std::unexpected(version.error());
      record.version = *version;
      config.versions.push_back(record);
    }
  }
  auto listen = sequence(emulator->find("listen"), "emulator.listen");
  if (!listen) return std::unexpected(listen.error());
  for (const Node* item : *listen) {
    auto address = extra_address(*item);
    if (!address) return std::unexpected(address.error());
    config.listen.push_back(*address);
  }
  if (const Node* n = emulator->find("faults")) {
    auto faults = MappingView::of(*n, "emulator.faults");
    if (!faults) return std::unexpected(faults.error());
    for (const auto& [key, value] : faults->order()) {
      if (key->value == "latency_us") {
        auto v = integer<std::uint32_t>(*value, "emulator.faults.latency_us", 0, 60'000'000);
        if (!v) return std::unexpected(v.error());
        config.latency_us = *v;
      } else if (key->value == "call_status") {
        auto calls = MappingView::of(*value, "emulator.faults.call_status");
        if (!calls) return std::unexpected(calls.error());
        for (const auto& [name, code] : calls->order()) {
          if (!name->value.starts_with("dv_")) {
            return std::unexpected(fmt::format(
                "emulator.faults.call_status keys are dv_* function names, not {:?} (line {})",
                name->value, name->line));
          }
          auto v = integer<std::uint32_t>(*code, "a status in emulator.faults.call_status", 0,
                                          0xffffffffu);
          if (!v) return std::unexpected(v.error());
          config.call_status[name->value] = *v;
        }
      } else {
        return std::unexpected(
            fmt::format("unknown key emulator.faults.{} (line {})", key->value, key->line));
      }
    }
  }
  return {};
}

}  // namespace

std::expected<DaemonConfig, std::string> parse_config(const std::string& text,
                                                      const std::string& path) {
  auto fail = [&](const std::string& reason) {
    return std::unexpected(fmt::format("{} is not a usable configuration: {}", path, reason));
  };
  TreeBuilder builder(text);
  auto root = builder.document();
  if (!root) return fail(root.error());
  auto top = MappingView::of(*root, "the top level");
  if (!top) return fail(top.error());
  DaemonConfig config;
  config.versions = {{0, {2, 4, 0, 0}}, {1, {1, 9, 2, 0}}, {2, {3, 1, 0, 7}}, {5, {1, 3, 0, 0}}};
  const Node* proxy = top->find("proxy");
  if (!proxy) return fail("missing field `proxy`");
  if (auto ok = read_proxy(*proxy, config); !ok) return fail(ok.error());
  if (const Node* emulator = top->find("emulator")) {
    if (auto ok = read_emulator(*emulator, config); !ok) return fail(ok.error());
  }
  if (config.endpoint_states.empty()) config.endpoint_states.assign(config.endpoints, 1);
  if (config.listen.empty()) return fail("it declares no address to listen on");
  return config;
}

std::expected<DaemonConfig, std::string> read_config(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected(fmt::format("could not read {}: {}", path, std::strerror(errno)));
  std::stringstream text;
  text << in.rdbuf();
  return parse_config(text.str(), path);
}

}  // namespace emu::proxy
