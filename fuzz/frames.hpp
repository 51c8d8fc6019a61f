// The daemon target's input (fuzz_daemon_frames.cpp): request frames served
// to an engine in-process, as the connection loop would, without sockets.
//
// An input is one flags byte (bit 0: a TCP client, else UNIX), then records
// of u32 code, u32 length and that many payload bytes. Code 0 replaces the
// model file's contents (its checksum made to match); any other code is a
// request frame. Every ModelLoad
// is pointed at that model file, whatever path it names, so no input opens
// anything else, and a model too slow to run is replaced by an empty file
// (see emulated_model.hpp). On a UNIX client every Register frame comes with a fresh
// shared-memory descriptor of the size it asks for (capped at 1 MiB), as the
// client library sends.
//
// Object ids in the frames are those a fresh daemon hands out (its first
// client is 1, what it creates next 2, 3, ...); they are moved to where this
// input's ids start, so an input means the same on every run of one engine.
// (A fresh engine per input would do the same, but starting its worker
// threads costs ten times what the frames do.)
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "emulated_model.hpp"
#include "protocol/wire.hpp"
#include "proxy/engine.hpp"

namespace fuzz {

namespace wire = emu::wire;

inline constexpr std::uint64_t kMaxDescriptorBytes = 1 << 20;
/// Waits with long timeouts give up this long after the input started.
inline constexpr auto kInputBudget = std::chrono::milliseconds(200);

/// Two endpoints (the second not ready), a small DRAM and a few versions.
inline emu::proxy::DaemonConfig daemon_config() {
  emu::proxy::DaemonConfig c;
  c.endpoints = 2;
  c.dram_size = 64 << 20;
  c.reserved_size = 1 << 20;
  c.endpoint_states = {1, 3};
  c.versions = {{1, {1, 3, 0, 0}}, {2, {2, 0, 1, 7}}};
  return c;
}

/// The ModelLoad payload with its path replaced; empty when it has no path
/// to replace (the engine refuses such a frame before opening anything).
inline std::vector<std::uint8_t> with_model_path(std::span<const std::uint8_t> payload, const std::string& path) {
  wire::Reader in(payload);
  const auto index = in.get<std::uint32_t>();
  in.get_text();
  if (!in.ok()) return {};
  std::uint32_t path_length = 0;
  std::memcpy(&path_length, payload.data() + 4, 4);
  const auto rest = payload.subspan(8 + std::size_t{path_length});
  wire::Writer out;
  out.put(index).put_text(path);
  auto bytes = std::move(out.bytes());
  bytes.insert(bytes.end(), rest.begin(), rest.end());
  return bytes;
}

inline std::uint32_t u32_at(const std::vector<std::uint8_t>& p, std::size_t at) {
  std::uint32_t value = 0;
  if (at <= p.size() && p.size() - at >= 4) std::memcpy(&value, p.data() + at, 4);
  return value;
}

/// The payload with every object id it names moved by `offset`.
inline std::vector<std::uint8_t> with_ids_moved(wire::Op op, std::span<const std::uint8_t> payload, std::uint64_t offset) {
  std::vector<std::uint8_t> p(payload.begin(), payload.end());
  const auto move = [&](std::size_t at) {
    std::uint64_t id = 0;
    if (at > p.size() || p.size() - at < 8) return;
    std::memcpy(&id, p.data() + at, 8);
    id += offset;
    std::memcpy(p.data() + at, &id, 8);
  };
  switch (op) {
    case wire::Op::ModelUnload:
    case wire::Op::Wait:
    case wire::Op::RequestId:
    case wire::Op::RequestFree:
    case wire::Op::Unregister:
      move(0);
      break;
    case wire::Op::Infer: {
      // u8 async, u32 endpoint, u64 model, u32 timeout, u32 inputs, u32 outputs,
      // then per tensor u32 kind, u64 size and a registration id or inline input bytes.
      move(5);
      const std::uint64_t inputs = u32_at(p, 17), tensors = inputs + u32_at(p, 21);
      std::size_t at = 25;
      for (std::uint64_t i = 0; i < tensors && at < p.size(); ++i) {
        const auto kind = static_cast<wire::TensorKind>(u32_at(p, at));
        at += 12;
        if (kind == wire::TensorKind::Registration) {
          move(at);
          at += 8;
        } else if (kind == wire::TensorKind::Inline && i < inputs) {
          at += 4 + std::size_t{u32_at(p, at)};
        } else if (kind != wire::TensorKind::Inline) {
          break;
        }
      }
      break;
    }
    default:
      break;
  }
  return p;
}

/// A shared-memory file of the size a Register payload asks for.
inline int descriptor_for(std::span<const std::uint8_t> register_payload) {
  wire::Reader in(register_payload);
  const auto size = std::min(in.get<std::uint64_t>(), kMaxDescriptorBytes);
  const int fd = ::memfd_create("tensor", MFD_CLOEXEC);
  if (fd >= 0 && ::ftruncate(fd, static_cast<off_t>(size)) != 0) std::abort();
  return fd;
}

/// Serves the frames of one input to `engine` as one new client, then
/// disconnects it; the status of every frame served, in order.
inline std::vector<std::uint32_t> serve_frames(emu::proxy::Engine& engine, const MemFile& model,
                                               const std::uint8_t* data, std::size_t size) {
  using Clock = std::chrono::steady_clock;
  model.assign({});
  Cursor in(data, size);
  const bool is_unix = (in.get<std::uint8_t>() & 1) == 0;
  const auto deadline = Clock::now() + kInputBudget;
  const auto client = engine.connect(is_unix, [deadline] { return Clock::now() > deadline; });
  std::vector<std::uint32_t> statuses;
  while (!in.at_end()) {
    const auto code = in.get<std::uint32_t>();
    const auto bytes = in.bytes(in.get<std::uint32_t>());
    if (code == 0) {
      // The engine cannot interrupt a run, and waits for a slow one in steps
      // of 100 ms: a slow model would slow this input and those after it.
      const auto file = with_checksum(bytes);
      const auto parsed = emu::parse_model(file);
      const bool slow = parsed && (!quick_to_run(*parsed) || parsed->faults.latency_us > kMaxLatencyUs);
      model.assign(slow ? std::span<const std::uint8_t>() : file);
      continue;
    }
    const auto op = static_cast<wire::Op>(code);
    auto payload = with_ids_moved(op, bytes, client - 1);
    if (op == wire::Op::ModelLoad) {
      payload = with_model_path(payload, model.path());
      if (payload.empty()) continue;
    }
    const int fd = is_unix && op == wire::Op::Register ? descriptor_for(payload) : -1;
    wire::Writer answer;
    statuses.push_back(engine.handle(client, code, payload, fd, answer));
  }
  engine.disconnect(client);
  return statuses;
}

}  // namespace fuzz
