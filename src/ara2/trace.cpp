#include "ara2/trace.hpp"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fmt/format.h>
#include <fstream>
#include <mutex>
#include <set>
#include <utility>

namespace tallowind::ara2::trace {
namespace {

constexpr std::array<std::string_view, 11> kPhaseNames = {
    "input write", "run", "submit", "wait", "output read", "dequantize", "put", "collect",
    "device input", "device run", "device output"};

/// One span. Written by one thread into the slot its atomic add gave it;
/// `ready` says the fields are complete.
struct Event {
  std::uint64_t start_ns;
  std::uint64_t duration_ns;
  Item item;
  std::int32_t tid;
  std::int32_t endpoint;
  Phase phase;
  bool ready;  // accessed through std::atomic_ref only
};

bool is_ready(const Event& event) noexcept {
  // The buffer is writable memory; atomic_ref of a const object is not portable yet.
  return std::atomic_ref<bool>(const_cast<bool&>(event.ready)).load(std::memory_order_acquire);
}
void set_ready(Event& event, bool ready) noexcept {
  std::atomic_ref<bool>(event.ready).store(ready, std::memory_order_release);
}

/// The spans of the recording. Mapped once and kept for the life of the
/// process, so a hook that raced with stop() never writes into freed memory;
/// pages are touched only as spans fill them.
Event* buffer() noexcept {
  static Event* events = [] {
    void* memory = mmap(nullptr, kCapacity * sizeof(Event), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                        -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<Event*>(memory);
  }();
  return events;
}

std::atomic<std::size_t> next_slot{0};
/// Per endpoint, when its last request's device spans ended.
constexpr std::size_t kEndpointsModelled = 64;
std::array<std::atomic<std::uint64_t>, kEndpointsModelled> device_free_at{};

std::mutex control;  // start and stop
std::string recording_path;
std::uint64_t origin_ns = 0;

std::int32_t thread_id() noexcept {
  thread_local const auto id = static_cast<std::int32_t>(syscall(SYS_gettid));
  return id;
}

void put(Phase phase, std::uint64_t start_ns, std::uint64_t end_ns, std::int32_t tid, std::int32_t endpoint,
         Item item) noexcept {
  Event* events = buffer();
  const std::size_t slot = next_slot.fetch_add(1, std::memory_order_relaxed);
  if (events == nullptr || slot >= kCapacity) return;
  Event& event = events[slot];
  event.start_ns = start_ns;
  event.duration_ns = end_ns > start_ns ? end_ns - start_ns : 0;
  event.item = item;
  event.tid = tid;
  event.endpoint = endpoint;
  event.phase = phase;
  set_ready(event, true);
}

/// The thread's name as the kernel has it, or "thread TID" once it is gone.
std::string thread_name(std::int32_t tid) {
  std::ifstream comm(fmt::format("/proc/self/task/{}/comm", tid));
  std::string name;
  if (comm && std::getline(comm, name) && !name.empty()) return fmt::format("{} ({})", name, tid);
  return fmt::format("thread {}", tid);
}

/// Microseconds since the recording began, with nanosecond digits.
std::string micros(std::uint64_t ns) { return fmt::format("{}.{:03}", ns / 1000, ns % 1000); }

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += fmt::format("\\u{:04x}", static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out + "\"";
}

/// Writes the Chrome trace event document of `count` recorded spans to
/// `file`, a piece at a time; false when a write failed (errno says why).
bool write_document(std::FILE* file, const Event* events, std::size_t count, std::size_t dropped) {
  const auto pid = static_cast<std::int64_t>(getpid());
  // The device's tracks live in a process of their own, one thread per endpoint.
  const std::int64_t device_pid = pid + (std::int64_t{1} << 30);
  std::string out = "{\"displayTimeUnit\":\"ms\",\"otherData\":{\"dropped\":" + std::to_string(dropped) +
                    "},\"traceEvents\":[\n";
  std::set<std::int32_t> threads, endpoints;
  bool first = true, written = true;
  auto flush = [&] {
    written = written && std::fwrite(out.data(), 1, out.size(), file) == out.size();
    out.clear();
  };
  auto append = [&](const std::string& line) {
    if (!first) out += ",\n";
    out += line;
    first = false;
    if (out.size() >= (1u << 20)) flush();
  };
  for (std::size_t i = 0; i < count; ++i) {
    const Event& event = events[i];
    if (!is_ready(event)) continue;
    const bool on_device = event.phase >= Phase::DeviceInput;
    std::string args;
    if (event.endpoint != kNoEndpoint) args += fmt::format("\"endpoint\":{}", event.endpoint);
    if (event.item.kind != Item::Kind::None) {
      args += fmt::format("{}\"{}\":{}", args.empty() ? "" : ",",
                          event.item.kind == Item::Kind::Tensor ? "tensor" : "frame", event.item.value);
    }
    const std::uint64_t start = event.start_ns > origin_ns ? event.start_ns - origin_ns : 0;
    append(fmt::format(R"j({{"name":"{}","cat":"{}","ph":"X","ts":{},"dur":{},"pid":{},"tid":{},"args":{{{}}}}})j",
                       phase_name(event.phase), on_device ? "device" : "host", micros(start),
                       micros(event.duration_ns), on_device ? device_pid : pid,
                       on_device ? event.endpoint : event.tid, args));
    (on_device ? endpoints : threads).insert(on_device ? event.endpoint : event.tid);
  }
  append(fmt::format(R"j({{"name":"process_name","ph":"M","pid":{},"args":{{"name":"host (pid {})"}}}})j", pid, pid));
  append(fmt::format(R"j({{"name":"process_name","ph":"M","pid":{},"args":{{"name":"ARA-2 device"}}}})j", device_pid));
  for (std::int32_t tid : threads) {
    append(fmt::format(R"j({{"name":"thread_name","ph":"M","pid":{},"tid":{},"args":{{"name":{}}}}})j", pid, tid,
                       json_string(thread_name(tid))));
  }
  for (std::int32_t endpoint : endpoints) {
    append(fmt::format(R"j({{"name":"thread_name","ph":"M","pid":{},"tid":{},"args":{{"name":"endpoint {}"}}}})j",
                       device_pid, endpoint, endpoint));
  }
  out += "\n]}\n";
  flush();
  return written;
}

}  // namespace

std::string_view phase_name(Phase phase) noexcept { return kPhaseNames[static_cast<std::size_t>(phase)]; }

std::uint64_t now_ns() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

void span(Phase phase, std::uint64_t start_ns, std::int32_t endpoint, Item item) noexcept {
  put(phase, start_ns, now_ns(), thread_id(), endpoint, item);
}

void device(std::int32_t endpoint, std::uint64_t submitted_ns, std::uint64_t completed_ns,
            const ModelTiming& timing) noexcept {
  const std::uint64_t input = timing.input_time_us * 1000, run = timing.run_time_us * 1000,
                      output = timing.output_time_us * 1000;
  const std::uint64_t total = input + run + output;
  std::uint64_t start = submitted_ns;
  const bool modelled = endpoint >= 0 && static_cast<std::size_t>(endpoint) < kEndpointsModelled;
  if (modelled) start = std::max(start, device_free_at[static_cast<std::size_t>(endpoint)].load());
  if (start + total > completed_ns) start = std::max(submitted_ns, completed_ns > total ? completed_ns - total : 0);
  if (modelled) device_free_at[static_cast<std::size_t>(endpoint)].store(start + total);
  put(Phase::DeviceInput, start, start + input, 0, endpoint, {});
  put(Phase::DeviceRun, start + input, start + input + run, 0, endpoint, {});
  put(Phase::DeviceOutput, start + input + run, start + total, 0, endpoint, {});
}

Refusal start(std::string path, int& error) {
  std::lock_guard lock(control);
  if (on()) return Refusal::AlreadyOn;
  Event* events = buffer();
  // Fail now rather than after the program ran: the file must be writable.
  std::FILE* file = events == nullptr ? nullptr : std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    error = events == nullptr ? ENOMEM : errno;
    return Refusal::CannotWrite;
  }
  std::fclose(file);
  const std::size_t used = std::min(next_slot.load(), kCapacity);
  for (std::size_t i = 0; i < used; ++i) set_ready(events[i], false);
  for (auto& free_at : device_free_at) free_at.store(0);
  next_slot.store(0);
  recording_path = std::move(path);
  origin_ns = now_ns();
  detail::recording.store(true, std::memory_order_release);
  return Refusal::None;
}

std::optional<Written> stop() {
  std::lock_guard lock(control);
  if (!on()) return std::nullopt;
  detail::recording.store(false, std::memory_order_release);
  const std::size_t taken = next_slot.load();
  const std::size_t count = std::min(taken, kCapacity);
  Written written{std::exchange(recording_path, {}), 0, taken - count, 0};
  for (std::size_t i = 0; i < count; ++i) written.events += is_ready(buffer()[i]) ? 1 : 0;
  std::FILE* file = std::fopen(written.path.c_str(), "w");
  if (file == nullptr) {
    written.error = errno;
    return written;
  }
  if (!write_document(file, buffer(), count, written.dropped)) written.error = errno;
  if (std::fclose(file) != 0 && written.error == 0) written.error = errno;
  return written;
}

std::string current_path() {
  std::lock_guard lock(control);
  return on() ? recording_path : std::string();
}

}  // namespace tallowind::ara2::trace
