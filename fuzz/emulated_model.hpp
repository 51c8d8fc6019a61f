// Emulated model files in fuzz inputs: their checksum made to match, so that
// mutations reach the parser's body checks, and the memory one run takes, so
// that only models small enough to keep every input fast are run.
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

/// Larger models are not run: their size is the file's to choose, not a bug.
inline constexpr std::uint64_t kMaxRunBytes = 1 << 20;

/// An input's buffer as the client allocates it (nch x height x width bytes).
inline std::uint64_t input_bytes(const emu::InputTensor& t) {
  if (t.nch < 0 || t.height < 0 || t.width < 0) return 0;
  return std::uint64_t(t.nch) * std::uint64_t(t.height) * std::uint64_t(t.width);
}

/// Tensor and scratch bytes of one run, counting an input at the larger of
/// its buffer and its size field (the daemon pads inputs to their size).
inline std::uint64_t run_bytes(const emu::Model& model) {
  std::uint64_t total = 0;
  for (const auto& t : model.inputs) total += std::max<std::uint64_t>(input_bytes(t), t.size < 0 ? 0 : t.size);
  for (const auto& t : model.outputs) total += t.size < 0 ? 0 : std::uint64_t(t.size);
  // Scratch buffers are listed as "scratch:N SIZE bytes".
  for (const auto& line : emu::program_listing(model)) {
    std::uint64_t size = 0;
    if (std::sscanf(line.c_str(), "scratch:%*u %" SCNu64 " bytes", &size) == 1) total += size;
  }
  return total;
}

}  // namespace fuzz
