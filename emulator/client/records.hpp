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

// Tensor records and the parameter records they point to (at offset 0): the
// offsets of their fields are in tensor_fields.def, next to the file format's.
template <std::size_t Size>
struct RawRecord {
  alignas(8) std::uint8_t bytes[Size];
};
using InputRecord = RawRecord<88>;
using InputParams = RawRecord<56>;
using OutputRecord = RawRecord<kOutputRecordSize>;
using OutputQuant = RawRecord<16>;

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
static_assert(offsetof(ModelRecord, n_inputs) == 56 && offsetof(ModelRecord, n_outputs) == 60 &&
              offsetof(ModelRecord, inputs) == 72 && offsetof(ModelRecord, outputs) == 80);
static_assert(sizeof(IoDescriptor) == 32 && offsetof(IoDescriptor, reserved) == 8 &&
              offsetof(IoDescriptor, size) == 16 && offsetof(IoDescriptor, is_registration) == 24);
static_assert(offsetof(StatsRecord, input_time_us) == 24 && offsetof(StatsRecord, output_time_us) == 28 &&
              offsetof(StatsRecord, run_time_us) == 96);
static_assert(offsetof(RequestRecord, state) == 56 && offsetof(RequestRecord, stats) == 64);

}  // namespace emu::client
