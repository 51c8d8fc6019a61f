// A client may shrink a file it registered at any time; touching the daemon's
// mapping past the new end raises SIGBUS. Work on such mappings runs guarded:
// a page that went away is replaced by a zero page and the work is told so,
// instead of the daemon dying. This costs nothing while no page goes away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace emu::proxy {

struct MappedRange {
  std::uint8_t* begin;
  std::size_t size;
};

/// Runs work(); false when it touched a page of `ranges` that went away
/// (those pages then read as zeros until the range is mapped again). SIGBUS
/// anywhere else keeps its previous disposition.
bool run_guarded(std::span<const MappedRange> ranges, const std::function<void()>& work);

}  // namespace emu::proxy
