#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "ara2/dvm_archive.hpp"

using tallowind::ara2::DvmArchive;

namespace {

struct TestEntry {
  TestEntry(std::string n, std::string d, bool deflated = false)
      : name(std::move(n)), data(std::move(d)), deflate(deflated) {}
  TestEntry with_size(std::uint64_t size) const {
    TestEntry e = *this;
    e.declared_size = size;
    return e;
  }
  TestEntry with_crc(std::uint32_t value) const {
    TestEntry e = *this;
    e.crc = value;
    return e;
  }
  TestEntry with_flags(std::uint16_t value) const {
    TestEntry e = *this;
    e.flags = value;
    return e;
  }
  TestEntry with_method(std::uint16_t value) const {
    TestEntry e = *this;
    e.method_override = value;
    return e;
  }

  std::string name;
  std::string data;
  bool deflate = false;
  std::optional<std::uint64_t> declared_size;  // a lying uncompressed size
  std::optional<std::uint32_t> crc;            // a lying checksum
  std::uint16_t flags = 0;
  std::uint16_t method_override = 0xFFFF;
};

void put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

std::string raw_deflate(const std::string& data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Layouts name only the fields a test changes; the others keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

struct Layout {
  std::uint16_t disk = 0;
  std::uint16_t cd_disk = 0;
  std::optional<std::uint32_t> cd_offset;  // overrides the true offset
  std::optional<std::uint16_t> entries_here;  // overrides this disk's entry count
};

/// A ZIP archive written byte by byte, so that tests can make every field lie.
std::string build_zip(const std::vector<TestEntry>& entries, const Layout& layout = {}) {
  std::string out;
  std::string central;
  for (const auto& e : entries) {
    const std::string payload = e.deflate ? raw_deflate(e.data) : e.data;
    const std::uint16_t method = e.method_override != 0xFFFF ? e.method_override : (e.deflate ? 8 : 0);
    const std::uint32_t crc = e.crc.value_or(
        static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), e.data.size())));
    const auto size = static_cast<std::uint32_t>(e.declared_size.value_or(e.data.size()));
    const auto offset = static_cast<std::uint32_t>(out.size());
    put32(out, 0x04034b50);
    put16(out, 20);
    put16(out, e.flags);
    put16(out, method);
    put16(out, 0);
    put16(out, 0);
    put32(out, crc);
    put32(out, static_cast<std::uint32_t>(payload.size()));
    put32(out, size);
    put16(out, static_cast<std::uint32_t>(e.name.size()));
    put16(out, 0);
    out += e.name;
    out += payload;

    put32(central, 0x02014b50);
    put16(central, 20);
    put16(central, 20);
    put16(central, e.flags);
    put16(central, method);
    put16(central, 0);
    put16(central, 0);
    put32(central, crc);
    put32(central, static_cast<std::uint32_t>(payload.size()));
    put32(central, size);
    put16(central, static_cast<std::uint32_t>(e.name.size()));
    put16(central, 0);
    put16(central, 0);
    put16(central, 0);
    put16(central, 0);
    put32(central, 0);
    put32(central, offset);
    central += e.name;
  }
  const auto cd_offset = static_cast<std::uint32_t>(out.size());
  out += central;
  const auto count = static_cast<std::uint16_t>(entries.size());
  put32(out, 0x06054b50);
  put16(out, layout.disk);
  put16(out, layout.cd_disk);
  put16(out, layout.entries_here.value_or(count));
  put16(out, count);
  put32(out, static_cast<std::uint32_t>(central.size()));
  put32(out, layout.cd_offset.value_or(cd_offset));
  put16(out, 0);
  return out;
}

std::string model_prefix(std::size_t n, unsigned seed = 7) {
  std::mt19937 random(seed);
  std::string prefix(n, '\0');
  for (auto& c : prefix) c = static_cast<char>(random() & 0xFF);
  // Random bytes must not contain an end record of their own.
  for (std::size_t i = 0; i + 1 < prefix.size(); ++i) {
    if (prefix[i] == 'P' && prefix[i + 1] == 'K') prefix[i] = 'Q';
  }
  return prefix;
}

class TempFile {
 public:
  explicit TempFile(const std::string& contents) {
    char name[] = "/tmp/dvm_archive_testXXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    close(fd);
    path_ = name;
    std::ofstream(path_, std::ios::binary) << contents;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

/// The archive of a file holding `bytes` (an anonymous one).
tallowind::ara2::Result<std::optional<DvmArchive>> open_archive(std::string_view bytes) {
  tallowind::ara2::UniqueFd fd(memfd_create("archive", MFD_CLOEXEC));
  EXPECT_TRUE(fd);
  EXPECT_EQ(write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  return DvmArchive::open(tallowind::ara2::RegularFile{std::move(fd), bytes.size()});
}

std::string open_error(std::string_view bytes) {
  auto archive = open_archive(bytes);
  return archive ? std::string("<ok>") : archive.error().message();
}

}  // namespace

TEST(DvmArchive, FindsArchiveAfterModelBytes) {
  for (const bool deflate : {false, true}) {
    const std::string bytes =
        model_prefix(5000) + build_zip({{"labels.txt", "cat\ndog\n", deflate}, {"tallowind.json", "{}", deflate}});
    auto archive = open_archive(bytes);
    ASSERT_TRUE(archive && *archive) << deflate;
    EXPECT_EQ((*archive)->entry_count(), 2u);
    EXPECT_TRUE((*archive)->contains("tallowind.json"));
    auto text = (*archive)->read_text("labels.txt");
    ASSERT_TRUE(text && *text);
    EXPECT_EQ(**text, "cat\ndog\n");
  }
}

TEST(DvmArchive, NameLookupIsExactAndCaseSensitive) {
  const std::string bytes =
      build_zip({{"Tallowind.json", "{}"}, {"meta/tallowind.json", "{}"}, {"tallowind.json.bak", "{}"}});
  auto archive = open_archive(model_prefix(64) + bytes);
  ASSERT_TRUE(archive && *archive);
  EXPECT_FALSE((*archive)->contains("tallowind.json"));
  auto text = (*archive)->read_text("tallowind.json");
  ASSERT_TRUE(text);
  EXPECT_FALSE(*text);
}

TEST(DvmArchive, BytesWithoutValidArchiveMeanNoArchive) {
  // An end record signature among model bytes, its comment not reaching the
  // end of the file: bytes that look like a record, not an archive.
  std::string stray = model_prefix(300) + "PK\x05\x06" + model_prefix(40, 3);
  const std::string cases[] = {"", model_prefix(1000), stray};
  for (const auto& bytes : cases) {
    auto archive = open_archive(model_prefix(32) + bytes);
    ASSERT_TRUE(archive) << archive.error().message();
    EXPECT_FALSE(*archive);
  }
}

TEST(DvmArchive, DamagedDirectoryIsAZipErrorNamingTheDamage) {
  const std::vector<TestEntry> two{{"labels.txt", "a"}, {"tallowind.json", "{}"}};
  std::string bad_signature = build_zip(two);
  bad_signature[bad_signature.rfind("PK\x01\x02") + 3] = 'X';
  std::string overrun = build_zip(two);
  overrun[overrun.rfind("PK\x01\x02") + 28] = 100;  // the last entry's name runs past the directory
  const std::pair<std::string, std::string> cases[] = {
      // The entries' data take 87 bytes, the directory 116, the end record follows.
      {build_zip(two, {.cd_offset = 100000}),
       "the central directory (116 bytes at offset 100000) does not fit before the end record at offset 203"},
      {build_zip(two, {.cd_offset = 88}),
       "the central directory (116 bytes at offset 88) does not fit before the end record at offset 203"},
      {bad_signature, "no central directory entry at offset 143 (entry 2 of 2)"},
      {overrun, "central directory entry 2 of 2 runs past the end of the directory"},
      {build_zip(two, {.entries_here = 1}), "the end record counts 1 entries on this disk but 2 in all"},
  };
  for (const auto& [bytes, damage] : cases) {
    EXPECT_EQ(open_error(bytes), "ZIP error: damaged archive: " + damage);
  }
}

TEST(DvmArchive, FoundButUnusableArchivesAreZipErrors) {
  const std::string whole = build_zip({{"labels.txt", "a"}});
  const std::string truncated_end_record = model_prefix(100) + whole.substr(0, whole.size() - 10);
  EXPECT_EQ(open_error(truncated_end_record),
            "ZIP error: unexpected end of file in the end of central directory record");
  EXPECT_EQ(open_error(model_prefix(100) + build_zip({{"labels.txt", "a"}}, {.disk = 1, .cd_disk = 1, .cd_offset = std::nullopt})),
            "ZIP error: unsupported archive: multi-disk archives are not supported");
}

struct EntryFailure {
  const char* what;
  TestEntry entry;
  std::string message;
};

TEST(DvmArchive, UnreadableEntriesFailWithTheirReason) {
  const std::string big(4096, 'z');
  const EntryFailure cases[] = {
      {"bad checksum", TestEntry("labels.txt", "hello").with_crc(0x12345678u), "invalid checksum"},
      {"size smaller than the data", TestEntry("labels.txt", big, true).with_size(10), "invalid checksum"},
      {"size larger than the data", TestEntry("labels.txt", "hello").with_size(50),
       "entry data ended before its declared size"},
      {"invalid UTF-8", TestEntry("labels.txt", "ok\xff\xfe"), "stream did not contain valid UTF-8"},
      {"encrypted", TestEntry("labels.txt", "x").with_flags(1),
       "ZIP error: unsupported archive: encrypted entries are not supported"},
      {"unknown method", TestEntry("labels.txt", "x").with_method(12),
       "ZIP error: unsupported archive: compression method 12 is not supported"},
  };
  for (const auto& c : cases) {
    const std::string bytes = model_prefix(200) + build_zip({c.entry});
    auto archive = open_archive(bytes);
    ASSERT_TRUE(archive && *archive) << c.what;
    auto text = (*archive)->read_text("labels.txt");
    ASSERT_FALSE(text) << c.what;
    EXPECT_EQ(text.error().message(), c.message) << c.what;
  }
}

TEST(DvmArchive, CorruptDeflateStreamFails) {
  std::string bytes = build_zip({{"labels.txt", std::string(2000, 'a') + "tail", true}});
  // Overwrite the start of the compressed data with an invalid block type.
  bytes[30 + 10] = static_cast<char>(0xFF);
  auto archive = open_archive(bytes);
  ASSERT_TRUE(archive && *archive);
  auto text = (*archive)->read_text("labels.txt");
  ASSERT_FALSE(text);
  EXPECT_EQ(text.error().message(), "corrupt deflate stream");
}

TEST(DvmArchive, InflationIsBoundedByTheLimit) {
  // 8 MiB of zeros deflate to a few KiB: refused before anything is inflated.
  const std::string bomb(8u << 20, '\0');
  const std::string bytes = build_zip({{"labels.txt", bomb, true}});
  ASSERT_LT(bytes.size(), 64u << 10);
  auto archive = open_archive(bytes);
  ASSERT_TRUE(archive && *archive);
  auto refused = (*archive)->read_text("labels.txt", 1u << 20);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "ZIP error: entry labels.txt declares 8388608 bytes, more than the 1048576 this reader accepts");
  auto accepted = (*archive)->read_text("labels.txt", 8u << 20);
  ASSERT_TRUE(accepted && *accepted);
  EXPECT_EQ((*accepted)->size(), bomb.size());
}

TEST(DvmArchive, LocalHeaderPastTheEndIsAZipError) {
  std::string bytes = build_zip({{"labels.txt", "abc"}});
  // Point the directory entry's local-header offset far past the data.
  const std::size_t cd = bytes.find("PK\x01\x02");
  bytes[cd + 42] = 0x00;
  bytes[cd + 43] = 0x00;
  bytes[cd + 44] = 0x10;
  bytes[cd + 45] = 0x00;
  auto archive = open_archive(bytes);
  ASSERT_TRUE(archive && *archive);
  auto text = (*archive)->read_text("labels.txt");
  ASSERT_FALSE(text);
  EXPECT_EQ(text.error().kind(), tallowind::ara2::ErrorKind::Zip);
}

TEST(Labels, SplitTrimAndDropEmptyLines) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"person\r\n\r\n  car \nbus", {"person", "car", "bus"}},
      {"traffic light\n \t \nstop sign\n", {"traffic light", "stop sign"}},
      {"\xEF\xBB\xBF" "first\nsecond", {"\xEF\xBB\xBF" "first", "second"}},
      {"\xE3\x80\x80wide\xE3\x80\x80\n\xC2\x85next\xE2\x80\xA8", {"wide", "next"}},
      {"dup\ndup\n", {"dup", "dup"}},
      {"", {}},
      {"\n\n", {}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(tallowind::ara2::split_labels(text), expected) << text;
}

TEST(OpenModelFile, ReportsTheOperatingSystemError) {
  auto missing = tallowind::ara2::open_model_file("/nonexistent/dir/model.dvm");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");

  auto directory = tallowind::ara2::open_model_file("/tmp");
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().message(), "Is a directory (os error 21)");

  using namespace std::string_view_literals;
  auto nul = tallowind::ara2::open_model_file("/tmp/a\0b"sv);
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().message(), "file name contained an unexpected NUL byte");
}

TEST(OpenModelFile, RefusesWhatIsNotARegularFileWithoutBlocking) {
  char dir[] = "/tmp/dvm_fifo_testXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/model.dvm";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A writer that never writes: reading would wait for it forever.
  const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  for (const std::string& path : {fifo, std::string("/dev/zero")}) {
    auto opened = tallowind::ara2::open_model_file(path);
    ASSERT_FALSE(opened) << path;
    EXPECT_EQ(opened.error().message(), "not a regular file") << path;
    EXPECT_EQ(opened.error().kind(), tallowind::ara2::ErrorKind::Io);
  }
  close(writer);
  std::remove(fifo.c_str());
  rmdir(dir);
}

TEST(DvmFunctions, SplitBetweenNoArchiveAndErrors) {
  TempFile plain(model_prefix(2048));
  EXPECT_EQ(tallowind::ara2::dvm_has_metadata(plain.path()).value(), false);
  EXPECT_TRUE(tallowind::ara2::dvm_read_labels(plain.path()).value().empty());
  EXPECT_FALSE(tallowind::ara2::dvm_read_metadata_text(plain.path()).value());

  TempFile multi_disk(model_prefix(100) + build_zip({{"tallowind.json", "{}"}}, {.disk = 2, .cd_disk = 2, .cd_offset = std::nullopt}));
  EXPECT_EQ(tallowind::ara2::dvm_has_metadata(multi_disk.path()).error().kind(), tallowind::ara2::ErrorKind::Zip);
  EXPECT_EQ(tallowind::ara2::dvm_read_labels(multi_disk.path()).error().kind(), tallowind::ara2::ErrorKind::Zip);
  EXPECT_EQ(tallowind::ara2::dvm_read_metadata_text(multi_disk.path()).error().kind(), tallowind::ara2::ErrorKind::Zip);

  TempFile good(model_prefix(100) + build_zip({{"tallowind.json", "{}", true}, {"labels.txt", "a\nb", true}}));
  EXPECT_TRUE(tallowind::ara2::dvm_has_metadata(good.path()).value());
  EXPECT_EQ(tallowind::ara2::dvm_read_labels(good.path()).value(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(tallowind::ara2::dvm_read_metadata_text(good.path()).value(), std::optional<std::string>("{}"));

  EXPECT_EQ(tallowind::ara2::dvm_has_metadata("/nonexistent.dvm").error().kind(), tallowind::ara2::ErrorKind::Io);
}

TEST(DvmArchive, ReadsAcrossManyWindows) {
  // A 1 MiB stored entry and a directory of thousands of entries: both span
  // many of the reader's windows.
  std::string data = model_prefix(1 << 20, 11);
  for (auto& c : data) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
  std::vector<TestEntry> entries{{"labels.txt", data}};
  for (int i = 0; i < 3000; ++i) entries.emplace_back("weights/part" + std::to_string(i) + ".bin", "x");
  entries.emplace_back("tallowind.json", "{}");
  auto archive = open_archive(model_prefix(300000) + build_zip(entries));
  ASSERT_TRUE(archive && *archive);
  EXPECT_EQ((*archive)->entry_count(), entries.size());
  EXPECT_TRUE((*archive)->contains("tallowind.json"));
  auto text = (*archive)->read_text("labels.txt", 2u << 20);
  ASSERT_TRUE(text && *text) << (text ? "absent" : text.error().message());
  EXPECT_TRUE(**text == data);
}

TEST(DvmArchive, DirectoryBeyondTheCapIsAZipError) {
  // Entries of 46 + 256 bytes: some 56,000 of them pass 16 MiB.
  const std::size_t count = tallowind::ara2::kMaxDirectoryBytes / (46 + 256) + 2;
  std::vector<TestEntry> entries;
  entries.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string name = std::to_string(i);
    entries.emplace_back(name + std::string(256 - name.size(), 'n'), "");
  }
  EXPECT_EQ(open_error(build_zip(entries)),
            "ZIP error: unsupported archive: the central directory is larger than the 16777216 bytes this reader "
            "accepts");
}
