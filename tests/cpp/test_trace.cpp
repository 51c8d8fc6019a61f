#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ara2/trace.hpp"
#include "temp_tree.hpp"

namespace trace = tallowind::ara2::trace;
using tallowind::ara2::ModelTiming;

namespace {

struct Span {
  std::string name;
  double ts = 0, dur = 0;
  long tid = 0;
};

/// The complete events of a written trace, in file order.
std::vector<Span> spans_of(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  const std::string all = text.str();
  static const std::regex event(R"re("name":"([a-z ]+)","cat":"[a-z]+","ph":"X","ts":([0-9.]+),"dur":([0-9.]+),"pid":[0-9]+,"tid":([0-9]+))re");
  std::vector<Span> found;
  for (auto it = std::sregex_iterator(all.begin(), all.end(), event); it != std::sregex_iterator(); ++it) {
    found.push_back({(*it)[1], std::stod((*it)[2]), std::stod((*it)[3]), std::stol((*it)[4])});
  }
  return found;
}

/// Records what `body` draws and returns its spans.
template <class Body>
std::vector<Span> record(const TempTree& tree, Body body) {
  int error = 0;
  const std::string path = tree.path("trace.json");
  EXPECT_EQ(trace::start(path, error), trace::Refusal::None);
  body();
  auto written = trace::stop();
  EXPECT_TRUE(written && written->error == 0);
  return spans_of(path);
}

constexpr std::uint64_t kMs = 1'000'000;

ModelTiming timing(std::uint64_t input_us, std::uint64_t run_us, std::uint64_t output_us) {
  return ModelTiming{.run_time_us = run_us, .input_time_us = input_us, .output_time_us = output_us};
}

}  // namespace

TEST(Trace, DeviceSpansOfOneEndpointRunBackToBackFromTheSubmission) {
  TempTree tree;
  std::uint64_t origin = 0;
  const auto spans = record(tree, [&] {
    origin = trace::now_ns();
    // Two requests submitted together, each 1 ms on the device: the second starts when the first ends.
    trace::device(3, origin, origin + 10 * kMs, timing(600, 300, 100));
    trace::device(3, origin, origin + 10 * kMs, timing(600, 300, 100));
    // Another endpoint is free: its request starts at its own submission.
    trace::device(4, origin + kMs / 2, origin + 10 * kMs, timing(500, 0, 0));
  });
  ASSERT_EQ(spans.size(), 9u);
  const double start = spans[0].ts;
  const std::vector<std::pair<double, double>> expected = {
      {0, 600}, {600, 300}, {900, 100}, {1000, 600}, {1600, 300}, {1900, 100}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(spans[i].tid, 3);
    EXPECT_NEAR(spans[i].ts - start, expected[i].first, 0.01) << i;
    EXPECT_DOUBLE_EQ(spans[i].dur, expected[i].second) << i;
  }
  EXPECT_EQ(spans[0].name, "device input");
  EXPECT_EQ(spans[1].name, "device run");
  EXPECT_EQ(spans[2].name, "device output");
  EXPECT_EQ(spans[6].tid, 4);
  EXPECT_NEAR(spans[6].ts - start, 500, 0.01);
}

TEST(Trace, DeviceSpansEndNoLaterThanTheCompletionTheHostSaw) {
  TempTree tree;
  const auto spans = record(tree, [] {
    const std::uint64_t origin = trace::now_ns();
    trace::device(0, origin, origin + 5 * kMs, timing(4000, 0, 0));
    // Submitted with the first, it waits for it (4 ms) and ends at 6 ms, when the host saw it complete.
    trace::device(0, origin, origin + 6 * kMs, timing(0, 2000, 0));
  });
  ASSERT_EQ(spans.size(), 6u);
  const double start = spans[0].ts;
  EXPECT_NEAR(spans[4].ts - start, 4000, 0.01);
  EXPECT_NEAR(spans[4].ts + spans[4].dur - start, 6000, 0.01);
}

TEST(Trace, ALateRequestIsPulledBackToItsCompletionNotBeforeItsSubmission) {
  TempTree tree;
  const auto spans = record(tree, [] {
    const std::uint64_t origin = trace::now_ns();
    trace::device(1, origin, origin + 3 * kMs, timing(0, 3000, 0));
    // The host saw this one complete at 4 ms: after the first (3 ms) it would end at 5 ms.
    trace::device(1, origin + kMs, origin + 4 * kMs, timing(0, 2000, 0));
  });
  ASSERT_EQ(spans.size(), 6u);
  const double start = spans[0].ts;
  EXPECT_NEAR(spans[4].ts - start, 2000, 0.01);  // ends at its completion, overlapping the first
}

TEST(Trace, SpansOnlyWhileRecordingAndOneRecordingAtATime) {
  TempTree tree;
  EXPECT_FALSE(trace::on());
  EXPECT_FALSE(trace::stop().has_value());
  { const trace::Scope ignored(trace::Phase::Run); }  // nothing is recorded
  int error = 0;
  EXPECT_EQ(trace::start(tree.path("missing/t.json"), error), trace::Refusal::CannotWrite);
  EXPECT_EQ(error, ENOENT);
  const auto spans = record(tree, [&] {
    EXPECT_EQ(trace::start(tree.path("second.json"), error), trace::Refusal::AlreadyOn);
    EXPECT_EQ(trace::current_path(), tree.path("trace.json"));
    { const trace::Scope scope(trace::Phase::Dequantize, 2, trace::tensor(1)); }
  });
  ASSERT_EQ(spans.size(), 1u);
  EXPECT_EQ(spans[0].name, "dequantize");
  EXPECT_EQ(trace::current_path(), "");
}
