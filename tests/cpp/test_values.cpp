#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <limits>
#include <string>

#include "ara2/socket_path.hpp"
#include "ara2/values.hpp"

using tallowind::ara2::Abi;
using tallowind::ara2::ModelOutputType;
using tallowind::ara2::State;

TEST(StateFromRaw, EachGenerationHasItsOwnTable) {
  const State v1_1[] = {State::Init,          State::Idle,          State::Active,
                        State::ActiveSlow,    State::ActiveBoosted, State::ThermalInactive,
                        State::ThermalUnknown, State::Inactive,     State::Fault};
  const State v1_3[] = {State::Init,          State::Idle,              State::Active,
                        State::ActiveSlow,    State::ThermalActiveSlow, State::FailSafe,
                        State::ThermalUnknown, State::Inactive,         State::Fault};
  for (std::uint32_t raw = 0; raw < 9; ++raw) {
    EXPECT_EQ(tallowind::ara2::state_from_raw(raw, Abi::V1_1), v1_1[raw]) << raw;
    EXPECT_EQ(tallowind::ara2::state_from_raw(raw, Abi::V1_3), v1_3[raw]) << raw;
  }
}

TEST(StateFromRaw, NineAndAboveIsUnknown) {
  for (std::uint32_t raw : {9u, 10u, 0x80000000u, std::numeric_limits<std::uint32_t>::max()}) {
    EXPECT_EQ(tallowind::ara2::state_from_raw(raw, Abi::V1_1), State::Unknown) << raw;
    EXPECT_EQ(tallowind::ara2::state_from_raw(raw, Abi::V1_3), State::Unknown) << raw;
  }
}

TEST(OutputTypeFromRaw, KnownValuesAndTheError) {
  EXPECT_EQ(tallowind::ara2::output_type_from_raw(0).value(), ModelOutputType::Classification);
  EXPECT_EQ(tallowind::ara2::output_type_from_raw(1).value(), ModelOutputType::Detection);
  EXPECT_EQ(tallowind::ara2::output_type_from_raw(2).value(), ModelOutputType::SemanticSegmentation);
  EXPECT_EQ(tallowind::ara2::output_type_from_raw(3).value(), ModelOutputType::Raw);
  for (std::uint32_t raw : {4u, 0x80000000u, 4294967295u}) {
    const auto result = tallowind::ara2::output_type_from_raw(raw);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), tallowind::ara2::ErrorKind::UnknownLayerOutputType);
    EXPECT_EQ(result.error().error_class(), tallowind::ara2::ErrorClass::ModelError);
    EXPECT_EQ(result.error().message(), "Unknown layer output type: " + std::to_string(raw));
  }
}

TEST(MemberNames, NamesAndVersionTexts) {
  EXPECT_EQ(tallowind::ara2::state_name(State::Init), "Init");
  EXPECT_EQ(tallowind::ara2::state_name(State::ThermalActiveSlow), "ThermalActiveSlow");
  EXPECT_EQ(tallowind::ara2::state_name(State::Unknown), "Unknown");
  EXPECT_EQ(tallowind::ara2::abi_name(Abi::V1_1), "V1_1");
  EXPECT_EQ(tallowind::ara2::abi_name(Abi::V1_3), "V1_3");
  EXPECT_EQ(tallowind::ara2::abi_version_text(Abi::V1_1), "1.1");
  EXPECT_EQ(tallowind::ara2::abi_version_text(Abi::V1_3), "1.3");
  EXPECT_EQ(tallowind::ara2::output_type_name(ModelOutputType::SemanticSegmentation), "SemanticSegmentation");
}

TEST(RecordText, TimingAndDramShowTheirFields) {
  EXPECT_EQ(tallowind::ara2::record_text(tallowind::ara2::ModelTiming{1200, 30, 18446744073709551615ull}),
            "ModelTiming(run_time_us=1200, input_time_us=30, output_time_us=18446744073709551615)");
  EXPECT_EQ(tallowind::ara2::record_text(tallowind::ara2::DramStatistics{1000, 2, 300, 4, 50, 6}),
            "DramStatistics(dram_size=1000, free_size=300, model_occupancy_size=50)");
}

TEST(RecordText, QuantizationUsesPlainFloatsAndLowerCaseBooleans) {
  EXPECT_EQ(tallowind::ara2::record_text(tallowind::ara2::OutputQuantization{0.5f, -128, true}),
            "OutputQuantization(qn=0.5, offset=-128, is_signed=true)");
  EXPECT_EQ(tallowind::ara2::record_text(tallowind::ara2::InputQuantization{1.0f, 0, false, 9}),
            "InputQuantization(qn=1, offset=0, is_signed=false, qmode=9)");
  EXPECT_EQ(tallowind::ara2::record_text(tallowind::ara2::InputQuantization{1e-7f, 2147483647, true, -1}),
            "InputQuantization(qn=0.0000001, offset=2147483647, is_signed=true, qmode=-1)");
}

TEST(RecordText, PreprocessUsesTupleFloats) {
  EXPECT_EQ(tallowind::ara2::record_text(tallowind::ara2::InputPreprocess{}),
            "InputPreprocess(mean=(0.0, 0.0, 0.0), scale=(1.0, 1.0, 1.0), bgr_to_rgb=false, "
            "aspect_resize=false, mirror=false, center_crop=false)");
  tallowind::ara2::InputPreprocess p;
  p.mean = {123.675f, 1e-5f, 1e16f};
  p.scale = {0.017124753f, 2.5e-5f, -0.0f};
  p.bgr_to_rgb = true;
  p.mirror = true;
  EXPECT_EQ(tallowind::ara2::record_text(p),
            "InputPreprocess(mean=(123.675, 1e-5, 1e16), scale=(0.017124753, 2.5e-5, -0.0), bgr_to_rgb=true, "
            "aspect_resize=false, mirror=true, center_crop=false)");
}

TEST(RecordText, TensorInfoShowsShapeChannelsFirst) {
  tallowind::ara2::InputTensorInfo in;
  in.layer_name = "images 'raw'";
  in.size = 1228800;
  in.nch = 3;
  in.height = 640;
  in.width = 640;
  in.bpp = 1;
  EXPECT_EQ(tallowind::ara2::record_text(in), "InputTensorInfo(layer_name='images 'raw'', size=1228800, shape=(3, 640, 640), bpp=1)");
  tallowind::ara2::OutputTensorInfo out;
  out.layer_name = "out0";
  out.size = 84;
  out.nch = 84;
  out.height = 1;
  out.width = 2;
  out.bpp = 2;
  out.layer_output_type = ModelOutputType::Detection;
  EXPECT_EQ(tallowind::ara2::record_text(out),
            "OutputTensorInfo(layer_name='out0', size=84, shape=(84, 1, 2), bpp=2, type=Detection)");
}

class SocketPathResolution : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "ara2_socket_path_" + std::to_string(::getpid());
    ASSERT_EQ(std::system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str()), 0);
    first_ = dir_ + "/first.sock";
    second_ = dir_ + "/second.sock";
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  void touch(const std::string& path) { ASSERT_EQ(std::system(("touch '" + path + "'").c_str()), 0); }
  std::string resolve(const char* env) {
    const std::string_view candidates[] = {first_, second_};
    return tallowind::ara2::resolve_socket_path(env, candidates, "/fallback.sock");
  }

  std::string dir_, first_, second_;
};

TEST_F(SocketPathResolution, EnvironmentWinsWhenValidUtf8) {
  touch(first_);
  EXPECT_EQ(resolve("/somewhere/else.sock"), "/somewhere/else.sock");
  EXPECT_EQ(resolve(""), "");
  EXPECT_EQ(resolve("/tmp/\xff.sock"), first_);
}

TEST_F(SocketPathResolution, FirstExistingCandidateThenFallback) {
  EXPECT_EQ(resolve(nullptr), "/fallback.sock");
  touch(second_);
  EXPECT_EQ(resolve(nullptr), second_);
  touch(first_);
  EXPECT_EQ(resolve(nullptr), first_);
}

TEST_F(SocketPathResolution, DanglingLinkDoesNotCount) {
  ASSERT_EQ(::symlink((dir_ + "/missing").c_str(), first_.c_str()), 0);
  EXPECT_EQ(resolve(nullptr), "/fallback.sock");
  touch(dir_ + "/missing");
  EXPECT_EQ(resolve(nullptr), first_);
}
