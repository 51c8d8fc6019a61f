// Per-process counters for `ara2 top`: a small shared-memory segment,
// /dev/shm/tallowind_ara2.PID (mode 0600), made at the first count and
// removed at exit, updated without locks. ARA2_COUNTERS=0 turns it off.
//
// Layout (native byte order, 64-bit fields unless said):
//   0    "ARA2CNT" and a NUL
//   8    u32 layout (1), u32 sample slots (kSamples)
//   16   pid
//   24   CLOCK_MONOTONIC nanoseconds when it was made
//   32   models loaded (signed)
//   40   inferences completed
//   48   inferences failed
//   56   requests in flight (signed)
//   64   samples written so far; sample n is in slot n mod kSamples
//   128  kEndpoints signed counts: requests in flight per endpoint index
//   640  kSamples samples, one per completed inference: completion time in
//        CLOCK_MONOTONIC milliseconds (low 32 bits) << 32 | latency in
//        microseconds (saturated to 32 bits)
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tallowind::ara2::counters {

inline constexpr std::size_t kSamples = 4096;
inline constexpr std::size_t kEndpoints = 64;  // endpoints counted apart; later ones only in the total
inline constexpr std::size_t kEndpointsOffset = 128;
inline constexpr std::size_t kSamplesOffset = kEndpointsOffset + 8 * kEndpoints;
inline constexpr std::size_t kSegmentSize = kSamplesOffset + 8 * kSamples;
inline constexpr const char* kSwitchVariable = "ARA2_COUNTERS";

namespace detail {
inline std::atomic<bool> off{false};  // switched off, or the segment could not be made
}

/// Whether counting may do anything: lets a hook skip reading the clock.
inline bool counting() noexcept { return !detail::off.load(std::memory_order_relaxed); }

/// A model was loaded (+1) or unloaded (-1).
void model_loaded(std::int64_t delta) noexcept;

/// Asynchronous requests on `endpoint`: submitted (+1) or released (-1).
void in_flight(std::int32_t endpoint, std::int64_t delta) noexcept;

/// An inference begun (its run() or submit()) and ended at these
/// CLOCK_MONOTONIC times, well or not.
void completed(std::uint64_t begun_ns, std::uint64_t ended_ns, bool ok) noexcept;

}  // namespace tallowind::ara2::counters
