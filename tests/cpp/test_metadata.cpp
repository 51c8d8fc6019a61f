#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ara2/metadata.hpp"

using tallowind::ara2::parse_metadata;

namespace {

std::string error_of(std::string_view json) {
  auto result = parse_metadata(json);
  return result ? std::string("<parsed>") : result.error().message();
}

tallowind::ara2::DvmMetadata parsed(std::string_view json) {
  auto result = parse_metadata(json);
  EXPECT_TRUE(result) << json << ": " << (result ? "" : result.error().message());
  return result ? *result : tallowind::ara2::DvmMetadata{};
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

struct ErrorCase {
  std::string json;
  std::string message;
};

class MetadataErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(MetadataErrors, ReportMessageAndPosition) {
  EXPECT_EQ(error_of(GetParam().json), "JSON error: " + GetParam().message) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, MetadataErrors,
    ::testing::Values(
        ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{" \n  ", "EOF while parsing a value at line 2 column 2"},
        ErrorCase{"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        ErrorCase{"{} x", "trailing characters at line 1 column 4"},
        ErrorCase{"{}{}", "trailing characters at line 1 column 3"},
        ErrorCase{std::string("{}\0x", 4), "trailing characters at line 1 column 3"},
        ErrorCase{"{\"nms\":\"a\nb\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        ErrorCase{"{\"nms\":\"\\udc00\"}", "invalid unicode code point at line 1 column 15"},
        ErrorCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        ErrorCase{"{\"a\":[1,", "EOF while parsing a list at line 1 column 8"},
        ErrorCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        ErrorCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
        ErrorCase{"{\"ara2\":{\"qmode\":1e400}}", "number out of range at line 1 column 18"},
        ErrorCase{"{\"a\":1,}", "key must be a string at line 1 column 8"}));

INSTANTIATE_TEST_SUITE_P(
    Schema, MetadataErrors,
    ::testing::Values(
        ErrorCase{R"({"outputs":[{"name":"a","name":"b"}]})", "duplicate field `name` at line 1 column 30"},
        ErrorCase{R"({"model":{},"model":{}})", "duplicate field `model` at line 1 column 19"},
        ErrorCase{R"({"input":{"input_channels":-1}})", "invalid value: integer `-1`, expected u32 at line 1 column 29"},
        ErrorCase{R"({"input":{"input_channels":3.5}})",
                  "invalid type: floating point `3.5`, expected u32 at line 1 column 30"},
        ErrorCase{R"({"input":{"input_channels":1e2}})",
                  "invalid type: floating point `100.0`, expected u32 at line 1 column 30"},
        ErrorCase{R"({"input":{"output_channels":4294967296}})",
                  "invalid value: integer `4294967296`, expected u32 at line 1 column 38"},
        ErrorCase{R"({"ara2":{"qmode":2147483648}})", "invalid value: integer `2147483648`, expected i32 at line 1 column 27"},
        ErrorCase{R"({"ara2":{"qmode":-2147483649}})",
                  "invalid value: integer `-2147483649`, expected i32 at line 1 column 28"},
        ErrorCase{R"({"compilation":{"ppa":{"cycles":-1}}})",
                  "invalid value: integer `-1`, expected u64 at line 1 column 34"},
        ErrorCase{R"({"outputs":[{"shape":[9223372036854775808]}]})",
                  "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 41"},
        ErrorCase{R"({"model":{"detection":null}})", "invalid type: null, expected a boolean at line 1 column 26"},
        ErrorCase{R"({"model":{"segmentation":1}})", "invalid type: integer `1`, expected a boolean at line 1 column 26"},
        ErrorCase{R"({"outputs":null})", "invalid type: null, expected a sequence at line 1 column 15"},
        ErrorCase{R"({"dataset":{"classes":null}})", "invalid type: null, expected a sequence at line 1 column 26"},
        ErrorCase{R"({"dataset":{"classes":[1]}})", "invalid type: integer `1`, expected a string at line 1 column 24"},
        ErrorCase{R"({"outputs":[{"decode":null}]})", "invalid type: null, expected a boolean at line 1 column 26"},
        ErrorCase{R"({"outputs":[{"quantization":{"zero_point":null,"scale":1}}]})",
                  "invalid type: null, expected i32 at line 1 column 46"},
        ErrorCase{R"({"outputs":[null]})", "invalid type: null, expected struct OutputSpec at line 1 column 16"},
        ErrorCase{R"({"nms":{"a":1}})", "invalid type: map, expected a string at line 1 column 8"},
        ErrorCase{R"({"model":"detect"})", "invalid type: string \"detect\", expected struct ModelInfo at line 1 column 17"},
        ErrorCase{"5", "invalid type: integer `5`, expected struct DvmMetadata at line 1 column 1"},
        ErrorCase{"null", "invalid type: null, expected struct DvmMetadata at line 1 column 4"},
        ErrorCase{"{\n  \"nms\": 5\n}", "invalid type: integer `5`, expected a string at line 2 column 10"},
        ErrorCase{R"({"outputs":[{"quantization":{"zero_point":0}}]})", "missing field `scale` at line 1 column 44"},
        ErrorCase{R"({"outputs":[{"quantization":{}}]})", "missing field `scale` at line 1 column 30"},
        ErrorCase{R"({"outputs":[{"quantization":[]}]})",
                  "invalid length 0, expected struct QuantizationSpec with 3 elements at line 1 column 30"},
        ErrorCase{R"({"ara2":[1,2]})", "too many elements, expected struct Ara2Info with 1 elements at line 1 column 12"},
        ErrorCase{R"({"outputs":[{"dshape":[{"a":1,"b":2}]}]})",
                  "dshape map entry must have exactly one key at line 1 column 36"},
        ErrorCase{R"({"outputs":[{"dshape":[{}]}]})", "dshape map entry must have exactly one key at line 1 column 25"},
        ErrorCase{R"({"outputs":[{"dshape":["batch"]}]})",
                  "data did not match any variant of untagged enum DShapeItem at line 1 column 30"},
        ErrorCase{R"({"outputs":[{"dshape":[["batch"]]}]})",
                  "data did not match any variant of untagged enum DShapeItem at line 1 column 32"},
        ErrorCase{R"({"outputs":[{"dshape":[["batch",1,2]]}]})",
                  "data did not match any variant of untagged enum DShapeItem at line 1 column 36"},
        ErrorCase{R"({"outputs":[{"dshape":[[1,"batch"]]}]})",
                  "data did not match any variant of untagged enum DShapeItem at line 1 column 34"},
        ErrorCase{R"({"outputs":[{"dshape":[["batch",-1]]}]})",
                  "data did not match any variant of untagged enum DShapeItem at line 1 column 35"},
        ErrorCase{R"({"outputs":[{"dshape":[{"a":"x"}]}]})",
                  "data did not match any variant of untagged enum DShapeItem at line 1 column 32"},
        ErrorCase{R"({"outputs":[{"dshape":[{"a":[1]}]}]})",
                  "data did not match any variant of untagged enum DShapeItem at line 1 column 32"},
        ErrorCase{R"({"outputs":[{"dshape":[{"a":1,"b":"x"}]}]})",
                  "data did not match any variant of untagged enum DShapeItem at line 1 column 38"}));

// Every member type names itself in the messages, whichever side of a value it meets.
INSTANTIATE_TEST_SUITE_P(
    MemberTypes, MetadataErrors,
    ::testing::Values(
        ErrorCase{R"({"dataset":{"classes":[{}]}})", "invalid type: map, expected a string at line 1 column 24"},
        ErrorCase{R"({"input":{"size":[]}})", "invalid type: sequence, expected a string at line 1 column 18"},
        ErrorCase{R"({"outputs":[{"index":{}}]})", "invalid type: map, expected u32 at line 1 column 22"},
        ErrorCase{R"({"ara2":{"qmode":true}})", "invalid type: boolean `true`, expected i32 at line 1 column 21"},
        ErrorCase{R"({"outputs":[{"shape":[[1]]}]})", "invalid type: sequence, expected i64 at line 1 column 23"},
        ErrorCase{R"({"outputs":[{"shape":[1.5]}]})",
                  "invalid type: floating point `1.5`, expected i64 at line 1 column 25"},
        ErrorCase{R"({"compilation":{"ppa":{"ips":"x"}}})", "invalid type: string \"x\", expected f64 at line 1 column 32"},
        ErrorCase{R"({"outputs":[{"quantization":{"scale":"x"}}]})",
                  "invalid type: string \"x\", expected f32 at line 1 column 40"},
        ErrorCase{R"({"outputs":[{"normalized":"yes"}]})",
                  "invalid type: string \"yes\", expected a boolean at line 1 column 31"},
        ErrorCase{R"({"outputs":[{"dshape":{}}]})", "invalid type: map, expected a sequence at line 1 column 23"},
        ErrorCase{R"({"outputs":[[0,"a",null,null,false,null,[],[],null,null,null,null,1]]})",
                  "too many elements, expected struct OutputSpec with 12 elements at line 1 column 67"},
        ErrorCase{R"({"compilation":[null,null,[1,2,3,4,5]]})",
                  "too many elements, expected struct PpaMetrics with 4 elements at line 1 column 36"}));

TEST(MetadataReader, DeepNestingIsRefusedNotFollowed) {
  EXPECT_EQ(error_of("{\"skipped\":" + nested(100000) + "}"), "JSON error: recursion limit exceeded at line 1 column 139");
  // The object itself counts: 128 containers in all are read, the 129th is not.
  EXPECT_EQ(error_of("{\"s\":" + nested(tallowind::ara2::kMaxMetadataDepth - 1) + "}"), "<parsed>");
  EXPECT_EQ(error_of("{\"s\":" + nested(tallowind::ara2::kMaxMetadataDepth) + "}"),
            "JSON error: recursion limit exceeded at line 1 column 133");
}

struct ListCase {
  std::string open;
  std::string element;
  std::string close;
};

class RecordBudget : public ::testing::TestWithParam<ListCase> {};

TEST_P(RecordBudget, DocumentsThatWouldBuildTooMuchAreRefused) {
  const auto& [open, element, close] = GetParam();
  // No element costs less than 8 bytes as a record, far more than its text.
  const std::size_t count = tallowind::ara2::kMaxMetadataRecordBytes / 8 + 1;
  std::string json = open;
  json.reserve(json.size() + count * (element.size() + 1) + close.size());
  for (std::size_t i = 0; i < count; ++i) json += element + ",";
  json += element + close;
  EXPECT_EQ(error_of(json).substr(0, 67), "JSON error: document too large: its records would take more than 67") << open;
  EXPECT_EQ(error_of(open + element + close), "<parsed>");
}

INSTANTIATE_TEST_SUITE_P(Lists, RecordBudget,
                         ::testing::Values(ListCase{R"({"outputs":[)", "{}", "]}"},
                                           ListCase{R"({"dataset":{"classes":[)", R"("")", "]}}"},
                                           ListCase{R"({"outputs":[{"shape":[)", "0", "]}]}"},
                                           ListCase{R"({"outputs":[{"dshape":[)", R"(["",0])", "]}]}"}));

TEST(MetadataReader, UnknownKeysAreSkippedUnconverted) {
  EXPECT_EQ(error_of(R"({"x":1e400,"y":[1e400,{"z":-1e999}],"model":{"w":[[1e400]]}})"), "<parsed>");
}

TEST(MetadataReader, EmptyObjectGivesDefaults) {
  const auto m = parsed("{}");
  EXPECT_FALSE(m.dataset || m.input || m.model || m.deployment || m.compilation || m.ara2);
  EXPECT_FALSE(m.decoder_version || m.nms || m.task());
  EXPECT_TRUE(m.outputs.empty());
  EXPECT_TRUE(m.classes().empty());
  EXPECT_EQ(tallowind::ara2::repr(m), "DvmMetadata(task=None, classes=0, outputs=0)");
}

TEST(MetadataReader, ReadsEverySection) {
  const auto m = parsed(R"({
    "task": "ignored", "classes": ["ignored"],
    "dataset": {"classes": ["person", "car"], "id": "coco2017", "name": "COCO", "extra": [1, {"x": null}]},
    "input": {"size": "640x480", "input_channels": 3, "output_channels": null, "cameraadaptor": "rgb"},
    "model": {"model_task": "detect", "model_size": null, "model_version": "8.1", "detection": true},
    "deployment": {"model_name": "yolo", "name": "Yolo", "author": "me", "description": "d"},
    "compilation": {"target": "ara-2", "format": "dvm",
                    "ppa": {"ips": 30, "power_mw": 512.5, "cycles": 18446744073709551615, "ddr_bw_mbps": null}},
    "decoder_version": "yolov8", "nms": "class_agnostic",
    "outputs": [{"index": 0, "name": "boxes", "type": "detection", "decoder": "yolo", "decode": true,
                 "dtype": "int8", "shape": [1, -84, 9223372036854775807], "dshape": [["batch", 1], {"num_boxes": 8400}],
                 "normalized": false, "encoding": "x", "score_format": null,
                 "quantization": {"scale": 0.1, "zero_point": -128, "dtype": "int8"}}],
    "ara2": {"qmode": -2147483648}
  })");
  ASSERT_TRUE(m.dataset && m.input && m.model && m.deployment && m.compilation && m.ara2);
  EXPECT_EQ(m.task(), "detect");
  EXPECT_EQ(m.classes(), (std::vector<std::string>{"person", "car"}));
  EXPECT_EQ(m.dataset->id, "coco2017");
  EXPECT_EQ(m.input->input_channels, 3u);
  EXPECT_FALSE(m.input->output_channels);
  EXPECT_EQ(m.input->dimensions(), (std::pair<std::uint32_t, std::uint32_t>{640, 480}));
  EXPECT_FALSE(m.model->model_size);
  EXPECT_TRUE(m.model->detection);
  EXPECT_FALSE(m.model->segmentation);
  EXPECT_EQ(m.compilation->ppa->ips, 30.0);
  EXPECT_EQ(m.compilation->ppa->cycles, 18446744073709551615u);
  EXPECT_FALSE(m.compilation->ppa->ddr_bw_mbps);
  ASSERT_EQ(m.outputs.size(), 1u);
  const auto& out = m.outputs[0];
  EXPECT_EQ(out.shape, (std::vector<std::int64_t>{1, -84, 9223372036854775807}));
  EXPECT_EQ(out.dshape, (std::vector<tallowind::ara2::DShapeItem>{{"batch", 1}, {"num_boxes", 8400}}));
  EXPECT_EQ(out.normalized, false);
  ASSERT_TRUE(out.quantization);
  EXPECT_EQ(out.quantization->scale, 0.1f);
  EXPECT_EQ(out.quantization->zero_point, -128);
  EXPECT_EQ(m.ara2->qmode, -2147483648);
  EXPECT_EQ(tallowind::ara2::repr(m), "DvmMetadata(task=Some(\"detect\"), classes=2, outputs=1)");
  EXPECT_EQ(tallowind::ara2::repr(out), "OutputSpec(name=Some(\"boxes\"), type=Some(\"detection\"), shape=[1, -84, 9223372036854775807])");
  EXPECT_EQ(tallowind::ara2::repr(*m.compilation->ppa), "PpaMetrics(ips=Some(30.0), power_mw=Some(512.5))");
}

TEST(MetadataReader, EveryKeyFillsItsMemberInBothForms) {
  tallowind::ara2::DvmMetadata expected;
  expected.dataset = tallowind::ara2::DatasetInfo{{"a", "b"}, "coco", "COCO"};
  expected.input = tallowind::ara2::InputSpec{"1x2", 3, 4, "rgb"};
  expected.model = tallowind::ara2::ModelInfo{"detect", "s", "8", true, true};
  expected.deployment = tallowind::ara2::DeploymentInfo{"mn", "n", "au", "de"};
  expected.compilation = tallowind::ara2::CompilationInfo{"ara-2", "dvm", tallowind::ara2::PpaMetrics{30.5, 2.0, 7, 1.25}};
  expected.decoder_version = "v8";
  expected.nms = "agnostic";
  expected.outputs = {tallowind::ara2::OutputSpec{5, "boxes", "detection", "yolo", true, "int8", {1, -2}, {{"batch", 1}}, false,
                                       "xywh", "sigmoid", tallowind::ara2::QuantizationSpec{0.5f, -3, "int8"}}};
  expected.ara2 = tallowind::ara2::Ara2Info{9};
  // Keys in the reverse of declaration order, so that no key is matched by its position.
  EXPECT_EQ(parsed(R"({"ara2": {"qmode": 9},
    "outputs": [{"quantization": {"dtype": "int8", "zero_point": -3, "scale": 0.5}, "score_format": "sigmoid",
                 "encoding": "xywh", "normalized": false, "dshape": [["batch", 1]], "shape": [1, -2], "dtype": "int8",
                 "decode": true, "decoder": "yolo", "type": "detection", "name": "boxes", "index": 5}],
    "nms": "agnostic", "decoder_version": "v8",
    "compilation": {"ppa": {"ddr_bw_mbps": 1.25, "cycles": 7, "power_mw": 2, "ips": 30.5}, "format": "dvm",
                    "target": "ara-2"},
    "deployment": {"description": "de", "author": "au", "name": "n", "model_name": "mn"},
    "model": {"segmentation": true, "detection": true, "model_version": "8", "model_size": "s", "model_task": "detect"},
    "input": {"cameraadaptor": "rgb", "output_channels": 4, "input_channels": 3, "size": "1x2"},
    "dataset": {"name": "COCO", "id": "coco", "classes": ["a", "b"]}})"),
            expected);
  EXPECT_EQ(parsed(R"([[["a", "b"], "coco", "COCO"], ["1x2", 3, 4, "rgb"], ["detect", "s", "8", true, true],
                       ["mn", "n", "au", "de"], ["ara-2", "dvm", [30.5, 2, 7, 1.25]], "v8", "agnostic",
                       [[5, "boxes", "detection", "yolo", true, "int8", [1, -2], [["batch", 1]], false, "xywh",
                         "sigmoid", [0.5, -3, "int8"]]],
                       [9]])"),
            expected);
}

TEST(MetadataReader, ScaleIsRoundedToSingleAndDefaultsApply) {
  const auto m = parsed(R"({"outputs":[{"quantization":{"scale":0.5}},{"quantization":{"scale":3}},
                                      {"quantization":{"scale":1e-50}}, {"quantization":null}, {}]})");
  ASSERT_EQ(m.outputs.size(), 5u);
  EXPECT_EQ(m.outputs[0].quantization->zero_point, 0);
  EXPECT_FALSE(m.outputs[0].quantization->dtype);
  EXPECT_EQ(m.outputs[1].quantization->scale, 3.0f);
  EXPECT_EQ(m.outputs[2].quantization->scale, 0.0f);
  EXPECT_FALSE(m.outputs[3].quantization);
  EXPECT_FALSE(m.outputs[4].decode);
  EXPECT_FALSE(m.outputs[4].normalized);
  EXPECT_TRUE(m.outputs[4].shape.empty() && m.outputs[4].dshape.empty());
}

TEST(MetadataReader, PositionalFormFollowsDeclarationOrder) {
  const auto m = parsed(R"([null, ["1x2", 3], ["segment"], null, null, "v8", null,
                           [[7, "out", null, null, true, null, [1, 2], [["a", 1]], null, null, null, [0.25]]]])");
  ASSERT_TRUE(m.input);
  EXPECT_EQ(m.input->size, "1x2");
  EXPECT_EQ(m.input->input_channels, 3u);
  EXPECT_EQ(m.task(), "segment");
  EXPECT_EQ(m.decoder_version, "v8");
  ASSERT_EQ(m.outputs.size(), 1u);
  EXPECT_EQ(m.outputs[0].index, 7u);
  EXPECT_EQ(m.outputs[0].name, "out");
  EXPECT_TRUE(m.outputs[0].decode);
  EXPECT_EQ(m.outputs[0].shape, (std::vector<std::int64_t>{1, 2}));
  EXPECT_EQ(m.outputs[0].quantization->scale, 0.25f);
  EXPECT_EQ(m.outputs[0].quantization->zero_point, 0);
}

TEST(MetadataReader, StringsKeepEscapesAndWhiteSpace) {
  const auto m = parsed(R"({"nms":"  A\"b\\c\n\u0000\u00e9 ", "decoder_version": "\ud83d\ude00"})");
  EXPECT_EQ(m.nms, std::string("  A\"b\\c\n\0\xC3\xA9 ", 12));
  EXPECT_EQ(m.decoder_version, "\xF0\x9F\x98\x80");
}

TEST(InputDimensions, ParsesOnlyTwoUnsignedPieces) {
  using Dims = std::optional<std::pair<std::uint32_t, std::uint32_t>>;
  const std::pair<std::optional<std::string>, Dims> cases[] = {
      {"640x480", Dims({640, 480})},
      {"+640x480", Dims({640, 480})},
      {"0x4294967295", Dims({0, 4294967295u})},
      {"640X480", std::nullopt},
      {"640 x 480", std::nullopt},
      {"x480", std::nullopt},
      {"640x", std::nullopt},
      {"640", std::nullopt},
      {"640x480x3", std::nullopt},
      {"4294967296x1", std::nullopt},
      {"-1x1", std::nullopt},
      {"++1x1", std::nullopt},
      {std::nullopt, std::nullopt},
  };
  for (const auto& [size, expected] : cases) {
    tallowind::ara2::InputSpec spec;
    spec.size = size;
    EXPECT_EQ(spec.dimensions(), expected) << size.value_or("<unset>");
  }
}

TEST(MetadataRepr, QuotesEscapesAndFloatForms) {
  tallowind::ara2::OutputSpec out;
  out.name = "a\"b\\c\n\x1b";
  EXPECT_EQ(tallowind::ara2::repr(out), "OutputSpec(name=Some(\"a\\\"b\\\\c\\n\\u{1b}\"), type=None, shape=[])");

  tallowind::ara2::PpaMetrics ppa;
  EXPECT_EQ(tallowind::ara2::repr(ppa), "PpaMetrics(ips=None, power_mw=None)");
  const std::pair<double, std::string> floats[] = {
      {512.0, "512.0"}, {0.0001, "0.0001"}, {0.00001, "1e-5"}, {1e16, "1e16"},
      {9999999999999998.0, "9999999999999998.0"}, {0.1, "0.1"}, {-2.5e-7, "-2.5e-7"},
  };
  for (const auto& [value, text] : floats) {
    ppa.ips = value;
    EXPECT_EQ(tallowind::ara2::repr(ppa), "PpaMetrics(ips=Some(" + text + "), power_mw=None)") << value;
  }

  tallowind::ara2::Ara2Info info;
  EXPECT_EQ(tallowind::ara2::repr(info), "Ara2Info(qmode=None)");
  info.qmode = 9;
  EXPECT_EQ(tallowind::ara2::repr(info), "Ara2Info(qmode=9)");

  tallowind::ara2::InputSpec input;
  input.size = "640x480";
  input.input_channels = 3;
  EXPECT_EQ(tallowind::ara2::repr(input), "InputSpec(size=Some(\"640x480\"), channels=Some(3))");
  tallowind::ara2::DatasetInfo dataset;
  dataset.classes = {"a", "b", "c"};
  EXPECT_EQ(tallowind::ara2::repr(dataset), "DatasetInfo(classes=3, name=None)");
  tallowind::ara2::ModelInfo model;
  model.model_size = "s";
  EXPECT_EQ(tallowind::ara2::repr(model), "ModelInfo(task=None, size=Some(\"s\"))");
  tallowind::ara2::DeploymentInfo deployment;
  deployment.author = "\xC3\xA9";
  EXPECT_EQ(tallowind::ara2::repr(deployment), "DeploymentInfo(name=None, author=Some(\"\xC3\xA9\"))");
  tallowind::ara2::CompilationInfo compilation;
  compilation.target = "ara-2";
  EXPECT_EQ(tallowind::ara2::repr(compilation), "CompilationInfo(target=Some(\"ara-2\"), format=None)");
}

namespace {

std::string ips_document(std::string_view literal) {
  return "{\"compilation\":{\"ppa\":{\"ips\":" + std::string(literal) + "}}}";
}

std::optional<double> ips_of(std::string_view literal) {
  auto result = parse_metadata(ips_document(literal));
  if (!result || !result->compilation || !result->compilation->ppa) return std::nullopt;
  return result->compilation->ppa->ips;
}

}  // namespace

TEST(MetadataNumbers, ZeroWithAnyExponentIsZeroOfItsSign) {
  for (const std::string literal : {"0e-244", "0.0e-300", "0e400", "-0e99999999999999999999", "1e-400"}) {
    const auto ips = ips_of(literal);
    ASSERT_TRUE(ips) << literal << ": " << error_of(ips_document(literal));
    EXPECT_EQ(*ips, 0.0) << literal;
    EXPECT_EQ(std::signbit(*ips), literal.front() == '-') << literal;
  }
}

TEST(MetadataNumbers, IntegerFieldsSeeTheNumbersKind) {
  const ErrorCase cases[] = {
      {R"({"compilation":{"ppa":{"cycles":18446744073709551616}}})",
       "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 52"},
      {R"({"input":{"input_channels":-0}})", "invalid type: floating point `-0.0`, expected u32 at line 1 column 29"},
      {R"({"outputs":[{"shape":[1e400]}]})", "number out of range at line 1 column 23"},
      {R"({"outputs":[{"dshape":[["a",1e400]]}]})", "number out of range at line 1 column 29"},
      {R"({"outputs":[{"dshape":[["a",[2,1e400]]]}]})", "number out of range at line 1 column 32"},
      {R"({"nms":1e400})", "number out of range at line 1 column 8"},
      // An incomplete number too long for the parser's own range check.
      {R"({"x":1)" + std::string(400, '0') + "e}", "invalid number at line 1 column 408"},
      {R"({"x":1e})", "invalid number at line 1 column 8"},
  };
  for (const auto& [json, message] : cases) EXPECT_EQ(error_of(json), "JSON error: " + message) << json;
}

TEST(MetadataNumbers, ScaleIsRoundedOnceToSingle) {
  // Just above the midpoint between 1 and the next float: rounding through
  // the double lands on the midpoint and then on 1.
  const auto m = parsed(R"({"outputs":[{"quantization":{"scale":1.00000005960464477550}},
                                      {"quantization":{"scale":16777217}},
                                      {"quantization":{"scale":-1e39}}, {"quantization":{"scale":1e-46}}]})");
  ASSERT_EQ(m.outputs.size(), 4u);
  EXPECT_EQ(m.outputs[0].quantization->scale, 1.00000012f);
  EXPECT_EQ(m.outputs[1].quantization->scale, 16777216.0f);
  EXPECT_EQ(m.outputs[2].quantization->scale, -std::numeric_limits<float>::infinity());
  EXPECT_EQ(m.outputs[3].quantization->scale, 0.0f);
}
