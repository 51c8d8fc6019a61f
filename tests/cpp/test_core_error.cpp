#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "ara2/core_error.hpp"
#include "ara2/text.hpp"

using tallowind::ara2::CoreError;
using tallowind::ara2::ErrorClass;

TEST(StatusClassification, BoundariesPickTheirClass) {
  const std::pair<std::uint32_t, ErrorClass> cases[] = {
      {1, ErrorClass::Ara2Error},         {99, ErrorClass::Ara2Error},       {100, ErrorClass::HardwareError},
      {199, ErrorClass::HardwareError},   {200, ErrorClass::ProxyError},     {239, ErrorClass::ProxyError},
      {240, ErrorClass::ModelError},      {299, ErrorClass::ModelError},     {300, ErrorClass::LibraryError},
      {399, ErrorClass::LibraryError},    {400, ErrorClass::ProxyError},     {499, ErrorClass::ProxyError},
      {500, ErrorClass::HardwareError},   {4294967295u, ErrorClass::HardwareError},
  };
  for (auto [code, cls] : cases) {
    const auto error = CoreError::status(code);
    EXPECT_EQ(error.error_class(), cls) << code;
    EXPECT_EQ(error.message(), "Ara2 error: " + std::to_string(code));
  }
}

TEST(CoreErrorMessages, TemplatesFillTheirPayloads) {
  EXPECT_EQ(CoreError::no_reachable_endpoint(std::nullopt).message(),
            "no endpoint this client can reach was declared");
  EXPECT_EQ(CoreError::no_reachable_endpoint(1234).message(),
            "the proxy at pid 1234 exposes no endpoint this client can reach");
  EXPECT_EQ(CoreError::null_pointer("Socket path contains null byte").message(),
            "Null pointer error: Socket path contains null byte");
  EXPECT_EQ(CoreError::unsupported_quantization(-1).message(),
            "unsupported quantization mode: qmode=-1 (only qmode 9 is supported)");
  EXPECT_EQ(CoreError::library_load_failed({"a.so", "b.so"}, "dlopen failed").message(),
            "could not load the ARA-2 client library; tried a.so, b.so (last error: dlopen failed)");
  EXPECT_EQ(CoreError::unsupported_generation("libaraclient.so", tallowind::ara2::Version4{1, 2, 0, 0}).message(),
            "libaraclient.so implements DVAPI 1.2.0.0, which this build of ara2 has no struct layout for; "
            "set ARA2_ABI to 1.1 or 1.3 to force one");
  EXPECT_EQ(CoreError::io(tallowind::ara2::OsError::from_errno(2)).message(), "No such file or directory (os error 2)");
  EXPECT_EQ(CoreError::io(tallowind::ara2::OsError::from_errno(2)).error_class(), ErrorClass::ProxyError);
  EXPECT_EQ(CoreError::zip("x").error_class(), ErrorClass::MetadataError);
}

TEST(Text, LossyDecodingReplacesEachMaximalInvalidSubsequence) {
  EXPECT_EQ(tallowind::ara2::utf8_lossy("a\xff" "b"), "a\xEF\xBF\xBD" "b");
  // A truncated three-byte sequence is one replacement, not two.
  EXPECT_EQ(tallowind::ara2::utf8_lossy("\xE2\x82" "x"), "\xEF\xBF\xBD" "x");
  EXPECT_EQ(tallowind::ara2::utf8_lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_TRUE(tallowind::ara2::is_valid_utf8("h\xC3\xA9"));
  EXPECT_FALSE(tallowind::ara2::is_valid_utf8("\xC3"));
}

TEST(Text, TrimRemovesUnicodeWhiteSpaceButKeepsByteOrderMark) {
  EXPECT_EQ(tallowind::ara2::trim_unicode_whitespace(" \t1.3\r\n"), "1.3");
  EXPECT_EQ(tallowind::ara2::trim_unicode_whitespace("\xE3\x80\x80" "car" "\xC2\xA0"), "car");
  EXPECT_EQ(tallowind::ara2::trim_unicode_whitespace("\xEF\xBB\xBF" "x "), "\xEF\xBB\xBF" "x");
  EXPECT_EQ(tallowind::ara2::trim_unicode_whitespace("   "), "");
}

TEST(Text, QuotedFormEscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(tallowind::ara2::quote_escaped("2.0"), "\"2.0\"");
  EXPECT_EQ(tallowind::ara2::quote_escaped(""), "\"\"");
  EXPECT_EQ(tallowind::ara2::quote_escaped("a\"b\\c\n\t\x1b"), "\"a\\\"b\\\\c\\n\\t\\u{1b}\"");
}

TEST(CoreErrorClasses, UsageErrorsOfThePythonLayerMapToTheirClasses) {
  const std::tuple<CoreError, ErrorClass, std::string> cases[] = {
      {CoreError::closed("tensor set"), ErrorClass::Ara2Error, "tensor set is closed"},
      {CoreError::not_allocated(), ErrorClass::TensorError, "tensors not allocated: call allocate_tensors() first"},
      {CoreError::inputs_in_use(), ErrorClass::TensorError,
       "input tensors are in use by a pending request: call wait() on it before writing new inputs"},
      {CoreError::input_size_mismatch(3, 4), ErrorClass::TensorError,
       "input data size 3 bytes does not match tensor size 4 bytes"},
      {CoreError::tensor_access("mmap failed"), ErrorClass::TensorError, "mmap failed"},
      {CoreError::index_out_of_range("output index 2 out of range (model has 1 outputs)"), ErrorClass::IndexError,
       "output index 2 out of range (model has 1 outputs)"},
      {CoreError::request_consumed(), ErrorClass::Ara2Error, "inference request already consumed"},
      {CoreError::unknown_memory_kind("gpu"), ErrorClass::Ara2Error,
       "unknown memory type 'gpu': expected 'dma', 'shm', 'mem', or None"},
      {CoreError::invalid_ip_address(), ErrorClass::Ara2Error, "Invalid IP address: invalid IPv4 address syntax"},
      {CoreError::results_go_to_callback(), ErrorClass::Ara2Error, "this pipeline hands its results to its callback"},
      {CoreError::no_frames(), ErrorClass::Ara2Error, "no frames in the pipeline"},
  };
  for (const auto& [error, cls, message] : cases) {
    EXPECT_EQ(error.error_class(), cls) << message;
    EXPECT_EQ(error.message(), message);
  }
}

TEST(CoreErrorClasses, TheMetadataScopeRaisesEveryKindAsMetadataError) {
  for (const CoreError& error : {CoreError::io(tallowind::ara2::OsError::from_errno(2)), CoreError::status(250),
                                 CoreError::internal("broken"), CoreError::zip("bad")}) {
    EXPECT_EQ(error.error_class(tallowind::ara2::ErrorScope::Metadata), ErrorClass::MetadataError) << error.message();
  }
  EXPECT_EQ(CoreError::status(250).error_class(), ErrorClass::ModelError);
}
