// The metadata document reader, and the reprs of whatever it accepts.
#include <string_view>

#include "ara2/metadata.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto metadata = tallowind::ara2::parse_metadata({reinterpret_cast<const char*>(data), size});
  if (!metadata) return 0;
  (void)tallowind::ara2::repr(*metadata);
  (void)metadata->task();
  if (metadata->input) (void)metadata->input->dimensions();
  return 0;
}
