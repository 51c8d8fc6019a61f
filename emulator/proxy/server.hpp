// Listening sockets and one thread per connected client.
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config.hpp"
#include "engine.hpp"

namespace emu::proxy {

class Server {
 public:
  /// Serves at most `max_clients` connections at once; more are refused. A
  /// connection must complete the handshake within `handshake_timeout`, and
  /// those that have not yet may take three quarters of the slots at most.
  Server(Engine& engine, std::size_t max_clients, std::chrono::milliseconds handshake_timeout)
      : engine_(engine), max_clients_(max_clients), handshake_timeout_(handshake_timeout) {}
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  /// Binds every address; the error names the address and the reason.
  std::expected<void, std::string> listen(const std::vector<ListenAddress>& addresses);
  /// Accepts until stop_fd becomes readable, then closes every connection.
  void serve(int stop_fd);

 private:
  struct Listener {
    int fd = -1;
    ListenAddress address;
    bool owns_path = false;
  };
  struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> finished{false};
    std::atomic<bool> greeted{false};  // the handshake succeeded
    std::chrono::steady_clock::time_point accepted;
    bool closing = false;  // shut down by the server; no longer counted
  };
  void accept_one(const Listener& listener);
  bool make_room(std::uint64_t id);
  void close_late_handshakes();
  void converse(Connection& connection, std::uint64_t id, bool is_unix);
  void serve_client(Connection& connection, std::uint64_t id, std::uint64_t client);
  void reap(bool all);

  Engine& engine_;
  std::size_t max_clients_;
  std::chrono::milliseconds handshake_timeout_;
  std::vector<Listener> listeners_;
  std::list<std::unique_ptr<Connection>> connections_;
  std::uint64_t next_connection_ = 1;
};

}  // namespace emu::proxy
