#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "open_fds.hpp"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tensor/dma.hpp"
#include "tensor/shm.hpp"
#include "tensor/tensor.hpp"

namespace tt = tallowind::tensor;
using tt::ErrorKind;
using tt::Tensor;
using tt::TensorMemory;

namespace {

// Restores an environment variable when the test ends.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

bool dev_shm_has_inode(dev_t device, ino_t inode) {
  DIR* dir = opendir("/dev/shm");
  if (dir == nullptr) return false;
  bool found = false;
  while (dirent* entry = readdir(dir)) {
    struct stat st {};
    const std::string path = std::string("/dev/shm/") + entry->d_name;
    if (entry->d_name[0] != '.' && stat(path.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode)
      found = true;
  }
  closedir(dir);
  return found;
}

}  // namespace

TEST(TensorErrorDisplay, EveryKindRendersItsText) {
  const std::pair<tt::Error, std::string> cases[] = {
      {tt::Error::io(ENOENT), R"(IoError(Os { code: 2, kind: NotFound, message: "No such file or directory" }))"},
      {tt::Error::io(EEXIST), R"(IoError(Os { code: 17, kind: AlreadyExists, message: "File exists" }))"},
      {tt::Error::io(EACCES), R"(IoError(Os { code: 13, kind: PermissionDenied, message: "Permission denied" }))"},
      {tt::Error::io(EPERM),
       R"(IoError(Os { code: 1, kind: PermissionDenied, message: "Operation not permitted" }))"},
      {tt::Error::io(ENOMEM), R"(IoError(Os { code: 12, kind: OutOfMemory, message: "Cannot allocate memory" }))"},
      {tt::Error::io(EINVAL), R"(IoError(Os { code: 22, kind: InvalidInput, message: "Invalid argument" }))"},
      {tt::Error::io(EAGAIN),
       R"(IoError(Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }))"},
      {tt::Error::io(ENOSYS), R"(IoError(Os { code: 38, kind: Unsupported, message: "Function not implemented" }))"},
      {tt::Error::io(EMFILE), R"(IoError(Os { code: 24, kind: Uncategorized, message: "Too many open files" }))"},
      {tt::Error::io(ENOTTY),
       R"(IoError(Os { code: 25, kind: Uncategorized, message: "Inappropriate ioctl for device" }))"},
      {tt::Error::io(9999), R"(IoError(Os { code: 9999, kind: Uncategorized, message: "Unknown error 9999" }))"},
      {tt::Error::nix(ENOENT), "NixError(ENOENT)"},
      {tt::Error::nix(EBADF), "NixError(EBADF)"},
      {tt::Error::not_implemented("MemTensor does not support clone_fd"),
       R"(NotImplemented("MemTensor does not support clone_fd"))"},
      {tt::Error::not_implemented(R"(say "hi" \ bye)"), R"(NotImplemented("say \"hi\" \\ bye"))"},
      {tt::Error::unknown_buffer_type(0x858458f6),
       "UnknownBufferType: fd is on an unrecognized filesystem (magic 0x858458f6); expected a DMA-BUF or tmpfs/shm fd"},
      {tt::Error::insufficient_capacity(150528, 4096), "insufficient tensor capacity: need 150528 bytes, have 4096"},
      {tt::Error::region_out_of_bounds("(10, 20, 30, 40)", 640, 480),
       "region (10, 20, 30, 40) out of bounds for 640x480 frame"},
      {tt::Error::batch_index_out_of_bounds(4, 2), "batch index 4 out of bounds for batch size 2"},
      {tt::Error::quantization_invalid("scale", "NaN"), R"(QuantizationInvalid { field: "scale", got: "NaN" })"},
      {tt::Error::plain(ErrorKind::InvalidSize), "InvalidSize"},
      {tt::Error::plain(ErrorKind::InvalidShape), "InvalidShape"},
      {tt::Error::plain(ErrorKind::InvalidMemoryType), "InvalidMemoryType"},
      {tt::Error::plain(ErrorKind::PboMapped), "PboMapped"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.display(), text);
}

// The module keeps its own table of errno names so that it loads on C
// libraries without strerrorname_np; where the build's has it, both agree on
// every code, unnamed and negative ones included.
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 32)
TEST(TensorErrnoName, AgreesWithTheCLibrary) {
  for (int code = -2; code <= 300; ++code) {
    const char* expected = code > 0 ? strerrorname_np(code) : nullptr;
    EXPECT_EQ(tt::errno_name(code), expected != nullptr ? expected : "UnknownErrno") << code;
  }
}
#endif

TEST(TensorForceMem, TruthTable) {
  const std::pair<const char*, bool> cases[] = {
      {nullptr, false},          {"", true},           {"1", true},       {"yes", true},
      {"TRUE", true},            {"00", true},         {" false", true},  {"falsey", true},
      {"\xc3\xa9", true},        {"0", false},         {"false", false},  {"False", false},
      {"FALSE", false},          {"fAlSe", false},     {"\xff", false},   {"ab\xc3", false},
      {"\xc0\x80", false},       {"\xed\xa0\x80", false}, {"\xf4\x90\x80\x80", false},
      {"\xf0\x9f\x98\x80", true},
  };
  for (const auto& [value, forced] : cases)
    EXPECT_EQ(tt::force_mem_requested(value), forced) << (value ? value : "(unset)");
}

TEST(TensorForceMem, ForcedEnvironmentGivesHeapOnAutomaticCreation) {
  for (const char* value : {"", "1", "TRUE"}) {
    ScopedEnv env(tt::kForceMemEnv, value);
    auto tensor = Tensor::create({4, 4}, std::nullopt);
    ASSERT_TRUE(tensor) << tensor.error().display();
    EXPECT_EQ(tensor->memory(), TensorMemory::Mem) << value;
  }
}

class TensorKinds : public ::testing::TestWithParam<TensorMemory> {};

TEST_P(TensorKinds, CreateReportsShapeSizeAndZeroedBytes) {
  const std::array<std::uint64_t, 3> shape{3, 5, 7};
  auto tensor = Tensor::create(shape, GetParam());
  ASSERT_TRUE(tensor) << tensor.error().display();
  EXPECT_EQ(tensor->memory(), GetParam());
  EXPECT_EQ(std::vector<std::uint64_t>(tensor->shape().begin(), tensor->shape().end()),
            std::vector<std::uint64_t>(shape.begin(), shape.end()));
  EXPECT_EQ(tensor->size_bytes(), 105u);
  EXPECT_GE(tensor->capacity(), 105u);
  auto map = tensor->map();
  ASSERT_TRUE(map) << map.error().display();
  ASSERT_EQ(map->size(), 105u);
  for (std::uint8_t byte : map->bytes()) ASSERT_EQ(byte, 0);
}

TEST_P(TensorKinds, BytesPersistAcrossMaps) {
  auto tensor = Tensor::create({64, 1024}, GetParam());
  ASSERT_TRUE(tensor);
  {
    auto map = tensor->map();
    ASSERT_TRUE(map);
    for (std::size_t i = 0; i < map->size(); ++i) map->data()[i] = std::uint8_t(i * 7 + 1);
  }
  auto map = tensor->map();
  ASSERT_TRUE(map);
  for (std::size_t i = 0; i < map->size(); ++i) ASSERT_EQ(map->data()[i], std::uint8_t(i * 7 + 1)) << i;
}

TEST_P(TensorKinds, MapOutlivesItsTensor) {
  auto tensor = Tensor::create({4096}, GetParam());
  ASSERT_TRUE(tensor);
  auto map = tensor->map();
  ASSERT_TRUE(map);
  // Releasing the first tensor must not free what the map still shows: a
  // fresh tensor of the same size would otherwise reuse those bytes.
  { Tensor released = std::move(*tensor); }
  auto next = Tensor::create({4096}, GetParam());
  ASSERT_TRUE(next);
  std::memset(map->data(), 0xa5, map->size());
  EXPECT_EQ(map->data()[4095], 0xa5);
  auto fresh = next->map();
  ASSERT_TRUE(fresh);
  for (std::uint8_t byte : fresh->bytes()) ASSERT_EQ(byte, 0);
}

TEST_P(TensorKinds, EmptyTensorMapsToNonNullAddress) {
  auto tensor = Tensor::create({0, 16}, GetParam());
  ASSERT_TRUE(tensor) << tensor.error().display();
  EXPECT_EQ(tensor->size_bytes(), 0u);
  auto map = tensor->map();
  ASSERT_TRUE(map) << map.error().display();
  EXPECT_NE(map->data(), nullptr);
  EXPECT_EQ(map->size(), 0u);
}

TEST_P(TensorKinds, NoDescriptorSurvivesTheTensorAndItsMaps) {
  const int before = open_fd_count();
  {
    auto tensor = Tensor::create({2, 8, 8}, GetParam());
    ASSERT_TRUE(tensor);
    auto first = tensor->map();
    auto second = tensor->map();
    ASSERT_TRUE(first && second);
    auto clone = tensor->clone_fd();  // closed by its owner below
  }
  EXPECT_EQ(open_fd_count(), before);
}

TEST_P(TensorKinds, MovedMapReleasesOnce) {
  auto tensor = Tensor::create({128}, GetParam());
  ASSERT_TRUE(tensor);
  auto map = tensor->map();
  ASSERT_TRUE(map);
  tt::TensorMap moved = std::move(*map);
  EXPECT_EQ(map->data(), nullptr);
  moved.data()[127] = 9;
  moved.release();
  EXPECT_EQ(moved.data(), nullptr);
  EXPECT_EQ(moved.size(), 0u);
  auto again = tensor->map();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->data()[127], 9);
}

INSTANTIATE_TEST_SUITE_P(HeapAndShm, TensorKinds, ::testing::Values(TensorMemory::Mem, TensorMemory::Shm),
                         [](const auto& info) { return std::string(tt::memory_name(info.param)); });

TEST(TensorCreate, RejectsBadShapesAndKinds) {
  const std::uint64_t big = std::uint64_t(1) << 32;
  const std::vector<std::uint64_t> four_dims{1, 2, 3, 4};
  struct Case {
    std::vector<std::uint64_t> shape;
    TensorMemory memory;
    ErrorKind kind;
  };
  const Case cases[] = {
      {{}, TensorMemory::Mem, ErrorKind::InvalidShape},
      {four_dims, TensorMemory::Shm, ErrorKind::InvalidShape},
      {{big, big}, TensorMemory::Mem, ErrorKind::InvalidSize},
      {{big, 2, big}, TensorMemory::Shm, ErrorKind::InvalidSize},
      {{4}, TensorMemory::IoSurface, ErrorKind::InvalidMemoryType},
      {{4}, TensorMemory::Pbo, ErrorKind::InvalidMemoryType},
  };
  const int before = open_fd_count();
  for (const auto& c : cases) {
    auto tensor = Tensor::create(c.shape, c.memory);
    ASSERT_FALSE(tensor);
    EXPECT_EQ(tensor.error().kind(), c.kind) << tensor.error().display();
  }
  EXPECT_EQ(open_fd_count(), before);
}

TEST(TensorCloneFd, HeapTensorHasNoDescriptor) {
  auto tensor = Tensor::create({3, 224, 224}, TensorMemory::Mem);
  ASSERT_TRUE(tensor);
  auto fd = tensor->clone_fd();
  ASSERT_FALSE(fd);
  EXPECT_EQ(fd.error().display(), R"(NotImplemented("MemTensor does not support clone_fd"))");
}

TEST(TensorCloneFd, ShmCloneIsCloseOnExecAboveStdioAndSharesBytes) {
  auto tensor = Tensor::create({3, 224, 224}, TensorMemory::Shm);
  ASSERT_TRUE(tensor);
  auto first = tensor->clone_fd();
  auto second = tensor->clone_fd();
  ASSERT_TRUE(first && second);
  for (const auto* fd : {&*first, &*second}) {
    EXPECT_GE(fd->get(), 3);
    EXPECT_EQ(fcntl(fd->get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  }
  EXPECT_NE(first->get(), second->get());
  struct stat a {}, b {};
  ASSERT_EQ(fstat(first->get(), &a), 0);
  ASSERT_EQ(fstat(second->get(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(std::uint64_t(a.st_size), 150528u);

  // Bytes written through the tensor are seen through the clone, and back.
  {
    auto map = tensor->map();
    ASSERT_TRUE(map);
    map->data()[0] = 0x11;
    map->data()[150527] = 0x22;
  }
  void* other = mmap(nullptr, 150528, PROT_READ | PROT_WRITE, MAP_SHARED, first->get(), 0);
  ASSERT_NE(other, MAP_FAILED);
  auto* bytes = static_cast<std::uint8_t*>(other);
  EXPECT_EQ(bytes[0], 0x11);
  EXPECT_EQ(bytes[150527], 0x22);
  bytes[1000] = 0x33;
  munmap(other, 150528);
  auto map = tensor->map();
  ASSERT_TRUE(map);
  EXPECT_EQ(map->data()[1000], 0x33);
}

TEST(TensorCloneFd, CloneKeepsObjectAliveAfterRelease) {
  auto tensor = Tensor::create({256}, TensorMemory::Shm);
  ASSERT_TRUE(tensor);
  {
    auto map = tensor->map();
    ASSERT_TRUE(map);
    map->data()[255] = 0x5a;
  }
  auto clone = tensor->clone_fd();
  ASSERT_TRUE(clone);
  tensor = Tensor::create({1}, TensorMemory::Mem);
  std::uint8_t byte = 0;
  ASSERT_EQ(pread(clone->get(), &byte, 1, 255), 1);
  EXPECT_EQ(byte, 0x5a);
}

TEST(ShmNames, FreshVersionFourNames) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    auto name = tt::random_shm_name();
    ASSERT_TRUE(name) << name.error().display();
    ASSERT_EQ(name->size(), 17u) << *name;
    EXPECT_EQ((*name)[0], '/');
    EXPECT_EQ(name->find_first_not_of("0123456789abcdef", 1), std::string::npos) << *name;
    EXPECT_EQ((*name)[13], '4') << *name;  // the 13th hex digit is the UUID version
    seen.insert(*name);
  }
  EXPECT_EQ(seen.size(), 64u);
}

TEST(ShmObjects, NoNameLeftBehind) {
  auto name = tt::random_shm_name();
  ASSERT_TRUE(name);
  auto object = tt::create_shm_object(*name, 4096);
  ASSERT_TRUE(object) << object.error().display();
  EXPECT_LT(shm_open(name->c_str(), O_RDONLY, 0), 0);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(dev_shm_has_inode(object->device, object->inode));

  auto tensor = Tensor::create({4096}, TensorMemory::Shm);
  ASSERT_TRUE(tensor);
  auto clone = tensor->clone_fd();
  ASSERT_TRUE(clone);
  struct stat st {};
  ASSERT_EQ(fstat(clone->get(), &st), 0);
  EXPECT_FALSE(dev_shm_has_inode(st.st_dev, st.st_ino));
}

TEST(ShmObjects, ExistingNameIsRefusedAndLeftAlone) {
  auto name = tt::random_shm_name();
  ASSERT_TRUE(name);
  const int existing = shm_open(name->c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(existing, 0);
  ASSERT_EQ(ftruncate(existing, 123), 0);

  const int before = open_fd_count();
  auto object = tt::create_shm_object(*name, 4096);
  const int after = open_fd_count();

  struct stat st {};
  const bool still_named = stat(("/dev/shm" + *name).c_str(), &st) == 0;
  shm_unlink(name->c_str());
  close(existing);

  ASSERT_FALSE(object);
  EXPECT_EQ(object.error().display(), R"(IoError(Os { code: 17, kind: AlreadyExists, message: "File exists" }))");
  EXPECT_EQ(after, before);
  EXPECT_TRUE(still_named);
  EXPECT_EQ(st.st_size, 123);
}

TEST(ShmObjects, FailedSizingClosesTheDescriptor) {
  auto name = tt::random_shm_name();
  ASSERT_TRUE(name);
  const int before = open_fd_count();
  // Larger than any off_t: ftruncate refuses it after the object was created and unlinked.
  auto object = tt::create_shm_object(*name, ~std::uint64_t(0));
  ASSERT_FALSE(object);
  EXPECT_EQ(object.error().kind(), ErrorKind::IoError);
  EXPECT_EQ(open_fd_count(), before);
  EXPECT_LT(shm_open(name->c_str(), O_RDONLY, 0), 0);
}

// Heaps that cannot serve DMA-BUFs: a missing path fails to open, a
// character device without the ioctl opens but refuses to allocate.
TEST(DmaHeapFallback, ErrorComesFromTheFirstHeapThatOpened) {
  struct Case {
    const char* first;
    const char* second;
    int expected;
  };
  const Case cases[] = {
      {"/dev/null", "/nonexistent/system", ENOTTY},   // first opened: its allocation error wins
      {"/dev/null/cma", "/nonexistent/system", ENOENT},  // neither opened: the second heap's error
      {"/dev/null/cma", "/dev/null", ENOTTY},
      {"/nonexistent/cma", "/dev/null/system", ENOTDIR},
      {"/dev/null", "/dev/null/system", ENOTTY},
  };
  for (const auto& c : cases) {
    const int before = open_fd_count();
    auto buffer = tt::allocate_dma_buf(4096, c.first, c.second);
    EXPECT_EQ(open_fd_count(), before) << c.first << " " << c.second;
    ASSERT_FALSE(buffer);
    EXPECT_EQ(buffer.error().kind(), ErrorKind::IoError);
    EXPECT_EQ(buffer.error().os_code(), c.expected) << c.first << " " << c.second << ": "
                                                    << buffer.error().display();
  }
}
