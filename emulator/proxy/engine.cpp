#include "engine.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "bus_guard.hpp"
#include "log.hpp"

namespace emu::proxy {

namespace st = wire::status;
using wire::Op;
using Clock = std::chrono::steady_clock;

struct Registration {
  std::uint64_t id = 0;
  std::uint64_t size = 0;
  std::uint32_t endpoint = 0;
  int fd = -1;
  std::uint8_t* map = nullptr;  // null for registrations of TCP clients
  ~Registration() {
    if (map) ::munmap(map, size);
    if (fd >= 0) ::close(fd);
  }
};

struct LoadedModel {
  std::uint64_t id = 0;
  std::uint32_t endpoint = 0;
  emu::Model model;
  Charge memory;  // what the model holds, charged to the client that loaded it
};

/// Where the bytes of one tensor of a request are: the mapping of a
/// registration, a buffer of the request, or (inputs of a synchronous
/// request, which ends before the frame is released) the frame itself.
struct TensorRef {
  std::shared_ptr<Registration> registration;
  Buffer buffer;
  std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
};

struct Request {
  enum class Phase { Queued, Running, Done };
  std::uint64_t id = 0;
  std::shared_ptr<LoadedModel> model;
  std::shared_ptr<Account> memory;  // the client's, for padding buffers
  std::vector<TensorRef> inputs, outputs;
  Phase phase = Phase::Queued;
  std::atomic<bool> cancelled = false;  // also read by a running program
  std::size_t waits = 0;  // answered waits, for scripted completion states
  bool delivered = false;  // the client has been told the outcome
  std::condition_variable done;  // notified when the phase becomes Done
  // Written by the worker before Done, read after.
  bool run_ok = false;
  float input_us = 0, output_us = 0, run_us = 0;
};

namespace {

const char* op_function(Op op, bool is_unix, bool async) {
  switch (op) {
    case Op::Hello: return is_unix ? "dv_session_create_via_unix_socket"
                                   : "dv_session_create_via_tcp_ipv4_socket";
    case Op::EndpointList: return "dv_endpoint_get_list";
    case Op::EndpointStatus: return "dv_endpoint_check_status";
    case Op::DramStatistics: return "dv_endpoint_get_dram_statistics";
    case Op::ModelLoad: return "dv_model_load_from_file";
    case Op::ModelUnload: return "dv_model_unload";
    case Op::Register: return "dv_shmfd_register";
    case Op::Infer: return async ? "dv_infer_async" : "dv_infer_sync";
    case Op::Wait: return "dv_infer_wait_for_completion";
    case Op::RequestId: return "dv_infer_get_req_id";
    case Op::RequestFree: return "dv_infer_free";
    case Op::InflightCount: return "dv_infer_get_inflight_count";
    case Op::Versions: return "dv_retrieve_version_details";
    case Op::Unregister: return "dv_shmfd_unregister";
  }
  return "";
}

float micros(Clock::duration d) {
  return std::chrono::duration<float, std::micro>(d).count();
}

std::uint64_t clamp_size(std::int32_t size) { return size < 0 ? 0 : static_cast<std::uint64_t>(size); }

// The answer to an inference before its inline outputs: id, the statuses of
// later calls, state, flags, three timings, the output count.
constexpr std::uint64_t kOutcomeBytes = 8 + 12 + 8 + 12 + 4;

}  // namespace

std::uint64_t Endpoint::used() const {
  std::uint64_t sum = 0;
  for (std::uint64_t part : {reserved, model_bytes, tensor_bytes}) {
    sum = part > UINT64_MAX - sum ? UINT64_MAX : sum + part;
  }
  return sum;
}

Engine::Engine(const DaemonConfig& config)
    : config_(config), budget_(config.client_memory, config.total_memory), endpoints_(config.endpoints) {
  for (std::uint32_t i = 0; i < config_.endpoints; ++i) {
    auto& e = endpoints_[i];
    e.raw_state = i < config_.endpoint_states.size() ? config_.endpoint_states[i] : 1;
    e.dram_size = config_.dram_size;
    e.reserved = config_.reserved_size;
  }
  for (std::uint32_t i = 0; i < config_.endpoints; ++i) {
    endpoints_[i].worker = std::thread([this, i] { work(i); });
  }
}

Engine::~Engine() {
  stop();
  for (auto& e : endpoints_) {
    if (e.worker.joinable()) e.worker.join();
  }
}

void Engine::stop() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  for (auto& e : endpoints_) e.wake.notify_all();
  for (auto& [id, client] : clients_) {
    for (auto& [rid, request] : client.requests) request->done.notify_all();
  }
}

std::uint64_t Engine::connect(bool is_unix, std::function<bool()> peer_gone) {
  std::lock_guard lock(mutex_);
  auto id = next_id_++;
  auto& client = clients_[id];
  client.is_unix = is_unix;
  client.peer_gone = std::move(peer_gone);
  client.memory = budget_.open();
  return id;
}

std::shared_ptr<Account> Engine::memory(std::uint64_t client) {
  std::lock_guard lock(mutex_);
  auto it = clients_.find(client);
  return it == clients_.end() ? nullptr : it->second.memory;
}

bool Engine::wait_done(Lock& lock, Client& client, Request& request, std::uint32_t timeout_ms) {
  // Looks every 100 ms whether the client died while waiting, so that it is
  // cleaned up now rather than when its timeout (up to weeks) runs out.
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (request.phase != Request::Phase::Done && !stopping_) {
    auto now = Clock::now();
    if (now >= deadline) return false;
    auto slice = std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(100));
    if (request.done.wait_for(lock, slice) == std::cv_status::timeout && client.peer_gone &&
        client.peer_gone()) {
      return false;
    }
  }
  return request.phase == Request::Phase::Done;
}

void Engine::cancel(Request& request) {
  request.cancelled = true;
  // A worker in the request's latency gives the endpoint back at once.
  endpoints_[request.model->endpoint].wake.notify_all();
}

void Engine::release_model(LoadedModel& model) {
  auto& e = endpoints_[model.endpoint];
  e.model_bytes -= std::min(e.model_bytes, model.model.dram_bytes);
}

void Engine::disconnect(std::uint64_t id) {
  Lock lock(mutex_);
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  auto& client = it->second;
  std::size_t pending = 0;
  for (auto& [rid, request] : client.requests) {
    if (request->phase != Request::Phase::Done) ++pending;
    cancel(*request);
  }
  for (auto& [mid, model] : client.models) release_model(*model);
  for (auto& [reg_id, reg] : client.registrations) {
    auto& e = endpoints_[reg->endpoint];
    e.tensor_bytes -= std::min(e.tensor_bytes, reg->size);
  }
  if (!client.models.empty() || pending) {
    log("client {} left: unloaded {} model(s), cancelled {} request(s)", id, client.models.size(),
        pending);
  }
  clients_.erase(it);
  lock.unlock();
  // What the client's models and buffers held goes back to the system, not
  // only to the allocator.
  ::malloc_trim(0);
}

std::uint32_t Engine::handle(std::uint64_t client_id, std::uint32_t op,
                             std::span<const std::uint8_t> payload, int fd, wire::Writer& answer) {
  Lock lock(mutex_);
  auto it = clients_.find(client_id);
  std::uint32_t status = st::invalid_handle;
  if (it != clients_.end()) {
    wire::Reader in(payload);
    status = dispatch(it->second, static_cast<Op>(op), in, fd, answer, lock);
    if (!in.ok()) status = st::malformed_message;
  }
  if (fd >= 0) ::close(fd);
  if (status != st::ok) answer.clear();
  return status;
}

std::uint32_t Engine::dispatch(Client& client, Op op, wire::Reader& in, int& fd, wire::Writer& out,
                               Lock& lock) {
  // Faults configured for the whole daemon; those of a model apply in its handlers.
  if (op >= Op::Hello && op <= Op::Unregister) {
    bool async = false;
    if (op == Op::Infer) {
      wire::Reader peek = in;
      async = peek.get<std::uint8_t>() != 0;
    }
    auto fault = config_.call_status.find(op_function(op, client.is_unix, async));
    if (fault != config_.call_status.end() && fault->second != st::ok) return fault->second;
  }
  switch (op) {
    case Op::Hello: {
      auto version = in.get<std::uint32_t>();
      in.get<std::uint32_t>();  // the client's pid, for the log only
      if (!in.at_end()) return st::malformed_message;
      if (version != wire::kProtocolVersion) return st::handshake_failed;
      out.put<std::uint32_t>(wire::kProtocolVersion).put<std::uint32_t>(config_.endpoints);
      return st::ok;
    }
    case Op::EndpointList: {
      if (!in.at_end()) return st::malformed_message;
      out.put<std::uint32_t>(config_.endpoints);
      for (std::uint32_t i = 0; i < config_.endpoints; ++i) out.put<std::uint32_t>(i);
      return st::ok;
    }
    case Op::EndpointStatus:
    case Op::DramStatistics: {
      auto index = in.get<std::uint32_t>();
      if (!in.at_end()) return st::malformed_message;
      if (index >= endpoints_.size()) return st::unknown_endpoint;
      const auto& e = endpoints_[index];
      if (op == Op::EndpointStatus) {
        out.put<std::uint32_t>(e.raw_state);
        return st::ok;
      }
      out.put(e.dram_size).put(e.used()).put(e.free());
      out.put(e.reserved).put(e.model_bytes).put(e.tensor_bytes);
      return st::ok;
    }
    case Op::ModelLoad: return load_model(client, in, out, lock);
    case Op::ModelUnload: return unload_model(client, in);
    case Op::Register: return register_tensor(client, in, fd, out);
    case Op::Infer: return infer(client, in, out, lock);
    case Op::Wait: return wait(client, in, out, lock);
    case Op::RequestId: return request_call(client, in, out, false);
    case Op::RequestFree: return request_call(client, in, out, true);
    case Op::InflightCount: {
      if (!in.at_end()) return st::malformed_message;
      std::uint32_t count = 0;
      // In flight until the client has received the outcome, as applications see it.
      for (auto& [id, request] : client.requests) count += request->delivered ? 0 : 1;
      out.put(count);
      return st::ok;
    }
    case Op::Versions: {
      if (!in.at_end()) return st::malformed_message;
      out.put<std::uint32_t>(static_cast<std::uint32_t>(config_.versions.size()));
      for (const auto& v : config_.versions) out.put(v.component).put(v.version);
      return st::ok;
    }
    case Op::Unregister: {
      auto id = in.get<std::uint64_t>();
      if (!in.at_end()) return st::malformed_message;
      auto it = client.registrations.find(id);
      if (it == client.registrations.end()) return st::invalid_handle;
      auto& e = endpoints_[it->second->endpoint];
      e.tensor_bytes -= std::min(e.tensor_bytes, it->second->size);
      // Mapping and descriptor go with the last reference: a request still
      // queued on the tensor keeps its own.
      client.registrations.erase(it);
      return st::ok;
    }
  }
  return st::unsupported;
}

namespace {

std::optional<std::uint32_t> model_fault(const LoadedModel& model, const char* function) {
  auto it = model.model.faults.call_status.find(function);
  if (it == model.model.faults.call_status.end() || it->second == st::ok) return std::nullopt;
  return it->second;
}

}  // namespace

std::uint32_t Engine::fault_status(const LoadedModel& model, const char* function) const {
  auto it = config_.call_status.find(function);
  if (it != config_.call_status.end() && it->second != st::ok) return it->second;
  return model_fault(model, function).value_or(st::ok);
}

std::uint32_t Engine::load_model(Client& client, wire::Reader& in, wire::Writer& out, Lock& lock) {
  auto index = in.get<std::uint32_t>();
  auto path = in.get_text();
  auto name = in.get_text();
  in.get<std::uint32_t>();  // flags: nothing to choose in the emulator
  if (!in.at_end()) return st::malformed_message;
  if (index >= endpoints_.size()) return st::unknown_endpoint;

  // File access and parsing happen without holding up other clients. The
  // file's bytes, and then the parsed model, are charged to the client.
  auto account = client.memory;
  lock.unlock();
  std::optional<Charge> reading, held;
  auto admit = [&](std::uint64_t size) { return (reading = account->hold(size)).has_value(); };
  std::expected<emu::Model, std::string> parsed = [&]() -> std::expected<emu::Model, std::string> {
    auto bytes = emu::read_model_file(path, admit);
    if (!bytes) return std::unexpected(bytes.error());
    return emu::parse_model(*bytes);
  }();
  bool refused = !parsed && parsed.error() == emu::kNoMemoryToRead;
  if (parsed && !(held = account->hold(emu::model_footprint(*parsed)))) refused = true;
  reading.reset();
  lock.lock();
  if (refused) {
    log("cannot load {:?} as {:?}: the client's memory caps do not allow it", path, name);
    return st::out_of_memory;
  }
  if (!parsed) {
    // One answer whatever the reason, so that a client cannot tell a missing
    // file from one it may not read: the client library, which reads the
    // file with the application's rights, tells "not a model" apart itself.
    log("cannot load {:?} as {:?}: {}", path, name, parsed.error());
    return st::model_unreadable;
  }
  auto model = std::make_shared<LoadedModel>();
  model->endpoint = index;
  model->model = std::move(*parsed);
  model->memory = std::move(*held);
  if (auto fault = model_fault(*model, "dv_model_load_from_file")) return *fault;
  auto& e = endpoints_[index];
  if (model->model.dram_bytes > e.free()) {
    log("cannot load {:?}: {} bytes do not fit the DRAM left on endpoint {}", path,
        model->model.dram_bytes, index);
    return st::out_of_dram;
  }
  e.model_bytes += model->model.dram_bytes;
  model->id = next_id_++;
  client.models[model->id] = model;
  client.last_endpoint = index;
  out.put(model->id);
  return st::ok;
}

std::uint32_t Engine::unload_model(Client& client, wire::Reader& in) {
  auto id = in.get<std::uint64_t>();
  if (!in.at_end()) return st::malformed_message;
  auto it = client.models.find(id);
  if (it == client.models.end()) return st::invalid_handle;
  auto model = it->second;
  release_model(*model);
  client.models.erase(it);
  return model_fault(*model, "dv_model_unload").value_or(st::ok);
}

std::uint32_t Engine::register_tensor(Client& client, wire::Reader& in, int& fd, wire::Writer& out) {
  auto size = in.get<std::uint64_t>();
  auto has_fd = in.get<std::uint8_t>();
  if (!in.at_end()) return st::malformed_message;
  // A registration occupies the DRAM of the endpoint it is accounted on.
  if (size > endpoints_[client.last_endpoint].free()) return st::out_of_dram;
  auto reg = std::make_shared<Registration>();
  reg->size = size;
  if (client.is_unix) {
    if (!has_fd || fd < 0) return st::invalid_argument;
    struct stat info {};
    if (::fstat(fd, &info) != 0) return st::invalid_argument;
    // Mapping past the end of a file would fault when the worker touches it.
    if (S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) < size) {
      return st::invalid_argument;
    }
    if (size > 0) {
      void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (map == MAP_FAILED) return st::invalid_argument;
      reg->map = static_cast<std::uint8_t*>(map);
    }
    reg->fd = fd;
    fd = -1;
  } else if (has_fd) {
    return st::invalid_argument;
  }
  reg->id = next_id_++;
  reg->endpoint = client.last_endpoint;
  endpoints_[reg->endpoint].tensor_bytes += size;
  client.registrations[reg->id] = reg;
  out.put(reg->id);
  return st::ok;
}

std::uint32_t Engine::infer(Client& client, wire::Reader& in, wire::Writer& out, Lock& lock) {
  bool async = in.get<std::uint8_t>() != 0;
  auto index = in.get<std::uint32_t>();
  auto model_id = in.get<std::uint64_t>();
  auto timeout_ms = in.get<std::uint32_t>();
  auto n_inputs = in.get<std::uint32_t>();
  auto n_outputs = in.get<std::uint32_t>();
  if (!in.ok() || n_inputs > wire::kMaxTensors || n_outputs > wire::kMaxTensors) {
    return st::malformed_message;
  }
  // The whole message is read and checked before anything is allocated for it.
  struct Sent {  // one tensor as the message describes it
    wire::TensorKind kind{};
    std::uint64_t size = 0, registration_id = 0;
    std::span<const std::uint8_t> bytes;  // inline inputs
    std::shared_ptr<Registration> registration;
  };
  std::vector<Sent> sent(n_inputs + n_outputs);
  std::uint64_t answer_bytes = kOutcomeBytes;
  for (std::uint32_t i = 0; i < sent.size() && in.ok(); ++i) {
    auto& item = sent[i];
    item.kind = static_cast<wire::TensorKind>(in.get<std::uint32_t>());
    item.size = in.get<std::uint64_t>();
    if (item.kind == wire::TensorKind::Registration) {
      item.registration_id = in.get<std::uint64_t>();
    } else if (item.kind != wire::TensorKind::Inline || item.size > wire::kMaxPayload) {
      in.fail();
    } else if (i < n_inputs) {
      item.bytes = in.get_bytes(wire::kMaxPayload);
      if (item.bytes.size() != item.size) in.fail();
    } else {
      answer_bytes += 4 + item.size;
    }
  }
  if (!in.at_end()) return st::malformed_message;
  auto it = client.models.find(model_id);
  if (it == client.models.end()) return st::invalid_handle;
  auto model = it->second;
  if (auto fault = model_fault(*model, async ? "dv_infer_async" : "dv_infer_sync")) return *fault;
  if (index != model->endpoint) return st::invalid_argument;
  if (n_inputs != model->model.inputs.size() || n_outputs != model->model.outputs.size()) {
    return st::tensor_mismatch;
  }
  for (auto& item : sent) {
    if (item.kind != wire::TensorKind::Registration) continue;
    auto reg = client.registrations.find(item.registration_id);
    if (reg == client.registrations.end() || reg->second->size < item.size ||
        (!reg->second->map && item.size > 0)) {
      return st::tensor_mismatch;
    }
    item.registration = reg->second;
  }
  // Inline outputs come back in one answer, which has to fit in a frame.
  if (answer_bytes > wire::kMaxPayload) return st::invalid_argument;
  if (async && model->model.faults.null_request) {
    out.put<std::uint64_t>(0).put<std::uint32_t>(wire::kFlagNullRequest);
    return st::ok;
  }
  auto request = std::make_shared<Request>();
  request->model = model;
  request->memory = client.memory;
  for (std::uint32_t i = 0; i < sent.size(); ++i) {
    auto& item = sent[i];
    bool input = i < n_inputs;
    TensorRef tensor;
    tensor.size = item.size;
    if (item.registration) {
      tensor.data = item.registration->map;
      tensor.registration = std::move(item.registration);
    } else if (input && !async) {
      // Only read while this call waits for the request to finish.
      tensor.data = const_cast<std::uint8_t*>(item.bytes.data());
    } else if (item.size > 0) {
      auto buffer = client.memory->take(item.size);
      if (!buffer) return st::out_of_memory;
      tensor.buffer = std::move(*buffer);
      tensor.data = tensor.buffer.data();
      if (input) std::memcpy(tensor.data, item.bytes.data(), item.size);
    }
    (input ? request->inputs : request->outputs).push_back(std::move(tensor));
  }
  request->id = next_id_++;
  client.requests[request->id] = request;
  auto& endpoint = endpoints_[index];
  endpoint.queue.push_back(request);
  // Woken without the lock held, the worker does not block on it at once.
  lock.unlock();
  endpoint.wake.notify_one();
  lock.lock();
  if (async) {
    out.put(request->id).put<std::uint32_t>(0);
    return st::ok;
  }
  bool done = wait_done(lock, client, *request, timeout_ms);
  // Answered and released in one exchange: the client library answers later
  // calls on this request itself, with the statuses sent along.
  client.requests.erase(request->id);
  if (!done) {
    cancel(*request);
    // Its inputs live in the frame being handled: the worker must be off it.
    while (request->phase == Request::Phase::Running) request->done.wait(lock);
    return st::timeout;
  }
  request->delivered = true;
  out.put(request->id);
  for (const char* later : {"dv_infer_get_req_id", "dv_infer_wait_for_completion", "dv_infer_free"}) {
    out.put(fault_status(*model, later));
  }
  write_outcome(request, 2, out);
  return st::ok;
}

void Engine::write_outcome(const std::shared_ptr<Request>& request, std::uint32_t state,
                           wire::Writer& out, std::uint32_t flags) {
  const auto& faults = request->model->model.faults;
  bool done = request->phase == Request::Phase::Done;
  if (done) state = !request->run_ok ? 4 : faults.final_state.value_or(2);
  if (!faults.missing_statistics) flags |= wire::kFlagHasStatistics;
  if (faults.null_completed) flags |= wire::kFlagNullCompleted;
  if (done && request->run_ok) flags |= wire::kFlagHasOutputs;
  out.put(state).put(flags);
  out.put(faults.input_time_us.value_or(request->input_us));
  out.put(faults.output_time_us.value_or(request->output_us));
  out.put(faults.run_time_us.value_or(request->run_us));
  if (flags & wire::kFlagHasOutputs) {
    std::uint32_t count = 0;
    for (const auto& t : request->outputs) count += t.registration ? 0 : 1;
    out.put(count);
    // The answer keeps the request, and so the bytes it views, until it is sent.
    for (const auto& t : request->outputs) {
      if (!t.registration) out.put_view({t.data, t.size}, request);
    }
  }
}

std::uint32_t Engine::wait(Client& client, wire::Reader& in, wire::Writer& out, Lock& lock) {
  auto id = in.get<std::uint64_t>();
  auto timeout_ms = in.get<std::uint32_t>();
  if (!in.at_end()) return st::malformed_message;
  auto it = client.requests.find(id);
  if (it == client.requests.end()) return st::invalid_handle;
  auto request = it->second;
  if (auto fault = model_fault(*request->model, "dv_infer_wait_for_completion")) return *fault;
  const auto& scripted = request->model->model.faults.completion_states;
  if (request->waits < scripted.size()) {
    auto state = scripted[request->waits++];
    // Scripted answers stand for a request still under way: no outputs yet.
    std::uint32_t flags = request->model->model.faults.missing_statistics ? 0 : wire::kFlagHasStatistics;
    if (request->model->model.faults.null_completed) flags |= wire::kFlagNullCompleted;
    out.put(state).put(flags).put(0.0f).put(0.0f).put(0.0f);
    return st::ok;
  }
  bool done = wait_done(lock, client, *request, timeout_ms);
  write_outcome(request, request->phase == Request::Phase::Queued ? 0 : 1, out,
                done ? 0 : wire::kFlagWaitTimedOut);
  request->delivered = done;
  return st::ok;
}

std::uint32_t Engine::request_call(Client& client, wire::Reader& in, wire::Writer& out, bool free) {
  auto id = in.get<std::uint64_t>();
  if (!in.at_end()) return st::malformed_message;
  auto it = client.requests.find(id);
  if (it == client.requests.end()) return st::invalid_handle;
  auto request = it->second;
  if (free) {
    cancel(*request);
    client.requests.erase(it);
    return model_fault(*request->model, "dv_infer_free").value_or(st::ok);
  }
  if (auto fault = model_fault(*request->model, "dv_infer_get_req_id")) return *fault;
  out.put(request->id);
  return st::ok;
}

void Engine::work(std::uint32_t index) {
  Lock lock(mutex_);
  auto& endpoint = endpoints_[index];
  for (;;) {
    endpoint.wake.wait(lock, [&] { return stopping_ || !endpoint.queue.empty(); });
    if (stopping_) return;
    auto request = std::move(endpoint.queue.front());
    endpoint.queue.pop_front();
    if (request->cancelled) continue;
    request->phase = Request::Phase::Running;
    lock.unlock();
    run(*request);
    std::uint32_t latency = request->model->model.faults.latency_us + config_.latency_us;
    lock.lock();
    if (latency) {
      auto start = Clock::now();
      // A cancelled request gives the endpoint back at once.
      endpoint.wake.wait_for(lock, std::chrono::microseconds(latency),
                             [&] { return stopping_ || request->cancelled; });
      request->run_us += micros(Clock::now() - start);
    }
    request->phase = Request::Phase::Done;
    lock.unlock();
    request->done.notify_all();
    lock.lock();
  }
}

void Engine::run(Request& request) {
  std::vector<MappedRange> mapped;
  std::vector<const Registration*> registrations;
  for (const auto* list : {&request.inputs, &request.outputs}) {
    for (const auto& t : *list) {
      if (!t.registration || !t.registration->map) continue;
      mapped.push_back({t.registration->map, t.registration->size});
      registrations.push_back(t.registration.get());
    }
  }
  std::string failure;
  try {
    if (!run_guarded(mapped, [&] { failure = compute(request); })) {
      failure = "a registered tensor was truncated after registration";
      // Mapped again, the pages the file has again are shared again.
      for (const auto* reg : registrations) {
        ::mmap(reg->map, reg->size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, reg->fd, 0);
      }
    }
  } catch (const std::exception& error) {
    failure = error.what();
  }
  request.run_ok = failure.empty();
  if (!request.run_ok) log("inference {} failed: {}", request.id, failure);
}

std::string Engine::compute(Request& request) {
  const auto& model = request.model->model;
  // Tensors smaller than the model declares are padded with zeros.
  auto start = Clock::now();
  std::vector<Buffer> padding;
  auto pad = [&](std::uint64_t size) -> std::uint8_t* {
    auto buffer = request.memory->take(size);
    if (!buffer) return nullptr;
    std::memset(buffer->data(), 0, size);
    return padding.emplace_back(std::move(*buffer)).data();
  };
  std::vector<std::span<const std::uint8_t>> inputs;
  for (std::size_t i = 0; i < request.inputs.size(); ++i) {
    auto& t = request.inputs[i];
    auto need = clamp_size(model.inputs[i].size);
    if (t.size >= need) {
      inputs.emplace_back(t.data, t.size);
      continue;
    }
    auto* copy = pad(need);
    if (!copy) return "no memory left to pad input " + std::to_string(i);
    if (t.size) std::memcpy(copy, t.data, t.size);
    inputs.emplace_back(copy, need);
  }
  std::vector<std::span<std::uint8_t>> outputs;
  std::vector<std::uint8_t*> padded_outputs(request.outputs.size(), nullptr);
  for (std::size_t i = 0; i < request.outputs.size(); ++i) {
    auto& t = request.outputs[i];
    auto need = clamp_size(model.outputs[i].size);
    if (t.size >= need) {
      outputs.emplace_back(t.data, t.size);
      continue;
    }
    padded_outputs[i] = pad(need);
    if (!padded_outputs[i]) return "no memory left to pad output " + std::to_string(i);
    outputs.emplace_back(padded_outputs[i], need);
  }
  // Scratch memory is charged to the client too; cleared by the run.
  Buffer scratch;
  if (auto need = emu::scratch_bytes(model)) {
    auto buffer = request.memory->take(need);
    if (!buffer) return "no memory left for the program's scratch buffers";
    scratch = std::move(*buffer);
  }
  emu::RunContext context;
  context.scratch = {scratch.data(), emu::scratch_bytes(model)};
  // Checked between ops, so that no program outlasts shutdown or its request.
  context.stop = [&] { return stopping_.load() || request.cancelled.load(); };
  auto ran = Clock::now();
  auto result = emu::run_model(model, inputs, outputs, context);
  auto finished = Clock::now();
  for (std::size_t i = 0; i < request.outputs.size(); ++i) {
    auto& t = request.outputs[i];
    if (padded_outputs[i] && t.size) std::memcpy(t.data, padded_outputs[i], t.size);
  }
  request.input_us = micros(ran - start);
  request.run_us = micros(finished - ran);
  request.output_us = micros(Clock::now() - finished);
  return result ? std::string() : result.error();
}

}  // namespace emu::proxy
