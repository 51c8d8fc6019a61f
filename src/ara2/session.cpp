#include "ara2/session.hpp"

#include <algorithm>

#include "ara2/records.hpp"
#include "ara2/text.hpp"

namespace tallowind::ara2 {

SessionShared::~SessionShared() {
  // Nothing can be reported from here; a missing close entry leaves nothing to close.
  (void)library_.call_raw<Entry::dv_session_close>(handle_);
}

EndpointList::~EndpointList() {
  if (array_ != nullptr) (void)session_->library().call_raw<Entry::dv_endpoint_free_group>(array_);
}

void* EndpointList::record(std::size_t index) const noexcept { return records::endpoint_record(array_, index); }

namespace {

/// Wraps a freshly created handle; a null one would be passed to every later call.
Result<SessionPtr> adopt_session(ClientLibrary library, void* handle, SocketType type, std::string_view creator) {
  if (handle == nullptr) return fail(CoreError::null_pointer(std::string(creator) + " returned a null session"));
  return std::make_shared<const SessionShared>(std::move(library), handle, type);
}

}  // namespace

Result<SessionPtr> open_unix(std::string_view path_text) {
  auto library = load_client_library();
  if (!library) return fail(std::move(library.error()));
  if (path_text.find('\0') != std::string_view::npos) {
    return fail(CoreError::null_pointer("Socket path contains null byte"));
  }
  const std::string path(path_text);
  void* handle = nullptr;
  if (auto ok = library->call<Entry::dv_session_create_via_unix_socket>(path.c_str(), &handle); !ok) {
    return fail(std::move(ok.error()));
  }
  return adopt_session(std::move(*library), handle, SocketType::Unix, "dv_session_create_via_unix_socket");
}

Result<SessionPtr> open_tcp(const Ipv4Address& address, std::uint16_t port) {
  auto library = load_client_library();
  if (!library) return fail(std::move(library.error()));
  const std::string text = to_string(address);
  void* handle = nullptr;
  if (auto ok = library->call<Entry::dv_session_create_via_tcp_ipv4_socket>(text.c_str(), port, &handle); !ok) {
    return fail(std::move(ok.error()));
  }
  return adopt_session(std::move(*library), handle, SocketType::Tcp, "dv_session_create_via_tcp_ipv4_socket");
}

Result<SessionPtr> open_endpoint(const ProxyEndpoint& endpoint) {
  if (endpoint.kind == ProxyEndpoint::Kind::Unix) return open_unix(utf8_lossy(endpoint.path));
  return open_tcp(endpoint.address, endpoint.port);
}

Result<std::vector<std::pair<std::string, std::string>>> versions(const SessionShared& session) {
  void* array = nullptr;
  std::uint8_t count = 0;
  if (auto ok = session.library().call<Entry::dv_retrieve_version_details>(session.handle(), &array, &count); !ok) {
    return fail(std::move(ok.error()));
  }
  std::vector<std::pair<std::string, std::string>> out;
  if (count == 0) return out;
  if (array == nullptr) return fail(CoreError::null_pointer("dv_retrieve_version_details returned no records"));
  for (std::size_t i = 0; i < count; ++i) {
    auto detail = records::read_version_detail(array, i);
    if (!detail) return fail(std::move(detail.error()));
    auto same = std::find_if(out.begin(), out.end(), [&](const auto& kv) { return kv.first == detail->first; });
    if (same != out.end()) {
      same->second = std::move(detail->second);
    } else {
      out.push_back(std::move(*detail));
    }
  }
  return out;
}

Result<EndpointListPtr> list_endpoints(const SessionPtr& session) {
  void* array = nullptr;
  std::int32_t count = 0;
  if (auto ok = session->library().call<Entry::dv_endpoint_get_list>(session->handle(), &array, &count); !ok) {
    return fail(std::move(ok.error()));
  }
  auto list = std::make_shared<const EndpointList>(session, array, count);
  if (list->size() > 0 && array == nullptr) {
    return fail(CoreError::null_pointer("dv_endpoint_get_list returned no endpoint array"));
  }
  return list;
}

std::vector<EndpointRef> endpoint_refs(const EndpointListPtr& list) {
  std::vector<EndpointRef> refs;
  refs.reserve(list->size());
  for (std::size_t i = 0; i < list->size(); ++i) refs.push_back(EndpointRef{list, i});
  return refs;
}

Result<std::int32_t> inflight_count(const SessionShared& session) {
  std::uint32_t count = 0;
  if (auto ok = session.library().call<Entry::dv_infer_get_inflight_count>(session.handle(), &count); !ok) {
    return fail(std::move(ok.error()));
  }
  return static_cast<std::int32_t>(count);
}

Result<State> check_status(const EndpointRef& endpoint) {
  const SessionShared& session = endpoint.session();
  std::uint32_t raw = 0;
  if (auto ok = session.library().call<Entry::dv_endpoint_check_status>(session.handle(), endpoint.record(), &raw);
      !ok) {
    return fail(std::move(ok.error()));
  }
  return state_from_raw(raw, session.abi());
}

Result<DramStatistics> dram_statistics(const EndpointRef& endpoint) {
  const SessionShared& session = endpoint.session();
  void* stats = nullptr;
  std::uint32_t count = 1;
  if (auto ok = session.library().call<Entry::dv_endpoint_get_dram_statistics>(session.handle(), endpoint.record(),
                                                                               &stats, &count);
      !ok) {
    return fail(std::move(ok.error()));
  }
  if (stats == nullptr) {
    return fail(CoreError::null_pointer("dv_endpoint_get_dram_statistics returned no statistics record"));
  }
  const DramStatistics copy = records::read_dram_statistics(stats);
  (void)session.library().call_raw<Entry::dv_endpoint_free_dram_statistics>(stats, count);
  return copy;
}

}  // namespace tallowind::ara2
