// Listening sockets and one thread per connected client.
#pragma once

#include <atomic>
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
  /// Serves at most `max_clients` connections at once; more are refused.
  Server(Engine& engine, std::size_t max_clients) : engine_(engine), max_clients_(max_clients) {}
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
  };
  void accept_one(const Listener& listener);
  void converse(Connection& connection, std::uint64_t id, bool is_unix);
  void serve_client(int socket, std::uint64_t id, std::uint64_t client);
  void reap(bool all);

  Engine& engine_;
  std::size_t max_clients_;
  std::vector<Listener> listeners_;
  std::list<std::unique_ptr<Connection>> connections_;
  std::uint64_t next_connection_ = 1;
};

}  // namespace emu::proxy
