// Readers of the records the client library hands out, for both DVAPI
// generations, and the tensor I/O descriptor the module hands in. Every reader
// copies what it needs; nothing returned points into a library record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "ara2/core_error.hpp"
#include "ara2/values.hpp"

namespace tallowind::ara2::records {

inline constexpr std::size_t kEndpointRecordSize = 32;
inline constexpr std::size_t kDramStatisticsRecordSize = 56;
inline constexpr std::size_t kVersionRecordSize = 8;
inline constexpr std::size_t kInputRecordSize = 88;

/// 112 bytes under DVAPI 1.1, 120 under 1.3.
constexpr std::size_t output_record_stride(Abi abi) noexcept {
  return 8 * (14 + static_cast<std::size_t>(abi == Abi::V1_3 ? 1 : 0));
}

/// i32 counts and sizes are exposed unsigned after sign extension: -1 becomes 2^64 - 1.
constexpr std::uint64_t widen(std::int32_t value) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
}

/// Truncates towards zero; negative and NaN give 0, 2^64 and above the largest value.
std::uint64_t saturating_microseconds(float value) noexcept;

/// Address of endpoint record `index` of an array from dv_endpoint_get_list.
void* endpoint_record(void* array, std::size_t index) noexcept;

/// The first DRAM statistics record (fields at offsets 8 to 55).
DramStatistics read_dram_statistics(const void* record) noexcept;

/// "proxy" ... "sysapi" for codes 0 to 6; UnknownProductType above.
Result<std::string_view> component_name(std::uint32_t code);

/// Version detail record `index` of an array from dv_retrieve_version_details,
/// as (component name, "a.b.c.d").
Result<std::pair<std::string, std::string>> read_version_detail(const void* array, std::size_t index);

/// The tensor counts of a model handle, sign-extended from i32.
struct ModelCounts {
  std::uint64_t inputs = 0;
  std::uint64_t outputs = 0;
};
ModelCounts read_model_counts(const void* model_handle) noexcept;

/// Input tensor description `index` of a model handle. An index not below the
/// count is an Internal error (callers check it first); a missing record
/// array or parameter record is a NullPointer error.
Result<InputTensorInfo> read_input_info(const void* model_handle, std::uint64_t index);

/// Output tensor description `index`, record stride by generation. A layer
/// output type above 3 is UnknownLayerOutputType.
Result<OutputTensorInfo> read_output_info(const void* model_handle, Abi abi, std::uint64_t index);

/// What reading an output tensor's data needs: its shape, bytes per element
/// and quantisation, without the names (which cost a UTF-8 decoding each).
struct OutputDataFields {
  std::uint64_t nch = 0;
  std::uint64_t height = 0;
  std::uint64_t width = 0;
  std::uint64_t bpp = 0;
  OutputQuantization quant;
};

/// The data fields of output `index`, with the checks and errors of
/// read_output_info (index, record array, layer output type, quantisation record).
Result<OutputDataFields> read_output_data_fields(const void* model_handle, Abi abi, std::uint64_t index);

/// The quantisation of input `index`, with the checks and errors of read_input_info.
Result<InputQuantization> read_input_quantization(const void* model_handle, std::uint64_t index);

/// The sizing fields of input or output `index` (the caller checks the index
/// against the count), whatever the record's layer output type; a missing
/// record array is a NullPointer error.
Result<TensorFields> read_tensor_fields(const void* model_handle, Abi abi, Direction direction, std::uint64_t index);

/// Completion state of an inference request record: 0 and 1 pending, 2
/// completed, 4 failed on the NPU.
std::uint32_t read_request_state(const void* request) noexcept;

/// Timing from a request's statistics record; a null statistics pointer is
/// the NullPointer error "dv_infer_request.stats is null — timing data unavailable".
Result<ModelTiming> read_request_timing(const void* request);

/// Timing from a statistics record itself.
ModelTiming read_timing(const void* statistics) noexcept;

/// One 32-byte tensor I/O descriptor as dv_infer_sync and dv_infer_async read it.
struct TensorIoDescriptor {
  void* data = nullptr;      // registration, or the mapped address
  void* reserved = nullptr;  // always null
  std::uint64_t size = 0;    // bytes
  std::uint32_t is_registration = 0;
  std::uint32_t padding = 0;
};
static_assert(sizeof(TensorIoDescriptor) == 32);
static_assert(offsetof(TensorIoDescriptor, data) == 0);
static_assert(offsetof(TensorIoDescriptor, reserved) == 8);
static_assert(offsetof(TensorIoDescriptor, size) == 16);
static_assert(offsetof(TensorIoDescriptor, is_registration) == 24);

/// A descriptor for a tensor registered with dv_shmfd_register.
TensorIoDescriptor registered_tensor(void* registration, std::uint64_t size) noexcept;
/// A descriptor for a tensor passed by the address of its mapped memory.
TensorIoDescriptor mapped_tensor(void* address, std::uint64_t size) noexcept;

}  // namespace tallowind::ara2::records
