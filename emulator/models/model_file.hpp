// The emulated .dvm model: what the stand-in client library and the stand-in
// proxy both need to know about a model file. The file format itself, and the
// program it carries, are documented in emulator/models/README.md.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace emu {

/// Everything the client library reports for one model input. Text fields are
/// raw bytes (they may hold invalid UTF-8 on purpose).
struct InputTensor {
  std::int32_t layer_id = 0;
  std::int32_t blob_id = 0;
  std::string layer_name, blob_name, layer_type, layout;
  std::int32_t size = 0, width = 0, height = 0, nch = 0, bpp = 1, batch_size = 1;
  float qn = 1.0f;
  std::int32_t offset = 0;
  bool is_signed = false;
  std::int32_t qmode = 9;
  std::optional<std::array<float, 3>> mean;   // nullopt: the record holds a null pointer
  std::optional<std::array<float, 3>> scale;  // nullopt: the record holds a null pointer
  bool aspect_resize = false, mirror = false, center_crop = false, bgr_to_rgb = false;
};

/// Everything the client library reports for one model output.
struct OutputTensor {
  std::int32_t layer_id = 0;
  std::int32_t blob_id = 0;
  std::int32_t fused_parent_id = -1;
  std::string layer_name, blob_name, layer_fused_parent_name, layer_type, layout;
  std::int32_t size = 0, width = 0, height = 0, nch = 0, bpp = 1, num_classes = 0;
  std::uint32_t layer_output_type = 0;
  std::int32_t max_dynamic_id = 0;
  float qn = 1.0f;
  std::int32_t offset = 0;
  bool is_signed = false;
};

/// Misbehaviour a model description can ask the emulator for, so that every
/// failure path of an application can be exercised without hardware.
struct Faults {
  /// Completion states reported by successive waits on a request of this
  /// model before the real outcome (for example {1, 1} then completion).
  std::vector<std::uint32_t> completion_states;
  /// Final completion state instead of 2 (completed): 4 is an NPU failure,
  /// 3 or 5 and above are "not completed".
  std::optional<std::uint32_t> final_state;
  bool missing_statistics = false;  // request records carry a null statistics pointer
  bool null_request = false;        // dv_infer_async succeeds but writes a null request
  bool null_completed = false;      // dv_infer_wait_for_completion writes a null record
  /// dv_* function name -> status that call returns for this model.
  std::map<std::string, std::uint32_t> call_status;
  /// Fixed statistics instead of measured ones (NaN, negative and huge values allowed).
  std::optional<float> run_time_us, input_time_us, output_time_us;
  /// Extra time the NPU takes per inference, in microseconds.
  std::uint32_t latency_us = 0;
};

struct Program;  // the executable part, private to model_file.cpp

struct Model {
  std::vector<InputTensor> inputs;
  std::vector<OutputTensor> outputs;
  Faults faults;
  std::uint64_t dram_bytes = 0;  // what loading it occupies on the endpoint
  std::shared_ptr<const Program> program;
};

/// The largest model body (descriptions, faults and program) a reader accepts.
inline constexpr std::uint32_t kMaxModelBody = 64u << 20;

/// Reads what parse_model needs of a model file: the header and the body it
/// announces, not a trailing archive. Only regular files are read, so a FIFO
/// or a device cannot stall or flood the reader, and bodies over
/// kMaxModelBody are refused. The error says why the file cannot be read.
std::expected<std::vector<std::uint8_t>, std::string> read_model_file(const std::string& path);

/// Parses an emulated model file (its bytes, the optional trailing ZIP
/// archive included). The error text says what is wrong with the file.
std::expected<Model, std::string> parse_model(std::span<const std::uint8_t> file);

/// Runs the model's program: one read-only buffer per input, one writable
/// buffer per output, in index order, each at least the tensor's size.
std::expected<void, std::string> run_model(const Model& model,
                                           std::span<const std::span<const std::uint8_t>> inputs,
                                           std::span<const std::span<std::uint8_t>> outputs);

/// One human-readable line per scratch buffer and per op of the program, for
/// tools that show what a model file does.
std::vector<std::string> program_listing(const Model& model);

}  // namespace emu
