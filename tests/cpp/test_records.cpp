#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "ara2/records.hpp"

namespace rec = tallowind::ara2::records;
using tallowind::ara2::Abi;
using tallowind::ara2::ErrorKind;

namespace {

/// A zeroed byte buffer that library records are hand-built in.
struct Bytes {
  explicit Bytes(std::size_t n) : data(n) {}
  template <class T>
  void put(std::size_t offset, T value) {
    ASSERT_LE(offset + sizeof value, data.size());
    std::memcpy(data.data() + offset, &value, sizeof value);
  }
  void* at(std::size_t offset = 0) { return data.data() + offset; }
  std::vector<unsigned char> data;
};

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

/// A model handle with `inputs` input and `outputs` output records laid out
/// for one generation, each record pointing at its own parameter record.
struct FakeModel {
  FakeModel(Abi abi, std::int32_t inputs, std::int32_t outputs)
      : handle(96),
        input_array(rec::kInputRecordSize * std::max(inputs, 0)),
        output_array(rec::output_record_stride(abi) * std::max(outputs, 0)),
        input_params(64 * std::max(inputs, 0)),
        output_quants(16 * std::max(outputs, 0)),
        stride(rec::output_record_stride(abi)) {
    handle.put<std::int32_t>(56, inputs);
    handle.put<std::int32_t>(60, outputs);
    handle.put<void*>(72, input_array.at());
    handle.put<void*>(80, output_array.at());
    for (std::int32_t i = 0; i < inputs; ++i) input_array.put<void*>(88 * i, input_params.at(64 * i));
    for (std::int32_t i = 0; i < outputs; ++i) output_array.put<void*>(stride * i, output_quants.at(16 * i));
  }
  std::size_t in(std::size_t i, std::size_t field) const { return 88 * i + field; }
  std::size_t out(std::size_t i, std::size_t field) const { return stride * i + field; }

  Bytes handle, input_array, output_array, input_params, output_quants;
  std::size_t stride;
};

}  // namespace

TEST(TimeConversion, TruncatesAndSaturates) {
  const float two_pow_64 = 18446744073709551616.0f;
  const std::pair<float, std::uint64_t> cases[] = {
      {1234.9f, 1234},
      {0.99f, 0},
      {0.0f, 0},
      {-1.0f, 0},
      {-0.5f, 0},
      {std::numeric_limits<float>::quiet_NaN(), 0},
      {-std::numeric_limits<float>::infinity(), 0},
      {two_pow_64, U64_MAX},
      {1e30f, U64_MAX},
      {std::numeric_limits<float>::infinity(), U64_MAX},
      {std::nextafter(two_pow_64, 0.0f), 18446742974197923840ull},
  };
  for (auto [value, expected] : cases) EXPECT_EQ(rec::saturating_microseconds(value), expected) << value;
}

TEST(SignExtension, NegativeI32BecomesLargeU64) {
  EXPECT_EQ(rec::widen(-1), U64_MAX);
  EXPECT_EQ(rec::widen(-2), U64_MAX - 1);
  EXPECT_EQ(rec::widen(std::numeric_limits<std::int32_t>::max()), 2147483647u);
}

TEST(EndpointRecords, AreThirtyTwoBytesApart) {
  Bytes array(32 * 4);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(rec::endpoint_record(array.at(), i), array.at(32 * i));
}

TEST(DramStatisticsRecord, FieldsAtTheirOffsets) {
  Bytes record(rec::kDramStatisticsRecordSize);
  record.put<std::uint64_t>(0, 999);  // never read
  for (std::size_t k = 0; k < 6; ++k) record.put<std::uint64_t>(8 + 8 * k, 1000 + k);
  const auto s = rec::read_dram_statistics(record.at());
  EXPECT_EQ(s.dram_size, 1000u);
  EXPECT_EQ(s.dram_occupancy_size, 1001u);
  EXPECT_EQ(s.free_size, 1002u);
  EXPECT_EQ(s.reserved_occupancy_size, 1003u);
  EXPECT_EQ(s.model_occupancy_size, 1004u);
  EXPECT_EQ(s.tensor_occupancy_size, 1005u);
}

TEST(VersionDetails, NamesComponentsAndPrintsVersions) {
  const char* names[] = {"proxy", "pci_driver", "firmware", "cnn_model", "llm_model", "client_lib", "sysapi"};
  Bytes array(rec::kVersionRecordSize * 7);
  for (std::uint32_t code = 0; code < 7; ++code) {
    array.put<std::uint32_t>(8 * code, code);
    const std::uint8_t version[4] = {1, static_cast<std::uint8_t>(code), 255, 0};
    std::memcpy(array.at(8 * code + 4), version, 4);
  }
  for (std::uint32_t code = 0; code < 7; ++code) {
    auto detail = rec::read_version_detail(array.at(), code);
    ASSERT_TRUE(detail) << code;
    EXPECT_EQ(detail->first, names[code]);
    EXPECT_EQ(detail->second, "1." + std::to_string(code) + ".255.0");
  }
}

TEST(VersionDetails, UnknownComponentCodeFails) {
  for (std::uint32_t code : {7u, 100u}) {
    Bytes array(8);
    array.put<std::uint32_t>(0, code);
    auto detail = rec::read_version_detail(array.at(), 0);
    ASSERT_FALSE(detail);
    EXPECT_EQ(detail.error().kind(), ErrorKind::UnknownProductType);
    EXPECT_EQ(detail.error().message(), "Unknown product type: " + std::to_string(code));
  }
}

class BothGenerations : public ::testing::TestWithParam<Abi> {};
INSTANTIATE_TEST_SUITE_P(Records, BothGenerations, ::testing::Values(Abi::V1_1, Abi::V1_3),
                         [](const auto& info) { return info.param == Abi::V1_1 ? "V1_1" : "V1_3"; });

TEST_P(BothGenerations, InputRecordFieldsAtTheirOffsets) {
  FakeModel m(GetParam(), 2, 0);
  const std::size_t i = 1;  // second record: proves the 88-byte stride
  const char bad_utf8[] = "conv\xff" "1";
  m.input_array.put<std::int32_t>(m.in(i, 8), -7);
  m.input_array.put<std::int32_t>(m.in(i, 12), 3);
  m.input_array.put<const char*>(m.in(i, 16), bad_utf8);
  m.input_array.put<const char*>(m.in(i, 24), "blob");
  m.input_array.put<const char*>(m.in(i, 32), "Convolution");
  m.input_array.put<const char*>(m.in(i, 40), nullptr);
  m.input_array.put<std::int32_t>(m.in(i, 48), -1);
  m.input_array.put<std::int32_t>(m.in(i, 52), 224);
  m.input_array.put<std::int32_t>(m.in(i, 56), 112);
  m.input_array.put<std::int32_t>(m.in(i, 60), 555);  // not read
  m.input_array.put<std::int32_t>(m.in(i, 64), 3);
  m.input_array.put<std::int32_t>(m.in(i, 68), 1);
  m.input_array.put<std::int32_t>(m.in(i, 72), 4);
  Bytes& p = m.input_params;
  const std::size_t base = 64 * i;
  const float scale[3] = {0.5f, 0.25f, 2.0f}, mean[3] = {10.0f, 20.0f, 30.0f};
  p.put<float>(base + 0, 0.125f);
  p.put<const float*>(base + 8, scale);
  p.put<const float*>(base + 16, mean);
  p.put<std::uint8_t>(base + 24, 1);  // aspect_resize
  p.put<std::uint8_t>(base + 25, 0);  // mirror
  p.put<std::uint8_t>(base + 26, 7);  // center_crop: any non-zero is true
  p.put<std::uint8_t>(base + 27, 0);  // bgr_to_rgb
  p.put<std::uint8_t>(base + 32, 1);
  p.put<std::int32_t>(base + 48, -128);
  p.put<std::int32_t>(base + 52, 9);

  auto info = rec::read_input_info(m.handle.at(), i);
  ASSERT_TRUE(info) << info.error().message();
  EXPECT_EQ(info->layer_id, -7);
  EXPECT_EQ(info->blob_id, 3);
  EXPECT_EQ(info->layer_name, "conv\xEF\xBF\xBD" "1");
  EXPECT_EQ(info->blob_name, "blob");
  EXPECT_EQ(info->layer_type, "Convolution");
  EXPECT_EQ(info->layout, "");
  EXPECT_EQ(info->size, U64_MAX);
  EXPECT_EQ(info->width, 224u);
  EXPECT_EQ(info->height, 112u);
  EXPECT_EQ(info->nch, 3u);
  EXPECT_EQ(info->bpp, 1u);
  EXPECT_EQ(info->batch_size, 4u);
  EXPECT_EQ(info->quant.qn, 0.125f);
  EXPECT_TRUE(info->quant.is_signed);
  EXPECT_EQ(info->quant.offset, -128);
  EXPECT_EQ(info->quant.qmode, 9);
  EXPECT_TRUE(info->preprocess.aspect_resize);
  EXPECT_FALSE(info->preprocess.mirror);
  EXPECT_TRUE(info->preprocess.center_crop);
  EXPECT_FALSE(info->preprocess.bgr_to_rgb);
  EXPECT_EQ(info->preprocess.scale, (std::array<float, 3>{0.5f, 0.25f, 2.0f}));
  EXPECT_EQ(info->preprocess.mean, (std::array<float, 3>{10.0f, 20.0f, 30.0f}));

  // The quantisation alone never follows the text pointers.
  for (std::size_t text = 16; text <= 40; text += 8) {
    m.input_array.put(m.in(i, text), reinterpret_cast<const char*>(8));
  }
  auto quant = rec::read_input_quantization(m.handle.at(), i);
  ASSERT_TRUE(quant) << quant.error().message();
  EXPECT_EQ((std::tuple{quant->qn, quant->is_signed, quant->offset, quant->qmode}),
            (std::tuple{0.125f, true, -128, 9}));
}

TEST_P(BothGenerations, MeanAndScaleReadOnlyForUpToThreeChannelsAndBothArrays) {
  const float scale[3] = {2.0f, 3.0f, 4.0f}, mean[3] = {5.0f, 6.0f, 7.0f};
  struct Case {
    std::int32_t nch;
    bool scale_present, mean_present, read;
  };
  const Case cases[] = {
      {3, true, true, true},   {1, true, true, true},    {0, true, true, true},    {4, true, true, false},
      {-1, true, true, false}, {3, false, true, false},  {3, true, false, false},  {3, false, false, false},
  };
  for (const Case& c : cases) {
    FakeModel m(GetParam(), 1, 0);
    m.input_array.put<std::int32_t>(64, c.nch);
    m.input_params.put<const float*>(8, c.scale_present ? scale : nullptr);
    m.input_params.put<const float*>(16, c.mean_present ? mean : nullptr);
    m.input_params.put<std::uint8_t>(27, 1);  // bgr_to_rgb is read whatever happens to mean/scale
    auto info = rec::read_input_info(m.handle.at(), 0);
    ASSERT_TRUE(info);
    const auto expect_scale = c.read ? std::array<float, 3>{2, 3, 4} : std::array<float, 3>{1, 1, 1};
    const auto expect_mean = c.read ? std::array<float, 3>{5, 6, 7} : std::array<float, 3>{0, 0, 0};
    EXPECT_EQ(info->preprocess.scale, expect_scale) << c.nch << c.scale_present << c.mean_present;
    EXPECT_EQ(info->preprocess.mean, expect_mean) << c.nch << c.scale_present << c.mean_present;
    EXPECT_TRUE(info->preprocess.bgr_to_rgb);
  }
}

TEST_P(BothGenerations, OutputRecordFieldsAtTheirOffsetsWithGenerationStride) {
  FakeModel m(GetParam(), 0, 3);
  const std::size_t i = 2;
  EXPECT_EQ(m.out(i, 0), GetParam() == Abi::V1_3 ? 240u : 224u);
  const char bad[] = "\xc3(";
  m.output_array.put<std::int32_t>(m.out(i, 8), 11);
  m.output_array.put<std::int32_t>(m.out(i, 12), 12);
  m.output_array.put<std::int32_t>(m.out(i, 16), -1);
  m.output_array.put<const char*>(m.out(i, 24), "out");
  m.output_array.put<const char*>(m.out(i, 32), bad);
  m.output_array.put<const char*>(m.out(i, 40), "");
  m.output_array.put<const char*>(m.out(i, 48), "Softmax");
  m.output_array.put<const char*>(m.out(i, 56), "NCHW");
  m.output_array.put<std::int32_t>(m.out(i, 64), 4000);
  m.output_array.put<std::int32_t>(m.out(i, 68), 10);
  m.output_array.put<std::int32_t>(m.out(i, 72), 20);
  m.output_array.put<std::int32_t>(m.out(i, 80), 5);
  m.output_array.put<std::int32_t>(m.out(i, 84), 2);
  m.output_array.put<std::int32_t>(m.out(i, 88), -3);
  m.output_array.put<std::uint32_t>(m.out(i, 92), 1);
  m.output_array.put<std::int32_t>(m.out(i, 100), 6);
  m.output_quants.put<float>(16 * i + 0, 0.5f);
  m.output_quants.put<std::uint8_t>(16 * i + 6, 1);
  m.output_quants.put<std::int32_t>(16 * i + 12, -128);

  auto info = rec::read_output_info(m.handle.at(), GetParam(), i);
  ASSERT_TRUE(info) << info.error().message();
  EXPECT_EQ(info->layer_id, 11);
  EXPECT_EQ(info->blob_id, 12);
  EXPECT_EQ(info->fused_parent_id, -1);
  EXPECT_EQ(info->layer_name, "out");
  EXPECT_EQ(info->blob_name, "\xEF\xBF\xBD(");
  EXPECT_EQ(info->layer_fused_parent_name, "");
  EXPECT_EQ(info->layer_type, "Softmax");
  EXPECT_EQ(info->layout, "NCHW");
  EXPECT_EQ(info->size, 4000u);
  EXPECT_EQ(info->width, 10u);
  EXPECT_EQ(info->height, 20u);
  EXPECT_EQ(info->nch, 5u);
  EXPECT_EQ(info->bpp, 2u);
  EXPECT_EQ(info->num_classes, U64_MAX - 2);
  EXPECT_EQ(info->layer_output_type, tallowind::ara2::ModelOutputType::Detection);
  EXPECT_EQ(info->max_dynamic_id, 6);
  EXPECT_EQ(info->quant.qn, 0.5f);
  EXPECT_TRUE(info->quant.is_signed);
  EXPECT_EQ(info->quant.offset, -128);

  // The data fields alone never follow the text pointers.
  for (std::size_t text = 24; text <= 56; text += 8) {
    m.output_array.put(m.out(i, text), reinterpret_cast<const char*>(8));
  }
  auto fields = rec::read_output_data_fields(m.handle.at(), GetParam(), i);
  ASSERT_TRUE(fields) << fields.error().message();
  EXPECT_EQ((std::array{fields->nch, fields->height, fields->width, fields->bpp}),
            (std::array<std::uint64_t, 4>{5, 20, 10, 2}));
  EXPECT_EQ((std::tuple{fields->quant.qn, fields->quant.is_signed, fields->quant.offset}),
            (std::tuple{0.5f, true, -128}));
}

TEST_P(BothGenerations, SizingFieldsAreReadWhateverTheOutputTypeSays) {
  using Sizes = std::array<std::uint64_t, 5>;
  const auto sizes = [](const tallowind::ara2::TensorFields& f) { return Sizes{f.size, f.width, f.height, f.nch, f.bpp}; };
  FakeModel m(GetParam(), 2, 3);
  const std::pair<std::size_t, std::int32_t> input_fields[] = {{48, 600}, {52, 20}, {56, 10}, {64, 3}, {68, -1}};
  for (auto [offset, value] : input_fields) m.input_array.put<std::int32_t>(m.in(1, offset), value);
  const std::pair<std::size_t, std::int32_t> output_fields[] = {{64, 4000}, {68, 10}, {72, 20}, {80, 5}, {84, 2}};
  for (auto [offset, value] : output_fields) m.output_array.put<std::int32_t>(m.out(2, offset), value);
  m.output_array.put<std::uint32_t>(m.out(2, 92), 7);  // no output type a description would accept

  auto input = rec::read_tensor_fields(m.handle.at(), GetParam(), tallowind::ara2::Direction::Input, 1);
  auto output = rec::read_tensor_fields(m.handle.at(), GetParam(), tallowind::ara2::Direction::Output, 2);
  ASSERT_TRUE(input && output);
  EXPECT_EQ(sizes(*input), (Sizes{600, 20, 10, 3, U64_MAX}));
  EXPECT_EQ(sizes(*output), (Sizes{4000, 10, 20, 5, 2}));

  m.handle.put<void*>(72, nullptr);
  m.handle.put<void*>(80, nullptr);
  EXPECT_EQ(rec::read_tensor_fields(m.handle.at(), GetParam(), tallowind::ara2::Direction::Input, 0).error().message(),
            "Null pointer error: model has no input tensor records");
  EXPECT_EQ(rec::read_tensor_fields(m.handle.at(), GetParam(), tallowind::ara2::Direction::Output, 0).error().message(),
            "Null pointer error: model has no output tensor records");
}

TEST_P(BothGenerations, OutputTypeAboveThreeIsRejected) {
  for (std::uint32_t raw : {4u, 0xFFFFFFFFu}) {
    FakeModel m(GetParam(), 0, 1);
    m.output_array.put<std::uint32_t>(92, raw);
    auto info = rec::read_output_info(m.handle.at(), GetParam(), 0);
    ASSERT_FALSE(info);
    EXPECT_EQ(info.error().kind(), ErrorKind::UnknownLayerOutputType);
    EXPECT_EQ(info.error().message(), "Unknown layer output type: " + std::to_string(raw));
    auto fields = rec::read_output_data_fields(m.handle.at(), GetParam(), 0);
    ASSERT_FALSE(fields);
    EXPECT_EQ(fields.error().message(), info.error().message());
  }
}

TEST_P(BothGenerations, ModelCountsAreSignExtended) {
  FakeModel m(GetParam(), 0, 0);
  m.handle.put<std::int32_t>(56, 3);
  m.handle.put<std::int32_t>(60, -1);
  const auto counts = rec::read_model_counts(m.handle.at());
  EXPECT_EQ(counts.inputs, 3u);
  EXPECT_EQ(counts.outputs, U64_MAX);
}

TEST_P(BothGenerations, ReadsOutsideTheRecordsAreRefused) {
  struct Case {
    std::int32_t inputs, outputs;
    bool input_side;
    std::uint64_t index;
  };
  // A negative count holds no records even though its widened value is huge.
  const Case cases[] = {{1, 0, true, 1}, {0, 1, false, 1}, {-1, 0, true, 0}, {0, -1, false, 0}, {2, 2, true, 5}};
  for (const Case& c : cases) {
    FakeModel m(GetParam(), std::max(c.inputs, 0), std::max(c.outputs, 0));
    m.handle.put<std::int32_t>(56, c.inputs);
    m.handle.put<std::int32_t>(60, c.outputs);
    if (c.input_side) {
      auto info = rec::read_input_info(m.handle.at(), c.index);
      ASSERT_FALSE(info);
      EXPECT_EQ(info.error().kind(), ErrorKind::Internal);
      EXPECT_EQ(rec::read_input_quantization(m.handle.at(), c.index).error().kind(), ErrorKind::Internal);
    } else {
      auto info = rec::read_output_info(m.handle.at(), GetParam(), c.index);
      ASSERT_FALSE(info);
      EXPECT_EQ(info.error().kind(), ErrorKind::Internal);
      EXPECT_EQ(rec::read_output_data_fields(m.handle.at(), GetParam(), c.index).error().kind(), ErrorKind::Internal);
    }
  }
}

TEST_P(BothGenerations, MissingReferencedRecordsAreNullPointerErrors) {
  {
    FakeModel m(GetParam(), 1, 1);
    m.input_array.put<void*>(0, nullptr);
    m.output_array.put<void*>(0, nullptr);
    auto in = rec::read_input_info(m.handle.at(), 0);
    auto out = rec::read_output_info(m.handle.at(), GetParam(), 0);
    ASSERT_FALSE(in);
    ASSERT_FALSE(out);
    EXPECT_EQ(in.error().kind(), ErrorKind::NullPointer);
    EXPECT_EQ(out.error().kind(), ErrorKind::NullPointer);
    EXPECT_EQ(rec::read_input_quantization(m.handle.at(), 0).error().kind(), ErrorKind::NullPointer);
    EXPECT_EQ(rec::read_output_data_fields(m.handle.at(), GetParam(), 0).error().kind(), ErrorKind::NullPointer);
  }
  {
    FakeModel m(GetParam(), 1, 1);
    m.handle.put<void*>(72, nullptr);
    m.handle.put<void*>(80, nullptr);
    EXPECT_EQ(rec::read_input_info(m.handle.at(), 0).error().kind(), ErrorKind::NullPointer);
    EXPECT_EQ(rec::read_output_info(m.handle.at(), GetParam(), 0).error().kind(), ErrorKind::NullPointer);
  }
}

TEST(OutputRecordStride, DependsOnGeneration) {
  EXPECT_EQ(rec::output_record_stride(Abi::V1_1), 112u);
  EXPECT_EQ(rec::output_record_stride(Abi::V1_3), 120u);
}

TEST(RequestRecord, StateAndTimingAtTheirOffsets) {
  Bytes stats(100);
  stats.put<float>(24, -1.0f);
  stats.put<float>(28, std::numeric_limits<float>::quiet_NaN());
  stats.put<float>(96, 1234.9f);
  Bytes request(72);
  request.put<std::uint32_t>(56, 2);
  request.put<void*>(64, stats.at());
  EXPECT_EQ(rec::read_request_state(request.at()), 2u);
  auto timing = rec::read_request_timing(request.at());
  ASSERT_TRUE(timing);
  EXPECT_EQ(timing->run_time_us, 1234u);
  EXPECT_EQ(timing->input_time_us, 0u);
  EXPECT_EQ(timing->output_time_us, 0u);

  stats.put<float>(24, 7.5f);
  stats.put<float>(28, 8.5f);
  timing = rec::read_request_timing(request.at());
  EXPECT_EQ(timing->input_time_us, 7u);
  EXPECT_EQ(timing->output_time_us, 8u);
}

TEST(RequestRecord, NullStatisticsIsReported) {
  Bytes request(72);
  auto timing = rec::read_request_timing(request.at());
  ASSERT_FALSE(timing);
  EXPECT_EQ(timing.error().message(), "Null pointer error: dv_infer_request.stats is null — timing data unavailable");
}

TEST(TensorIoDescriptor, BytesMatchTheLibraryLayout) {
  int target = 0;
  const std::pair<rec::TensorIoDescriptor, std::uint32_t> cases[] = {
      {rec::registered_tensor(&target, 150528), 1},
      {rec::mapped_tensor(&target, 150528), 0},
  };
  for (const auto& [descriptor, flag] : cases) {
    unsigned char bytes[32];
    std::memset(bytes, 0xAB, sizeof bytes);
    std::memcpy(bytes, &descriptor, sizeof descriptor);
    void* data;
    void* reserved;
    std::uint64_t size;
    std::uint32_t is_registration;
    std::memcpy(&data, bytes + 0, 8);
    std::memcpy(&reserved, bytes + 8, 8);
    std::memcpy(&size, bytes + 16, 8);
    std::memcpy(&is_registration, bytes + 24, 4);
    EXPECT_EQ(data, &target);
    EXPECT_EQ(reserved, nullptr);
    EXPECT_EQ(size, 150528u);
    EXPECT_EQ(is_registration, flag);
  }
}
