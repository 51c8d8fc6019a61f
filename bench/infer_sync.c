/* Baseline for the run() benchmark: the same synchronous inference called
 * straight through the client library, with descriptor arrays built once.
 *
 *   ara2_bench_infer_sync SOCKET MODEL.dvm mem|shm CALLS ROUNDS IN_BYTES... -- OUT_BYTES...
 *
 * Prints the seconds per call of each round, one per line. Each call frees
 * its request and reads its statistics, as any caller must. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

typedef struct {
  void* data;
  void* reserved;
  uint64_t size;
  uint32_t is_registration;
  uint32_t padding;
} IoDescriptor;

typedef uint32_t (*open_unix_fn)(const char*, void**);
typedef uint32_t (*close_fn)(void*);
typedef uint32_t (*list_fn)(void*, void**, int32_t*);
typedef uint32_t (*free_group_fn)(void*);
typedef uint32_t (*load_fn)(void*, void*, const char*, const char*, int32_t, void**);
typedef uint32_t (*unload_fn)(void*);
typedef uint32_t (*register_fn)(void*, int, uint64_t, uint64_t, uint64_t, void**);
typedef uint32_t (*sync_fn)(void*, void*, void*, void*, void*, uint32_t, int32_t, void**);
typedef uint32_t (*free_fn)(void*);

static void* need(void* library, const char* name) {
  void* address = dlsym(library, name);
  if (address == NULL) {
    fprintf(stderr, "missing %s\n", name);
    exit(2);
  }
  return address;
}

static void check(uint32_t status, const char* what) {
  if (status != 0) {
    fprintf(stderr, "%s failed with status %u\n", what, status);
    exit(1);
  }
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static void describe(IoDescriptor* d, uint64_t size, int shm, void* session, register_fn reg) {
  memset(d, 0, sizeof *d);
  d->size = size;
  if (!shm) {
    d->data = calloc(1, size ? size : 1);
    return;
  }
  int fd = memfd_create("bench", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, (off_t)size) != 0) {
    perror("memfd");
    exit(1);
  }
  check(reg(session, fd, size, 0, 0, &d->data), "dv_shmfd_register");
  close(fd);
  d->is_registration = 1;
}

int main(int argc, char** argv) {
  if (argc < 7) {
    fprintf(stderr, "usage: %s SOCKET MODEL mem|shm CALLS ROUNDS IN... -- OUT...\n", argv[0]);
    return 2;
  }
  const int shm = strcmp(argv[3], "shm") == 0;
  const long calls = atol(argv[4]), rounds = atol(argv[5]);

  void* library = dlopen("libaraclient.so", RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 2;
  }
  open_unix_fn open_unix = (open_unix_fn)need(library, "dv_session_create_via_unix_socket");
  close_fn session_close = (close_fn)need(library, "dv_session_close");
  list_fn list = (list_fn)need(library, "dv_endpoint_get_list");
  free_group_fn free_group = (free_group_fn)need(library, "dv_endpoint_free_group");
  load_fn load = (load_fn)need(library, "dv_model_load_from_file");
  unload_fn unload = (unload_fn)need(library, "dv_model_unload");
  register_fn reg = (register_fn)need(library, "dv_shmfd_register");
  sync_fn infer_sync = (sync_fn)need(library, "dv_infer_sync");
  free_fn infer_free = (free_fn)need(library, "dv_infer_free");

  void *session = NULL, *endpoints = NULL, *model = NULL;
  int32_t count = 0;
  check(open_unix(argv[1], &session), "dv_session_create_via_unix_socket");
  check(list(session, &endpoints, &count), "dv_endpoint_get_list");
  check(load(session, endpoints, argv[2], "bench", 1, &model), "dv_model_load_from_file");

  IoDescriptor inputs[16], outputs[16];
  int n_in = 0, n_out = 0, in_outputs = 0;
  for (int i = 6; i < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) {
      in_outputs = 1;
      continue;
    }
    const uint64_t size = strtoull(argv[i], NULL, 10);
    if (in_outputs && n_out < 16) describe(&outputs[n_out++], size, shm, session, reg);
    if (!in_outputs && n_in < 16) describe(&inputs[n_in++], size, shm, session, reg);
  }

  float sink = 0.0f;
  for (long round = 0; round < rounds; ++round) {
    const double start = now();
    for (long call = 0; call < calls; ++call) {
      void* request = NULL;
      check(infer_sync(session, endpoints, model, inputs, outputs, 1000, 1, &request), "dv_infer_sync");
      const float* stats = *(float* const*)((const char*)request + 64);
      if (stats != NULL) sink += stats[24 / 4] + stats[28 / 4] + stats[96 / 4];
      check(infer_free(request), "dv_infer_free");
    }
    printf("%.9g\n", (now() - start) / (double)calls);
  }
  if (sink < 0.0f) puts("");  // keeps the statistics reads

  unload(model);
  free_group(endpoints);
  session_close(session);
  return 0;
}
