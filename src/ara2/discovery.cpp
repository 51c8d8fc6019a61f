#include "ara2/discovery.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "ara2/file_io.hpp"
#include "ara2/proxy_config.hpp"
#include "ara2/text.hpp"

namespace tallowind::ara2 {
namespace {

constexpr std::string_view kProxyName = "kinara_main";
// Every read is bounded: a fake or hostile tree may hold huge files.
constexpr std::size_t kMaxCommBytes = 4096;
constexpr std::size_t kMaxCmdlineBytes = 4 << 20;
constexpr std::size_t kMaxTableBytes = 64 << 20;
constexpr std::size_t kMaxTableLine = 4096;
constexpr std::size_t kMaxLinkBytes = 1 << 16;

using InodeSet = std::unordered_set<std::uint64_t>;

class Directory {
 public:
  explicit Directory(const std::string& path) : dir_(::opendir(path.c_str())) {}
  ~Directory() {
    if (dir_) ::closedir(dir_);
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

struct Bytes {
  std::string data;
  bool complete = true;  // false when the file had more than the cap
};

std::optional<Bytes> read_bounded(const std::string& path, std::size_t max_bytes) {
  const UniqueFd fd = open_for_reading(path);
  if (!fd) return std::nullopt;
  auto data = read_up_to(fd.get(), max_bytes);
  if (!data) return std::nullopt;
  Bytes out{std::move(*data)};
  if (out.data.size() > max_bytes) {
    out.data.resize(max_bytes);
    out.complete = false;
  }
  return out;
}

/// Streams a kernel table line by line; lines longer than the cap are skipped.
class LineReader {
 public:
  explicit LineReader(const std::string& path) : fd_(open_for_reading(path)) {}
  bool opened() const { return static_cast<bool>(fd_); }

  bool next(std::string& line) {
    line.clear();
    bool overlong = false;
    for (;;) {
      if (pos_ == end_ && !fill()) {
        if (overlong) line.clear();
        return !line.empty() || overlong;
      }
      const char* start = buffer_.data() + pos_;
      const void* newline = std::memchr(start, '\n', end_ - pos_);
      const std::size_t take = newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - start) : end_ - pos_;
      if (!overlong && line.size() + take <= kMaxTableLine) {
        line.append(start, take);
      } else {
        overlong = true;
        line.clear();
      }
      pos_ += take;
      if (newline) {
        ++pos_;
        // An overlong line comes back empty, which parses as nothing.
        return true;
      }
    }
  }

 private:
  bool fill() {
    if (total_ >= kMaxTableBytes) return false;
    for (;;) {
      const ssize_t got = ::read(fd_.get(), buffer_.data(), buffer_.size());
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      pos_ = 0;
      end_ = static_cast<std::size_t>(got);
      total_ += end_;
      return true;
    }
  }

  UniqueFd fd_;
  std::array<char, 65536> buffer_{};
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  std::size_t total_ = 0;
};

std::optional<std::string> read_link_at(int dir_fd, const char* name) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t got = ::readlinkat(dir_fd, name, target.data(), target.size());
    if (got < 0) return std::nullopt;
    if (static_cast<std::size_t>(got) < target.size()) {
      target.resize(static_cast<std::size_t>(got));
      return target;
    }
    if (target.size() >= kMaxLinkBytes) return std::nullopt;
    target.resize(target.size() * 4);
  }
}

std::optional<std::string> read_link(const std::string& path) { return read_link_at(AT_FDCWD, path.c_str()); }

/// Unsigned number in the given base, an optional leading plus sign accepted.
template <class T>
std::optional<T> parse_unsigned(std::string_view text, unsigned base) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  T value = 0;
  for (const char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (value > (static_cast<T>(-1) - digit) / base) return std::nullopt;
    value = static_cast<T>(value * base + digit);
  }
  return value;
}

bool is_field_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

/// Splits at runs of white space; with `rest_after`, the text after that many
/// fields is kept whole as the last field (socket paths may hold spaces).
std::vector<std::string_view> split_fields(std::string_view line, std::size_t rest_after = SIZE_MAX) {
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && is_field_space(line[i])) ++i;
    if (i == line.size()) break;
    if (fields.size() == rest_after) {
      fields.push_back(line.substr(i));
      break;
    }
    const std::size_t start = i;
    while (i < line.size() && !is_field_space(line[i])) ++i;
    fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

bool is_proxy(const std::string& pid_dir) {
  const auto comm = read_bounded(pid_dir + "/comm", kMaxCommBytes);
  if (!comm || !comm->complete || !is_valid_utf8(comm->data)) return false;
  return trim_unicode_whitespace(comm->data) == kProxyName;
}

/// The configuration path named by the first `--config=...`, `--config ...` or `-c ...`.
std::optional<std::string> config_option(std::string_view cmdline) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start <= cmdline.size()) {
    std::size_t end = cmdline.find('\0', start);
    if (end == std::string_view::npos) end = cmdline.size();
    if (end > start) pieces.push_back(cmdline.substr(start, end - start));
    start = end + 1;
  }
  // Matching on the raw bytes equals matching on the lossily decoded text, since
  // the options are ASCII; keeping the bytes lets a non-UTF-8 path be opened.
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::string_view piece = pieces[i];
    if (piece.starts_with("--config=")) return std::string(piece.substr(9));
    if (piece == "--config" || piece == "-c") {
      if (i + 1 < pieces.size()) return std::string(pieces[i + 1]);
      return std::nullopt;
    }
  }
  return std::nullopt;
}

InodeSet socket_inodes(const std::string& fd_dir) {
  InodeSet inodes;
  const Directory dir(fd_dir);
  if (!dir.get()) return inodes;
  while (const dirent* entry = ::readdir(dir.get())) {
    const auto target = read_link_at(::dirfd(dir.get()), entry->d_name);
    if (!target || !target->starts_with("socket:[") || !target->ends_with(']')) continue;
    const std::string_view digits = std::string_view(*target).substr(8, target->size() - 9);
    if (const auto inode = parse_unsigned<std::uint64_t>(digits, 10)) inodes.insert(*inode);
  }
  return inodes;
}

/// The kernel's tables of listening sockets, read once per discovery and only
/// when some proxy's sockets need matching.
class SocketTables {
 public:
  explicit SocketTables(std::string proc_root) : root_(std::move(proc_root)) {}

  std::vector<ProxyEndpoint> endpoints_for(const InodeSet& inodes) {
    load();
    std::vector<ProxyEndpoint> out;
    for (const auto& [inode, endpoint] : unix_) {
      if (inodes.contains(inode)) out.push_back(endpoint);
    }
    for (const auto& [inode, endpoint] : tcp_) {
      if (inodes.contains(inode)) out.push_back(endpoint);
    }
    return out;
  }

 private:
  void load() {
    if (loaded_) return;
    loaded_ = true;
    std::string line;
    LineReader unix_table(root_ + "/net/unix");
    while (unix_table.opened() && unix_table.next(line)) {
      const auto fields = split_fields(line, 7);
      if (fields.size() < 8) continue;
      const auto flags = parse_unsigned<std::uint32_t>(fields[3], 16);
      const auto inode = parse_unsigned<std::uint64_t>(fields[6], 10);
      // Only listening sockets bound to a path: abstract names read "@...".
      if (!flags || !(*flags & 0x10000) || !inode || !fields[7].starts_with('/')) continue;
      unix_.emplace_back(*inode, ProxyEndpoint::unix_socket(std::string(fields[7])));
    }
    LineReader tcp_table(root_ + "/net/tcp");
    bool header = true;
    while (tcp_table.opened() && tcp_table.next(line)) {
      if (std::exchange(header, false)) continue;
      const auto fields = split_fields(line);
      if (fields.size() < 10 || fields[3] != "0A") continue;
      const auto inode = parse_unsigned<std::uint64_t>(fields[9], 10);
      const std::size_t colon = fields[1].find(':');
      if (!inode || colon == std::string_view::npos) continue;
      const auto address = parse_unsigned<std::uint32_t>(fields[1].substr(0, colon), 16);
      const auto port = parse_unsigned<std::uint16_t>(fields[1].substr(colon + 1), 16);
      if (!address || !port) continue;
      // The kernel prints the address's in-memory bytes as one host-order word,
      // so the host's own layout recovers them on either byte order.
      Ipv4Address ip;
      ip.octets = std::bit_cast<std::array<std::uint8_t, 4>>(*address);
      tcp_.emplace_back(*inode, ProxyEndpoint::tcp(ip, *port));
    }
  }

  std::string root_;
  bool loaded_ = false;
  std::vector<std::pair<std::uint64_t, ProxyEndpoint>> unix_;
  std::vector<std::pair<std::uint64_t, ProxyEndpoint>> tcp_;
};

/// The file the proxy itself would open: a relative path is resolved against
/// the proxy's working directory when that link is readable.
std::string config_to_read(const std::string& pid_dir, const std::string& config) {
  if (config.starts_with('/')) return config;
  const auto cwd = read_link(pid_dir + "/cwd");
  if (!cwd || !cwd->starts_with('/')) return config;
  return *cwd + "/" + config;
}

std::optional<std::uint32_t> parse_pid(std::string_view name) { return parse_unsigned<std::uint32_t>(name, 10); }

}  // namespace

Result<std::vector<Proxy>> discover(std::string_view proc_root) {
  const std::string root(proc_root);
  const Directory dir(root);
  if (!dir.get()) return fail(CoreError::proc_read(utf8_lossy(proc_root), OsError::from_errno(errno)));

  SocketTables tables(root);
  std::vector<Proxy> proxies;
  while (const dirent* entry = ::readdir(dir.get())) {
    const auto pid = parse_pid(entry->d_name);
    if (!pid) continue;
    const std::string pid_dir = root + "/" + entry->d_name;
    if (!is_proxy(pid_dir)) continue;

    Proxy proxy;
    proxy.pid = *pid;
    if (const auto cmdline = read_bounded(pid_dir + "/cmdline", kMaxCmdlineBytes)) {
      proxy.config = config_option(cmdline->data);
    }
    proxy.exe = read_link(pid_dir + "/exe");
    const InodeSet inodes = socket_inodes(pid_dir + "/fd");
    if (!inodes.empty()) proxy.endpoints = tables.endpoints_for(inodes);
    if (proxy.endpoints.empty() && proxy.config) {
      if (auto config = read_proxy_config(config_to_read(pid_dir, *proxy.config))) {
        proxy.endpoints = std::move(config->endpoints);
      }
    }
    proxies.push_back(std::move(proxy));
  }
  std::stable_sort(proxies.begin(), proxies.end(), [](const Proxy& a, const Proxy& b) { return a.pid < b.pid; });
  return proxies;
}

}  // namespace tallowind::ara2
