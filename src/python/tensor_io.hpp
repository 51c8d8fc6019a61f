// Moving data between Python objects and tensor slots: an input's bytes
// copied into an input tensor, an output tensor read into a new numpy array
// (typed or dequantised), and the memory-kind argument. What Model, TensorSet
// and Pipeline share. NumPy's C API is imported on first use, never at import.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "ara2/loaded_model.hpp"
#include "ara2/tensor_data.hpp"
#include "ara2/tensor_set.hpp"
#include "python/support.hpp"
#include "tensor/tensor.hpp"

namespace tallowind::python {

/// Imports numpy's C API on first use (never at import); false with an
/// exception set when numpy cannot be imported. Files that use the API
/// define NO_IMPORT_ARRAY and PY_ARRAY_UNIQUE_SYMBOL as tensor_io.cpp does.
bool ensure_numpy();

/// The bytes of an object given as an input: an exact C-contiguous
/// numpy.ndarray's own buffer, or else what its tobytes() returns (held by
/// `owner`). Valid while the object is unchanged and `owner` lives.
struct InputBytes {
  const void* data = nullptr;
  std::size_t size = 0;
  Ref owner;

  std::span<const std::uint8_t> span() const noexcept { return {static_cast<const std::uint8_t*>(data), size}; }
};

/// The bytes of `data` (as its tobytes() gives them). An exception raised by
/// tobytes propagates; a result that is not bytes is a TypeError.
bool input_bytes(PyObject* data, InputBytes& out);

/// How one output is read: what get_output_tensor (raw elements) or
/// dequantize (float32) returns for it, worked out once from its record.
struct OutputReader {
  std::uint64_t index = 0;
  ara2::ElementType type = ara2::ElementType::UInt8;  // the raw elements
  bool dequantize = false;
  std::array<std::uint64_t, 3> shape{};
  std::int32_t offset = 0;
  float qn = 1.0f;
};

/// The reader of output `index` (in range) of `model`, with the errors of
/// get_output_tensor (unknown layer type, unsupported bpp) or of dequantize
/// (those, and input 0's quantisation mode not 9). nullopt: an exception is set.
std::optional<OutputReader> output_reader(const ara2::LoadedModel& model, std::uint64_t index, bool dequantize);

/// A new (nch, height, width) array read from output `reader.index` of `set`
/// under one map; TensorError on a failed map or when the element count does
/// not fill the shape.
PyObject* read_output(const OutputReader& reader, const ara2::TensorSet& set);

/// The `memory` argument of allocate_tensors and the like: None (or not
/// given) is automatic selection; "dma", "shm" or "mem"; any other str is
/// Ara2Error "unknown memory type '{memory}': expected 'dma', 'shm', 'mem', or None".
bool convert_memory(Arg arg, std::optional<tallowind::tensor::TensorMemory>& out);

/// Unmaps the memory of released large arrays kept for reuse (at most 128 MiB
/// in four mappings). Called when a model or pipeline closes and at module
/// teardown; the interpreter lock must be held.
void release_parked_arrays() noexcept;

}  // namespace tallowind::python
