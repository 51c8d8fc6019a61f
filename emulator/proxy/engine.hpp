// The emulated accelerators behind the daemon: endpoints with their DRAM
// accounting, loaded models, registered tensors and inference requests, and
// one worker thread per endpoint that runs the requests in order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "../models/model_file.hpp"
#include "../protocol/wire.hpp"
#include "config.hpp"
#include "memory.hpp"

namespace emu::proxy {

struct Registration;
struct LoadedModel;
struct Request;

struct Endpoint {
  std::uint32_t raw_state = 1;
  std::uint64_t dram_size = 0, reserved = 0, model_bytes = 0, tensor_bytes = 0;
  /// Occupied and free DRAM; the sum saturates, so no amount can wrap it.
  std::uint64_t used() const;
  std::uint64_t free() const { return dram_size > used() ? dram_size - used() : 0; }
  std::deque<std::shared_ptr<Request>> queue;
  std::condition_variable wake;  // queued work, a cancelled running request, stop
  std::thread worker;
};

struct Client {
  bool is_unix = true;
  std::function<bool()> peer_gone;  // polled during long waits
  std::shared_ptr<Account> memory;  // the payload memory held for it
  std::uint32_t last_endpoint = 0;  // where registered tensors are accounted
  std::map<std::uint64_t, std::shared_ptr<LoadedModel>> models;
  std::map<std::uint64_t, std::shared_ptr<Registration>> registrations;
  std::map<std::uint64_t, std::shared_ptr<Request>> requests;
};

class Engine {
 public:
  explicit Engine(const DaemonConfig& config);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  std::uint64_t connect(bool is_unix, std::function<bool()> peer_gone = {});
  /// The client's account of payload memory (its frames are charged to it
  /// too); null for an unknown client.
  std::shared_ptr<Account> memory(std::uint64_t client);
  /// Cancels the client's requests, unloads its models, drops its registrations.
  void disconnect(std::uint64_t client);
  /// Serves one request frame. fd (owned by the call) is a descriptor that came with it.
  /// The answer may view tensor bytes; it keeps them alive itself until cleared.
  std::uint32_t handle(std::uint64_t client, std::uint32_t op, std::span<const std::uint8_t> payload,
                       int fd, wire::Writer& answer);
  /// Wakes every blocked wait so connection threads can end.
  void stop();

 private:
  using Lock = std::unique_lock<std::mutex>;
  std::uint32_t dispatch(Client& client, wire::Op op, wire::Reader& in, int& fd, wire::Writer& out,
                         Lock& lock);
  std::uint32_t load_model(Client& client, wire::Reader& in, wire::Writer& out, Lock& lock);
  std::uint32_t unload_model(Client& client, wire::Reader& in);
  std::uint32_t register_tensor(Client& client, wire::Reader& in, int& fd, wire::Writer& out);
  std::uint32_t infer(Client& client, wire::Reader& in, wire::Writer& out, Lock& lock);
  std::uint32_t wait(Client& client, wire::Reader& in, wire::Writer& out, Lock& lock);
  std::uint32_t request_call(Client& client, wire::Reader& in, wire::Writer& out, bool free);
  bool wait_done(Lock& lock, Client& client, Request& request, std::uint32_t timeout_ms);
  void cancel(Request& request);
  std::uint32_t fault_status(const LoadedModel& model, const char* function) const;
  void write_outcome(const std::shared_ptr<Request>& request, std::uint32_t state, wire::Writer& out,
                     std::uint32_t flags = 0);
  void release_model(LoadedModel& model);
  void work(std::uint32_t endpoint);
  void run(Request& request);
  std::string compute(Request& request);  // runs the program; the error, or empty

  DaemonConfig config_;
  Budget budget_;  // first in, last out: everything below may hold buffers
  std::mutex mutex_;
  std::atomic<bool> stopping_ = false;  // also read by running programs
  std::vector<Endpoint> endpoints_;
  std::map<std::uint64_t, Client> clients_;
  std::uint64_t next_id_ = 1;
};

}  // namespace emu::proxy
