// ara2-emulator: the stand-in proxy daemon. It names itself kinara_main so
// that tools looking for the proxy process find it.
#include <fcntl.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include "config.hpp"
#include "engine.hpp"
#include "log.hpp"
#include "server.hpp"

namespace {

int stop_pipe[2] = {-1, -1};

void on_signal(int) {
  int saved = errno;
  [[maybe_unused]] auto ignored = ::write(stop_pipe[1], "x", 1);
  errno = saved;
}

constexpr std::string_view kUsage =
    "usage: ara2-emulator (-c FILE | --config FILE | --config=FILE) [--parent-pid PID]\n"
    "\n"
    "Emulates the ARA-2 proxy and its accelerators. FILE is the proxy's YAML\n"
    "configuration (its proxy: section says where to listen) with an optional\n"
    "emulator: section; `ara2-emulator docs` describes both. Stops on SIGTERM\n"
    "or SIGINT, and with --parent-pid PID when process PID, its parent, ends.\n";

/// The value of `--NAME VALUE` or `--NAME=VALUE` (or `-SHORT VALUE`).
std::optional<std::string> option(int argc, char** argv, std::string_view name, std::string_view short_name = {}) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if ((arg == name || (!short_name.empty() && arg == short_name)) && i + 1 < argc) return argv[i + 1];
    if (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=') {
      return std::string(arg.substr(name.size() + 1));
    }
  }
  return std::nullopt;
}

/// With --parent-pid, asks the daemon to stop (as SIGTERM does) once that
/// process is no longer its parent: the program that started it has ended,
/// however it ended.
std::jthread watch_parent(pid_t parent) {
  return std::jthread([parent](std::stop_token stop) {
    while (!stop.stop_requested()) {
      if (::getppid() != parent) {
        emu::proxy::log("the process that started the daemon (pid {}) has ended", parent);
        on_signal(SIGTERM);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  using namespace emu::proxy;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "-h" || std::string_view(argv[i]) == "--help") {
      std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
      return 0;
    }
  }
  ::prctl(PR_SET_NAME, "kinara_main", 0, 0, 0);
  // Large blocks (model files, tensors) are mapped on their own and go back to
  // the system when freed, whichever thread freed them, rather than staying
  // in an allocator arena after the client that needed them has gone.
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  auto path = option(argc, argv, "--config", "-c");
  auto parent = option(argc, argv, "--parent-pid");
  pid_t parent_pid = 0;
  if (!path || (parent && !(std::istringstream(*parent) >> parent_pid && parent_pid > 0))) {
    std::fwrite(kUsage.data(), 1, kUsage.size(), stderr);
    return 2;
  }
  auto config = read_config(*path);
  if (!config) {
    log("{}", config.error());
    return 1;
  }
  if (::pipe2(stop_pipe, O_CLOEXEC) != 0) {
    log("cannot create a pipe: {}", std::strerror(errno));
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::jthread parent_watch;
  if (parent) parent_watch = watch_parent(parent_pid);
  Engine engine(*config);
  {
    Server server(engine, config->clients, std::chrono::milliseconds(config->handshake_timeout_ms));
    if (auto ok = server.listen(config->listen); !ok) {
      log("{}", ok.error());
      return 1;
    }
    log("ready with {} endpoint(s), pid {}", config->endpoints, ::getpid());
    server.serve(stop_pipe[0]);
  }
  log("stopped");
  return 0;
}
