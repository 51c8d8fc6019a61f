// The emulated .dvm model: what the stand-in client library and the stand-in
// proxy both need to know about a model file. The file format itself, and the
// program it carries, are documented in emulator/models/README.md.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace emu {

/// How a tensor field is held in memory, by its encoding in the file.
namespace field {
using i32 = std::int32_t;
using u32 = std::uint32_t;
using f32 = float;
using text = std::string;  // raw bytes: names may hold invalid UTF-8 on purpose
using flag = bool;
using bit0 = bool;
using bit1 = bool;
using bit2 = bool;
using bit3 = bool;
using opt_f32x3 = std::optional<std::array<float, 3>>;  // nullopt: the record holds a null pointer
}  // namespace field

/// Everything the client library reports for one model input; the fields are
/// listed in tensor_fields.def.
struct InputTensor {
#define EMU_INPUT(name, encoding, record, offset) field::encoding name{};
#define EMU_OUTPUT(name, encoding, record, offset)
#include "tensor_fields.def"
#undef EMU_INPUT
#undef EMU_OUTPUT
};

/// Everything the client library reports for one model output.
struct OutputTensor {
#define EMU_INPUT(name, encoding, record, offset)
#define EMU_OUTPUT(name, encoding, record, offset) field::encoding name{};
#include "tensor_fields.def"
#undef EMU_INPUT
#undef EMU_OUTPUT
};

/// A field's encoding in the file, and which of the client library's records holds it.
enum class Encoding { i32, u32, f32, text, flag, opt_f32x3, bit0, bit1, bit2, bit3 };
enum class Record { tensor, params };

/// Calls visit(name, member, encoding, record, offset) for every field of a
/// tensor in file order; record and offset are std::integral_constants.
template <class Tensor, class Visit>
void for_each_field(Tensor& t, Visit&& visit) {
  constexpr bool input = std::is_same_v<std::remove_const_t<Tensor>, InputTensor>;
#define EMU_FIELD(name, encoding, record, offset) \
  visit(#name, t.name, Encoding::encoding, std::integral_constant<Record, Record::record>{}, \
        std::integral_constant<std::size_t, offset>{});
#define EMU_INPUT(...) \
  if constexpr (input) { EMU_FIELD(__VA_ARGS__) }
#define EMU_OUTPUT(...) \
  if constexpr (!input) { EMU_FIELD(__VA_ARGS__) }
#include "tensor_fields.def"
#undef EMU_INPUT
#undef EMU_OUTPUT
#undef EMU_FIELD
}

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

inline constexpr std::string_view kNoMemoryToRead = "no memory left to read it";

/// Reads what parse_model needs of a model file: the header and the body it
/// announces, not a trailing archive. Only regular files are read, so a FIFO
/// or a device cannot stall or flood the reader, and bodies over
/// kMaxModelBody are refused. The error says why the file cannot be read.
/// `admit`, when given, is asked first for the bytes the read will allocate
/// and can refuse them (the error is then kNoMemoryToRead).
std::expected<std::vector<std::uint8_t>, std::string> read_model_file(
    const std::string& path, const std::function<bool(std::uint64_t)>& admit = {});

/// Parses an emulated model file (its bytes, the optional trailing ZIP
/// archive included). The error text says what is wrong with the file.
std::expected<Model, std::string> parse_model(std::span<const std::uint8_t> file);

/// Bytes a parsed model holds in memory.
std::uint64_t model_footprint(const Model& model);

/// Bytes of scratch memory one run of the model's program needs.
std::uint64_t scratch_bytes(const Model& model);

/// What a caller may lend a run of a program.
struct RunContext {
  /// scratch_bytes(model) bytes for the scratch buffers (any contents; they
  /// are cleared), or empty to have the run allocate them.
  std::span<std::uint8_t> scratch;
  /// Asked between ops; true stops the run with an error.
  std::function<bool()> stop;
};

/// Runs the model's program: one read-only buffer per input, one writable
/// buffer per output, in index order, each at least the tensor's size.
std::expected<void, std::string> run_model(const Model& model,
                                           std::span<const std::span<const std::uint8_t>> inputs,
                                           std::span<const std::span<std::uint8_t>> outputs,
                                           const RunContext& context = {});

/// One human-readable line per scratch buffer and per op of the program, for
/// tools that show what a model file does.
std::vector<std::string> program_listing(const Model& model);

}  // namespace emu
