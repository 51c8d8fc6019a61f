#include "ara2/counters.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>
#include <mutex>
#include <string>
#include <string_view>

#include "ara2/trace.hpp"

namespace tallowind::ara2::counters {
namespace {

enum Field : std::size_t { Magic, Layout, Pid, Started, Models, Completed, Failed, InFlight, Written };

constexpr std::uint32_t kLayout = 1;

std::atomic<std::uint64_t*> segment{nullptr};
std::atomic<bool> tried{false};
std::mutex opening;
std::string name;  // shm_open name of this process's segment

void remove_segment() noexcept {
  if (!name.empty()) shm_unlink(name.c_str());
}

/// A forked child counts in a segment of its own, made at its first count.
void forget_in_child() noexcept {
  if (auto* words = segment.exchange(nullptr)) munmap(words, kSegmentSize);
  tried.store(false);
  detail::off.store(false);
  name.clear();
}

bool switched_off() {
  const char* value = std::getenv(kSwitchVariable);
  if (value == nullptr) return false;
  const std::string_view text(value);
  return text == "0" || text == "off" || text == "no" || text == "false";
}

std::uint64_t* make_segment();

std::uint64_t* open_segment() {
  std::lock_guard lock(opening);
  if (tried.load()) return segment.load();
  tried.store(true);
  std::uint64_t* made = switched_off() ? nullptr : make_segment();
  detail::off.store(made == nullptr);
  return made;
}

std::uint64_t* make_segment() {
  static const bool hooks = [] {
    pthread_atfork(nullptr, nullptr, forget_in_child);
    return std::atexit(remove_segment) == 0;
  }();
  (void)hooks;
  name = fmt::format("/tallowind_ara2.{}", getpid());
  shm_unlink(name.c_str());  // a segment left by a dead process of the same pid
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  void* memory = ftruncate(fd, kSegmentSize) == 0
                     ? mmap(nullptr, kSegmentSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                     : MAP_FAILED;
  close(fd);
  if (memory == MAP_FAILED) {
    remove_segment();
    name.clear();
    return nullptr;
  }
  auto* words = static_cast<std::uint64_t*>(memory);
  words[Layout] = kLayout | (std::uint64_t{kSamples} << 32);
  words[Pid] = static_cast<std::uint64_t>(getpid());
  words[Started] = trace::now_ns();
  // The magic last: a reader takes the segment as valid once it is there.
  std::uint64_t magic = 0;
  std::memcpy(&magic, "ARA2CNT", 8);
  std::atomic_ref<std::uint64_t>(words[Magic]).store(magic, std::memory_order_release);
  segment.store(words, std::memory_order_release);
  return words;
}

/// The segment, made at the first call; null when off or it could not be made.
std::uint64_t* words() noexcept {
  if (auto* words = segment.load(std::memory_order_acquire)) return words;
  if (tried.load(std::memory_order_relaxed)) return nullptr;
  try {
    return open_segment();
  } catch (...) {
    return nullptr;
  }
}

void add(std::uint64_t* words, std::size_t field, std::int64_t delta) noexcept {
  std::atomic_ref<std::uint64_t>(words[field]).fetch_add(static_cast<std::uint64_t>(delta),
                                                         std::memory_order_relaxed);
}

void add_in_flight(std::uint64_t* words, std::int32_t endpoint, std::int64_t delta) noexcept {
  add(words, InFlight, delta);
  if (endpoint >= 0 && static_cast<std::size_t>(endpoint) < kEndpoints) {
    add(words, kEndpointsOffset / 8 + static_cast<std::size_t>(endpoint), delta);
  }
}

}  // namespace

void model_loaded(std::int64_t delta) noexcept {
  if (auto* counters = words()) add(counters, Models, delta);
}

void in_flight(std::int32_t endpoint, std::int64_t delta) noexcept {
  if (auto* counters = words()) add_in_flight(counters, endpoint, delta);
}

void completed(std::uint64_t begun_ns, std::uint64_t ended_ns, bool ok) noexcept {
  auto* counters = words();
  if (counters == nullptr) return;
  add(counters, ok ? Completed : Failed, 1);
  if (!ok) return;
  const std::uint64_t now_ms = ended_ns / 1'000'000;
  const std::uint64_t latency_us = std::min<std::uint64_t>((ended_ns - begun_ns) / 1000, 0xffffffffu);
  const std::uint64_t n =
      std::atomic_ref<std::uint64_t>(counters[Written]).fetch_add(1, std::memory_order_relaxed);
  std::atomic_ref<std::uint64_t>(counters[kSamplesOffset / 8 + n % kSamples])
      .store((now_ms & 0xffffffffu) << 32 | latency_us, std::memory_order_relaxed);
}

}  // namespace tallowind::ara2::counters
