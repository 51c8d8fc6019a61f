// The inputs of the fuzz targets: fake trees stay inside their root, frame
// rewriting touches exactly the path and the object ids, and every seed in
// fuzz/corpus is a valid input of today's formats (so fuzzing starts deep).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ara2/discovery.hpp"
#include "ara2/dvm_archive.hpp"
#include "ara2/metadata.hpp"
#include "ara2/proxy_config.hpp"
#include "fake_tree.hpp"
#include "frames.hpp"
#include "model_file.hpp"
#include "temp_tree.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Entry {
  std::uint8_t kind;
  std::string path, content;
};

Bytes tree_input(std::initializer_list<Entry> entries) {
  Bytes out;
  for (const auto& e : entries) {
    out.push_back(e.kind);
    out.push_back(static_cast<std::uint8_t>(e.path.size()));
    out.insert(out.end(), e.path.begin(), e.path.end());
    out.push_back(static_cast<std::uint8_t>(e.content.size()));
    out.push_back(static_cast<std::uint8_t>(e.content.size() >> 8));
    out.insert(out.end(), e.content.begin(), e.content.end());
  }
  return out;
}

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void build(const TempTree& tree, const Bytes& input) { fuzz::build_fake_tree(tree.root(), input.data(), input.size()); }

/// The seed files of one target, in name order.
std::vector<std::string> seeds(const char* target) {
  std::vector<std::string> out;
  for (const auto& entry : fs::directory_iterator(fs::path(FUZZ_CORPUS) / target)) out.push_back(entry.path());
  std::sort(out.begin(), out.end());
  EXPECT_FALSE(out.empty()) << target;
  return out;
}

Bytes bytes_of(const std::string& path) {
  const std::string text = contents(path);
  return {text.begin(), text.end()};
}

/// The seed of `target` whose name starts with `name`.
std::string seed_named(const char* target, std::string_view name) {
  for (const auto& seed : seeds(target)) {
    if (fs::path(seed).filename().string().starts_with(name)) return seed;
  }
  ADD_FAILURE() << "no seed " << name << " for " << target;
  return {};
}

}  // namespace

TEST(FakeTree, BuildsFilesLinksAndDirectoriesBelowTheRoot) {
  TempTree tree;
  build(tree, tree_input({{0, "1/comm", "kinara_main\n"},
                          {1, "1/fd/0", "socket:[5]"},
                          {1, "1/cwd", "@/etc"},
                          {2, "2", ""},
                          {0, "/etc//proxy.yaml", "proxy: {}\n"},
                          {3, "3/comm", "kind 3 is a file"}}));
  EXPECT_EQ(contents(tree.path("1/comm")), "kinara_main\n");
  EXPECT_EQ(fs::read_symlink(tree.path("1/fd/0")), "socket:[5]");
  EXPECT_EQ(fs::read_symlink(tree.path("1/cwd")), tree.path("etc"));
  EXPECT_TRUE(fs::is_directory(tree.path("2")));
  EXPECT_EQ(contents(tree.path("etc/proxy.yaml")), "proxy: {}\n");
  EXPECT_EQ(contents(tree.path("3/comm")), "kind 3 is a file");
}

TEST(FakeTree, NeverWritesOutsideTheRoot) {
  TempTree outside;
  const std::string victim = outside.write("victim", "untouched");
  const struct Case {
    const char* what;
    Bytes input;
  } cases[] = {
      {"parent component", tree_input({{0, "../escaped", "x"}, {2, "a/../../escaped", ""}})},
      {"through a link to a directory", tree_input({{1, "out", outside.root()}, {0, "out/escaped", "x"},
                                                    {2, "out/escaped", ""}, {1, "out/escaped", "x"}})},
      {"onto a link to a file", tree_input({{1, "f", victim}, {0, "f", "overwritten"}})},
      {"over the depth limit", tree_input({{0, "a/b/c/d/e/f/g/h/i", "x"}})},
  };
  for (const auto& c : cases) {
    TempTree tree;
    build(tree, c.input);
    EXPECT_EQ(contents(victim), "untouched") << c.what;
    EXPECT_EQ(std::distance(fs::directory_iterator(outside.root()), fs::directory_iterator()), 1) << c.what;
    EXPECT_FALSE(fs::exists(tree.path("a/b/c/d/e/f/g/h/i"))) << c.what;
  }
}

TEST(FakeTree, TruncatedInputStillDecodes) {
  TempTree tree;
  Bytes input = tree_input({{0, "ok", "fine"}});
  // A path claiming 200 bytes where three remain takes those three.
  input.insert(input.end(), {0, 200, 'a', 'b', 'c'});
  build(tree, input);
  EXPECT_EQ(contents(tree.path("ok")), "fine");
  EXPECT_TRUE(fs::is_regular_file(tree.path("abc")));
}

TEST(DaemonFrames, ModelLoadIsPointedAtTheGivenFile) {
  fuzz::wire::Writer frame;
  frame.put<std::uint32_t>(1).put_text("/dev/watchdog").put_text("model").put<std::uint32_t>(7);
  fuzz::wire::Writer expected;
  expected.put<std::uint32_t>(1).put_text("/proc/self/fd/3").put_text("model").put<std::uint32_t>(7);
  EXPECT_EQ(fuzz::with_model_path(frame.bytes(), "/proc/self/fd/3"), expected.bytes());

  // No complete path: nothing is sent at all.
  const Bytes truncated(frame.bytes().begin(), frame.bytes().begin() + 10);
  EXPECT_TRUE(fuzz::with_model_path(truncated, "/proc/self/fd/3").empty());
}

TEST(DaemonFrames, IdsAreMovedWhereRequestsNameThem) {
  using Op = fuzz::wire::Op;
  constexpr std::uint64_t kOffset = 1000;
  const auto frame = [](std::uint64_t id) {
    fuzz::wire::Writer w;
    w.put(id).put<std::uint32_t>(250);
    return w.bytes();
  };
  for (const Op op : {Op::ModelUnload, Op::Wait, Op::RequestId, Op::RequestFree, Op::Unregister}) {
    EXPECT_EQ(fuzz::with_ids_moved(op, frame(5), kOffset), frame(5 + kOffset)) << static_cast<int>(op);
  }
  for (const Op op : {Op::Hello, Op::Register, Op::Versions, Op::ModelLoad}) {
    EXPECT_EQ(fuzz::with_ids_moved(op, frame(5), kOffset), frame(5)) << static_cast<int>(op);
  }
  // Shorter than an id: left as it is.
  EXPECT_EQ(fuzz::with_ids_moved(Op::Wait, Bytes{1, 2, 3}, kOffset), (Bytes{1, 2, 3}));
}

TEST(DaemonFrames, InferMovesTheModelAndEveryRegistration) {
  using Kind = fuzz::wire::TensorKind;
  const auto infer = [](std::uint64_t model, std::uint64_t in_reg, std::uint64_t out_reg) {
    fuzz::wire::Writer w;
    w.put<std::uint8_t>(1).put<std::uint32_t>(0).put(model).put<std::uint32_t>(100);
    w.put<std::uint32_t>(2).put<std::uint32_t>(2);
    const std::uint8_t data[] = {0, 0, 0, 0, 0, 0, 0, 9};  // inline bytes that look like an id
    w.put(Kind::Inline).put<std::uint64_t>(8).put_bytes(data);
    w.put(Kind::Registration).put<std::uint64_t>(8).put(in_reg);
    w.put(Kind::Inline).put<std::uint64_t>(16);
    w.put(Kind::Registration).put<std::uint64_t>(4).put(out_reg);
    return w.bytes();
  };
  EXPECT_EQ(fuzz::with_ids_moved(fuzz::wire::Op::Infer, infer(2, 3, 4), 10), infer(12, 13, 14));

  // An unknown tensor kind ends the walk; nothing after it is touched.
  Bytes odd = infer(2, 3, 4);
  odd[25] = 7;
  Bytes expected = odd;
  expected[5] = 12;
  EXPECT_EQ(fuzz::with_ids_moved(fuzz::wire::Op::Infer, odd, 10), expected);

  // Cut inside a registration id: every prefix is handled without reading past it.
  const Bytes full = infer(2, 3, 4);
  for (std::size_t size = 0; size < full.size(); ++size) {
    const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_EQ(fuzz::with_ids_moved(fuzz::wire::Op::Infer, prefix, 0), prefix);
  }
}

TEST(Seeds, MetadataDocumentsParse) {
  for (const auto& seed : seeds("fuzz_metadata")) {
    const auto parsed = tallowind::ara2::parse_metadata(contents(seed));
    EXPECT_TRUE(parsed) << seed << ": " << (parsed ? "" : parsed.error().message());
  }
}

TEST(Seeds, ProxyConfigurationsDeclareEndpoints) {
  for (const auto& seed : seeds("fuzz_proxy_config")) {
    const auto parsed = tallowind::ara2::parse_proxy_config(seed, contents(seed));
    ASSERT_TRUE(parsed) << parsed.error().message();
    EXPECT_FALSE(parsed->endpoints.empty()) << seed;
  }
}

TEST(Seeds, ArchivesReadWithoutErrorUnlessDamaged) {
  for (const auto& seed : seeds("fuzz_dvm_archive")) {
    const auto has = tallowind::ara2::dvm_has_metadata(seed);
    const auto labels = tallowind::ara2::dvm_read_labels(seed);
    const auto text = tallowind::ara2::dvm_read_metadata_text(seed);
    if (fs::path(seed).filename().string().starts_with("damaged_")) {
      // The damaged seeds start the fuzzer inside the checks of a found archive.
      for (const auto* error : {has ? nullptr : &has.error(), labels ? nullptr : &labels.error(),
                                text ? nullptr : &text.error()}) {
        ASSERT_NE(error, nullptr) << seed;
        EXPECT_EQ(error->kind(), tallowind::ara2::ErrorKind::Zip) << seed;
      }
      continue;
    }
    ASSERT_TRUE(has && labels && text) << seed;
    EXPECT_EQ(*has, text->has_value()) << seed;
  }
}

TEST(Seeds, ModelFilesParse) {
  for (const auto& seed : seeds("fuzz_model_file")) {
    const auto parsed = emu::parse_model(bytes_of(seed));
    EXPECT_TRUE(parsed) << seed << ": " << (parsed ? "" : parsed.error());
  }
}

TEST(Seeds, ProcessTreesShowProxiesWithEndpoints) {
  for (const auto& seed : seeds("fuzz_discovery")) {
    TempTree tree;
    const Bytes input = bytes_of(seed);
    fuzz::build_fake_tree(tree.root(), input.data(), input.size());
    const auto found = tallowind::ara2::discover(tree.root());
    ASSERT_TRUE(found) << seed;
    EXPECT_FALSE(found->empty()) << seed;
    for (const auto& proxy : *found) EXPECT_FALSE(proxy.endpoints.empty()) << seed << ": pid " << proxy.pid;
  }
}

TEST(Seeds, DaemonFramesAreServedAlikeOnEveryRun) {
  namespace st = fuzz::wire::status;
  static const fuzz::MemFile model("model.dvm");
  emu::proxy::Engine engine(fuzz::daemon_config());
  for (const auto& seed : seeds("fuzz_daemon_frames")) {
    const Bytes input = bytes_of(seed);
    const auto first = fuzz::serve_frames(engine, model, input.data(), input.size());
    EXPECT_EQ(fuzz::serve_frames(engine, model, input.data(), input.size()), first) << seed;
    for (const auto status : first) {
      EXPECT_TRUE(status != st::invalid_handle && status != st::malformed_message && status != st::unsupported &&
                  status != st::not_a_model)
          << seed << ": status " << status;
    }
  }
}

TEST(EmulatedModel, ChecksumIsMadeToMatchTheBody) {
  const Bytes model = bytes_of(seed_named("fuzz_model_file", "classifier"));
  Bytes damaged = model;
  damaged[16] ^= 0xff;
  ASSERT_FALSE(emu::parse_model(damaged));
  EXPECT_EQ(fuzz::with_checksum(damaged), model);

  // A body larger than the file, or no whole header: left as it is.
  const Bytes truncated(model.begin(), model.end() - 1);
  EXPECT_EQ(fuzz::with_checksum(truncated), truncated);
  const Bytes header_only(model.begin(), model.begin() + 12);
  EXPECT_EQ(fuzz::with_checksum(header_only), header_only);
}

TEST(EmulatedModel, RunSizeCountsTensorsScratchAndOps) {
  // Input 2x2x2, outputs of 2 and 4 bytes, scratch buffers of 2, 8 and 8 bytes, five ops.
  const auto model = emu::parse_model(bytes_of(seed_named("fuzz_model_file", "every_op")));
  ASSERT_TRUE(model);
  const auto size = fuzz::run_size(*model);
  EXPECT_EQ(size.bytes, 8u + 2 + 4 + 18);
  EXPECT_EQ(size.ops, 5u);
  EXPECT_TRUE(fuzz::quick_to_run(*model));

  // An input counts at its size field when that is larger (the daemon pads to it).
  auto changed = *model;
  changed.inputs[0].size = 100;
  EXPECT_EQ(fuzz::run_size(changed).bytes, 100u + 2 + 4 + 18);
  changed.inputs[0].size = -1;
  changed.outputs[1].size = -5;
  EXPECT_EQ(fuzz::run_size(changed).bytes, 8u + 2 + 18);
  changed.outputs[1].size = static_cast<std::int32_t>(fuzz::kMaxRunWork / 6);
  EXPECT_FALSE(fuzz::quick_to_run(changed));
}

TEST(FuzzInput, CursorYieldsWhatIsLeftPastTheEnd) {
  const std::uint8_t data[] = {1, 2, 0, 0, 'a', 'b', 'c'};
  fuzz::Cursor in(data, sizeof data);
  EXPECT_EQ(in.get<std::uint16_t>(), 0x0201);
  EXPECT_EQ(in.get<std::uint16_t>(), 0);
  EXPECT_EQ(in.text(10), "abc");
  EXPECT_TRUE(in.at_end());
  EXPECT_EQ(in.get<std::uint32_t>(), 0u);
  EXPECT_TRUE(in.bytes(4).empty());

  fuzz::Cursor short_number(data, 3);
  EXPECT_EQ(short_number.get<std::uint32_t>(), 0u);
  EXPECT_TRUE(short_number.at_end());
}

TEST(FuzzInput, MemFileHoldsExactlyTheLastBytesAssigned) {
  const fuzz::MemFile file("test");
  const std::uint8_t longer[] = {'l', 'o', 'n', 'g', 'e', 'r'}, shorter[] = {'s', 'h'};
  file.assign(longer);
  EXPECT_EQ(contents(file.path()), "longer");
  file.assign(shorter);
  EXPECT_EQ(contents(file.path()), "sh");
  file.assign({});
  EXPECT_EQ(contents(file.path()), "");
}
