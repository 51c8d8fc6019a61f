// Emulated model files in fuzz inputs: their checksum made to match, so that
// mutations reach the parser's body checks, and what one run costs, so that
// only models quick enough to keep every input fast are run.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

#include "model_file.hpp"

namespace fuzz {

inline constexpr std::size_t kModelHeaderBytes = 20;

/// The file with the header's checksum set to its body's (when the body fits).
inline std::vector<std::uint8_t> with_checksum(std::span<const std::uint8_t> file) {
  std::vector<std::uint8_t> out(file.begin(), file.end());
  std::uint32_t body = 0;
  if (out.size() < kModelHeaderBytes) return out;
  std::memcpy(&body, &out[12], 4);
  if (body > out.size() - kModelHeaderBytes) return out;
  const auto crc = static_cast<std::uint32_t>(::crc32(0, &out[kModelHeaderBytes], body));
  std::memcpy(&out[16], &crc, 4);
  return out;
}

/// Slower models are not run: how slow is the file's to choose, not a bug.
/// A run's work is bounded by its buffers' bytes times the ops over them.
inline constexpr std::uint64_t kMaxRunWork = 1 << 18;
inline constexpr std::uint32_t kMaxLatencyUs = 1000;

/// An input's buffer as the client allocates it (nch x height x width bytes).
inline std::uint64_t input_bytes(const emu::InputTensor& t) {
  if (t.nch < 0 || t.height < 0 || t.width < 0) return 0;
  return std::uint64_t(t.nch) * std::uint64_t(t.height) * std::uint64_t(t.width);
}

struct RunSize {
  std::uint64_t bytes = 0;  // tensors and scratch buffers
  std::uint64_t ops = 0;
};

/// What one run of the program touches, counting an input at the larger of
/// its buffer and its size field (the daemon pads inputs to their size).
inline RunSize run_size(const emu::Model& model) {
  RunSize out;
  for (const auto& t : model.inputs) out.bytes += std::max<std::uint64_t>(input_bytes(t), t.size < 0 ? 0 : t.size);
  for (const auto& t : model.outputs) out.bytes += t.size < 0 ? 0 : std::uint64_t(t.size);
  // The listing has a line "scratch:N SIZE bytes" per scratch buffer, then one per op.
  for (const auto& line : emu::program_listing(model)) {
    std::uint64_t size = 0;
    if (std::sscanf(line.c_str(), "scratch:%*u %" SCNu64 " bytes", &size) == 1) {
      out.bytes += size;
    } else {
      ++out.ops;
    }
  }
  return out;
}

inline bool quick_to_run(const emu::Model& model) {
  const RunSize size = run_size(model);
  return size.bytes <= kMaxRunWork && size.bytes * (size.ops + 1) <= kMaxRunWork;
}

}  // namespace fuzz
