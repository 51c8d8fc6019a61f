// Library sessions to the proxy, endpoint arrays, and the per-endpoint queries.
//
// Ownership, released in this order by shared_ptr counts alone:
//   EndpointRef -> EndpointList -> SessionShared -> ClientLibrary
// An EndpointList frees its array (dv_endpoint_free_group) before dropping its
// session share; a SessionShared calls dv_session_close before its library is
// closed. Anything that passes an endpoint record to the library later (an
// Endpoint, a loaded model, an inference) holds an EndpointRef, so the array
// holding the record cannot be freed while the record may still be passed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ara2/client_library.hpp"
#include "ara2/core_error.hpp"
#include "ara2/proxy_endpoint.hpp"
#include "ara2/values.hpp"

namespace tallowind::ara2 {

enum class SocketType : std::uint8_t { Tcp = 0, Unix = 1 };

/// One open library session with the library it was opened through.
/// Immutable; shared by everything derived from the session.
class SessionShared {
 public:
  SessionShared(ClientLibrary library, void* handle, SocketType socket_type) noexcept
      : library_(std::move(library)), handle_(handle), socket_type_(socket_type) {}
  SessionShared(const SessionShared&) = delete;
  SessionShared& operator=(const SessionShared&) = delete;
  /// dv_session_close (status ignored); the library closes afterwards.
  ~SessionShared();

  const ClientLibrary& library() const noexcept { return library_; }
  void* handle() const noexcept { return handle_; }
  SocketType socket_type() const noexcept { return socket_type_; }
  Abi abi() const noexcept { return library_.abi(); }

 private:
  ClientLibrary library_;  // declared first: destroyed after the session is closed
  void* handle_;
  SocketType socket_type_;
};

using SessionPtr = std::shared_ptr<const SessionShared>;

/// One endpoint array from dv_endpoint_get_list. Immutable; frees the array
/// on its last release, before dropping its session share.
class EndpointList {
 public:
  /// `count` as the library wrote it; below 1 means no records.
  EndpointList(SessionPtr session, void* array, std::int32_t count) noexcept
      : session_(std::move(session)), array_(array), count_(count < 1 ? 0 : static_cast<std::size_t>(count)) {}
  EndpointList(const EndpointList&) = delete;
  EndpointList& operator=(const EndpointList&) = delete;
  ~EndpointList();

  const SessionPtr& session() const noexcept { return session_; }
  std::size_t size() const noexcept { return count_; }
  /// Address of record `index`; requires index < size().
  void* record(std::size_t index) const noexcept;

 private:
  SessionPtr session_;
  void* array_;
  std::size_t count_;
};

using EndpointListPtr = std::shared_ptr<const EndpointList>;

/// One endpoint record together with the share of its array that keeps it valid.
struct EndpointRef {
  EndpointListPtr list;
  std::size_t index = 0;

  void* record() const noexcept { return list->record(index); }
  const SessionShared& session() const noexcept { return *list->session(); }
  const SessionPtr& session_share() const noexcept { return list->session(); }
};

/// Loads the library and opens a session over a UNIX socket. A path with an
/// interior NUL is NullPointer "Socket path contains null byte".
Result<SessionPtr> open_unix(std::string_view path_text);

/// Loads the library and opens a session over TCP/IPv4.
Result<SessionPtr> open_tcp(const Ipv4Address& address, std::uint16_t port);

/// open_unix for a socket endpoint (path decoded lossily), open_tcp otherwise.
Result<SessionPtr> open_endpoint(const ProxyEndpoint& endpoint);

/// (component name, "a.b.c.d") pairs; a later record of the same component
/// replaces the earlier value. The library's array is not released.
Result<std::vector<std::pair<std::string, std::string>>> versions(const SessionShared& session);

/// One dv_endpoint_get_list call; the list may be empty.
Result<EndpointListPtr> list_endpoints(const SessionPtr& session);

/// References to every record of a list, in array order.
std::vector<EndpointRef> endpoint_refs(const EndpointListPtr& list);

/// In-flight requests of the session, the library's 32 bits read as signed.
Result<std::int32_t> inflight_count(const SessionShared& session);

/// The endpoint's state under the session's generation.
Result<State> check_status(const EndpointRef& endpoint);

/// The first DRAM statistics record, released right after it is copied. A
/// null record with status 0 is a NullPointer error and nothing is released.
Result<DramStatistics> dram_statistics(const EndpointRef& endpoint);

}  // namespace tallowind::ara2
