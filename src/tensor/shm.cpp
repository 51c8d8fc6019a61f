#include "tensor/shm.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fmt/format.h>

namespace tallowind::tensor {

Result<std::string> random_shm_name() {
  std::array<unsigned char, 16> uuid{};
  std::size_t filled = 0;
  while (filled < uuid.size()) {
    // The system call itself: glibc's wrapper (2.25) is newer than the oldest
    // C library the wheels load on.
    const long got = syscall(SYS_getrandom, uuid.data() + filled, uuid.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail_errno();
    }
    filled += std::size_t(got);
  }
  uuid[6] = (uuid[6] & 0x0f) | 0x40;  // version 4
  uuid[8] = (uuid[8] & 0x3f) | 0x80;  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = "/";
  // The first 16 hex digits are the first 8 bytes; the version nibble is the 13th digit.
  for (std::size_t i = 0; i < 8; ++i) {
    name.push_back(kHex[uuid[i] >> 4]);
    name.push_back(kHex[uuid[i] & 0x0f]);
  }
  return name;
}

namespace {

/// The error of a failed step on the object `name`, from errno, with a note
/// naming the object's file, the step and what to check.
std::unexpected<Error> shm_failure(const char* step, const std::string& name, std::uint64_t size) {
  const int code = errno;
  return fail(Error::io(code).with_note(fmt::format(
      "{} on the shared-memory object /dev/shm{} (a tensor of {} bytes) failed: {}. Check that /dev/shm is a "
      "mounted tmpfs that this user can write and that it has room (`ls -ld /dev/shm`, `df -h /dev/shm`), or "
      "allocate the tensors in another memory kind (\"mem\" or \"dma\").",
      step, name, size, os_error_message(code))));
}

}  // namespace

Result<FdBuffer> create_shm_object(const std::string& name, std::uint64_t size) {
  UniqueFd fd(shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
  if (!fd) return shm_failure("shm_open (create)", name, size);
  if (shm_unlink(name.c_str()) != 0) return shm_failure("shm_unlink", name, size);
  if (ftruncate(fd.get(), off_t(size)) != 0) return shm_failure("ftruncate (size)", name, size);
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return fail_errno();
  return FdBuffer{std::move(fd), size, st.st_dev, st.st_ino};
}

}  // namespace tallowind::tensor
