#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "ara2/discovery.hpp"
#include "temp_tree.hpp"

using tallowind::ara2::Proxy;
using tallowind::ara2::ProxyEndpoint;

namespace {

constexpr std::string_view kUnixHeader = "Num       RefCount Protocol Flags    Type St Inode Path\n";
constexpr std::string_view kTcpHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

std::string unix_line(std::string_view flags, std::uint64_t inode, std::string_view path) {
  return fmt::format("0000000000000000: 00000002 00000000 {} 0001 01 {:5}{}{}\n", flags, inode,
                     path.empty() ? "" : " ", path);
}

std::string tcp_line(std::string_view local, std::string_view state, std::uint64_t inode) {
  return fmt::format("   0: {} 00000000:0000 {} 00000000:00000000 00:00000000 00000000     0        0 {} 1 "
                     "0000000000000000 100 0 0 10 0\n",
                     local, state, inode);
}

/// A fake process file system in a scratch directory.
class FakeProc {
 public:
  const TempTree& tree() const { return tree_; }
  std::string root() const { return tree_.path("proc"); }

  /// A process with the given comm; `fds` are link targets as the kernel writes them.
  void process(std::string_view pid, std::string_view comm, std::initializer_list<std::string_view> cmdline = {},
               std::initializer_list<std::string_view> fds = {}) const {
    const std::string dir = fmt::format("proc/{}", pid);
    tree_.write(dir + "/comm", comm);
    std::string args;
    for (auto piece : cmdline) {
      args.append(piece);
      args.push_back('\0');
    }
    tree_.write(dir + "/cmdline", args);
    tree_.link(dir + "/exe", "/usr/bin/kinara_main");
    tree_.mkdir(dir + "/fd");
    int fd = 0;
    for (auto target : fds) tree_.link(fmt::format("{}/fd/{}", dir, fd++), target);
  }
  void unix_table(const std::string& lines) const { tree_.write("proc/net/unix", std::string(kUnixHeader) + lines); }
  void tcp_table(const std::string& lines) const { tree_.write("proc/net/tcp", std::string(kTcpHeader) + lines); }

  std::vector<Proxy> discover() const {
    const auto found = tallowind::ara2::discover(root());
    if (!found) {
      ADD_FAILURE() << found.error().message();
      return {};
    }
    return *found;
  }
  /// The endpoints of the only proxy found, as "unix:..." and "tcp:host:port".
  std::vector<std::string> endpoints() const {
    const auto found = discover();
    if (found.size() != 1) {
      ADD_FAILURE() << found.size() << " proxies found";
      return {};
    }
    std::vector<std::string> out;
    for (const auto& e : found[0].endpoints) {
      out.push_back(e.kind == ProxyEndpoint::Kind::Unix
                        ? "unix:" + e.path
                        : fmt::format("tcp:{}:{}", tallowind::ara2::to_string(e.address), e.port));
    }
    return out;
  }

 private:
  TempTree tree_;
};

using Strings = std::vector<std::string>;

}  // namespace

TEST(Discovery, ReportsTheListeningSocketsTheProxyHoldsOpen) {
  FakeProc proc;
  proc.process("4242", "kinara_main\n", {"/usr/bin/kinara_main", "-c", "/etc/proxy.yaml"},
               {"/dev/null", "socket:[7001]", "socket:[7002]", "socket:[7003]"});
  proc.unix_table(unix_line("00010000", 9999, "/run/other.sock") + unix_line("00010000", 7001, "/var/run/proxy.sock"));
  proc.tcp_table(tcp_line("0100007F:1F90", "0A", 7002) + tcp_line("00000000:0050", "0A", 7003));
  const auto found = proc.discover();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].pid, 4242u);
  EXPECT_EQ(found[0].config, "/etc/proxy.yaml");
  EXPECT_EQ(found[0].exe, "/usr/bin/kinara_main");
  EXPECT_EQ(found[0].endpoints,
            (std::vector{ProxyEndpoint::unix_socket("/var/run/proxy.sock"),
                         ProxyEndpoint::tcp(*tallowind::ara2::parse_ipv4("127.0.0.1"), 8080),
                         ProxyEndpoint::tcp(*tallowind::ara2::parse_ipv4("0.0.0.0"), 80)}));
}

TEST(Discovery, KeepsOnlyListeningPathSocketsOfTheProcessInTableOrder) {
  struct Case {
    const char* what;
    std::string unix_lines;
    std::string tcp_lines;
    Strings expected;
  };
  const Case cases[] = {
      {"not listening", unix_line("00000000", 1, "/run/a.sock"), "", {}},
      {"other flags beside listening", unix_line("00010001", 1, "/run/a.sock"), "", {"unix:/run/a.sock"}},
      {"abstract", unix_line("00010000", 1, "@abstract"), "", {}},
      {"unnamed", unix_line("00010000", 1, ""), "", {}},
      {"relative path", unix_line("00010000", 1, "run/a.sock"), "", {}},
      {"another process's socket", unix_line("00010000", 77, "/run/a.sock"), "", {}},
      {"path with spaces", unix_line("00010000", 1, "/run/my proxy.sock"), "", {"unix:/run/my proxy.sock"}},
      {"path not UTF-8", unix_line("00010000", 1, "/run/\xFF.sock") + unix_line("00010000", 2, "/run/b"), "",
       {"unix:/run/\xFF.sock", "unix:/run/b"}},
      {"unix table order, then tcp",
       unix_line("00010000", 3, "/run/c") + unix_line("00010000", 1, "/run/a"),
       tcp_line("0100007F:0001", "0A", 4) + tcp_line("0100007F:0002", "0A", 2),
       {"unix:/run/c", "unix:/run/a", "tcp:127.0.0.1:1", "tcp:127.0.0.1:2"}},
      {"tcp not listening", "", tcp_line("0100007F:1F90", "01", 1), {}},
      {"tcp state in lower case", "", tcp_line("0100007F:1F90", "0a", 1), {}},
      {"tcp byte order", "", tcp_line("0101A8C0:FFFF", "0A", 1), {"tcp:192.168.1.1:65535"}},
      {"tcp address in lower case", "", tcp_line("0a00000a:01bb", "0A", 1), {"tcp:10.0.0.10:443"}},
      {"tcp port too large", "", tcp_line("0100007F:10000", "0A", 1), {}},
      {"tcp address too large", "", tcp_line("10100007F:0050", "0A", 1), {}},
      {"tcp address without port", "", tcp_line("0100007F", "0A", 1), {}},
      {"lines without enough fields", "garbage\n\n00010000 1 /run/a\n", "0: 0100007F:1F90 0 0A\n", {}},
  };
  for (const auto& c : cases) {
    FakeProc proc;
    proc.process("10", "kinara_main", {}, {"socket:[1]", "socket:[2]", "socket:[3]", "socket:[4]"});
    proc.unix_table(c.unix_lines);
    proc.tcp_table(c.tcp_lines);
    EXPECT_EQ(proc.endpoints(), c.expected) << c.what;
  }
}

TEST(Discovery, TheFirstLineOfTheTcpTableIsNeverAnEndpoint) {
  FakeProc proc;
  proc.process("10", "kinara_main", {}, {"socket:[1]", "socket:[2]"});
  proc.tree().write("proc/net/tcp", tcp_line("0100007F:0001", "0A", 1) + tcp_line("0100007F:0002", "0A", 2));
  EXPECT_EQ(proc.endpoints(), Strings{"tcp:127.0.0.1:2"});
}

TEST(Discovery, ReadsSocketInodesFromFdLinks) {
  const std::pair<const char*, bool> cases[] = {
      {"socket:[5]", true},           {"socket:[+5]", true},  {"socket:[05]", true},
      {"socket:[]", false},           {"socket:[-5]", false}, {"socket:[5x]", false},
      {"socket:[5", false},           {"socket:5]", false},   {"pipe:[5]", false},
      {"socket:[18446744073709551621]", false},  // 2^64 + 5 must not wrap to 5
      {"/run/x.sock", false},
  };
  for (auto [target, found] : cases) {
    FakeProc proc;
    proc.process("10", "kinara_main", {}, {target});
    proc.unix_table(unix_line("00010000", 5, "/run/p.sock"));
    EXPECT_EQ(proc.endpoints(), found ? Strings{"unix:/run/p.sock"} : Strings{}) << target;
  }
}

TEST(Discovery, RecognisesTheProxyByItsExactCommandName) {
  const std::pair<std::string, bool> cases[] = {
      {"kinara_main\n", true},  {" \tkinara_main \n", true}, {"kinara_main", true},
      {"kinara_main2\n", false}, {"Kinara_main\n", false},   {"kinara\n", false},
      {"kinara_main\xFF\n", false}, {"", false},
  };
  for (const auto& [comm, proxy] : cases) {
    FakeProc proc;
    proc.process("10", comm);
    EXPECT_EQ(proc.discover().size(), proxy ? 1u : 0u) << comm;
  }
}

TEST(Discovery, TakesPidsFromNumericEntriesOnly) {
  FakeProc proc;
  for (auto name : {"+42", "self", "4294967296", "12a", "-3", "\xFF", "4294967295", "7"}) proc.process(name, "kinara_main");
  proc.tree().write("proc/9/nothing", "");  // a process without comm
  std::vector<std::uint32_t> pids;
  for (const auto& p : proc.discover()) pids.push_back(p.pid);
  EXPECT_EQ(pids, (std::vector<std::uint32_t>{7, 42, 4294967295u}));
}

TEST(Discovery, SortsProxiesByPid) {
  FakeProc proc;
  for (auto name : {"300", "20", "1000", "21"}) proc.process(name, "kinara_main");
  proc.process("5", "bash");
  std::vector<std::uint32_t> pids;
  for (const auto& p : proc.discover()) pids.push_back(p.pid);
  EXPECT_EQ(pids, (std::vector<std::uint32_t>{20, 21, 300, 1000}));
}

TEST(Discovery, FindsTheConfigurationOptionOnTheCommandLine) {
  struct Case {
    std::initializer_list<std::string_view> cmdline;
    std::optional<std::string> config;
  };
  const Case cases[] = {
      {{"kinara_main", "--config=/a.yaml"}, "/a.yaml"},
      {{"kinara_main", "--config", "/b.yaml"}, "/b.yaml"},
      {{"kinara_main", "-c", "/c.yaml"}, "/c.yaml"},
      {{"kinara_main", "-c"}, std::nullopt},
      {{"kinara_main", "--config"}, std::nullopt},
      {{"kinara_main", "--config="}, ""},
      {{"kinara_main", "", "-c", "", "/d.yaml"}, "/d.yaml"},
      {{"kinara_main", "-c", "/first", "--config=/second"}, "/first"},
      {{"kinara_main", "--configure", "/x", "-cfoo", "-c=/y"}, std::nullopt},
      {{"-c", "/argv0.yaml"}, "/argv0.yaml"},
      {{"kinara_main", "--config", "--config=/z"}, "--config=/z"},
      {{"kinara_main", "-c", "/caf\xE9.yaml"}, "/caf\xE9.yaml"},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    FakeProc proc;
    proc.process("10", "kinara_main", c.cmdline);
    const auto found = proc.discover();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].config, c.config) << (c.cmdline.size() ? *(c.cmdline.end() - 1) : "(empty)");
  }
}

TEST(Discovery, FallsBackToTheConfigurationFileWhenNoSocketIsSeen) {
  struct Case {
    const char* what;
    std::string config_text;  // empty: no file
    bool fd_dir;              // false: unreadable, as for another user's process
    std::vector<std::string_view> fds;
    Strings expected;
  };
  const std::string two_sockets = "proxy:\n  interface_socket_file: [/run/a.sock, /run/b.sock]\n";
  const Case cases[] = {
      {"fds unreadable", two_sockets, false, {}, {"unix:/run/a.sock", "unix:/run/b.sock"}},
      {"tcp in the file", "proxy: {interface_type: ipv4, interface_ip_address: [127.0.0.1], interface_port: [9]}\n",
       false, {}, {"tcp:127.0.0.1:9"}},
      {"sockets but none listening", two_sockets, true, {"socket:[55]"}, {"unix:/run/a.sock", "unix:/run/b.sock"}},
      {"listening socket wins", two_sockets, true, {"socket:[1]"}, {"unix:/run/live.sock"}},
      {"file missing", "", false, {}, {}},
      {"file invalid", "proxy: [\n", false, {}, {}},
      {"file declares nothing", "proxy: {interface_type: named_pipe}\n", false, {}, {}},
  };
  for (const auto& c : cases) {
    FakeProc proc;
    const std::string config = proc.tree().path("etc/proxy.yaml");
    if (!c.config_text.empty()) proc.tree().write("etc/proxy.yaml", c.config_text);
    proc.process("10", "kinara_main", {"kinara_main", "-c", config});
    if (!c.fd_dir) std::filesystem::remove_all(proc.tree().path("proc/10/fd"));
    int fd = 0;
    for (auto target : c.fds) proc.tree().link(fmt::format("proc/10/fd/{}", fd++), target);
    proc.unix_table(unix_line("00010000", 1, "/run/live.sock"));
    EXPECT_EQ(proc.endpoints(), c.expected) << c.what;
  }
}

TEST(Discovery, ResolvesARelativeConfigurationAgainstTheProxysDirectory) {
  FakeProc proc;
  proc.tree().write("proxy-home/conf/proxy.yaml", "proxy: {interface_socket_file: [/run/rel.sock]}\n");
  proc.process("10", "kinara_main", {"kinara_main", "--config", "conf/proxy.yaml"});
  proc.tree().link("proc/10/cwd", proc.tree().path("proxy-home"));
  const auto found = proc.discover();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].config, "conf/proxy.yaml");
  EXPECT_EQ(proc.endpoints(), Strings{"unix:/run/rel.sock"});
}

TEST(Discovery, AProxyWithNothingReadableIsStillReported) {
  FakeProc proc;
  proc.tree().write("proc/10/comm", "kinara_main\n");
  const auto found = proc.discover();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].pid, 10u);
  EXPECT_TRUE(found[0].endpoints.empty());
  EXPECT_EQ(found[0].config, std::nullopt);
  EXPECT_EQ(found[0].exe, std::nullopt);
}

TEST(Discovery, OnlyAnUnlistableRootIsAnError) {
  FakeProc proc;
  const std::string missing = proc.tree().path("no-such-proc");
  const auto result = tallowind::ara2::discover(missing);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), tallowind::ara2::ErrorKind::ProcRead);
  EXPECT_EQ(result.error().message(),
            "could not read " + missing + " to look for a running proxy: No such file or directory (os error 2)");

  const std::string file = proc.tree().write("a-file", "");
  EXPECT_EQ(tallowind::ara2::discover(file).error().message(),
            "could not read " + file + " to look for a running proxy: Not a directory (os error 20)");

  proc.tree().mkdir("proc");
  const auto empty = tallowind::ara2::discover(proc.root());
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(Discovery, HostileContentNeitherCrashesNorStalls) {
  FakeProc proc;
  proc.process("10", "kinara_main", {"kinara_main", "-c", proc.tree().path("fifo.yaml")}, {"socket:[1]", "socket:[2]"});
  // FIFOs where files are expected would block a plain open or read forever.
  ASSERT_EQ(::mkfifo(proc.tree().path("fifo.yaml").c_str(), 0600), 0);
  proc.tree().mkdir("proc/11");
  ASSERT_EQ(::mkfifo(proc.tree().path("proc/11/comm").c_str(), 0600), 0);
  proc.process("12", "kinara_main");
  std::filesystem::remove(proc.tree().path("proc/12/cmdline"));
  ASSERT_EQ(::mkfifo(proc.tree().path("proc/12/cmdline").c_str(), 0600), 0);
  proc.process("13", std::string(1 << 20, ' ') + "kinara_main");
  // A line far beyond any real one, then binary noise, before the real entries.
  proc.unix_table(std::string(3 << 20, 'x') + "\n" + std::string("\x01\x02\xFF\0\0\n", 6) +
                  unix_line("00010000", 1, "/run/ok.sock"));
  proc.tcp_table(std::string(100000, ' ') + "\n" + tcp_line("0100007F:0050", "0A", 2));

  const auto found = proc.discover();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].pid, 10u);
  EXPECT_EQ(found[0].endpoints, (std::vector{ProxyEndpoint::unix_socket("/run/ok.sock"),
                                             ProxyEndpoint::tcp(*tallowind::ara2::parse_ipv4("127.0.0.1"), 80)}));
  EXPECT_EQ(found[1].pid, 12u);
  EXPECT_EQ(found[1].config, std::nullopt);
}
