#include "ara2/proxy_config.hpp"

#include <sys/stat.h>
#include <yaml.h>

#include <cerrno>
#include <cstdint>
#include <fmt/format.h>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>

#include "ara2/file_io.hpp"
#include "ara2/text.hpp"

namespace tallowind::ara2 {
namespace {

constexpr std::size_t kMaxDepth = 64;
constexpr std::size_t kMaxNodes = 100'000;
constexpr std::string_view kYamlTag = "tag:yaml.org,2002:";

template <class T>
using Parsed = std::expected<T, std::string>;
using Reason = std::unexpected<std::string>;

struct Position {
  std::size_t line = 0;  // 0-based, as libyaml counts
  std::size_t column = 0;
};

std::string at(Position p) { return fmt::format(" at line {} column {}", p.line + 1, p.column + 1); }

struct Node {
  enum class Type : std::uint8_t { Scalar, Sequence, Mapping };
  Type type = Type::Scalar;
  Position position;
  std::string text;      // scalar value
  std::string tag;       // explicit tag, empty when none
  bool plain = false;    // plain and untagged: typed by YAML 1.1 resolution
  struct Item {
    std::shared_ptr<const Node> node;
    Position position;  // where it appears, which for an alias is not where its node is
  };
  std::vector<Item> items;  // sequence items, or mapping keys and values alternating
};
using NodePtr = std::shared_ptr<const Node>;
using Item = Node::Item;

class YamlParser {
 public:
  explicit YamlParser(std::string_view text) {
    initialized_ = yaml_parser_initialize(&parser_) != 0;
    if (!initialized_) return;
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
  }
  ~YamlParser() {
    if (initialized_) yaml_parser_delete(&parser_);
  }
  YamlParser(const YamlParser&) = delete;
  YamlParser& operator=(const YamlParser&) = delete;

  bool initialized() const { return initialized_; }
  yaml_parser_t* get() { return &parser_; }

 private:
  yaml_parser_t parser_{};
  bool initialized_ = false;
};

class YamlEvent {
 public:
  YamlEvent() = default;
  ~YamlEvent() {
    if (live_) yaml_event_delete(&event_);
  }
  YamlEvent(const YamlEvent&) = delete;
  YamlEvent& operator=(const YamlEvent&) = delete;

  bool parse(YamlParser& parser) { return live_ = yaml_parser_parse(parser.get(), &event_) != 0; }
  const yaml_event_t& operator*() const { return event_; }

 private:
  yaml_event_t event_{};
  bool live_ = false;
};

/// Line and column (in characters) of a byte offset; reader errors carry only the offset.
Position position_of_offset(std::string_view text, std::size_t offset) {
  Position p;
  offset = std::min(offset, text.size());
  for (std::size_t i = 0; i < offset; ++i) {
    const char c = text[i];
    if (c == '\n' || (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
      ++p.line;
      p.column = 0;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++p.column;
    }
  }
  return p;
}

std::string syntax_error(const yaml_parser_t& parser, std::string_view text) {
  if (parser.error == YAML_MEMORY_ERROR) return "out of memory while parsing";
  const std::string problem = parser.problem ? parser.problem : "unknown syntax error";
  const Position position = parser.error == YAML_READER_ERROR
                                ? position_of_offset(text, parser.problem_offset)
                                : Position{parser.problem_mark.line, parser.problem_mark.column};
  if (parser.context) return fmt::format("{}, {}{}", parser.context, problem, at(position));
  return problem + at(position);
}

std::string_view c_text(const yaml_char_t* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

/// Builds the node graph of the single document; a null root means the stream
/// held no document. Aliases share the anchored node instead of copying it.
Parsed<Item> compose(std::string_view text) {
  YamlParser parser(text);
  if (!parser.initialized()) return Reason("out of memory while parsing");

  struct Open {
    std::shared_ptr<Node> node;
    std::string anchor;
  };
  std::vector<Open> open;
  std::map<std::string, NodePtr, std::less<>> anchors;
  Item root;
  std::size_t documents = 0;
  std::size_t nodes = 0;

  for (;;) {
    YamlEvent event;
    if (!event.parse(parser)) return Reason(syntax_error(*parser.get(), text));
    const yaml_event_t& e = *event;
    const Position position{e.start_mark.line, e.start_mark.column};
    if (e.type == YAML_STREAM_END_EVENT) return root;
    if (e.type == YAML_DOCUMENT_START_EVENT) {
      if (++documents > 1) return Reason("found a second document where one was expected" + at(position));
      continue;
    }
    const bool starts_node = e.type == YAML_SCALAR_EVENT || e.type == YAML_ALIAS_EVENT ||
                             e.type == YAML_SEQUENCE_START_EVENT || e.type == YAML_MAPPING_START_EVENT;
    if (starts_node && ++nodes > kMaxNodes) {
      return Reason(fmt::format("more than {} nodes", kMaxNodes) + at(position));
    }

    NodePtr done;
    Position where = position;
    switch (e.type) {
      case YAML_ALIAS_EVENT: {
        const auto found = anchors.find(c_text(e.data.alias.anchor));
        if (found == anchors.end()) {
          return Reason(fmt::format("unknown anchor `{}`", c_text(e.data.alias.anchor)) + at(position));
        }
        done = found->second;
        break;
      }
      case YAML_SCALAR_EVENT: {
        auto node = std::make_shared<Node>();
        node->position = position;
        node->text.assign(reinterpret_cast<const char*>(e.data.scalar.value), e.data.scalar.length);
        node->tag = c_text(e.data.scalar.tag);
        node->plain = e.data.scalar.style == YAML_PLAIN_SCALAR_STYLE && node->tag.empty();
        if (e.data.scalar.anchor) anchors.insert_or_assign(std::string(c_text(e.data.scalar.anchor)), node);
        done = std::move(node);
        break;
      }
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT: {
        if (open.size() >= kMaxDepth) return Reason(fmt::format("nesting deeper than {} levels", kMaxDepth) + at(position));
        auto node = std::make_shared<Node>();
        node->position = position;
        const bool sequence = e.type == YAML_SEQUENCE_START_EVENT;
        node->type = sequence ? Node::Type::Sequence : Node::Type::Mapping;
        const yaml_char_t* anchor = sequence ? e.data.sequence_start.anchor : e.data.mapping_start.anchor;
        open.push_back({std::move(node), std::string(c_text(anchor))});
        continue;
      }
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT: {
        Open closed = std::move(open.back());
        open.pop_back();
        // Registered only once complete, so a node can never contain itself.
        if (!closed.anchor.empty()) anchors.insert_or_assign(std::move(closed.anchor), closed.node);
        where = closed.node->position;
        done = std::move(closed.node);
        break;
      }
      default:
        continue;
    }
    if (open.empty()) {
      root = {std::move(done), where};
    } else {
      open.back().node->items.push_back({std::move(done), where});
    }
  }
}

enum class ScalarType : std::uint8_t { Null, Bool, Int, Float, Str };

bool one_of(std::string_view text, std::initializer_list<std::string_view> words) {
  for (auto word : words) {
    if (text == word) return true;
  }
  return false;
}

/// A YAML 1.1 integer, clamped so that anything too large stays out of every range.
std::optional<std::int64_t> parse_yaml_int(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'o' || text[1] == 'b')) {
    base = text[1] == 'x' ? 16 : text[1] == 'o' ? 8 : 2;
    text.remove_prefix(2);
  } else if (text.size() > 1 && text[0] == '0') {
    base = 8;
    text.remove_prefix(1);
  }
  std::int64_t value = 0;
  bool any_digit = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    // Separators may not lead a decimal number, which would make `_1` an integer.
    if (c == '_' && (base != 10 || i > 0)) continue;
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    any_digit = true;
    constexpr std::int64_t kClamp = std::int64_t{1} << 40;
    value = std::min(value * static_cast<std::int64_t>(base) + digit, kClamp);
  }
  if (!any_digit) return std::nullopt;
  return negative ? -value : value;
}

bool is_yaml_float(std::string_view text) {
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  if (one_of(text, {".inf", ".Inf", ".INF"})) return true;
  bool dot = false;
  bool digit = false;
  std::size_t i = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' && !dot) {
      dot = true;
    } else if (c != '_') {
      break;
    }
  }
  if (!dot || !digit) return false;
  if (i == text.size()) return true;
  if (text[i] != 'e' && text[i] != 'E') return false;
  ++i;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

ScalarType resolve(const Node& node) {
  if (!node.tag.empty()) {
    if (!node.tag.starts_with(kYamlTag)) return ScalarType::Str;
    const std::string_view name = std::string_view(node.tag).substr(kYamlTag.size());
    if (name == "null") return ScalarType::Null;
    if (name == "bool") return ScalarType::Bool;
    if (name == "int") return ScalarType::Int;
    if (name == "float") return ScalarType::Float;
    return ScalarType::Str;
  }
  if (!node.plain) return ScalarType::Str;
  const std::string_view t = node.text;
  if (one_of(t, {"", "~", "null", "Null", "NULL"})) return ScalarType::Null;
  if (one_of(t, {"y", "Y", "yes", "Yes", "YES", "n", "N", "no", "No", "NO", "true", "True", "TRUE", "false", "False",
                 "FALSE", "on", "On", "ON", "off", "Off", "OFF"})) {
    return ScalarType::Bool;
  }
  if (parse_yaml_int(t)) return ScalarType::Int;
  if (is_yaml_float(t) || one_of(t, {".nan", ".NaN", ".NAN"})) return ScalarType::Float;
  return ScalarType::Str;
}

std::string describe(const Node& node) {
  switch (node.type) {
    case Node::Type::Sequence: return "sequence";
    case Node::Type::Mapping: return "mapping";
    case Node::Type::Scalar: break;
  }
  switch (resolve(node)) {
    case ScalarType::Null: return "null";
    case ScalarType::Bool: return fmt::format("boolean `{}`", node.text);
    case ScalarType::Int: return fmt::format("integer `{}`", node.text);
    case ScalarType::Float: return fmt::format("floating point `{}`", node.text);
    case ScalarType::Str: break;
  }
  return "string " + quote_escaped(node.text);
}

std::string in_field(std::string_view field, std::string_view message) {
  return field.empty() ? std::string(message) : fmt::format("{}: {}", field, message);
}

Reason invalid_type(std::string_view field, const Item& item, std::string_view expected) {
  return Reason(in_field(field, fmt::format("invalid type: {}, expected {}", describe(*item.node), expected)) +
                at(item.position));
}

bool is_null(const Node& node) { return node.type == Node::Type::Scalar && resolve(node) == ScalarType::Null; }

Parsed<std::string> read_text(const Item& item, std::string_view field) {
  const Node& node = *item.node;
  if (node.type != Node::Type::Scalar) return invalid_type(field, item, "a string");
  const ScalarType type = resolve(node);
  if (type == ScalarType::Null || type == ScalarType::Bool) return invalid_type(field, item, "a string");
  return node.text;
}

Parsed<std::uint16_t> read_port(const Item& item, std::string_view field) {
  constexpr std::string_view kExpected = "a port number from 0 to 65535";
  const Node& node = *item.node;
  if (node.type != Node::Type::Scalar || resolve(node) != ScalarType::Int) return invalid_type(field, item, kExpected);
  const auto value = parse_yaml_int(node.text);
  if (!value || *value < 0 || *value > 65535) {
    return Reason(in_field(field, fmt::format("invalid value: {}, expected {}", describe(node), kExpected)) +
                  at(item.position));
  }
  return static_cast<std::uint16_t>(*value);
}

template <class T, class ReadItem>
Parsed<std::vector<T>> read_list(const Item* list, std::string_view field, ReadItem read_item) {
  std::vector<T> out;
  if (!list || is_null(*list->node)) return out;
  const Node& node = *list->node;
  if (node.type != Node::Type::Sequence) return invalid_type(field, *list, "a sequence");
  out.reserve(node.items.size());
  for (std::size_t i = 0; i < node.items.size(); ++i) {
    auto item = read_item(node.items[i], fmt::format("{}[{}]", field, i));
    if (!item) return Reason(std::move(item.error()));
    out.push_back(std::move(*item));
  }
  return out;
}

/// The values of the named keys of a mapping (null where absent), in the order
/// of `names`. Keys this reader does not know are skipped.
Parsed<std::vector<const Item*>> pick_fields(const Node& mapping, std::initializer_list<std::string_view> names,
                                             std::string_view field) {
  std::vector<const Item*> values(names.size(), nullptr);
  for (std::size_t i = 0; i + 1 < mapping.items.size(); i += 2) {
    const Item& key = mapping.items[i];
    if (key.node->type != Node::Type::Scalar) continue;
    std::size_t index = 0;
    for (auto name : names) {
      if (key.node->text == name) {
        if (values[index]) return Reason(in_field(field, fmt::format("duplicate field `{}`", name)) + at(key.position));
        values[index] = &mapping.items[i + 1];
      }
      ++index;
    }
  }
  return values;
}

Parsed<std::vector<ProxyEndpoint>> interpret(const Item& root) {
  if (!root.node || is_null(*root.node)) return Reason("missing field `proxy`" + at(root.position));
  if (root.node->type != Node::Type::Mapping) return invalid_type("", root, "a mapping with a `proxy` key");
  const auto top = pick_fields(*root.node, {"proxy"}, "");
  if (!top) return Reason(top.error());
  const Item* proxy = (*top)[0];
  if (!proxy) return Reason("missing field `proxy`" + at(root.position));
  if (proxy->node->type != Node::Type::Mapping) return invalid_type("proxy", *proxy, "a mapping");

  const auto fields =
      pick_fields(*proxy->node, {"interface_type", "interface_socket_file", "interface_ip_address", "interface_port"}, "proxy");
  if (!fields) return Reason(fields.error());
  const auto [type_node, socket_node, address_node, port_node] = std::array{(*fields)[0], (*fields)[1], (*fields)[2], (*fields)[3]};

  std::string type = "SOCKET";
  if (type_node && !is_null(*type_node->node)) {
    auto text = read_text(*type_node, "proxy.interface_type");
    if (!text) return Reason(text.error());
    type = std::move(*text);
  }
  const auto sockets = read_list<std::string>(socket_node, "proxy.interface_socket_file", read_text);
  if (!sockets) return Reason(sockets.error());
  const auto addresses = read_list<std::string>(address_node, "proxy.interface_ip_address", read_text);
  if (!addresses) return Reason(addresses.error());
  const auto ports = read_list<std::uint16_t>(port_node, "proxy.interface_port", read_port);
  if (!ports) return Reason(ports.error());

  for (char& c : type) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  std::vector<ProxyEndpoint> endpoints;
  if (type == "SOCKET") {
    for (const auto& path : *sockets) endpoints.push_back(ProxyEndpoint::unix_socket(path));
  } else if (type == "IPV4") {
    const std::size_t pairs = std::min(addresses->size(), ports->size());
    for (std::size_t i = 0; i < pairs; ++i) {
      if (const auto address = parse_ipv4((*addresses)[i])) endpoints.push_back(ProxyEndpoint::tcp(*address, (*ports)[i]));
    }
  } else if (type != "NAMED_PIPE") {
    return Reason("unknown interface_type " + quote_escaped(type));
  }
  return endpoints;
}

Result<std::string> read_config_bytes(std::string_view path) {
  const std::string shown = utf8_lossy(path);
  if (path.find('\0') != std::string_view::npos) {
    return fail(CoreError::config_read(shown, OsError::custom("the path contains a NUL byte")));
  }
  // Non-blocking so that a FIFO named by another process cannot stall the caller.
  const UniqueFd fd = open_for_reading(std::string(path));
  if (!fd) return fail(CoreError::config_read(shown, OsError::from_errno(errno)));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return fail(CoreError::config_read(shown, OsError::from_errno(errno)));
  if (S_ISDIR(info.st_mode)) return fail(CoreError::config_read(shown, OsError::from_errno(EISDIR)));
  if (!S_ISREG(info.st_mode)) return fail(CoreError::config_read(shown, OsError::custom("not a regular file")));

  const auto too_large = [&] {
    return fail(CoreError::config_read(
        shown, OsError::custom(fmt::format("the file is larger than the {} bytes a proxy configuration may have",
                                           kMaxProxyConfigBytes))));
  };
  if (static_cast<std::uint64_t>(info.st_size) > kMaxProxyConfigBytes) return too_large();
  auto read = read_up_to(fd.get(), kMaxProxyConfigBytes, static_cast<std::uint64_t>(info.st_size));
  if (!read) return fail(CoreError::config_read(shown, OsError::from_errno(read.error())));
  // The size may have grown since fstat.
  if (read->size() > kMaxProxyConfigBytes) return too_large();
  std::string bytes = std::move(*read);
  if (!is_valid_utf8(bytes)) return fail(CoreError::config_read(shown, OsError::custom("the file is not valid UTF-8")));
  return bytes;
}

}  // namespace

Result<ProxyConfig> parse_proxy_config(std::string_view path, std::string_view yaml_text) {
  auto invalid = [&](const std::string& reason) { return fail(CoreError::config_invalid(utf8_lossy(path), reason)); };
  const auto root = compose(yaml_text);
  if (!root) return invalid(root.error());
  auto endpoints = interpret(*root);
  if (!endpoints) return invalid(endpoints.error());
  return ProxyConfig{std::string(path), std::move(*endpoints)};
}

Result<ProxyConfig> read_proxy_config(std::string_view path) {
  const auto bytes = read_config_bytes(path);
  if (!bytes) return fail(bytes.error());
  return parse_proxy_config(path, *bytes);
}

}  // namespace tallowind::ara2
