// DMA-BUF tensors against the heaps that dma_heap_interposer serves; ctest
// runs this binary with the interposer preloaded.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../cpp/open_fds.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tensor/tensor.hpp"

namespace tt = tallowind::tensor;
using tt::Tensor;
using tt::TensorMemory;

namespace {

// Mappings of interposer buffers still present in this process.
int buffer_mapping_count() {
  std::ifstream maps("/proc/self/maps");
  int count = 0;
  for (std::string line; std::getline(maps, line);)
    if (line.find("memfd:tallowind-test-dmabuf") != std::string::npos) ++count;
  return count;
}

ino_t inode_of(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

void set_or_unset(const char* name, const char* value) {
  if (value != nullptr) setenv(name, value, 1);
  else unsetenv(name);
}

struct SyncCall {
  unsigned long long inode;
  int fd;
  unsigned long long flags;
};

struct AllocCall {
  std::string heap;
  unsigned long long inode, len, heap_flags;
  unsigned fd_flags;
};

class DmaHeapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(dlsym(RTLD_DEFAULT, "tallowind_dma_interposer_present"), nullptr)
        << "run with LD_PRELOAD naming the dma_heap_interposer library";
    log_path_ = ::testing::TempDir() + "tallowind-dma-log-" + std::to_string(getpid());
    std::remove(log_path_.c_str());
    setenv("TALLOWIND_TEST_DMA_LOG", log_path_.c_str(), 1);
    for (const char* name : {"TALLOWIND_TEST_DMA_HEAP_CMA", "TALLOWIND_TEST_DMA_HEAP_SYSTEM",
                             "TALLOWIND_TEST_DMA_SYNC_FAIL", tt::kForceMemEnv})
      unsetenv(name);
  }
  void TearDown() override {
    unsetenv("TALLOWIND_TEST_DMA_LOG");
    std::remove(log_path_.c_str());
  }

  void heaps(const char* cma, const char* system) {
    set_or_unset("TALLOWIND_TEST_DMA_HEAP_CMA", cma);
    set_or_unset("TALLOWIND_TEST_DMA_HEAP_SYSTEM", system);
  }
  void clear_log() { std::remove(log_path_.c_str()); }

  std::vector<std::string> log_lines(const std::string& prefix) const {
    std::vector<std::string> lines;
    std::ifstream in(log_path_);
    for (std::string line; std::getline(in, line);)
      if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    return lines;
  }
  std::vector<std::string> opened_heaps() const {
    std::vector<std::string> heaps;
    for (const auto& line : log_lines("open ")) {
      char heap[32] = {};
      int flags = 0;
      if (std::sscanf(line.c_str(), "open %31s flags=%d", heap, &flags) == 2) {
        EXPECT_EQ(flags, O_RDONLY | O_CLOEXEC) << line;
        heaps.emplace_back(heap);
      }
    }
    return heaps;
  }
  std::vector<AllocCall> allocs() const {
    std::vector<AllocCall> calls;
    for (const auto& line : log_lines("alloc ")) {
      char heap[32] = {};
      AllocCall call{};
      if (std::sscanf(line.c_str(), "alloc %31s ino=%llu len=%llu fd_flags=%u heap_flags=%llu", heap, &call.inode,
                      &call.len, &call.fd_flags, &call.heap_flags) == 5) {
        call.heap = heap;
        calls.push_back(call);
      }
    }
    return calls;
  }
  std::vector<SyncCall> syncs() const {
    std::vector<SyncCall> calls;
    for (const auto& line : log_lines("sync ")) {
      SyncCall call{};
      if (std::sscanf(line.c_str(), "sync ino=%llu fd=%d flags=%llu", &call.inode, &call.fd, &call.flags) == 3)
        calls.push_back(call);
    }
    return calls;
  }

  std::string log_path_;
};

struct HeapCase {
  const char* name;
  const char* cma;
  const char* system;
  std::vector<std::string> opened;
  const char* served_by;  // nullptr: creation fails with `error`
  int error;
};

class DmaHeapSelection : public DmaHeapTest, public ::testing::WithParamInterface<HeapCase> {};

TEST_P(DmaHeapSelection, CmaFirstThenSystemAndTheRightError) {
  const HeapCase& c = GetParam();
  heaps(c.cma, c.system);
  const int before = open_fd_count();
  {
    auto tensor = Tensor::create({3, 10, 10}, TensorMemory::DmaBuf);
    EXPECT_EQ(opened_heaps(), c.opened);
    if (c.served_by == nullptr) {
      ASSERT_FALSE(tensor);
      EXPECT_EQ(tensor.error().kind(), tt::ErrorKind::IoError);
      EXPECT_EQ(tensor.error().os_code(), c.error) << tensor.error().display();
      EXPECT_TRUE(allocs().empty());
    } else {
      ASSERT_TRUE(tensor) << tensor.error().display();
      EXPECT_EQ(tensor->memory(), TensorMemory::DmaBuf);
      const auto calls = allocs();
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(calls[0].heap, c.served_by);
      EXPECT_EQ(calls[0].len, 300u);
      EXPECT_EQ(calls[0].fd_flags, unsigned(O_RDWR | O_CLOEXEC));
      EXPECT_EQ(calls[0].heap_flags, 0u);
      auto clone = tensor->clone_fd();
      ASSERT_TRUE(clone);
      EXPECT_EQ(inode_of(clone->get()), calls[0].inode);
    }
  }
  EXPECT_EQ(open_fd_count(), before);
}

const std::vector<std::string> kCmaOnly{"cma"};
const std::vector<std::string> kBoth{"cma", "system"};

INSTANTIATE_TEST_SUITE_P(
    Heaps, DmaHeapSelection,
    ::testing::Values(HeapCase{"BothWork", "ok", "ok", kCmaOnly, "cma", 0},
                      HeapCase{"CmaMissing", "missing", "ok", kBoth, "system", 0},
                      HeapCase{"CmaDenied", "denied", "ok", kBoth, "system", 0},
                      HeapCase{"CmaAllocFails", "fail:12", "ok", kBoth, "system", 0},
                      HeapCase{"SystemMissing", "ok", "missing", kCmaOnly, "cma", 0},
                      HeapCase{"BothMissing", "missing", "missing", kBoth, nullptr, ENOENT},
                      HeapCase{"CmaDeniedSystemMissing", "denied", "missing", kBoth, nullptr, ENOENT},
                      HeapCase{"CmaMissingSystemDenied", "missing", "denied", kBoth, nullptr, EACCES},
                      HeapCase{"CmaAllocFailsSystemMissing", "fail:12", "missing", kBoth, nullptr, ENOMEM},
                      HeapCase{"BothAllocsFail", "fail:12", "fail:28", kBoth, nullptr, ENOMEM},
                      HeapCase{"CmaMissingSystemAllocFails", "missing", "fail:28", kBoth, nullptr, ENOSPC},
                      HeapCase{"CmaDeniedSystemAllocFails", "denied", "fail:28", kBoth, nullptr, ENOSPC}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DmaHeapTest, CapacityIsTheLargerOfSizeAndReportedSize) {
  struct Case {
    const char* mode;
    std::uint64_t size, capacity;
  };
  const Case cases[] = {{"ok", 100, 4096}, {"ok", 4096, 4096}, {"ok", 5000, 8192}, {"unsized", 100, 100}};
  for (const auto& c : cases) {
    heaps(c.mode, "missing");
    auto tensor = Tensor::create({c.size}, TensorMemory::DmaBuf);
    ASSERT_TRUE(tensor) << tensor.error().display();
    EXPECT_EQ(tensor->size_bytes(), c.size);
    EXPECT_EQ(tensor->capacity(), c.capacity) << c.mode << " " << c.size;
  }
}

TEST_F(DmaHeapTest, EveryMapIsBracketedByStartAndEndSync) {
  const int before = open_fd_count();
  {
    auto tensor = Tensor::create({2, 64, 64}, TensorMemory::DmaBuf);
    ASSERT_TRUE(tensor);
    const auto inode = allocs().at(0).inode;
    int sequential_fd;
    {
      auto map = tensor->map();
      ASSERT_TRUE(map) << map.error().display();
      EXPECT_EQ(map->size(), 8192u);
      ASSERT_EQ(syncs().size(), 1u);
      sequential_fd = syncs()[0].fd;
    }
    EXPECT_EQ(fcntl(sequential_fd, F_GETFD), -1) << "sync descriptor left open";
    EXPECT_EQ(buffer_mapping_count(), 1);  // kept for the tensor's next map
    {
      auto outer = tensor->map();
      auto inner = tensor->map();
      ASSERT_TRUE(outer && inner);
      EXPECT_EQ(outer->data(), inner->data());
      EXPECT_EQ(buffer_mapping_count(), 1);
      inner->release();
    }
    const auto calls = syncs();
    ASSERT_EQ(calls.size(), 6u);
    const unsigned long long expected_flags[] = {3, 7, 3, 3, 7, 7};
    for (std::size_t i = 0; i < calls.size(); ++i) {
      EXPECT_EQ(calls[i].flags, expected_flags[i]) << i;
      EXPECT_EQ(calls[i].inode, inode) << i;
      EXPECT_GE(calls[i].fd, 3) << i;
    }
    EXPECT_EQ(calls[0].fd, calls[1].fd);
    EXPECT_NE(calls[2].fd, calls[3].fd);  // each live map has its own descriptor
    EXPECT_EQ(calls[3].fd, calls[4].fd);  // the inner map ended first
    EXPECT_EQ(calls[2].fd, calls[5].fd);
  }
  EXPECT_EQ(open_fd_count(), before);
  EXPECT_EQ(buffer_mapping_count(), 0);
}

TEST_F(DmaHeapTest, BytesAreSharedWithTheClonedDescriptor) {
  auto tensor = Tensor::create({3, 100, 100}, TensorMemory::DmaBuf);
  ASSERT_TRUE(tensor);
  {
    auto map = tensor->map();
    ASSERT_TRUE(map);
    for (std::size_t i = 0; i < map->size(); ++i) map->data()[i] = std::uint8_t(i % 251);
  }
  auto clone = tensor->clone_fd();
  ASSERT_TRUE(clone);
  EXPECT_GE(clone->get(), 3);
  EXPECT_EQ(fcntl(clone->get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  void* other = mmap(nullptr, 30000, PROT_READ | PROT_WRITE, MAP_SHARED, clone->get(), 0);
  ASSERT_NE(other, MAP_FAILED);
  auto* bytes = static_cast<std::uint8_t*>(other);
  for (std::size_t i = 0; i < 30000; ++i) ASSERT_EQ(bytes[i], std::uint8_t(i % 251)) << i;
  bytes[29999] = 0xee;
  munmap(other, 30000);
  auto map = tensor->map();
  ASSERT_TRUE(map);
  EXPECT_EQ(map->data()[29999], 0xee);
}

TEST_F(DmaHeapTest, MapOutlivingItsTensorStillEndsItsAccess) {
  const int before = open_fd_count();
  {
    auto tensor = Tensor::create({4096}, TensorMemory::DmaBuf);
    ASSERT_TRUE(tensor);
    auto map = tensor->map();
    ASSERT_TRUE(map);
    tensor = Tensor::create({1}, TensorMemory::Mem);
    std::memset(map->data(), 0x42, map->size());
    EXPECT_EQ(syncs().size(), 1u);
  }
  const auto calls = syncs();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].flags, 7u);
  EXPECT_EQ(calls[1].fd, calls[0].fd);
  EXPECT_EQ(open_fd_count(), before);
  EXPECT_EQ(buffer_mapping_count(), 0);
}

TEST_F(DmaHeapTest, FailedStartSyncLeavesNothingBehind) {
  const int before = open_fd_count();
  {
    auto tensor = Tensor::create({4096}, TensorMemory::DmaBuf);
    ASSERT_TRUE(tensor);
    const int with_tensor = open_fd_count();
    setenv("TALLOWIND_TEST_DMA_SYNC_FAIL", "start:5", 1);
    auto map = tensor->map();
    ASSERT_FALSE(map);
    EXPECT_EQ(map.error().display(),
              R"(IoError(Os { code: 5, kind: Uncategorized, message: "Input/output error" }))");
    EXPECT_EQ(open_fd_count(), with_tensor);
    ASSERT_EQ(syncs().size(), 1u);  // no END for an access that never started
  }
  EXPECT_EQ(open_fd_count(), before);
  EXPECT_EQ(buffer_mapping_count(), 0);
}

TEST_F(DmaHeapTest, FailedEndSyncStillClosesAndUnmaps) {
  const int before = open_fd_count();
  {
    auto tensor = Tensor::create({4096}, TensorMemory::DmaBuf);
    ASSERT_TRUE(tensor);
    const int with_tensor = open_fd_count();
    setenv("TALLOWIND_TEST_DMA_SYNC_FAIL", "end:5", 1);
    auto map = tensor->map();
    ASSERT_TRUE(map);
    map->release();
    EXPECT_EQ(open_fd_count(), with_tensor);
  }
  EXPECT_EQ(open_fd_count(), before);
  EXPECT_EQ(buffer_mapping_count(), 0);
  const auto calls = syncs();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].flags, 7u);
}

TEST_F(DmaHeapTest, EmptyTensorIsRefusedByTheHeapButAutomaticFallsBack) {
  auto dma = Tensor::create({0}, TensorMemory::DmaBuf);
  ASSERT_FALSE(dma);
  EXPECT_EQ(dma.error().os_code(), EINVAL);
  auto automatic = Tensor::create({0}, std::nullopt);
  ASSERT_TRUE(automatic);
  EXPECT_EQ(automatic->memory(), TensorMemory::Mem);
  auto map = automatic->map();
  ASSERT_TRUE(map);
  EXPECT_NE(map->data(), nullptr);
}

TEST_F(DmaHeapTest, AutomaticSelection) {
  struct Case {
    const char* force;
    const char* cma;
    const char* system;
    TensorMemory expected;
    bool heaps_tried;
  };
  const Case cases[] = {
      {nullptr, "ok", "ok", TensorMemory::DmaBuf, true},
      {"0", "ok", "ok", TensorMemory::DmaBuf, true},
      {"false", "ok", "ok", TensorMemory::DmaBuf, true},
      {"FALSE", "ok", "ok", TensorMemory::DmaBuf, true},
      {"", "ok", "ok", TensorMemory::Mem, false},
      {"1", "ok", "ok", TensorMemory::Mem, false},
      {"yes", "ok", "ok", TensorMemory::Mem, false},
      {"\xff", "ok", "ok", TensorMemory::DmaBuf, true},
      {nullptr, "missing", "ok", TensorMemory::DmaBuf, true},
      {nullptr, "missing", "missing", TensorMemory::Mem, true},
      {nullptr, "fail:12", "fail:12", TensorMemory::Mem, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.force ? c.force : "(unset)") + " " + c.cma + " " + c.system);
    heaps(c.cma, c.system);
    set_or_unset(tt::kForceMemEnv, c.force);
    clear_log();
    const int before = open_fd_count();
    {
      auto tensor = Tensor::create({8, 8}, std::nullopt);
      ASSERT_TRUE(tensor) << tensor.error().display();
      EXPECT_EQ(tensor->memory(), c.expected);
      EXPECT_EQ(opened_heaps().empty(), !c.heaps_tried);
    }
    EXPECT_EQ(open_fd_count(), before);
  }
}

}  // namespace
