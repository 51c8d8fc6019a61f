// Parser and executor of emulated model files, driven by files encoded here
// byte by byte (independently of the Python builder).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>

#include "model_file.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t crc32(const Bytes& data) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::uint8_t b : data) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c ^ 0xFFFFFFFFu;
}

struct Enc {
  Bytes b;
  Enc& u8(std::uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Enc& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Enc& i32(std::int32_t v) { return u32(static_cast<std::uint32_t>(v)); }
  Enc& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Enc& f32(float v) { return u32(std::bit_cast<std::uint32_t>(v)); }
  Enc& text(std::string_view s) {
    u32(static_cast<std::uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Enc& ref(std::uint8_t kind, std::uint32_t index) { return u8(kind).u32(index); }
  Enc& raw(const Bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
    return *this;
  }
};

constexpr std::uint8_t IN = 0, OUT = 1, SCRATCH = 2;
constexpr std::uint8_t U8 = 0, I8 = 1, U16 = 2, I16 = 3, I32 = 4, F32 = 5;

struct Shape {
  std::int32_t nch, height, width, bpp = 1;
};

/// One tensor record; size is nch*h*w*bpp unless given.
void input_record(Enc& e, Shape s, std::optional<std::int32_t> size = std::nullopt, std::string_view name = "in") {
  e.i32(0).i32(0).text(name).text(name).text("Input").text("CHW");
  e.i32(size.value_or(s.nch * s.height * s.width * s.bpp)).i32(s.width).i32(s.height).i32(s.nch).i32(s.bpp).i32(1);
  e.f32(0.5f).i32(3).u8(0).i32(9);
  e.u8(1).f32(1).f32(2).f32(3);  // mean
  e.u8(0);                      // scale: null
  e.u8(0b1010);
}

void output_record(Enc& e, Shape s, std::optional<std::int32_t> size = std::nullopt) {
  e.i32(1).i32(2).i32(-1).text("out").text("out").text("").text("Output").text("CHW");
  e.i32(size.value_or(s.nch * s.height * s.width * s.bpp)).i32(s.width).i32(s.height).i32(s.nch).i32(s.bpp);
  e.i32(0).u32(3).i32(0).f32(1.0f).i32(0).u8(0);
}

void no_faults(Enc& e) { e.u32(0).u8(0).u8(0).u32(0).u8(0).u8(0).u8(0).u32(0); }

Bytes file_from_body(const Bytes& body, std::uint32_t version = 1) {
  Enc e;
  e.b = {'A', 'R', 'A', '2', 'E', 'M', 'U', 0};
  e.u32(version).u32(static_cast<std::uint32_t>(body.size())).u32(crc32(body)).raw(body);
  return e.b;
}

/// A model with the given tensors, no faults, the given scratch sizes and ops.
Bytes model(const std::vector<Shape>& ins, const std::vector<Shape>& outs, const std::vector<std::uint32_t>& scratch,
            std::uint32_t n_ops, const Bytes& ops) {
  Enc e;
  e.u64(4096).u32(static_cast<std::uint32_t>(ins.size()));
  for (auto s : ins) input_record(e, s);
  e.u32(static_cast<std::uint32_t>(outs.size()));
  for (auto s : outs) output_record(e, s);
  no_faults(e);
  e.u32(static_cast<std::uint32_t>(scratch.size()));
  for (auto s : scratch) e.u32(s);
  e.u32(n_ops).raw(ops);
  return file_from_body(e.b);
}

emu::Model parse_ok(const Bytes& file) {
  auto m = emu::parse_model(file);
  EXPECT_TRUE(m.has_value()) << (m ? "" : m.error());
  return m ? *m : emu::Model{};
}

std::string parse_error(const Bytes& file) {
  auto m = emu::parse_model(file);
  EXPECT_FALSE(m.has_value());
  return m ? "" : m.error();
}

/// Runs a one-input one-output model; returns the output bytes.
Bytes run1(const Bytes& file, const Bytes& input, std::size_t out_size) {
  auto m = parse_ok(file);
  Bytes out(out_size, 0xEE);
  std::vector<std::span<const std::uint8_t>> ins{input};
  std::vector<std::span<std::uint8_t>> outs{out};
  auto ran = emu::run_model(m, ins, outs);
  EXPECT_TRUE(ran.has_value()) << (ran ? "" : ran.error());
  return out;
}

TEST(ModelFile, ReadsTensorRecordsAndIgnoresTrailingArchive) {
  Bytes file = model({{3, 4, 5}}, {{2, 1, 1, 2}}, {}, 0, {});
  for (char c : std::string_view("PK\x05\x06 trailing archive bytes")) file.push_back(static_cast<std::uint8_t>(c));
  auto m = parse_ok(file);
  ASSERT_EQ(m.inputs.size(), 1u);
  ASSERT_EQ(m.outputs.size(), 1u);
  const auto& in = m.inputs[0];
  EXPECT_EQ(in.size, 60);
  EXPECT_EQ(in.nch, 3);
  EXPECT_EQ(in.height, 4);
  EXPECT_EQ(in.width, 5);
  EXPECT_EQ(in.qn, 0.5f);
  EXPECT_EQ(in.offset, 3);
  ASSERT_TRUE(in.mean.has_value());
  EXPECT_EQ((*in.mean)[2], 3.0f);
  EXPECT_FALSE(in.scale.has_value());
  EXPECT_FALSE(in.aspect_resize);
  EXPECT_TRUE(in.mirror);
  EXPECT_FALSE(in.center_crop);
  EXPECT_TRUE(in.bgr_to_rgb);
  const auto& out = m.outputs[0];
  EXPECT_EQ(out.layer_id, 1);
  EXPECT_EQ(out.blob_id, 2);
  EXPECT_EQ(out.fused_parent_id, -1);
  EXPECT_EQ(out.bpp, 2);
  EXPECT_EQ(out.size, 4);
  EXPECT_EQ(out.layer_output_type, 3u);
  EXPECT_EQ(m.dram_bytes, 4096u);
}

TEST(ModelFile, KeepsRawBytesOfNames) {
  Enc e;
  e.u64(0).u32(1);
  input_record(e, {1, 1, 1}, -1, std::string_view("\xff\xfe bad", 6));
  e.u32(0);
  no_faults(e);
  e.u32(0).u32(0);
  auto m = parse_ok(file_from_body(e.b));
  EXPECT_EQ(m.inputs[0].layer_name, std::string("\xff\xfe bad", 6));
  EXPECT_EQ(m.inputs[0].size, -1);
}

TEST(ModelFile, ReadsFaults) {
  Enc e;
  e.u64(0).u32(0).u32(0);
  e.u32(2).u32(1).u32(0).u8(1).u32(4).u8(0b101).u32(1).text("dv_infer_async").u32(207);
  e.u8(1).f32(std::numeric_limits<float>::quiet_NaN()).u8(1).f32(-1.0f).u8(0).u32(2500);
  e.u32(0).u32(0);
  auto m = parse_ok(file_from_body(e.b));
  const auto& f = m.faults;
  EXPECT_EQ(f.completion_states, (std::vector<std::uint32_t>{1, 0}));
  EXPECT_EQ(f.final_state, 4u);
  EXPECT_TRUE(f.missing_statistics);
  EXPECT_FALSE(f.null_request);
  EXPECT_TRUE(f.null_completed);
  EXPECT_EQ(f.call_status.at("dv_infer_async"), 207u);
  ASSERT_TRUE(f.run_time_us.has_value());
  EXPECT_TRUE(std::isnan(*f.run_time_us));
  EXPECT_EQ(f.input_time_us, -1.0f);
  EXPECT_FALSE(f.output_time_us.has_value());
  EXPECT_EQ(f.latency_us, 2500u);
}

struct BadFile {
  const char* name;
  Bytes file;
  const char* message;
};

std::vector<BadFile> bad_files() {
  Bytes good = model({{1, 2, 2}}, {{1, 1, 1}}, {}, 0, {});
  std::vector<BadFile> cases;
  cases.push_back({"empty", {}, "magic"});
  cases.push_back({"foreign", Bytes(64, 'x'), "magic"});
  cases.push_back({"version", file_from_body(Bytes(8, 0), 2), "format version 2"});
  cases.push_back({"truncated", Bytes(good.begin(), good.end() - 1), "truncated"});
  Bytes flipped = good;
  flipped[40] ^= 0x10;
  cases.push_back({"bit flip", flipped, "checksum"});
  Enc extra;
  extra.raw(Bytes(good.begin() + 20, good.end())).u8(0);
  cases.push_back({"bytes after program", file_from_body(extra.b), "unexpected bytes"});
  Enc huge;
  huge.u64(0).u32(0xFFFFFFFF);
  cases.push_back({"absurd count", file_from_body(huge.b), "input count"});
  Enc op;
  op.u8(99);
  cases.push_back({"unknown op", model({}, {}, {}, 1, op.b), "unknown op code 99"});
  Enc write_in;
  write_in.u8(1).ref(OUT, 0).u32(0).ref(IN, 0).u32(0).u32(1);
  cases.push_back({"writes input", model({{1, 2, 2}}, {{1, 1, 1}}, {}, 1, write_in.b), "cannot be written"});
  Enc too_long;
  too_long.u8(1).ref(IN, 0).u32(0).ref(OUT, 0).u32(0).u32(2);
  cases.push_back({"copy past output", model({{1, 2, 2}}, {{1, 1, 1}}, {}, 1, too_long.b), "holds 1 bytes"});
  Enc past_input;
  past_input.u8(1).ref(IN, 0).u32(3).ref(OUT, 0).u32(0).u32(2);
  cases.push_back({"copy past input", model({{1, 2, 2}}, {{1, 2, 1}}, {}, 1, past_input.b), "holds 4 bytes"});
  Enc no_tensor;
  no_tensor.u8(1).ref(IN, 1).u32(0).ref(OUT, 0).u32(0).u32(1);
  cases.push_back({"missing tensor", model({{1, 2, 2}}, {{1, 1, 1}}, {}, 1, no_tensor.b), "does not exist"});
  Enc pool;  // 2^32-1 channels of 2^32-1 i32 values must not wrap to a small extent
  pool.u8(3).ref(IN, 0).u8(I32).u32(0xFFFFFFFF).u32(0xFFFFFFFF).ref(OUT, 0).u8(U8);
  cases.push_back({"mean_pool overflow", model({{1, 2, 2}}, {{1, 1, 1}}, {}, 1, pool.b), "holds 4 bytes"});
  Enc dense;
  dense.u8(4).ref(IN, 0).u8(U8).i32(0).u32(0xFFFF).u32(0xFFFF);
  cases.push_back({"dense weights past end", model({{1, 2, 2}}, {{1, 1, 1}}, {}, 1, dense.b), "weights exceed"});
  Enc scratch_op;
  scratch_op.u8(5).ref(SCRATCH, 0).u8(U8).u32(9).ref(OUT, 0).u8(U8);
  cases.push_back({"argmax past scratch", model({}, {{1, 1, 1}}, {8}, 1, scratch_op.b), "scratch:0 holds 8"});
  Enc bad_type;
  bad_type.u8(5).ref(IN, 0).u8(6).u32(1).ref(OUT, 0).u8(U8);
  cases.push_back({"unknown type", model({{1, 2, 2}}, {{1, 1, 1}}, {}, 1, bad_type.b), "unknown element type 6"});
  cases.push_back({"scratch too big", model({}, {}, {0x10000000, 0x10000000}, 0, {}), "256 MiB"});
  return cases;
}

class RejectsBadFile : public testing::TestWithParam<BadFile> {};

TEST_P(RejectsBadFile, WithAMessageSayingWhy) {
  std::string error = parse_error(GetParam().file);
  EXPECT_EQ(error.rfind("invalid emulated model file: ", 0), 0u) << error;
  EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(All, RejectsBadFile, testing::ValuesIn(bad_files()), [](const auto& info) {
  std::string name = info.param.name;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
});

Bytes fuzz_seed() {
  Enc ops;
  ops.u8(3).ref(IN, 0).u8(U8).u32(3).u32(4).ref(SCRATCH, 0).u8(U8);
  ops.u8(4).ref(SCRATCH, 0).u8(U8).i32(0).u32(3).u32(2).raw({1, 2, 3, 0xFF, 0xFE, 0xFD}).i32(5).i32(-5).ref(SCRATCH, 1);
  ops.u8(2).ref(SCRATCH, 1).u8(I32).u32(2).i32(0).f32(0.25f).i32(1).ref(OUT, 0).u8(I8);
  ops.u8(5).ref(OUT, 0).u8(I8).u32(2).ref(OUT, 1).u8(U8);
  ops.u8(1).ref(IN, 0).u32(1).ref(OUT, 2).u32(0).u32(4);
  return model({{3, 2, 2}}, {{2, 1, 1}, {1, 1, 1}, {4, 1, 1}}, {3, 8}, 5, ops.b);
}

/// Whatever a damaged file holds, parsing either fails cleanly or yields a
/// model whose program runs within buffers of the declared sizes. Returns
/// whether the program ran.
bool parse_and_run(const Bytes& file) {
  auto m = emu::parse_model(file);
  if (!m) {
    EXPECT_EQ(m.error().rfind("invalid emulated model file: ", 0), 0u);
    return false;
  }
  std::vector<Bytes> in_data, out_data;
  for (const auto& t : m->inputs) {
    in_data.emplace_back(std::max<std::int64_t>(0, std::int64_t{t.nch} * t.height * t.width) % 4096, 7);
  }
  for (const auto& t : m->outputs) out_data.emplace_back(std::max(0, t.size) % 4096, 0);
  std::vector<std::span<const std::uint8_t>> ins(in_data.begin(), in_data.end());
  std::vector<std::span<std::uint8_t>> outs(out_data.begin(), out_data.end());
  return emu::run_model(*m, ins, outs).has_value();
}

TEST(ModelFileFuzz, TruncationsAreRejected) {
  const Bytes seed = fuzz_seed();
  parse_ok(seed);
  for (std::size_t n = 0; n < seed.size(); ++n) {
    auto m = emu::parse_model(std::span(seed).first(n));
    EXPECT_FALSE(m.has_value()) << "prefix of " << n << " bytes parsed";
  }
}

TEST(ModelFileFuzz, BitFlipsBehindAValidChecksumNeverEscapeTheBuffers) {
  const Bytes seed = fuzz_seed();
  std::mt19937 rng(12345);
  const Bytes body(seed.begin() + 20, seed.end());
  int ran = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes damaged = body;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < flips; ++k) damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    if (rng() % 4 == 0) damaged.resize(rng() % damaged.size());
    ran += parse_and_run(file_from_body(damaged));
  }
  // Damage that only changes values must still reach the executor, or this test checks nothing.
  EXPECT_GT(ran, 100);
}

struct RequantCase {
  std::uint8_t src_type, dst_type;
  Bytes input;
  std::int32_t src_zero;
  float scale;
  std::int32_t dst_zero;
  Bytes expected;
};

class Requantize : public testing::TestWithParam<RequantCase> {};

TEST_P(Requantize, RoundsHalfAwayFromZeroAndSaturates) {
  const auto& c = GetParam();
  const std::uint32_t in_size = c.src_type == U8 || c.src_type == I8 ? 1 : c.src_type == I32 || c.src_type == F32 ? 4 : 2;
  const auto count = static_cast<std::uint32_t>(c.input.size() / in_size);
  Enc ops;
  ops.u8(2).ref(IN, 0).u8(c.src_type).u32(count).i32(c.src_zero).f32(c.scale).i32(c.dst_zero).ref(OUT, 0).u8(c.dst_type);
  auto file = model({{1, 1, static_cast<std::int32_t>(c.input.size())}},
                    {{1, 1, static_cast<std::int32_t>(c.expected.size())}}, {}, 1, ops.b);
  EXPECT_EQ(run1(file, c.input, c.expected.size()), c.expected);
}

Bytes le32(std::initializer_list<std::int32_t> values) {
  Enc e;
  for (auto v : values) e.i32(v);
  return e.b;
}
Bytes f32s(std::initializer_list<float> values) {
  Enc e;
  for (auto v : values) e.f32(v);
  return e.b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Requantize,
    testing::Values(
        // (x - 128) * 0.5: -64, -63.5 -> -64, 0, 63.5 -> 64
        RequantCase{U8, I8, {0, 1, 128, 255}, 128, 0.5f, 0, {0xC0, 0xC0, 0x00, 0x40}},
        RequantCase{U8, U8, {0, 10, 250}, 0, 2.0f, 3, {3, 23, 255}},
        RequantCase{I8, U8, {0x80, 0xFF, 0x7F}, 0, 1.0f, 128, {0, 127, 255}},
        RequantCase{I32, I8, le32({1000, -1000, 6, -6}), 0, 0.25f, 0, {0x7F, 0x80, 2, 0xFE}},
        RequantCase{U8, I16, {200, 0}, 100, 400.0f, 0, {0xFF, 0x7F, 0x00, 0x80}},
        RequantCase{F32, U8, f32s({std::numeric_limits<float>::quiet_NaN(), 2.5f, -3.0f}), 0, 1.0f, 0, {0, 3, 0}},
        RequantCase{U8, F32, {10}, 4, 0.5f, 1, f32s({4.0f})},
        RequantCase{I32, F32, le32({2147483647, -2147483647}), 0, 3.0e38f, 0,
                    f32s({std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()})}));

TEST(Ops, MeanPoolAveragesEachChannelPlane) {
  Enc ops;
  ops.u8(3).ref(IN, 0).u8(U8).u32(3).u32(4).ref(OUT, 0).u8(U8);
  auto file = model({{3, 2, 2}}, {{3, 1, 1}}, {}, 1, ops.b);
  // plane means 2.5 -> 3, 100, 254.25 -> 254
  EXPECT_EQ(run1(file, {1, 2, 3, 4, 100, 100, 100, 100, 255, 255, 255, 252}, 3), (Bytes{3, 100, 254}));
}

TEST(Ops, DenseAccumulatesInt32WithBiasAndZeroPoint) {
  Enc ops;
  // rows (1, -2, 3) and (-128, 127, 0); input zero point 10
  ops.u8(4).ref(IN, 0).u8(U8).i32(10).u32(3).u32(2).raw({1, 0xFE, 3, 0x80, 0x7F, 0}).i32(7).i32(-1).ref(OUT, 0);
  auto file = model({{1, 1, 3}}, {{2, 1, 1, 4}}, {}, 1, ops.b);
  const Bytes out = run1(file, {20, 0, 255}, 8);
  // (10, -10, 245): 10 + 20 + 735 + 7 = 772; -1280 - 1270 + 0 - 1 = -2551
  EXPECT_EQ(out, le32({772, -2551}));
}

TEST(Ops, DenseSaturatesInsteadOfWrapping) {
  Enc ops;
  ops.u8(4).ref(IN, 0).u8(I32).i32(0).u32(2).u32(1).raw({127, 127}).i32(2147483647).ref(OUT, 0);
  auto file = model({{1, 1, 8}}, {{1, 1, 1, 4}}, {}, 1, ops.b);
  EXPECT_EQ(run1(file, le32({2147483647, 2147483647}), 4), le32({2147483647}));
}

struct ArgmaxCase {
  std::uint8_t type;
  Bytes input;
  std::uint8_t expected;
};

class Argmax : public testing::TestWithParam<ArgmaxCase> {};

TEST_P(Argmax, ReportsTheFirstLargestElement) {
  const auto& c = GetParam();
  const std::uint32_t size = c.type == I16 || c.type == U16 ? 2 : c.type == F32 || c.type == I32 ? 4 : 1;
  Enc ops;
  ops.u8(5).ref(IN, 0).u8(c.type).u32(static_cast<std::uint32_t>(c.input.size() / size)).ref(OUT, 0).u8(U8);
  auto file = model({{1, 1, static_cast<std::int32_t>(c.input.size())}}, {{1, 1, 1}}, {}, 1, ops.b);
  EXPECT_EQ(run1(file, c.input, 1), Bytes{c.expected});
}

INSTANTIATE_TEST_SUITE_P(Cases, Argmax,
                         testing::Values(ArgmaxCase{U8, {3, 9, 9, 1}, 1}, ArgmaxCase{I8, {0xFF, 0x80, 0x01}, 2},
                                         ArgmaxCase{U8, {0xFF, 0x80, 0x01}, 0},
                                         ArgmaxCase{I16, {0x00, 0x80, 0xFF, 0x7F, 0x00, 0x00}, 1},
                                         ArgmaxCase{F32, f32s({std::nanf(""), -5.0f, 2.0f}), 2}));

TEST(Ops, CopyHandlesOverlapWithinAnOutput) {
  Enc ops;
  ops.u8(1).ref(IN, 0).u32(0).ref(OUT, 0).u32(0).u32(4);
  ops.u8(1).ref(OUT, 0).u32(0).ref(OUT, 0).u32(1).u32(4);
  auto file = model({{1, 1, 4}}, {{1, 1, 5}}, {}, 2, ops.b);
  EXPECT_EQ(run1(file, {1, 2, 3, 4}, 5), (Bytes{1, 1, 2, 3, 4}));
}

TEST(Run, RefusesBuffersSmallerThanTheProgramNeeds) {
  Enc ops;
  ops.u8(1).ref(IN, 0).u32(0).ref(OUT, 0).u32(0).u32(4);
  auto m = parse_ok(model({{1, 1, 4}}, {{1, 1, 4}}, {}, 1, ops.b));
  Bytes small_in(3), in(4), small_out(3), out(4);
  using In = std::vector<std::span<const std::uint8_t>>;
  using Out = std::vector<std::span<std::uint8_t>>;
  auto r1 = emu::run_model(m, In{small_in}, Out{out});
  ASSERT_FALSE(r1.has_value());
  EXPECT_NE(r1.error().find("input 0 buffer holds 3 bytes"), std::string::npos) << r1.error();
  auto r2 = emu::run_model(m, In{in}, Out{small_out});
  ASSERT_FALSE(r2.has_value());
  EXPECT_NE(r2.error().find("output 0 buffer holds 3 bytes"), std::string::npos) << r2.error();
  auto r3 = emu::run_model(m, In{}, Out{out});
  ASSERT_FALSE(r3.has_value());
  EXPECT_NE(r3.error().find("takes 1 inputs"), std::string::npos) << r3.error();
}

TEST(Run, ProgramListingNamesEveryOp) {
  auto m = parse_ok(fuzz_seed());
  auto lines = emu::program_listing(m);
  ASSERT_EQ(lines.size(), 7u);  // two scratch buffers, five ops
  EXPECT_EQ(lines[2].rfind("mean_pool 3x4 input:0 u8 -> scratch:0 u8", 0), 0u) << lines[2];
  EXPECT_EQ(lines[6].rfind("copy 4 bytes input:0+1 -> output:2+0", 0), 0u) << lines[6];
}

}  // namespace

// ------------------------------------------------------------------ reading files

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    char pattern[] = "/tmp/emu_model_test_XXXXXX";
    path = ::mkdtemp(pattern);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string write(const char* name, const Bytes& bytes) const {
    auto file = path + "/" + name;
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return file;
  }
};

std::string read_error(const std::string& path) {
  auto got = emu::read_model_file(path);
  EXPECT_FALSE(got.has_value());
  return got ? "" : got.error();
}

}  // namespace

TEST(ReadModelFile, ReadsHeaderAndBodyButNotATrailingArchive) {
  TempDir dir;
  Bytes file = model({{1, 1, 4}}, {{1, 1, 4}}, {}, 0, {});
  Bytes with_archive = file;
  with_archive.resize(file.size() + 100000, 'Z');
  auto got = emu::read_model_file(dir.write("m.dvm", with_archive));
  ASSERT_TRUE(got.has_value()) << got.error();
  EXPECT_EQ(*got, file);
  parse_ok(*got);
}

TEST(ReadModelFile, RefusesWhatIsNotARegularFileWithoutWaitingOnIt) {
  TempDir dir;
  auto fifo = dir.path + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // nobody writes: a blocking open would never return
  EXPECT_NE(read_error(fifo).find("not a regular file"), std::string::npos);
  EXPECT_NE(read_error("/dev/zero").find("not a regular file"), std::string::npos);
  EXPECT_NE(read_error(dir.path).find("directory"), std::string::npos);
  EXPECT_NE(read_error(dir.path + "/absent").find("No such file"), std::string::npos);
}

TEST(ReadModelFile, RefusesABodyOverTheLimitWithoutReadingIt) {
  TempDir dir;
  Bytes header = file_from_body({});
  header[12] = 1, header[13] = 0, header[14] = 0, header[15] = 4;  // 64 MiB + 1
  EXPECT_NE(read_error(dir.write("big.dvm", header)).find("over the limit"), std::string::npos);
}

TEST(ReadModelFile, AFileShorterThanItsHeaderAnnouncesIsReadAsItIs) {
  TempDir dir;
  Bytes file = file_from_body(Bytes(1000, 0));
  file.resize(30);
  auto got = emu::read_model_file(dir.write("short.dvm", file));
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, file);
  EXPECT_NE(parse_error(*got).find("truncated"), std::string::npos);
}
