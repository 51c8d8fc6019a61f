// Preloaded into the DMA-BUF tests: stands in for the kernel's DMA heaps on
// hosts that have none. Opening "/dev/dma_heap/linux,cma" or
// "/dev/dma_heap/system" yields a memfd standing for the heap; its
// DMA_HEAP_IOCTL_ALLOC hands out memfds as buffers, and DMA_BUF_IOCTL_SYNC on
// a buffer is checked like the kernel does and logged.
//
// Environment, read at each call so a test can switch between cases:
//   TALLOWIND_TEST_DMA_HEAP_CMA, TALLOWIND_TEST_DMA_HEAP_SYSTEM:
//     "ok" (default): allocations succeed, sized up to whole pages;
//     "unsized": allocations succeed but the buffer reports size 0;
//     "missing": open fails with ENOENT; "denied": open fails with EACCES;
//     "fail:N": open succeeds, allocation fails with errno N.
//   TALLOWIND_TEST_DMA_SYNC_FAIL: "start:N" / "end:N" makes START / END syncs fail with errno N.
//   TALLOWIND_TEST_SHM_OPEN_ERRNO: "N" makes shm_open fail with errno N (an
//     unwritable /dev/shm, whatever the user, root included).
//   TALLOWIND_TEST_DMA_LOG: file to which one line per event is appended:
//     "open <heap> flags=<open flags>"
//     "alloc <heap> ino=<buffer inode> len=<len> fd_flags=<flags> heap_flags=<flags>"
//     "sync ino=<buffer inode> fd=<fd> flags=<flags>"
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/dma-buf.h>
#include <linux/dma-heap.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#define HEAP_TAG "tallowind-test-heap-"
#define BUFFER_TAG "tallowind-test-dmabuf"

int tallowind_dma_interposer_present(void) { return 1; }

static void log_line(const char* format, ...) {
  const char* path = getenv("TALLOWIND_TEST_DMA_LOG");
  if (path == NULL || *path == '\0') return;
  char line[256];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (length < 0) return;
  if (length > (int)sizeof line - 2) length = (int)sizeof line - 2;
  line[length++] = '\n';
  // A raw syscall, so that logging never re-enters the wrappers below.
  const int saved = errno;
  int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) {
    if (write(fd, line, (size_t)length) < 0) { /* a lost line shows up as a test failure */ }
    close(fd);
  }
  errno = saved;
}

static const char* heap_of_path(const char* path) {
  if (path == NULL) return NULL;
  if (strcmp(path, "/dev/dma_heap/linux,cma") == 0) return "cma";
  if (strcmp(path, "/dev/dma_heap/system") == 0) return "system";
  return NULL;
}

static const char* heap_mode(const char* heap) {
  const char* mode = getenv(strcmp(heap, "cma") == 0 ? "TALLOWIND_TEST_DMA_HEAP_CMA" : "TALLOWIND_TEST_DMA_HEAP_SYSTEM");
  return mode != NULL ? mode : "ok";
}

static int open_heap(const char* heap, int flags) {
  log_line("open %s flags=%d", heap, flags);
  const char* mode = heap_mode(heap);
  if (strcmp(mode, "missing") == 0) {
    errno = ENOENT;
    return -1;
  }
  if (strcmp(mode, "denied") == 0) {
    errno = EACCES;
    return -1;
  }
  char name[64];
  snprintf(name, sizeof name, HEAP_TAG "%s", heap);
  return memfd_create(name, (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
}

// What the descriptor stands for, from the memfd name the kernel shows:
// sets `*heap` ("cma" or "system") for heap descriptors and returns 1,
// returns 2 for buffers, 0 otherwise.
static int classify_fd(int fd, const char** heap) {
  char link[64], target[256];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, target, sizeof target - 1);
  if (length < 0) return 0;
  target[length] = '\0';
  const char* prefix = "/memfd:";
  if (strncmp(target, prefix, strlen(prefix)) != 0) return 0;
  const char* name = target + strlen(prefix);
  if (strncmp(name, HEAP_TAG "cma ", strlen(HEAP_TAG) + 4) == 0) {
    *heap = "cma";
    return 1;
  }
  if (strncmp(name, HEAP_TAG "system ", strlen(HEAP_TAG) + 7) == 0) {
    *heap = "system";
    return 1;
  }
  if (strncmp(name, BUFFER_TAG " ", strlen(BUFFER_TAG) + 1) == 0) return 2;
  return 0;
}

static unsigned long long inode_of(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? (unsigned long long)st.st_ino : 0;
}

static int heap_alloc(const char* heap, struct dma_heap_allocation_data* data) {
  const char* mode = heap_mode(heap);
  if (strncmp(mode, "fail:", 5) == 0) {
    errno = atoi(mode + 5);
    return -1;
  }
  if (data->len == 0 || data->fd != 0 || (data->fd_flags & ~(unsigned)(O_ACCMODE | O_CLOEXEC)) != 0 ||
      data->heap_flags != 0) {
    errno = EINVAL;
    return -1;
  }
  int buffer = memfd_create(BUFFER_TAG, (data->fd_flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
  if (buffer < 0) return -1;
  const unsigned long long page = 4096;
  const unsigned long long rounded = (data->len + page - 1) / page * page;
  if (strcmp(mode, "unsized") != 0 && ftruncate(buffer, (off_t)rounded) != 0) {
    const int saved = errno;
    close(buffer);
    errno = saved;
    return -1;
  }
  data->fd = (unsigned)buffer;
  log_line("alloc %s ino=%llu len=%llu fd_flags=%u heap_flags=%llu", heap, inode_of(buffer),
           (unsigned long long)data->len, data->fd_flags, (unsigned long long)data->heap_flags);
  return 0;
}

static int buffer_sync(int fd, const struct dma_buf_sync* sync) {
  log_line("sync ino=%llu fd=%d flags=%llu", inode_of(fd), fd, (unsigned long long)sync->flags);
  if ((sync->flags & ~(unsigned long long)DMA_BUF_SYNC_VALID_FLAGS_MASK) != 0 ||
      (sync->flags & DMA_BUF_SYNC_RW) == 0) {
    errno = EINVAL;
    return -1;
  }
  const char* fail = getenv("TALLOWIND_TEST_DMA_SYNC_FAIL");
  if (fail != NULL) {
    const int is_end = (sync->flags & DMA_BUF_SYNC_END) != 0;
    if ((!is_end && strncmp(fail, "start:", 6) == 0) || (is_end && strncmp(fail, "end:", 4) == 0)) {
      errno = atoi(strchr(fail, ':') + 1);
      return -1;
    }
  }
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (request == DMA_HEAP_IOCTL_ALLOC || request == DMA_BUF_IOCTL_SYNC) {
    const char* heap = NULL;
    const int kind = classify_fd(fd, &heap);
    if (kind == 1 && request == DMA_HEAP_IOCTL_ALLOC) return heap_alloc(heap, argument);
    if (kind == 2 && request == DMA_BUF_IOCTL_SYNC) return buffer_sync(fd, argument);
  }
  static int (*real_ioctl)(int, unsigned long, ...);
  if (real_ioctl == NULL) real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  return real_ioctl(fd, request, argument);
}

// Every spelling of open that a caller may reach; paths other than the two
// heaps go to the next definition.
#define MODE_ARGUMENT(flags, mode)              \
  mode_t mode = 0;                              \
  if ((flags) & (O_CREAT | O_TMPFILE)) {        \
    va_list args;                               \
    va_start(args, flags);                      \
    mode = (mode_t)va_arg(args, int);           \
    va_end(args);                               \
  }

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef int (*open2_fn)(const char*, int);

#define FORWARD(symbol, type, ...)                         \
  static type real;                                        \
  if (real == NULL) real = (type)dlsym(RTLD_NEXT, symbol); \
  return real(__VA_ARGS__);

int open(const char* path, int flags, ...) {
  MODE_ARGUMENT(flags, mode)
  const char* heap = heap_of_path(path);
  if (heap != NULL) return open_heap(heap, flags);
  FORWARD("open", open_fn, path, flags, mode)
}

int open64(const char* path, int flags, ...) {
  MODE_ARGUMENT(flags, mode)
  const char* heap = heap_of_path(path);
  if (heap != NULL) return open_heap(heap, flags);
  FORWARD("open64", open_fn, path, flags, mode)
}

int openat(int dir, const char* path, int flags, ...) {
  MODE_ARGUMENT(flags, mode)
  const char* heap = heap_of_path(path);
  if (heap != NULL) return open_heap(heap, flags);
  FORWARD("openat", openat_fn, dir, path, flags, mode)
}

int openat64(int dir, const char* path, int flags, ...) {
  MODE_ARGUMENT(flags, mode)
  const char* heap = heap_of_path(path);
  if (heap != NULL) return open_heap(heap, flags);
  FORWARD("openat64", openat_fn, dir, path, flags, mode)
}

typedef int (*shm_open_fn)(const char*, int, mode_t);

int shm_open(const char* name, int flags, mode_t mode) {
  const char* fail = getenv("TALLOWIND_TEST_SHM_OPEN_ERRNO");
  if (fail != NULL && *fail != '\0') {
    errno = atoi(fail);
    return -1;
  }
  FORWARD("shm_open", shm_open_fn, name, flags, mode)
}

// Fortified callers reach these instead of open when flags are not constant.
int __open_2(const char* path, int flags) {
  const char* heap = heap_of_path(path);
  if (heap != NULL) return open_heap(heap, flags);
  FORWARD("__open_2", open2_fn, path, flags)
}

int __open64_2(const char* path, int flags) {
  const char* heap = heap_of_path(path);
  if (heap != NULL) return open_heap(heap, flags);
  FORWARD("__open64_2", open2_fn, path, flags)
}
