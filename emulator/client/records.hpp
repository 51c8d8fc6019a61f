// Records handed to applications, laid out byte for byte as the DVAPI
// generations define them. Bytes no application reads are filled with junk
// patterns so that a reader at a wrong offset sees garbage, not zeros.
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef EMU_DVAPI_MINOR
#define EMU_DVAPI_MINOR 3
#endif

namespace emu::client {

inline constexpr std::uint8_t kJunk = 0xA5;          // records
inline constexpr std::uint8_t kEndpointJunk = 0xEE;  // endpoint records
// The output record grows by 8 bytes in DVAPI 1.3.
inline constexpr std::size_t kOutputRecordSize = EMU_DVAPI_MINOR >= 3 ? 120 : 112;

struct EndpointRecord {
  std::uint8_t opaque[32];
};

struct DramRecord {
  std::uint8_t junk0[8];
  std::uint64_t dram_size;
  std::uint64_t dram_occupancy_size;
  std::uint64_t free_size;
  std::uint64_t reserved_occupancy_size;
  std::uint64_t model_occupancy_size;
  std::uint64_t tensor_occupancy_size;
};

struct VersionRecord {
  std::uint32_t component;
  std::uint8_t version[4];
};

struct InputParams {
  float qn;
  std::uint8_t junk4[4];
  const float* scale;
  const float* mean;
  std::uint8_t aspect_resize, mirror, center_crop, bgr_to_rgb;
  std::uint8_t junk28[4];
  std::uint8_t is_signed;
  std::uint8_t junk33[15];
  std::int32_t offset;
  std::int32_t qmode;
};

struct InputRecord {
  InputParams* params;
  std::int32_t layer_id, blob_id;
  const char* layer_name;
  const char* blob_name;
  const char* layer_type;
  const char* layout;
  std::int32_t size, width, height;
  std::uint8_t junk60[4];
  std::int32_t nch, bpp, batch_size;
  std::uint8_t junk76[12];
};

struct OutputQuant {
  float qn;
  std::uint8_t junk4[2];
  std::uint8_t is_signed;
  std::uint8_t junk7[5];
  std::int32_t offset;
};

struct OutputRecord {
  OutputQuant* quant;
  std::int32_t layer_id, blob_id, fused_parent_id;
  std::uint8_t junk20[4];
  const char* layer_name;
  const char* blob_name;
  const char* layer_fused_parent_name;
  const char* layer_type;
  const char* layout;
  std::int32_t size, width, height;
  std::uint8_t junk76[4];
  std::int32_t nch, bpp, num_classes;
  std::uint32_t layer_output_type;
  std::uint8_t junk96[4];
  std::int32_t max_dynamic_id;
  std::uint8_t junk104[kOutputRecordSize - 104];
};

struct ModelRecord {
  std::uint8_t junk0[56];
  std::int32_t n_inputs, n_outputs;
  std::uint8_t junk64[8];
  InputRecord* inputs;
  OutputRecord* outputs;
  std::uint8_t junk88[40];
};

struct IoDescriptor {
  void* data;  // registration or memory address
  void* reserved;
  std::uint64_t size;
  std::uint32_t is_registration;
  std::uint32_t padding;
};

struct StatsRecord {
  std::uint8_t junk0[24];
  float input_time_us;
  float output_time_us;
  std::uint8_t junk32[64];
  float run_time_us;
  std::uint8_t junk100[4];
};

struct RequestRecord {
  std::uint8_t junk0[56];
  std::uint32_t state;
  std::uint8_t junk60[4];
  StatsRecord* stats;
  std::uint8_t junk72[24];
};

static_assert(sizeof(EndpointRecord) == 32);
static_assert(sizeof(DramRecord) == 56 && offsetof(DramRecord, dram_size) == 8 &&
              offsetof(DramRecord, dram_occupancy_size) == 16 && offsetof(DramRecord, free_size) == 24 &&
              offsetof(DramRecord, reserved_occupancy_size) == 32 &&
              offsetof(DramRecord, model_occupancy_size) == 40 &&
              offsetof(DramRecord, tensor_occupancy_size) == 48);
static_assert(sizeof(VersionRecord) == 8 && offsetof(VersionRecord, version) == 4);
static_assert(offsetof(InputParams, qn) == 0 && offsetof(InputParams, scale) == 8 &&
              offsetof(InputParams, mean) == 16 && offsetof(InputParams, aspect_resize) == 24 &&
              offsetof(InputParams, mirror) == 25 && offsetof(InputParams, center_crop) == 26 &&
              offsetof(InputParams, bgr_to_rgb) == 27 && offsetof(InputParams, is_signed) == 32 &&
              offsetof(InputParams, offset) == 48 && offsetof(InputParams, qmode) == 52);
static_assert(sizeof(InputRecord) == 88 && offsetof(InputRecord, layer_id) == 8 &&
              offsetof(InputRecord, blob_id) == 12 && offsetof(InputRecord, layer_name) == 16 &&
              offsetof(InputRecord, blob_name) == 24 && offsetof(InputRecord, layer_type) == 32 &&
              offsetof(InputRecord, layout) == 40 && offsetof(InputRecord, size) == 48 &&
              offsetof(InputRecord, width) == 52 && offsetof(InputRecord, height) == 56 &&
              offsetof(InputRecord, nch) == 64 && offsetof(InputRecord, bpp) == 68 &&
              offsetof(InputRecord, batch_size) == 72);
static_assert(offsetof(OutputQuant, qn) == 0 && offsetof(OutputQuant, is_signed) == 6 &&
              offsetof(OutputQuant, offset) == 12);
static_assert(sizeof(OutputRecord) == kOutputRecordSize && offsetof(OutputRecord, layer_id) == 8 &&
              offsetof(OutputRecord, blob_id) == 12 && offsetof(OutputRecord, fused_parent_id) == 16 &&
              offsetof(OutputRecord, layer_name) == 24 && offsetof(OutputRecord, blob_name) == 32 &&
              offsetof(OutputRecord, layer_fused_parent_name) == 40 &&
              offsetof(OutputRecord, layer_type) == 48 && offsetof(OutputRecord, layout) == 56 &&
              offsetof(OutputRecord, size) == 64 && offsetof(OutputRecord, width) == 68 &&
              offsetof(OutputRecord, height) == 72 && offsetof(OutputRecord, nch) == 80 &&
              offsetof(OutputRecord, bpp) == 84 && offsetof(OutputRecord, num_classes) == 88 &&
              offsetof(OutputRecord, layer_output_type) == 92 &&
              offsetof(OutputRecord, max_dynamic_id) == 100);
static_assert(offsetof(ModelRecord, n_inputs) == 56 && offsetof(ModelRecord, n_outputs) == 60 &&
              offsetof(ModelRecord, inputs) == 72 && offsetof(ModelRecord, outputs) == 80);
static_assert(sizeof(IoDescriptor) == 32 && offsetof(IoDescriptor, reserved) == 8 &&
              offsetof(IoDescriptor, size) == 16 && offsetof(IoDescriptor, is_registration) == 24);
static_assert(offsetof(StatsRecord, input_time_us) == 24 && offsetof(StatsRecord, output_time_us) == 28 &&
              offsetof(StatsRecord, run_time_us) == 96);
static_assert(offsetof(RequestRecord, state) == 56 && offsetof(RequestRecord, stats) == 64);

}  // namespace emu::client
