#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "ara2/file_io.hpp"
#include "temp_tree.hpp"

using tallowind::ara2::open_for_reading;
using tallowind::ara2::read_up_to;

namespace {

std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 23);
  return text;
}

struct BoundCase {
  const char* name;
  std::size_t file_size;
  std::uint64_t limit;
  std::uint64_t hint;  // a stale hint stands for a file that changed after fstat
  bool too_large;
};

TEST(FileIo, ReadUpToStopsOneBytePastTheLimitWhateverTheHint) {
  const BoundCase cases[] = {
      {"empty", 0, 10, 0, false},
      {"empty with limit 0", 0, 0, 0, false},
      {"one byte, limit 0", 1, 0, 0, true},
      {"exactly the limit", 4096, 4096, 4096, false},
      {"one past the limit", 4097, 4096, 4097, true},
      {"exactly the limit, no hint", 4096, 4096, 0, false},
      {"far past the limit, no hint", 300000, 1000, 0, true},
      {"hint smaller than the file", 200000, 1 << 20, 10, false},
      {"hint larger than the file", 100, 1 << 20, 5000, false},
      {"hint past the limit, file within", 100, 200, 1 << 20, false},
      {"grows through several chunks", 1 << 19, 1 << 20, 0, false},
      // A buffer that fills exactly at the limit must still find out whether more follows.
      {"past a limit equal to the first chunk", 100000, 1 << 16, 0, true},
      {"past the limit, hint one below it", 5000, 4096, 4095, true},
      {"exactly a limit equal to the first chunk", 1 << 16, 1 << 16, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree tree;
    const std::string content = pattern(c.file_size);
    const auto fd = open_for_reading(tree.write("f", content));
    ASSERT_TRUE(fd);
    const auto got = read_up_to(fd.get(), c.limit, c.hint);
    ASSERT_TRUE(got.has_value());
    const std::string expected = c.too_large ? content.substr(0, c.limit + 1) : content;
    // Sizes first, so a failure does not print megabytes of text.
    ASSERT_EQ(got->size(), expected.size());
    EXPECT_TRUE(*got == expected);
  }
}

TEST(FileIo, ReadUpToReadsAPipeToItsEnd) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  tallowind::ara2::UniqueFd reader(ends[0]);
  const std::string content = pattern(200000);
  std::thread writer([&] {
    tallowind::ara2::UniqueFd out(ends[1]);
    std::size_t done = 0;
    while (done < content.size()) {
      const ssize_t n = ::write(out.get(), content.data() + done, content.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
  });
  const auto got = read_up_to(reader.get(), 1 << 20);
  writer.join();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, content);
}

TEST(FileIo, ReadUpToReportsTheErrno) {
  TempTree tree;
  const auto dir = open_for_reading(tree.mkdir("d"));
  ASSERT_TRUE(dir);
  const auto got = read_up_to(dir.get(), 100);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), EISDIR);
}

TEST(FileIo, OpenForReadingFailsWithErrnoAndDoesNotWaitForAFifoWriter) {
  TempTree tree;
  errno = 0;
  EXPECT_FALSE(open_for_reading(tree.path("missing")));
  EXPECT_EQ(errno, ENOENT);

  const std::string fifo = tree.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto fd = open_for_reading(fifo);
  ASSERT_TRUE(fd);
  const auto got = read_up_to(fd.get(), 100);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, "");
}

}  // namespace
