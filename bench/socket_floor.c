/* Floor of the emulator benchmark: what moving the emulator's frames between
 * two processes costs when nothing else is done, over a UNIX socketpair.
 *
 *   ara2_bench_socket_floor CALLS ROUNDS HANDOFF REQUEST ANSWER [REQUEST ANSWER ...]
 *
 * Each REQUEST ANSWER pair is one exchange of an operation: the client sends a
 * 12-byte header and REQUEST bytes, the server reads them all, and answers
 * with a 12-byte header and ANSWER bytes. With HANDOFF 1 the server's
 * connection thread passes each frame to a worker thread and waits for it to
 * come back, as the daemon does with its endpoint workers. Buffers are
 * allocated and touched once. Prints the seconds per operation of each round,
 * one per line. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kHeader = 12, kMaxExchanges = 8 };

static void die(const char* what) {
  perror(what);
  exit(1);
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* Header then body in one sendmsg, as the daemon and the client library send. */
static void send_frame(int fd, const void* body, size_t size) {
  uint32_t header[3] = {0x554d4541u, 0, (uint32_t)size};
  struct iovec iov[2] = {{header, kHeader}, {(void*)body, size}};
  struct iovec* at = iov;
  int count = size ? 2 : 1;
  while (count > 0) {
    struct msghdr msg = {.msg_iov = at, .msg_iovlen = (size_t)count};
    ssize_t sent = sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (sent < 0) die("sendmsg");
    size_t left = (size_t)sent;
    while (count > 0 && left >= at->iov_len) {
      left -= at->iov_len;
      ++at;
      --count;
    }
    if (count > 0) {
      at->iov_base = (char*)at->iov_base + left;
      at->iov_len -= left;
    }
  }
}

static int recv_exact(int fd, void* data, size_t size) {
  char* at = data;
  while (size > 0) {
    ssize_t got = recv(fd, at, size, 0);
    if (got <= 0) return 0;
    at += got;
    size -= (size_t)got;
  }
  return 1;
}

/* Reads one frame into body (large enough); 0 when the peer hung up. */
static int recv_frame(int fd, void* body) {
  uint32_t header[3];
  if (!recv_exact(fd, header, kHeader)) return 0;
  return recv_exact(fd, body, header[2]);
}

struct Handoff {
  pthread_mutex_t mutex;
  pthread_cond_t to_worker, to_server;
  int pending, done, stop;
};

static void* worker(void* arg) {
  struct Handoff* h = arg;
  pthread_mutex_lock(&h->mutex);
  for (;;) {
    while (!h->pending && !h->stop) pthread_cond_wait(&h->to_worker, &h->mutex);
    if (h->stop) break;
    h->pending = 0;
    h->done = 1;
    pthread_cond_signal(&h->to_server);
  }
  pthread_mutex_unlock(&h->mutex);
  return NULL;
}

static void serve(int fd, int handoff, int exchanges, const size_t* answer, void* in, const void* out) {
  struct Handoff h = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0, 0};
  pthread_t thread;
  if (handoff && pthread_create(&thread, NULL, worker, &h) != 0) die("pthread_create");
  for (long n = 0;; ++n) {
    if (!recv_frame(fd, in)) break;
    if (handoff) {
      pthread_mutex_lock(&h.mutex);
      h.pending = 1;
      pthread_cond_signal(&h.to_worker);
      while (!h.done) pthread_cond_wait(&h.to_server, &h.mutex);
      h.done = 0;
      pthread_mutex_unlock(&h.mutex);
    }
    send_frame(fd, out, answer[n % exchanges]);
  }
  if (handoff) {
    pthread_mutex_lock(&h.mutex);
    h.stop = 1;
    pthread_cond_signal(&h.to_worker);
    pthread_mutex_unlock(&h.mutex);
    pthread_join(thread, NULL);
  }
}

static void* buffer(size_t size) {
  void* p = malloc(size ? size : 1);
  if (p == NULL) die("malloc");
  memset(p, 0x5a, size);
  return p;
}

int main(int argc, char** argv) {
  if (argc < 6 || (argc - 4) % 2 != 0 || (argc - 4) / 2 > kMaxExchanges) {
    fprintf(stderr, "usage: %s CALLS ROUNDS HANDOFF REQUEST ANSWER [REQUEST ANSWER ...]\n", argv[0]);
    return 2;
  }
  const long calls = atol(argv[1]), rounds = atol(argv[2]);
  const int handoff = atoi(argv[3]), exchanges = (argc - 4) / 2;
  size_t request[kMaxExchanges], answer[kMaxExchanges], largest = 0;
  for (int i = 0; i < exchanges; ++i) {
    request[i] = strtoull(argv[4 + 2 * i], NULL, 10);
    answer[i] = strtoull(argv[5 + 2 * i], NULL, 10);
    largest = request[i] > largest ? request[i] : largest;
    largest = answer[i] > largest ? answer[i] : largest;
  }
  void* in = buffer(largest);
  void* out = buffer(largest);

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) die("socketpair");
  pid_t child = fork();
  if (child < 0) die("fork");
  if (child == 0) {
    close(pair[0]);
    serve(pair[1], handoff, exchanges, answer, in, out);
    _exit(0);
  }
  close(pair[1]);
  const int fd = pair[0];
  for (long round = 0; round < rounds; ++round) {
    const double start = now();
    for (long call = 0; call < calls; ++call) {
      for (int i = 0; i < exchanges; ++i) {
        send_frame(fd, out, request[i]);
        if (!recv_frame(fd, in)) die("the server hung up");
      }
    }
    printf("%.9g\n", (now() - start) / (double)calls);
  }
  close(fd);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
