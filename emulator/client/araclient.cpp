// Stand-in for the vendor's client library: every dv_* call is served by the
// emulator daemon over a UNIX or TCP socket, and the records handed back
// follow the DVAPI layouts of the generation this build was compiled for.
// The emu_* functions let tests observe and steer the library from inside the
// process that uses it.
#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "../models/model_file.hpp"
#include "../protocol/wire.hpp"
#include "records.hpp"

#ifndef EMU_VERSION
#define EMU_VERSION 1, 3, 0, 0
#endif
#ifndef EMU_VARIANT
#define EMU_VARIANT "v1_3"
#endif

#define EMU_EXPORT extern "C" __attribute__((visibility("default")))

namespace emu::client {
namespace {

namespace st = wire::status;
using wire::Op;

// ---------------------------------------------------------------------------
// Function table and test control

#define EMU_FUNCTIONS(X)                                                                     \
  X(dv_stringify_status_code) X(dv_session_create_via_unix_socket)                           \
  X(dv_session_create_via_named_pipe) X(dv_session_create_via_tcp_ipv4_socket)               \
  X(dv_session_close) X(dv_shmfd_register) X(dv_shmfd_unregister) X(dv_endpoint_get_list)    \
  X(dv_endpoint_get_default_group) X(dv_endpoint_create_group) X(dv_endpoint_free_group)     \
  X(dv_endpoint_check_status) X(dv_endpoint_get_dram_statistics)                             \
  X(dv_endpoint_free_dram_statistics) X(dv_endpoint_get_statistics)                          \
  X(dv_endpoint_free_statistics) X(dv_model_load_from_file) X(dv_model_load_from_blob)       \
  X(dv_model_unload) X(dv_model_get_parameters_from_file)                                    \
  X(dv_model_get_parameters_from_blob) X(dv_model_free_parameters)                           \
  X(dv_model_set_llm_cfg_params) X(dv_infer_sync) X(dv_infer_async)                          \
  X(dv_infer_wait_for_all_completion) X(dv_infer_wait_for_completion) X(dv_infer_get_req_id) \
  X(dv_infer_free) X(dv_infer_get_inflight_count) X(dv_get_endpoint_busyness)                \
  X(dv_infer_sync_with_options) X(dv_infer_async_with_options)                               \
  X(dv_fetch_outputs_by_layer_name) X(dv_model_load_from_file_with_options)                  \
  X(dv_model_load_from_blob_with_options) X(dv_exchange_current_version_details)             \
  X(dv_retrieve_version_details) X(dv_get_client_lib_version) X(dv_free_version_details)     \
  X(dv_client_set_log_level) X(dv_endpoint_get_statistics_with_options)                      \
  X(dv_model_load_from_file_s) X(dv_model_load_from_file_with_options_s)                     \
  X(dv_model_load_from_blob_with_options_s) X(dv_infer_async_s)                              \
  X(dv_infer_async_with_options_s) X(dv_infer_wait_for_completion_s)

enum class Fn : std::size_t {
#define EMU_ENUM(name) name,
  EMU_FUNCTIONS(EMU_ENUM)
#undef EMU_ENUM
      count
};
constexpr std::size_t kFunctions = static_cast<std::size_t>(Fn::count);
static_assert(kFunctions == 48);

constexpr const char* kNames[] = {
#define EMU_NAME(name) #name,
    EMU_FUNCTIONS(EMU_NAME)
#undef EMU_NAME
};

std::optional<Fn> function_named(const char* name) {
  if (!name) return std::nullopt;
  for (std::size_t i = 0; i < kFunctions; ++i) {
    if (std::strcmp(kNames[i], name) == 0) return static_cast<Fn>(i);
  }
  return std::nullopt;
}

/// JSON string with every byte above 0x7F written as \u00XX, so raw
/// (possibly non-UTF-8) C strings survive the trip to Python byte for byte.
std::string json_bytes(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c > 0x7e) {
      out += fmt::format("\\u{:04x}", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

struct Injection {
  std::uint32_t status = 0;
  std::int64_t remaining = 0;  // -1: every call
};

// Enough for any test; bounded so long runs do not grow the process.
constexpr std::size_t kMaxLog = 4096;

struct Control {
  std::array<std::uint64_t, kFunctions> calls{};
  std::array<Injection, kFunctions> injections{};
  std::deque<std::string> log;  // JSON objects, oldest first
  std::optional<std::uint32_t> endpoint_state;
  std::optional<std::int32_t> endpoint_count;
  std::optional<std::vector<VersionRecord>> versions;
  bool null_dram_record = false;
  bool null_registration = false;
  std::uint64_t misuse = 0;
  std::deque<std::string> misuse_log;
};

// ---------------------------------------------------------------------------
// Handles

struct Session {
  int fd = -1;
  bool is_unix = true;
  std::mutex io;
  bool broken = false;
  ~Session() {
    if (fd >= 0) ::close(fd);
  }

  /// One request, one answer: read_body takes the body of a successful
  /// answer from the socket (false: malformed). A broken connection stays broken.
  template <class ReadBody>
  std::uint32_t exchange(Op op, const wire::Writer& request, ReadBody&& read_body, int pass_fd = -1) {
    std::lock_guard lock(io);
    if (broken) return st::connection_lost;
    wire::FrameHeader header;
    if (!wire::send_frame(fd, static_cast<std::uint32_t>(op), request, pass_fd) ||
        wire::recv_header(fd, header, nullptr) != wire::RecvResult::Ok) {
      broken = true;
      return st::connection_lost;
    }
    wire::BodyReader body(fd, header.length);
    std::uint32_t status = header.code;
    if (status == st::ok && !read_body(body)) status = st::malformed_message;
    // Whatever the reader left is skipped, so the next answer starts in step.
    if (!body.skip_rest()) {
      broken = true;
      return st::connection_lost;
    }
    return status;
  }

  std::uint32_t call(Op op, const wire::Writer& request, std::vector<std::uint8_t>& answer,
                     int pass_fd = -1) {
    return exchange(op, request, [&](wire::BodyReader& body) {
      answer.resize(body.left());
      return body.read(answer.data(), answer.size());
    }, pass_fd);
  }
};

struct EndpointArray {
  std::shared_ptr<Session> session;
  std::unique_ptr<EndpointRecord[]> records;
  std::int32_t count = 0;
  std::vector<std::uint32_t> ids;  // daemon endpoint of each record
};

struct ModelStorage {
  std::shared_ptr<Session> session;
  std::uint64_t id = 0;
  std::uint32_t endpoint = 0;
  std::unique_ptr<ModelRecord> record;
  std::unique_ptr<InputRecord[]> inputs;
  std::unique_ptr<InputParams[]> params;
  std::unique_ptr<OutputRecord[]> outputs;
  std::unique_ptr<OutputQuant[]> quants;
  std::deque<std::array<float, 3>> floats;
  std::deque<std::string> texts;
  const char* text(const std::string& value) { return texts.emplace_back(value).c_str(); }
};

struct Registration {
  std::shared_ptr<Session> session;
  std::uint64_t id = 0;
  std::uint64_t size = 0;
  int fd = -1;                  // the library's own reference to the buffer
  std::uint8_t* map = nullptr;  // TCP sessions move bytes through this mapping
  std::unique_ptr<std::uint8_t[]> handle;
  ~Registration() {
    if (map) ::munmap(map, size);
    if (fd >= 0) ::close(fd);
  }
};

struct Destination {
  std::uint8_t* data;
  std::uint64_t size;
};

struct RequestStorage {
  std::shared_ptr<Session> session;
  std::uint64_t id = 0;
  std::unique_ptr<RequestRecord> record;
  std::unique_ptr<StatsRecord> stats;
  std::vector<Destination> destinations;  // outputs whose bytes come back in answers
  // Registrations whose mappings the destinations point into: kept mapped
  // even if they are withdrawn while the request is pending.
  std::vector<std::shared_ptr<Registration>> mapped;
  bool outputs_written = false;
  std::uint32_t flags = 0;  // of the last outcome
  // A synchronous request is over, and released by the daemon, when
  // dv_infer_sync returns: later calls on it are answered here, with the
  // statuses the daemon sent for them.
  bool finished = false;
  std::uint32_t id_status = 0, wait_status = 0, free_status = 0;
};

struct DramStorage {
  std::shared_ptr<Session> session;
  std::unique_ptr<DramRecord> record;
};

struct VersionStorage {
  std::shared_ptr<Session> session;
  std::unique_ptr<VersionRecord[]> records;
};

/// Everything the library hands out, keyed by the pointer the caller holds,
/// so that any pointer can be checked before it is used.
struct Registry {
  std::mutex mutex;
  Control control;
  std::map<const void*, std::shared_ptr<Session>> sessions;
  std::map<const void*, std::shared_ptr<EndpointArray>> arrays;
  std::map<const void*, std::shared_ptr<ModelStorage>> models;
  std::map<const void*, std::shared_ptr<Registration>> registrations;
  std::map<const void*, std::shared_ptr<RequestStorage>> requests;
  std::map<const void*, std::shared_ptr<DramStorage>> drams;
  std::map<const void*, std::shared_ptr<VersionStorage>> versions;
};

Registry*& registry_pointer() {
  static Registry* r = new Registry;  // not a static object: calls may come during exit
  return r;
}

Registry& registry() { return *registry_pointer(); }

// Runs when the library is unloaded (dlclose) and at exit. Without a session
// left nothing can be inside a call any more, and a library opened and closed
// per session would otherwise leave a registry behind on every load. With
// sessions open (an exit with work in flight) the registry stays.
__attribute__((destructor)) void release_registry() {
  Registry*& r = registry_pointer();
  {
    std::lock_guard lock(r->mutex);
    if (!r->sessions.empty()) return;
  }
  delete std::exchange(r, nullptr);
}

template <class T>
std::unique_ptr<T> junk_record(std::uint8_t pattern = kJunk) {
  auto p = std::make_unique_for_overwrite<T>();
  std::memset(static_cast<void*>(p.get()), pattern, sizeof(T));
  return p;
}

template <class T>
std::unique_ptr<T[]> junk_array(std::size_t n, std::uint8_t pattern = kJunk) {
  auto p = std::make_unique_for_overwrite<T[]>(std::max<std::size_t>(n, 1));
  std::memset(static_cast<void*>(p.get()), pattern, sizeof(T) * std::max<std::size_t>(n, 1));
  return p;
}

/// Counts the call, records what the caller passed, and applies an injected status.
class Call {
 public:
  explicit Call(Fn fn) : fn_(fn) {
    std::lock_guard lock(registry().mutex);
    ++registry().control.calls[index()];
  }
  /// Records the arguments as JSON members ("a": 1, ...); returns an injected status.
  std::optional<std::uint32_t> begin(const std::string& members = {}) {
    std::lock_guard lock(registry().mutex);
    auto& c = registry().control;
    c.log.push_back(fmt::format("{{\"fn\": \"{}\"{}{}}}", kNames[index()],
                                members.empty() ? "" : ", ", members));
    if (c.log.size() > kMaxLog) c.log.pop_front();
    auto& inj = c.injections[index()];
    if (inj.remaining == 0) return std::nullopt;
    if (inj.remaining > 0) --inj.remaining;
    return inj.status;
  }
  /// A handle or pointer the library never handed out, or already took back.
  std::uint32_t misuse(std::string_view what, const void* pointer = nullptr) {
    std::lock_guard lock(registry().mutex);
    auto& c = registry().control;
    ++c.misuse;
    c.misuse_log.push_back(fmt::format("{}: {} ({})", kNames[index()], what, pointer));
    if (c.misuse_log.size() > kMaxLog) c.misuse_log.pop_front();
    return st::invalid_handle;
  }
  std::size_t index() const { return static_cast<std::size_t>(fn_); }

 private:
  Fn fn_;
};

template <class T>
std::shared_ptr<T> find(std::map<const void*, std::shared_ptr<T>>& map, const void* key) {
  std::lock_guard lock(registry().mutex);
  auto it = map.find(key);
  return it == map.end() ? nullptr : it->second;
}

/// Removes the entry as it is found, so that only one caller releases a handle.
template <class T>
std::shared_ptr<T> take(std::map<const void*, std::shared_ptr<T>>& map, const void* key) {
  std::lock_guard lock(registry().mutex);
  auto it = map.find(key);
  if (it == map.end()) return nullptr;
  std::shared_ptr<T> value = std::move(it->second);
  map.erase(it);
  return value;
}

std::shared_ptr<Session> find_session(const void* handle) {
  return find(registry().sessions, handle);
}

/// The daemon endpoint behind a record pointer, if it lies on a record of a
/// live array of this session.
std::optional<std::uint32_t> find_endpoint(const std::shared_ptr<Session>& session, const void* record) {
  std::lock_guard lock(registry().mutex);
  auto& arrays = registry().arrays;
  auto it = arrays.upper_bound(record);
  if (!record || it == arrays.begin()) return std::nullopt;
  --it;
  const auto& array = *it->second;
  // Integer arithmetic: the pointer may lie outside every array.
  auto offset = reinterpret_cast<std::uintptr_t>(record) -
                reinterpret_cast<std::uintptr_t>(array.records.get());
  if (array.session != session || offset % sizeof(EndpointRecord) != 0 ||
      offset / sizeof(EndpointRecord) >= array.ids.size()) {
    return std::nullopt;
  }
  return array.ids[offset / sizeof(EndpointRecord)];
}

std::string tensor_json(const IoDescriptor* d, std::size_t n) {
  std::string out = "[";
  for (std::size_t i = 0; d && i < n; ++i) {
    out += fmt::format("{}{{\"kind\": {}, \"size\": {}, \"reserved_null\": {}}}", i ? ", " : "",
                       d[i].is_registration, d[i].size, d[i].reserved == nullptr);
  }
  return out + "]";
}

/// Whether fd looks like a private duplicate: not a standard stream,
/// close-on-exec, and another descriptor of this process refers to the same
/// object (the caller kept its own).
bool is_private_duplicate(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  struct stat mine {};
  if (fd < 3 || flags < 0 || !(flags & FD_CLOEXEC) || ::fstat(fd, &mine) != 0) return false;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return false;
  bool found = false;
  while (dirent* entry = ::readdir(dir)) {
    int other = std::atoi(entry->d_name);
    struct stat info {};
    if (entry->d_name[0] == '.' || other == fd || other == ::dirfd(dir)) continue;
    if (::fstat(other, &info) == 0 && info.st_dev == mine.st_dev && info.st_ino == mine.st_ino) {
      found = true;
    }
  }
  ::closedir(dir);
  return found;
}

/// Drops everything a session handed out, so later use of it is detected.
void forget_session(const std::shared_ptr<Session>& session) {
  std::lock_guard lock(registry().mutex);
  auto& r = registry();
  auto drop = [&](auto& map) {
    std::erase_if(map, [&](const auto& entry) { return entry.second->session == session; });
  };
  drop(r.arrays);
  drop(r.models);
  drop(r.registrations);
  drop(r.requests);
  drop(r.drams);
  drop(r.versions);
}

std::uint32_t connect_session(int fd, bool is_unix, void** out) {
  auto session = std::make_shared<Session>();
  session->fd = fd;
  session->is_unix = is_unix;
  wire::Writer hello;
  hello.put(wire::kProtocolVersion).put<std::uint32_t>(static_cast<std::uint32_t>(::getpid()));
  std::vector<std::uint8_t> answer;
  // Something that is not the emulator may sit on the address and never answer.
  timeval limit{10, 0}, none{0, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  auto status = session->call(Op::Hello, hello, answer);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none));
  if (status == st::connection_lost) return st::handshake_failed;
  if (status != st::ok) return status;
  wire::Reader in(answer);
  if (in.get<std::uint32_t>() != wire::kProtocolVersion || !in.ok()) return st::handshake_failed;
  std::lock_guard lock(registry().mutex);
  registry().sessions[session.get()] = session;
  *out = session.get();
  return st::ok;
}

/// Writes one value at `at`: numbers as they are, flags as a byte, texts and
/// triples as pointers into the model's storage (a missing triple as null).
template <std::size_t Offset, std::size_t Size, class Value>
void put(ModelStorage& storage, RawRecord<Size>& record, const Value& value) {
  auto write = [&](const auto& v) {
    static_assert(Offset + sizeof v <= Size, "a field outside its record");
    std::memcpy(record.bytes + Offset, &v, sizeof v);
  };
  if constexpr (std::is_same_v<Value, std::string>) {
    write(storage.text(value));
  } else if constexpr (std::is_same_v<Value, emu::field::opt_f32x3>) {
    write(value ? storage.floats.emplace_back(*value).data() : static_cast<float*>(nullptr));
  } else if constexpr (std::is_same_v<Value, bool>) {
    write(static_cast<std::uint8_t>(value));
  } else {
    write(value);
  }
}

/// Lays a tensor out in its record and the parameter record it points to.
template <class Tensor, std::size_t TensorSize, std::size_t ParamsSize>
void fill_records(ModelStorage& storage, const Tensor& t, RawRecord<TensorSize>& record,
                  RawRecord<ParamsSize>& params) {
  const void* params_address = &params;
  std::memcpy(record.bytes, &params_address, sizeof params_address);
  emu::for_each_field(t, [&](const char*, const auto& value, emu::Encoding, auto where, auto offset) {
    if constexpr (where == emu::Record::tensor) {
      put<decltype(offset)::value>(storage, record, value);
    } else {
      put<decltype(offset)::value>(storage, params, value);
    }
  });
}

std::unique_ptr<ModelStorage> build_model(const emu::Model& model) {
  auto storage = std::make_unique<ModelStorage>();
  auto n_in = model.inputs.size(), n_out = model.outputs.size();
  storage->record = junk_record<ModelRecord>();
  storage->inputs = junk_array<InputRecord>(n_in);
  storage->params = junk_array<InputParams>(n_in);
  storage->outputs = junk_array<OutputRecord>(n_out);
  storage->quants = junk_array<OutputQuant>(n_out);
  storage->record->n_inputs = static_cast<std::int32_t>(n_in);
  storage->record->n_outputs = static_cast<std::int32_t>(n_out);
  storage->record->inputs = storage->inputs.get();
  storage->record->outputs = storage->outputs.get();
  for (std::size_t i = 0; i < n_in; ++i) {
    fill_records(*storage, model.inputs[i], storage->inputs[i], storage->params[i]);
  }
  for (std::size_t i = 0; i < n_out; ++i) {
    fill_records(*storage, model.outputs[i], storage->outputs[i], storage->quants[i]);
  }
  return storage;
}

/// Reads the state and statistics of an answer into the request record, and
/// the bytes of outputs that travel inline straight into their destinations.
bool read_outcome(RequestStorage& request, wire::BodyReader& in) {
  std::uint32_t state = 0, flags = 0;
  float input_us = 0, output_us = 0, run_us = 0;
  if (!in.get(state) || !in.get(flags) || !in.get(input_us) || !in.get(output_us) || !in.get(run_us)) {
    return false;
  }
  if (flags & wire::kFlagHasOutputs) {
    std::uint32_t count = 0;
    if (!in.get(count) || count != request.destinations.size()) return false;
    for (auto& d : request.destinations) {
      std::uint32_t length = 0;
      if (!in.get(length) || length > in.left()) return false;
      auto wanted = request.outputs_written || !d.data ? 0 : std::min<std::uint64_t>(length, d.size);
      if (!in.read(d.data, wanted) || !in.skip(length - wanted)) return false;
    }
    request.outputs_written = true;
  }
  if (in.left() != 0) return false;
  request.flags = flags;
  request.record->state = state;
  request.stats->input_time_us = input_us;
  request.stats->output_time_us = output_us;
  request.stats->run_time_us = run_us;
  request.record->stats = (flags & wire::kFlagHasStatistics) ? request.stats.get() : nullptr;
  return true;
}

std::uint32_t submit(Call& call, bool async, void* session_handle, void* endpoint, void* model_handle,
                     IoDescriptor* inputs, IoDescriptor* outputs, std::uint32_t timeout_ms,
                     void** out_request) {
  auto session = find_session(session_handle);
  if (!session) return call.misuse("unknown session", session_handle);
  auto endpoint_id = find_endpoint(session, endpoint);
  if (!endpoint_id) return call.misuse("endpoint record not in a live endpoint array", endpoint);
  auto model = find(registry().models, model_handle);
  if (!model || model->session != session) return call.misuse("unknown model", model_handle);
  if (model->endpoint != *endpoint_id) {
    return call.misuse("endpoint record of another endpoint than the model's", endpoint);
  }
  auto n_in = static_cast<std::size_t>(model->record->n_inputs);
  auto n_out = static_cast<std::size_t>(model->record->n_outputs);
  if (!out_request || (n_in && !inputs) || (n_out && !outputs)) {
    call.misuse("null argument");
    return st::invalid_argument;
  }
  auto request = std::make_shared<RequestStorage>();
  request->session = session;
  // Heap bytes are neither copied nor zeroed on the way: inputs are sent
  // from the caller's memory, outputs received into it.
  wire::Writer msg;
  msg.put<std::uint8_t>(async).put(*endpoint_id).put(model->id).put(timeout_ms);
  msg.put(static_cast<std::uint32_t>(n_in)).put(static_cast<std::uint32_t>(n_out));
  std::uint64_t answer_bytes = 0;
  for (std::size_t i = 0; i < n_in + n_out; ++i) {
    bool input = i < n_in;
    const IoDescriptor& d = input ? inputs[i] : outputs[i - n_in];
    std::uint8_t* bytes = nullptr;
    if (d.is_registration == 1) {
      auto reg = find(registry().registrations, d.data);
      if (!reg || reg->session != session) {
        return call.misuse("unknown or withdrawn registration", d.data);
      }
      if (d.size > reg->size) return st::tensor_mismatch;
      if (session->is_unix) {
        msg.put(wire::TensorKind::Registration).put(d.size).put(reg->id);
        continue;
      }
      bytes = reg->map;
      request->mapped.push_back(reg);
    } else if (d.is_registration == 0) {
      if (!d.data && d.size) return st::invalid_argument;
      bytes = static_cast<std::uint8_t*>(d.data);
    } else {
      return st::invalid_argument;
    }
    // Inline bytes travel in one frame each way.
    if (d.size > wire::kMaxPayload) return st::invalid_argument;
    msg.put(wire::TensorKind::Inline).put(d.size);
    if (input) {
      msg.put_view({bytes, d.size});
    } else {
      request->destinations.push_back({bytes, d.size});
      answer_bytes += d.size;
    }
  }
  if (msg.size() > wire::kMaxPayload || answer_bytes > wire::kMaxPayload) return st::invalid_argument;
  request->record = junk_record<RequestRecord>();
  request->stats = junk_record<StatsRecord>();
  request->record->state = 0;
  request->record->stats = nullptr;
  auto status = session->exchange(Op::Infer, msg, [&](wire::BodyReader& in) {
    if (!in.get(request->id)) return false;
    if (async) return in.get(request->flags) && in.left() == 0;
    request->finished = true;
    return in.get(request->id_status) && in.get(request->wait_status) && in.get(request->free_status) &&
           read_outcome(*request, in);
  });
  if (status != st::ok) return status;
  if (request->flags & wire::kFlagNullRequest) {
    *out_request = nullptr;
    return st::ok;
  }
  std::lock_guard lock(registry().mutex);
  registry().requests[request->record.get()] = request;
  *out_request = request->record.get();
  return st::ok;
}

}  // namespace
}  // namespace emu::client

using namespace emu::client;
using emu::wire::Op;
namespace st = emu::wire::status;

// ---------------------------------------------------------------------------
// Functions applications use

#ifndef EMU_NO_VERSION_SYMBOL
EMU_EXPORT int dv_get_client_lib_version(std::uint8_t* version) {
  Call call(Fn::dv_get_client_lib_version);
  if (auto s = call.begin()) return static_cast<int>(*s);
  if (!version) return static_cast<int>(st::invalid_argument);
  const std::uint8_t v[4] = {EMU_VERSION};
  std::memcpy(version, v, 4);
  return 0;
}
#endif

EMU_EXPORT int dv_session_create_via_unix_socket(const char* path, void** out) {
  Call call(Fn::dv_session_create_via_unix_socket);
  if (auto s = call.begin(path ? "\"path\": " + json_bytes(path) : "\"path\": null")) {
    return static_cast<int>(*s);
  }
  if (!path || !out) return static_cast<int>(st::invalid_argument);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof(sa.sun_path)) return static_cast<int>(st::connect_failed);
  std::strcpy(sa.sun_path, path);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return static_cast<int>(st::connect_failed);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    ::close(fd);
    return static_cast<int>(st::connect_failed);
  }
  return static_cast<int>(connect_session(fd, true, out));
}

EMU_EXPORT int dv_session_create_via_tcp_ipv4_socket(const char* ip, std::uint16_t port, void** out) {
  Call call(Fn::dv_session_create_via_tcp_ipv4_socket);
  if (auto s = call.begin(fmt::format("\"ip\": {}, \"port\": {}", ip ? json_bytes(ip) : "null", port))) {
    return static_cast<int>(*s);
  }
  if (!ip || !out) return static_cast<int>(st::invalid_argument);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (::inet_pton(AF_INET, ip, &sa.sin_addr) != 1) return static_cast<int>(st::invalid_argument);
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return static_cast<int>(st::connect_failed);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    ::close(fd);
    return static_cast<int>(st::connect_failed);
  }
  return static_cast<int>(connect_session(fd, false, out));
}

EMU_EXPORT int dv_session_close(void* handle) {
  Call call(Fn::dv_session_close);
  if (auto s = call.begin()) return static_cast<int>(*s);
  std::shared_ptr<Session> session = take(registry().sessions, handle);
  if (!session) return static_cast<int>(call.misuse("unknown session", handle));
  forget_session(session);
  ::shutdown(session->fd, SHUT_RDWR);
  return 0;
}

EMU_EXPORT int dv_endpoint_get_list(void* handle, void** out_array, std::int32_t* out_count) {
  Call call(Fn::dv_endpoint_get_list);
  if (auto s = call.begin()) return static_cast<int>(*s);
  auto session = find_session(handle);
  if (!session) return static_cast<int>(call.misuse("unknown session", handle));
  if (!out_array || !out_count) return static_cast<int>(call.misuse("null argument"));
  std::vector<std::uint8_t> answer;
  auto status = session->call(Op::EndpointList, {}, answer);
  if (status != st::ok) return static_cast<int>(status);
  emu::wire::Reader in(answer);
  auto n = in.get<std::uint32_t>();
  std::vector<std::uint32_t> ids;
  for (std::uint32_t i = 0; i < n && in.ok() && i < 4096; ++i) ids.push_back(in.get<std::uint32_t>());
  if (!in.at_end()) return static_cast<int>(st::malformed_message);
  auto array = std::make_shared<EndpointArray>();
  array->session = session;
  std::lock_guard lock(registry().mutex);
  array->count = registry().control.endpoint_count.value_or(static_cast<std::int32_t>(ids.size()));
  auto records = static_cast<std::size_t>(std::max(array->count, 0));
  for (std::size_t i = 0; i < records && !ids.empty(); ++i) array->ids.push_back(ids[i % ids.size()]);
  array->records = junk_array<EndpointRecord>(records, kEndpointJunk);
  registry().arrays[array->records.get()] = array;
  *out_array = array->records.get();
  *out_count = array->count;
  return 0;
}

EMU_EXPORT int dv_endpoint_free_group(void* array) {
  Call call(Fn::dv_endpoint_free_group);
  if (auto s = call.begin()) return static_cast<int>(*s);
  bool known;
  {
    std::lock_guard lock(registry().mutex);
    known = registry().arrays.erase(array) != 0;
  }
  return known ? 0 : static_cast<int>(call.misuse("unknown endpoint array", array));
}

EMU_EXPORT int dv_endpoint_check_status(void* handle, void* endpoint, std::uint32_t* out_state) {
  Call call(Fn::dv_endpoint_check_status);
  if (auto s = call.begin()) return static_cast<int>(*s);
  auto session = find_session(handle);
  if (!session) return static_cast<int>(call.misuse("unknown session", handle));
  auto id = find_endpoint(session, endpoint);
  if (!id) return static_cast<int>(call.misuse("endpoint record not in a live endpoint array", endpoint));
  if (!out_state) return static_cast<int>(call.misuse("null argument"));
  emu::wire::Writer msg;
  msg.put(*id);
  std::vector<std::uint8_t> answer;
  auto status = session->call(Op::EndpointStatus, msg, answer);
  if (status != st::ok) return static_cast<int>(status);
  emu::wire::Reader in(answer);
  auto raw = in.get<std::uint32_t>();
  if (!in.at_end()) return static_cast<int>(st::malformed_message);
  std::lock_guard lock(registry().mutex);
  *out_state = registry().control.endpoint_state.value_or(raw);
  return 0;
}

EMU_EXPORT int dv_endpoint_get_dram_statistics(void* handle, void* endpoint, void** out_record,
                                               std::uint32_t* count) {
  Call call(Fn::dv_endpoint_get_dram_statistics);
  if (auto s = call.begin(fmt::format("\"count\": {}", count ? std::to_string(*count) : "null"))) {
    return static_cast<int>(*s);
  }
  auto session = find_session(handle);
  if (!session) return static_cast<int>(call.misuse("unknown session", handle));
  auto id = find_endpoint(session, endpoint);
  if (!id) return static_cast<int>(call.misuse("endpoint record not in a live endpoint array", endpoint));
  if (!out_record || !count) return static_cast<int>(call.misuse("null argument"));
  emu::wire::Writer msg;
  msg.put(*id);
  std::vector<std::uint8_t> answer;
  auto status = session->call(Op::DramStatistics, msg, answer);
  if (status != st::ok) return static_cast<int>(status);
  emu::wire::Reader in(answer);
  auto dram = std::make_shared<DramStorage>();
  dram->session = session;
  dram->record = junk_record<DramRecord>();
  auto& r = *dram->record;
  r.dram_size = in.get<std::uint64_t>();
  r.dram_occupancy_size = in.get<std::uint64_t>();
  r.free_size = in.get<std::uint64_t>();
  r.reserved_occupancy_size = in.get<std::uint64_t>();
  r.model_occupancy_size = in.get<std::uint64_t>();
  r.tensor_occupancy_size = in.get<std::uint64_t>();
  if (!in.at_end()) return static_cast<int>(st::malformed_message);
  std::lock_guard lock(registry().mutex);
  if (registry().control.null_dram_record) {
    *out_record = nullptr;
  } else {
    registry().drams[dram->record.get()] = dram;
    *out_record = dram->record.get();
  }
  *count = 1;
  return 0;
}

EMU_EXPORT int dv_endpoint_free_dram_statistics(void* record, std::uint32_t count) {
  Call call(Fn::dv_endpoint_free_dram_statistics);
  if (auto s = call.begin(fmt::format("\"count\": {}", count))) return static_cast<int>(*s);
  bool known;
  {
    std::lock_guard lock(registry().mutex);
    known = registry().drams.erase(record) != 0;
  }
  return known ? 0 : static_cast<int>(call.misuse("unknown DRAM statistics record", record));
}

EMU_EXPORT int dv_model_load_from_file(void* handle, void* endpoint, const char* path, const char* name,
                                       std::uint32_t flags, void** out_model) {
  Call call(Fn::dv_model_load_from_file);
  if (auto s = call.begin(fmt::format("\"path\": {}, \"name\": {}, \"flags\": {}",
                                      path ? json_bytes(path) : "null",
                                      name ? json_bytes(name) : "null", flags))) {
    return static_cast<int>(*s);
  }
  auto session = find_session(handle);
  if (!session) return static_cast<int>(call.misuse("unknown session", handle));
  auto id = find_endpoint(session, endpoint);
  if (!id) return static_cast<int>(call.misuse("endpoint record not in a live endpoint array", endpoint));
  if (!path || !name || !out_model) return static_cast<int>(call.misuse("null argument"));
  if (std::strlen(path) > emu::wire::kMaxText || std::strlen(name) > emu::wire::kMaxText) {
    return static_cast<int>(st::invalid_argument);
  }
  emu::wire::Writer msg;
  msg.put(*id).put_text(path).put_text(name).put(flags);
  std::vector<std::uint8_t> answer;
  auto status = session->call(Op::ModelLoad, msg, answer);
  // The descriptions come from the same file the daemon reads; the daemon
  // answers 240 for any file it refuses, and a file this process can read
  // but that is no model is told apart here.
  auto bytes = emu::read_model_file(path);
  std::expected<emu::Model, std::string> parsed = std::unexpected(std::string());
  if (bytes) parsed = emu::parse_model(*bytes);
  if (status == st::model_unreadable && bytes && !parsed) return static_cast<int>(st::not_a_model);
  if (status != st::ok) return static_cast<int>(status);
  emu::wire::Reader in(answer);
  auto model_id = in.get<std::uint64_t>();
  if (!in.at_end()) return static_cast<int>(st::malformed_message);
  if (!parsed) {
    emu::wire::Writer unload;
    unload.put(model_id);
    session->call(Op::ModelUnload, unload, answer);
    return static_cast<int>(st::not_a_model);
  }
  std::shared_ptr<ModelStorage> model = build_model(*parsed);
  model->session = session;
  model->id = model_id;
  model->endpoint = *id;
  std::lock_guard lock(registry().mutex);
  registry().models[model->record.get()] = model;
  *out_model = model->record.get();
  return 0;
}

EMU_EXPORT int dv_model_unload(void* handle) {
  Call call(Fn::dv_model_unload);
  if (auto s = call.begin()) return static_cast<int>(*s);
  std::shared_ptr<ModelStorage> model = take(registry().models, handle);
  if (!model) return static_cast<int>(call.misuse("unknown model", handle));
  emu::wire::Writer msg;
  msg.put(model->id);
  std::vector<std::uint8_t> answer;
  return static_cast<int>(model->session->call(Op::ModelUnload, msg, answer));
}

EMU_EXPORT int dv_shmfd_register(void* handle, int fd, std::uint64_t size, std::uint32_t arg4,
                                 std::uint32_t arg5, void** out) {
  Call call(Fn::dv_shmfd_register);
  bool duplicate = fd >= 0 && is_private_duplicate(fd);
  if (auto s = call.begin(fmt::format("\"fd\": {}, \"size\": {}, \"arg4\": {}, \"arg5\": {}, "
                                      "\"private_duplicate\": {}",
                                      fd, size, arg4, arg5, duplicate))) {
    return static_cast<int>(*s);
  }
  auto session = find_session(handle);
  if (!session) return static_cast<int>(call.misuse("unknown session", handle));
  if (!out) return static_cast<int>(call.misuse("null argument"));
  // Keep a reference of our own: callers close theirs right after the call.
  int own = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
  if (own < 0) return static_cast<int>(st::invalid_argument);
  auto reg = std::make_shared<Registration>();
  reg->session = session;
  reg->fd = own;
  reg->size = size;
  if (!session->is_unix && size > 0) {
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, own, 0);
    if (map == MAP_FAILED) return static_cast<int>(st::invalid_argument);
    reg->map = static_cast<std::uint8_t*>(map);
  }
  emu::wire::Writer msg;
  msg.put(size).put<std::uint8_t>(session->is_unix);
  std::vector<std::uint8_t> answer;
  auto status = session->call(Op::Register, msg, answer, session->is_unix ? own : -1);
  if (status != st::ok) return static_cast<int>(status);
  emu::wire::Reader in(answer);
  reg->id = in.get<std::uint64_t>();
  if (!in.at_end()) return static_cast<int>(st::malformed_message);
  reg->handle = junk_array<std::uint8_t>(32);
  std::lock_guard lock(registry().mutex);
  // Kept even when a null is reported, so the session still releases it.
  registry().registrations[reg->handle.get()] = reg;
  *out = registry().control.null_registration ? nullptr : reg->handle.get();
  return 0;
}

EMU_EXPORT int dv_shmfd_unregister(void* handle, void* registration) {
  Call call(Fn::dv_shmfd_unregister);
  if (auto s = call.begin()) return static_cast<int>(*s);
  auto session = find_session(handle);
  if (!session) return static_cast<int>(call.misuse("unknown session", handle));
  auto reg = find(registry().registrations, registration);
  if (!reg || reg->session != session || !take(registry().registrations, registration)) {
    return static_cast<int>(call.misuse("unknown or already withdrawn registration", registration));
  }
  emu::wire::Writer msg;
  msg.put(reg->id);
  std::vector<std::uint8_t> answer;
  // The library's descriptor and mapping go with the last reference.
  return static_cast<int>(session->call(Op::Unregister, msg, answer));
}

EMU_EXPORT int dv_infer_sync(void* session, void* endpoint, void* model, IoDescriptor* inputs,
                             IoDescriptor* outputs, std::uint32_t timeout_ms, std::uint32_t flag,
                             void** out_request) {
  Call call(Fn::dv_infer_sync);
  auto counts = find(registry().models, model);
  std::size_t n_in = counts ? static_cast<std::size_t>(counts->record->n_inputs) : 0;
  std::size_t n_out = counts ? static_cast<std::size_t>(counts->record->n_outputs) : 0;
  if (auto s = call.begin(fmt::format("\"timeout_ms\": {}, \"flag\": {}, \"inputs\": {}, \"outputs\": {}",
                                      timeout_ms, flag, tensor_json(inputs, n_in),
                                      tensor_json(outputs, n_out)))) {
    return static_cast<int>(*s);
  }
  return static_cast<int>(
      submit(call, false, session, endpoint, model, inputs, outputs, timeout_ms, out_request));
}

#ifndef EMU_NO_ASYNC
EMU_EXPORT int dv_infer_async(void* session, void* endpoint, void* model, IoDescriptor* inputs,
                              IoDescriptor* outputs, std::uint32_t flag, void** out_request) {
  Call call(Fn::dv_infer_async);
  auto counts = find(registry().models, model);
  std::size_t n_in = counts ? static_cast<std::size_t>(counts->record->n_inputs) : 0;
  std::size_t n_out = counts ? static_cast<std::size_t>(counts->record->n_outputs) : 0;
  if (auto s = call.begin(fmt::format("\"flag\": {}, \"inputs\": {}, \"outputs\": {}", flag,
                                      tensor_json(inputs, n_in), tensor_json(outputs, n_out)))) {
    return static_cast<int>(*s);
  }
  return static_cast<int>(submit(call, true, session, endpoint, model, inputs, outputs, 0, out_request));
}
#endif

EMU_EXPORT int dv_infer_wait_for_completion(void* handle, void** requests, std::uint32_t count,
                                            std::uint32_t timeout_ms, void** out_completed) {
  Call call(Fn::dv_infer_wait_for_completion);
  if (auto s = call.begin(fmt::format("\"count\": {}, \"timeout_ms\": {}", count, timeout_ms))) {
    return static_cast<int>(*s);
  }
  auto session = find_session(handle);
  if (!session) return static_cast<int>(call.misuse("unknown session", handle));
  if (!requests || !out_completed) return static_cast<int>(call.misuse("null argument"));
  if (count != 1) return static_cast<int>(st::unsupported);
  auto request = find(registry().requests, requests[0]);
  if (!request || request->session != session) {
    return static_cast<int>(call.misuse("unknown request", requests[0]));
  }
  if (request->finished) {
    if (request->wait_status != st::ok) return static_cast<int>(request->wait_status);
    *out_completed = (request->flags & emu::wire::kFlagNullCompleted) ? nullptr : request->record.get();
    return 0;
  }
  // Waits in short slices so that other threads' calls on this session are
  // not held up behind a long wait.
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    auto slice = static_cast<std::uint32_t>(std::clamp<std::int64_t>(left, 0, 50));
    emu::wire::Writer msg;
    msg.put(request->id).put(slice);
    auto status = session->exchange(Op::Wait, msg,
                                    [&](emu::wire::BodyReader& in) { return read_outcome(*request, in); });
    if (status != st::ok) return static_cast<int>(status);
    if (!(request->flags & emu::wire::kFlagWaitTimedOut) || left <= 50) break;
  }
  *out_completed = (request->flags & emu::wire::kFlagNullCompleted) ? nullptr : request->record.get();
  return 0;
}

EMU_EXPORT int dv_infer_get_req_id(void* handle, std::uint64_t* out_id) {
  Call call(Fn::dv_infer_get_req_id);
  if (auto s = call.begin()) return static_cast<int>(*s);
  auto request = find(registry().requests, handle);
  if (!request) return static_cast<int>(call.misuse("unknown request", handle));
  if (!out_id) return static_cast<int>(call.misuse("null argument"));
  if (request->finished) {
    if (request->id_status != st::ok) return static_cast<int>(request->id_status);
    *out_id = request->id;
    return 0;
  }
  emu::wire::Writer msg;
  msg.put(request->id);
  std::vector<std::uint8_t> answer;
  auto status = request->session->call(Op::RequestId, msg, answer);
  if (status != st::ok) return static_cast<int>(status);
  emu::wire::Reader in(answer);
  auto id = in.get<std::uint64_t>();
  if (!in.at_end()) return static_cast<int>(st::malformed_message);
  *out_id = id;
  return 0;
}

EMU_EXPORT int dv_infer_free(void* handle) {
  Call call(Fn::dv_infer_free);
  if (auto s = call.begin()) return static_cast<int>(*s);
  std::shared_ptr<RequestStorage> request = take(registry().requests, handle);
  if (!request) return static_cast<int>(call.misuse("unknown request", handle));
  if (request->finished) return static_cast<int>(request->free_status);
  emu::wire::Writer msg;
  msg.put(request->id);
  std::vector<std::uint8_t> answer;
  return static_cast<int>(request->session->call(Op::RequestFree, msg, answer));
}

EMU_EXPORT int dv_infer_get_inflight_count(void* handle, std::uint32_t* out_count) {
  Call call(Fn::dv_infer_get_inflight_count);
  if (auto s = call.begin()) return static_cast<int>(*s);
  auto session = find_session(handle);
  if (!session) return static_cast<int>(call.misuse("unknown session", handle));
  if (!out_count) return static_cast<int>(call.misuse("null argument"));
  std::vector<std::uint8_t> answer;
  auto status = session->call(Op::InflightCount, {}, answer);
  if (status != st::ok) return static_cast<int>(status);
  emu::wire::Reader in(answer);
  auto count = in.get<std::uint32_t>();
  if (!in.at_end()) return static_cast<int>(st::malformed_message);
  *out_count = count;
  return 0;
}

EMU_EXPORT int dv_retrieve_version_details(void* handle, void** out_array, std::uint8_t* out_count) {
  Call call(Fn::dv_retrieve_version_details);
  if (auto s = call.begin()) return static_cast<int>(*s);
  auto session = find_session(handle);
  if (!session) return static_cast<int>(call.misuse("unknown session", handle));
  if (!out_array || !out_count) return static_cast<int>(call.misuse("null argument"));
  std::vector<std::uint8_t> answer;
  auto status = session->call(Op::Versions, {}, answer);
  if (status != st::ok) return static_cast<int>(status);
  emu::wire::Reader in(answer);
  auto n = in.get<std::uint32_t>();
  std::vector<VersionRecord> records;
  for (std::uint32_t i = 0; i < n && in.ok() && i < 255; ++i) {
    VersionRecord r{};
    r.component = in.get<std::uint32_t>();
    auto v = in.get<std::array<std::uint8_t, 4>>();
    std::memcpy(r.version, v.data(), 4);
    records.push_back(r);
  }
  if (!in.at_end()) return static_cast<int>(st::malformed_message);
  std::lock_guard lock(registry().mutex);
  if (registry().control.versions) records = *registry().control.versions;
  auto storage = std::make_shared<VersionStorage>();
  storage->session = session;
  storage->records = junk_array<VersionRecord>(records.size());
  std::copy(records.begin(), records.end(), storage->records.get());
  // The array lives as long as the session: callers never release it.
  registry().versions[storage->records.get()] = storage;
  *out_array = storage->records.get();
  *out_count = static_cast<std::uint8_t>(records.size());
  return 0;
}

// Functions applications of this system never call: accepted and ignored.
#define EMU_IGNORED(name)                 \
  EMU_EXPORT int name() {                 \
    Call call(Fn::name);                  \
    if (auto s = call.begin()) return static_cast<int>(*s); \
    return 0;                             \
  }
EMU_IGNORED(dv_stringify_status_code)
EMU_IGNORED(dv_session_create_via_named_pipe)
EMU_IGNORED(dv_endpoint_get_default_group)
EMU_IGNORED(dv_endpoint_create_group)
EMU_IGNORED(dv_endpoint_get_statistics)
EMU_IGNORED(dv_endpoint_free_statistics)
EMU_IGNORED(dv_model_load_from_blob)
EMU_IGNORED(dv_model_get_parameters_from_file)
EMU_IGNORED(dv_model_get_parameters_from_blob)
EMU_IGNORED(dv_model_free_parameters)
EMU_IGNORED(dv_model_set_llm_cfg_params)
EMU_IGNORED(dv_infer_wait_for_all_completion)
EMU_IGNORED(dv_get_endpoint_busyness)
EMU_IGNORED(dv_infer_sync_with_options)
EMU_IGNORED(dv_infer_async_with_options)
EMU_IGNORED(dv_fetch_outputs_by_layer_name)
EMU_IGNORED(dv_model_load_from_file_with_options)
EMU_IGNORED(dv_model_load_from_blob_with_options)
EMU_IGNORED(dv_exchange_current_version_details)
EMU_IGNORED(dv_free_version_details)
EMU_IGNORED(dv_client_set_log_level)
EMU_IGNORED(dv_endpoint_get_statistics_with_options)
EMU_IGNORED(dv_model_load_from_file_s)
EMU_IGNORED(dv_model_load_from_file_with_options_s)
EMU_IGNORED(dv_model_load_from_blob_with_options_s)
EMU_IGNORED(dv_infer_async_s)
EMU_IGNORED(dv_infer_async_with_options_s)
EMU_IGNORED(dv_infer_wait_for_completion_s)
#undef EMU_IGNORED

// ---------------------------------------------------------------------------
// Test control

namespace {

std::size_t copy_out(const std::string& text, char* buffer, std::size_t capacity) {
  if (buffer && capacity) {
    auto n = std::min(text.size(), capacity - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return text.size();
}

std::string json_list(const std::deque<std::string>& items, bool quote) {
  std::string out = "[";
  bool first = true;
  for (const auto& item : items) {
    out += first ? "" : ", ";
    out += quote ? json_bytes(item) : item;
    first = false;
  }
  return out + "]";
}

}  // namespace

EMU_EXPORT const char* emu_variant() { return EMU_VARIANT; }

EMU_EXPORT std::uint32_t emu_output_record_size() { return kOutputRecordSize; }

EMU_EXPORT std::int64_t emu_call_count(const char* function) {
  auto fn = function_named(function);
  if (!fn) return -1;
  std::lock_guard lock(registry().mutex);
  return static_cast<std::int64_t>(registry().control.calls[static_cast<std::size_t>(*fn)]);
}

EMU_EXPORT std::size_t emu_call_log(char* buffer, std::size_t capacity) {
  std::lock_guard lock(registry().mutex);
  return copy_out(json_list(registry().control.log, false), buffer, capacity);
}

EMU_EXPORT int emu_inject_status(const char* function, std::uint32_t status, std::int64_t times) {
  auto fn = function_named(function);
  if (!fn || times < -1) return -1;
  std::lock_guard lock(registry().mutex);
  registry().control.injections[static_cast<std::size_t>(*fn)] = {status, times};
  return 0;
}

EMU_EXPORT void emu_override_endpoint_state(std::uint32_t raw, int enable) {
  std::lock_guard lock(registry().mutex);
  registry().control.endpoint_state = enable ? std::optional(raw) : std::nullopt;
}

EMU_EXPORT void emu_override_endpoint_count(std::int32_t count, int enable) {
  std::lock_guard lock(registry().mutex);
  registry().control.endpoint_count = enable ? std::optional(count) : std::nullopt;
}

EMU_EXPORT void emu_override_versions(const std::uint32_t* components, const std::uint8_t* versions,
                                      std::int32_t count) {
  std::lock_guard lock(registry().mutex);
  if (count < 0 || (count > 0 && (!components || !versions))) {
    registry().control.versions.reset();
    return;
  }
  std::vector<VersionRecord> records(static_cast<std::size_t>(std::min(count, 255)));
  for (std::size_t i = 0; i < records.size(); ++i) {
    records[i].component = components[i];
    std::memcpy(records[i].version, versions + 4 * i, 4);
  }
  registry().control.versions = std::move(records);
}

EMU_EXPORT void emu_override_null_dram_record(int enable) {
  std::lock_guard lock(registry().mutex);
  registry().control.null_dram_record = enable != 0;
}

EMU_EXPORT void emu_override_null_registration(int enable) {
  std::lock_guard lock(registry().mutex);
  registry().control.null_registration = enable != 0;
}

EMU_EXPORT std::uint64_t emu_misuse_count() {
  std::lock_guard lock(registry().mutex);
  return registry().control.misuse;
}

EMU_EXPORT std::size_t emu_misuse_log(char* buffer, std::size_t capacity) {
  std::lock_guard lock(registry().mutex);
  return copy_out(json_list(registry().control.misuse_log, true), buffer, capacity);
}

EMU_EXPORT std::int64_t emu_live_handles(const char* kind) {
  std::string_view k = kind ? kind : "";
  std::lock_guard lock(registry().mutex);
  auto& r = registry();
  if (k == "session") return static_cast<std::int64_t>(r.sessions.size());
  if (k == "endpoint_array") return static_cast<std::int64_t>(r.arrays.size());
  if (k == "model") return static_cast<std::int64_t>(r.models.size());
  if (k == "registration") return static_cast<std::int64_t>(r.registrations.size());
  if (k == "request") return static_cast<std::int64_t>(r.requests.size());
  if (k == "dram_record") return static_cast<std::int64_t>(r.drams.size());
  if (k == "version_array") return static_cast<std::int64_t>(r.versions.size());
  return -1;
}

EMU_EXPORT void emu_reset() {
  std::lock_guard lock(registry().mutex);
  registry().control = Control{};
}
