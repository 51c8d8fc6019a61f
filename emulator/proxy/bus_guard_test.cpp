// Pages of a shared mapping that go away under the daemon.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "bus_guard.hpp"

namespace emu::proxy {
namespace {

struct SharedFile {
  int fd = -1;
  std::uint8_t* map = nullptr;
  std::size_t size;
  explicit SharedFile(std::size_t bytes) : size(bytes) {
    fd = ::memfd_create("bus_guard_test", MFD_CLOEXEC);
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    map = static_cast<std::uint8_t*>(::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  }
  ~SharedFile() {
    ::munmap(map, size);
    ::close(fd);
  }
  MappedRange range() const { return {map, size}; }
};

TEST(BusGuard, WorkOnIntactMappingsRunsAsUsual) {
  SharedFile file(8192);
  MappedRange ranges[] = {file.range()};
  EXPECT_TRUE(run_guarded(ranges, [&] { std::memset(file.map, 1, file.size); }));
  EXPECT_EQ(file.map[8191], 1);
}

TEST(BusGuard, PagesOfAShrunkFileReadAsZerosAndTheWorkIsTold) {
  SharedFile file(3 * 4096);
  std::memset(file.map, 9, file.size);
  ASSERT_EQ(::ftruncate(file.fd, 4096), 0);
  MappedRange ranges[] = {file.range()};
  int sum = 0;
  EXPECT_FALSE(run_guarded(ranges, [&] {
    for (std::size_t i = 0; i < file.size; i += 1024) sum += file.map[i];
    file.map[file.size - 1] = 3;  // writes go to the replacement page
  }));
  EXPECT_EQ(sum, 4 * 9);  // the page still in the file, then zeros
  // The next run starts afresh.
  EXPECT_TRUE(run_guarded(ranges, [&] { sum = file.map[0]; }));
}

TEST(BusGuardDeathTest, SigbusOutsideTheGuardedRangesStillKills) {
  SharedFile guarded(4096), other(8192);
  ASSERT_EQ(::ftruncate(other.fd, 0), 0);
  MappedRange ranges[] = {guarded.range()};
  EXPECT_EXIT(run_guarded(ranges, [&] { other.map[100] = 1; }), testing::KilledBySignal(SIGBUS), "");
}

}  // namespace
}  // namespace emu::proxy
