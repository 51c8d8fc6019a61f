// The emulated model file's parser, then its program run on small buffers
// filled from the bytes after the body (where a compiled model's archive goes).
#include <cstring>
#include <span>
#include <vector>

#include "emulated_model.hpp"

namespace {

void run(const emu::Model& model, std::span<const std::uint8_t> fill) {
  if (!fuzz::quick_to_run(model)) return;
  std::vector<std::vector<std::uint8_t>> buffers;
  buffers.reserve(model.inputs.size() + model.outputs.size());
  std::vector<std::span<const std::uint8_t>> inputs;
  std::vector<std::span<std::uint8_t>> outputs;
  for (const auto& t : model.inputs) {
    auto& buffer = buffers.emplace_back(fuzz::input_bytes(t));
    for (std::size_t i = 0; i < buffer.size() && !fill.empty(); ++i) buffer[i] = fill[i % fill.size()];
    inputs.emplace_back(buffer);
  }
  for (const auto& t : model.outputs) outputs.emplace_back(buffers.emplace_back(t.size < 0 ? 0 : t.size));
  (void)emu::run_model(model, inputs, outputs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto file = fuzz::with_checksum({data, size});
  const auto model = emu::parse_model(file);
  if (!model) return 0;
  // A parsed model's body fits the file; what follows it fills the inputs.
  std::uint32_t body = 0;
  std::memcpy(&body, data + 12, 4);
  run(*model, std::span(data, size).subspan(fuzz::kModelHeaderBytes + body));
  return 0;
}
