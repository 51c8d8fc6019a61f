#include "server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "../protocol/wire.hpp"
#include "log.hpp"

namespace emu::proxy {

namespace {

std::string errno_text() { return std::strerror(errno); }

// Frames up to this size go to a small buffer of the connection, charged to
// nobody: a client whose memory is all held by its requests can still wait
// on them and free them. Larger frames without a kept buffer large enough
// grow in steps as their bytes arrive, from the first step up.
constexpr std::size_t kSmallFrame = 4096;
constexpr std::size_t kFirstStep = 1u << 20;

bool send_status(int socket, std::uint32_t status) {
  return wire::send_frame(socket, status, std::span<const std::uint8_t>());
}

enum class Received { Ok, OverCaps, Lost };

/// Reads a frame's body into `small`, or into `frame`: a buffer the client
/// kept, or one growing as the bytes arrive, each step charged to the
/// client, so that a header announcing much and sending little costs little.
Received receive(wire::BodyReader& body, std::span<std::uint8_t> small, Buffer& frame, Account& memory,
                 std::span<const std::uint8_t>& payload) {
  std::size_t length = body.left(), have = 0;
  if (length <= small.size()) {
    payload = small.first(length);
    return body.read(small.data(), length) ? Received::Ok : Received::Lost;
  }
  if (auto kept = memory.reuse(length)) frame = std::move(*kept);
  while (have < length) {
    if (have == frame.capacity() &&
        !memory.grow(frame, std::min(length, std::max(2 * have, have + kFirstStep)))) {
      return Received::OverCaps;
    }
    auto step = std::min(length, frame.capacity()) - have;
    if (!body.read(frame.data() + have, step)) return Received::Lost;
    have += step;
  }
  payload = {frame.data(), length};
  return Received::Ok;
}

struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

std::string peer_text(int fd, bool is_unix) {
  if (is_unix) return "unix socket";
  sockaddr_in peer{};
  socklen_t length = sizeof(peer);
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return "tcp";
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
  return fmt::format("tcp:{}:{}", text, ntohs(peer.sin_port));
}

}  // namespace

Server::~Server() {
  reap(true);
  for (auto& l : listeners_) {
    ::close(l.fd);
    if (l.owns_path) ::unlink(l.address.path.c_str());
  }
}

std::expected<void, std::string> Server::listen(const std::vector<ListenAddress>& addresses) {
  for (auto address : addresses) {
    auto fail = [&](const std::string& why) {
      return std::unexpected(fmt::format("cannot listen on {}: {}", address.text(), why));
    };
    Listener listener;
    if (address.is_unix) {
      sockaddr_un sa{};
      sa.sun_family = AF_UNIX;
      if (address.path.size() >= sizeof(sa.sun_path)) return fail("the path is too long for a socket");
      std::memcpy(sa.sun_path, address.path.c_str(), address.path.size() + 1);
      struct stat info {};
      if (::lstat(address.path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) return fail("the path exists and is not a socket");
        // A socket file nobody answers on is left over from a crash: take it over.
        FdGuard probe{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
        if (::connect(probe.fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0) {
          return fail("address already in use (another process listens there)");
        }
        ::unlink(address.path.c_str());
      }
      FdGuard fd{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
      if (fd.fd < 0 || ::bind(fd.fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
          ::listen(fd.fd, 64) != 0) {
        return fail(errno == EADDRINUSE ? "address already in use" : errno_text());
      }
      listener.fd = fd.release();
      listener.owns_path = true;
    } else {
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(address.port);
      if (::inet_pton(AF_INET, address.host.c_str(), &sa.sin_addr) != 1) return fail("bad address");
      FdGuard fd{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
      int one = 1;
      if (fd.fd < 0 || ::setsockopt(fd.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
          ::bind(fd.fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
          ::listen(fd.fd, 64) != 0) {
        return fail(errno == EADDRINUSE ? "address already in use" : errno_text());
      }
      socklen_t length = sizeof(sa);
      ::getsockname(fd.fd, reinterpret_cast<sockaddr*>(&sa), &length);
      address.port = ntohs(sa.sin_port);
      listener.fd = fd.release();
    }
    listener.address = address;
    listeners_.push_back(listener);
    log("listening on {}", address.text());
  }
  return {};
}

void Server::serve(int stop_fd) {
  std::vector<pollfd> fds;
  fds.push_back({stop_fd, POLLIN, 0});
  for (auto& l : listeners_) fds.push_back({l.fd, POLLIN, 0});
  for (;;) {
    int ready = ::poll(fds.data(), fds.size(), 250);
    reap(false);
    close_late_handshakes();
    if (ready < 0 && errno != EINTR) {
      log("poll failed: {}", errno_text());
      break;
    }
    if (ready <= 0) continue;
    if (fds[0].revents) break;
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents & POLLIN) accept_one(listeners_[i - 1]);
    }
  }
  for (auto& c : connections_) ::shutdown(c->fd, SHUT_RDWR);
  engine_.stop();
  reap(true);
}

void Server::accept_one(const Listener& listener) {
  int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
      log("accept on {} failed: {}", listener.address.text(), errno_text());
      // Out of descriptors: the pending connection stays readable, so pause
      // rather than spin on it.
      if (errno == EMFILE || errno == ENFILE) ::usleep(100000);
    }
    return;
  }
  FdGuard guard{fd};
  auto id = next_connection_++;
  // Each connection is a thread: one client opening connections without end
  // must not take the daemon's threads and descriptors from the others.
  reap(false);
  if (!make_room(id)) {
    send_status(fd, wire::status::connect_failed);
    return;
  }
  log("connection {} from {} on {}", id, peer_text(fd, listener.address.is_unix),
      listener.address.text());
  try {
    auto& c = connections_.emplace_back(std::make_unique<Connection>());
    c->fd = guard.release();
    c->accepted = std::chrono::steady_clock::now();
    bool is_unix = listener.address.is_unix;
    Connection* raw = c.get();
    try {
      c->thread = std::thread([this, raw, id, is_unix] { converse(*raw, id, is_unix); });
    } catch (...) {
      raw->finished = true;  // reaped (and closed) like any finished connection
      throw;
    }
  } catch (const std::exception& error) {
    log("connection {}: cannot serve it: {}", id, error.what());
  }
}

bool Server::make_room(std::uint64_t id) {
  // Connections still in their handshake may hold three quarters of the
  // slots; the others are kept for clients that completed it. When the
  // handshaking ones are too many, the oldest of them (which had the most
  // time) gives way, so that connections sending nothing lock nobody out.
  std::size_t open = 0, handshaking = 0;
  Connection* oldest = nullptr;
  for (auto& c : connections_) {
    if (c->closing) continue;
    ++open;
    if (c->greeted) continue;
    ++handshaking;
    if (!oldest) oldest = c.get();
  }
  if (open < max_clients_ && handshaking < max_clients_ - max_clients_ / 4) return true;
  if (!oldest) {
    log("connection {} refused: {} clients are connected", id, open);
    return false;
  }
  log("connection {}: {} connections are still in their handshake, closing the oldest", id, handshaking);
  ::shutdown(oldest->fd, SHUT_RDWR);
  oldest->closing = true;
  return true;
}

void Server::close_late_handshakes() {
  auto now = std::chrono::steady_clock::now();
  for (auto& c : connections_) {
    if (c->closing || c->greeted || now - c->accepted < handshake_timeout_) continue;
    ::shutdown(c->fd, SHUT_RDWR);  // its thread sees the end and finishes
    c->closing = true;
  }
}

void Server::converse(Connection& connection, std::uint64_t id, bool is_unix) {
  std::uint64_t client = 0;
  LogLimit limit;
  log_limit = &limit;
  // Nothing a client sends may end the daemon: whatever escapes ends this connection only.
  try {
    int socket_fd = connection.fd;
    client = engine_.connect(is_unix, [socket_fd] {
      pollfd p{socket_fd, POLLRDHUP, 0};
      return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
    });
    serve_client(connection, id, client);
  } catch (const std::exception& error) {
    log("connection {}: {}, closing it", id, error.what());
  } catch (...) {
    log("connection {}: unexpected failure, closing it", id);
  }
  // The peer learns at once; the descriptor itself is closed when reaped.
  ::shutdown(connection.fd, SHUT_RDWR);
  engine_.disconnect(client);
  log_limit = nullptr;
  if (auto n = limit.take_left_out()) log("connection {}: {} lines of its log were left out", id, n);
  log("connection {} closed", id);
  connection.finished = true;
}

void Server::serve_client(Connection& connection, std::uint64_t id, std::uint64_t client) {
  const int socket = connection.fd;
  auto memory = engine_.memory(client);
  std::vector<std::uint8_t> small(kSmallFrame);
  Buffer frame;
  wire::Writer answer;
  bool greeted = false;
  for (;;) {
    wire::FrameHeader header;
    int fd = -1;
    auto got = wire::recv_header(socket, header, &fd);
    if (got == wire::RecvResult::Closed) return;
    FdGuard passed{fd};
    if (got == wire::RecvResult::Malformed) {
      log("connection {}: malformed frame, closing it", id);
      send_status(socket, wire::status::malformed_message);
      return;
    }
    if (!greeted && header.code != static_cast<std::uint32_t>(wire::Op::Hello)) {
      log("connection {}: no handshake, closing it", id);
      send_status(socket, wire::status::handshake_failed);
      return;
    }
    wire::BodyReader body(socket, header.length);
    std::uint32_t status;
    std::span<const std::uint8_t> payload;
    switch (receive(body, small, frame, *memory, payload)) {
      case Received::Lost:
        log("connection {}: malformed frame, closing it", id);
        send_status(socket, wire::status::malformed_message);
        return;
      case Received::OverCaps:
        if (!body.skip_rest()) return;
        log("connection {}: a frame of {} bytes would pass the memory caps", id, header.length);
        status = wire::status::out_of_memory;
        break;
      case Received::Ok:
        status = engine_.handle(client, header.code, payload, passed.release(), answer);
        if (header.code == static_cast<std::uint32_t>(wire::Op::Hello)) {
          greeted = status == 0;
          connection.greeted = greeted;
        }
        break;
    }
    if (status != wire::status::ok) {
      log("connection {}: operation {} answered with status {}", id, header.code, status);
    }
    bool sent = wire::send_frame(socket, status, answer);
    // Back to the client's kept buffers, which any client may reclaim.
    answer.clear();
    frame.reset();
    if (!sent) return;
  }
}

void Server::reap(bool all) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    auto& c = **it;
    if (all || c.finished) {
      if (all) ::shutdown(c.fd, SHUT_RDWR);
      if (c.thread.joinable()) c.thread.join();
      ::close(c.fd);
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace emu::proxy
