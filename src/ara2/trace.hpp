// Request traces: spans of what the host did for each request (on the thread
// that did it) and of what the device reported doing, written as Chrome trace
// event JSON (Perfetto, chrome://tracing). Off, a hook costs one load and one
// branch; on, a clock read and an atomic add on a fixed buffer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ara2/values.hpp"

namespace tallowind::ara2::trace {

/// What a span shows. Host phases first, then the device's.
enum class Phase : std::uint8_t {
  InputWrite,   // set_input_tensor, or a frame's inputs copied by a pipeline
  Run,          // a synchronous inference
  Submit,       // an asynchronous one handed to the library
  Wait,         // waiting for a request
  OutputRead,   // get_output_tensor, or a frame's outputs read by a pipeline
  Dequantize,   // dequantize
  Put,          // Pipeline.put
  Collect,      // a pipeline taking a finished frame
  DeviceInput,  // the device's figures from the request's timing
  DeviceRun,
  DeviceOutput,
};

/// The span names shown in the trace, indexed by Phase.
std::string_view phase_name(Phase phase) noexcept;

/// "No endpoint" for spans not tied to one.
inline constexpr std::int32_t kNoEndpoint = -1;
/// Spans kept per recording; later ones are counted as dropped.
inline constexpr std::size_t kCapacity = std::size_t{1} << 20;

namespace detail {
inline std::atomic<bool> recording{false};
}

/// The one test every hook makes first.
inline bool on() noexcept { return detail::recording.load(std::memory_order_relaxed); }

/// CLOCK_MONOTONIC in nanoseconds.
std::uint64_t now_ns() noexcept;

/// What a span is about besides its endpoint, shown as an argument of it.
struct Item {
  enum class Kind : std::uint8_t { None, Tensor, Frame };
  Kind kind = Kind::None;
  std::int64_t value = 0;
};
/// A model's tensor, by index; a pipeline's frame, by number.
inline Item tensor(std::uint64_t index) noexcept { return {Item::Kind::Tensor, static_cast<std::int64_t>(index)}; }
inline Item frame(std::uint64_t number) noexcept { return {Item::Kind::Frame, static_cast<std::int64_t>(number)}; }

/// A host span from `start_ns` to now on the calling thread.
void span(Phase phase, std::uint64_t start_ns, std::int32_t endpoint = kNoEndpoint, Item item = {}) noexcept;

/// The device's spans of one request on `endpoint`: input, run and output
/// back to back, as long as `timing` says, starting when the request was
/// submitted or when the endpoint's previous request ended, whichever is
/// later (the device runs requests in order), and ending no later than the
/// host learnt of the completion (`completed_ns`).
void device(std::int32_t endpoint, std::uint64_t submitted_ns, std::uint64_t completed_ns,
            const ModelTiming& timing) noexcept;

/// Times a host span: records it when destroyed, if a recording was on when made.
class Scope {
 public:
  explicit Scope(Phase phase, std::int32_t endpoint = kNoEndpoint, Item item = {}) noexcept
      : start_(on() ? now_ns() : 0), phase_(phase), endpoint_(endpoint), item_(item) {}
  ~Scope() {
    if (start_ != 0) span(phase_, start_, endpoint_, item_);
  }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  std::uint64_t start_;
  Phase phase_;
  std::int32_t endpoint_;
  Item item_;
};

/// Why start() did not start.
enum class Refusal : std::uint8_t { None, AlreadyOn, CannotWrite };

/// Starts a recording to `path` (written by stop()), after checking that the
/// file can be written. CannotWrite leaves the errno in `error`.
Refusal start(std::string path, int& error);

/// What a finished recording held.
struct Written {
  std::string path;
  std::size_t events = 0;
  std::size_t dropped = 0;
  int error = 0;  // errno when the file could not be written
};

/// Ends the recording and writes its file; nullopt when none was on.
std::optional<Written> stop();

/// Whether a recording is on, and to which file.
std::string current_path();

}  // namespace tallowind::ara2::trace
