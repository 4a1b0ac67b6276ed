/* exchange_floor: the floor of the self-play exchange, in C, with nothing in it.
 *
 * The topology of `selfplay` (velmar_pipeline.selfplay): W worker processes of T threads each,
 * one request pipe shared by every thread, one reply pipe per thread (slot), one service
 * process. Each thread writes a prebuilt request frame (velmar_wire.h: 254 bytes, its slot's game
 * id) and reads the reply message (1,624 bytes), as many times as asked; the service reads every
 * frame waiting (up to one per slot) with one read and writes a prebuilt reply to the pipe of
 * the slot that owns each frame's id. No search, no evaluation, no interpreter: what the pipes,
 * the processes and the scheduler cost on this machine, the bound that bench/selfplay_bench.py
 * holds `selfplay` against.
 *
 *     build/bench/exchange_floor [--workers 2] [--threads 8] [--requests 100000]
 *
 * prints one line of key=value pairs: requests, seconds, requests_per_s, batches, mean_batch,
 * service_cpu_us (the service's CPU time per request) and worker_cpu_us (all workers' CPU time
 * per request). --requests is the total, shared evenly by the slots.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "velmar_wire.h"

enum { ID_STRIDE = 1000000 }; /* game ids: slot * ID_STRIDE + game number, as the service's */

static void die(const char* what) {
  fprintf(stderr, "exchange_floor: %s: %s\n", what, strerror(errno));
  exit(1);
}

static double now_s(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static double cpu_s(int who) {
  struct rusage usage;
  getrusage(who, &usage);
  return (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec * 1e-6 +
         (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec * 1e-6;
}

static void write_all(int fd, const void* data, size_t size) {
  const char* at = data;
  while (size > 0) {
    const ssize_t n = write(fd, at, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("write");
    }
    at += n;
    size -= (size_t)n;
  }
}

/* Reads exactly `size` bytes; 0 at end of file before the first. */
static int read_all(int fd, void* data, size_t size) {
  char* at = data;
  size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, at + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("read");
    }
    if (n == 0) {
      if (got == 0) return 0;
      errno = EPIPE;
      die("a message cut short");
    }
    got += (size_t)n;
  }
  return 1;
}

/* --- the service --------------------------------------------------------------------------- */

struct ServiceReport {
  long long frames, batches;
  double cpu_s;
};

static void serve(int requests, const int* replies, int slots, int report) {
  const size_t room = (size_t)slots * VELMAR_WIRE_FRAME_BYTES;
  unsigned char* pending = malloc(room);
  unsigned char message[VELMAR_WIRE_MESSAGE_BYTES];
  memset(message, 0, sizeof message);
  velmar_wire_put_be32(message, VELMAR_WIRE_REPLY_BYTES);
  const float quarter = 0.25f;
  for (int k = 0; k < VELMAR_WIRE_PLAYERS; ++k) memcpy(message + VELMAR_WIRE_VALUES_AT + 4 * k, &quarter, 4);
  struct ServiceReport out = {0, 0, 0.0};
  const double cpu_start = cpu_s(RUSAGE_SELF);
  size_t have = 0;
  for (;;) {
    const ssize_t n = read(requests, pending + have, room - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("read (service)");
    }
    if (n == 0) break; /* every worker has closed its end */
    have += (size_t)n;
    const size_t whole = have / VELMAR_WIRE_FRAME_BYTES;
    for (size_t f = 0; f < whole; ++f) {
      const int32_t id = velmar_wire_get_le32(pending + f * VELMAR_WIRE_FRAME_BYTES);
      memcpy(message + VELMAR_WIRE_HEADER_BYTES, pending + f * VELMAR_WIRE_FRAME_BYTES, VELMAR_WIRE_ID_BYTES);
      const int slot = id / ID_STRIDE;
      if (slot >= 0 && slot < slots) write_all(replies[slot], message, sizeof message);
    }
    out.frames += (long long)whole;
    out.batches += 1;
    have -= whole * VELMAR_WIRE_FRAME_BYTES;
    memmove(pending, pending + whole * VELMAR_WIRE_FRAME_BYTES, have);
  }
  out.cpu_s = cpu_s(RUSAGE_SELF) - cpu_start;
  write_all(report, &out, sizeof out);
  free(pending);
}

/* --- the workers --------------------------------------------------------------------------- */

struct Slot {
  int requests, reply, slot;
  long long count;
};

static void* play(void* arg) {
  const struct Slot* s = arg;
  unsigned char frame[VELMAR_WIRE_FRAME_BYTES];
  memset(frame, 0, sizeof frame);
  velmar_wire_put_le32(frame, s->slot * ID_STRIDE);
  unsigned char message[VELMAR_WIRE_MESSAGE_BYTES];
  for (long long i = 0; i < s->count; ++i) {
    write_all(s->requests, frame, sizeof frame);
    if (!read_all(s->reply, message, sizeof message)) {
      errno = EPIPE;
      die("the service is gone");
    }
  }
  return NULL;
}

static void work(int requests, const int* replies, int first_slot, int threads, long long per_slot, int go,
                 int report) {
  char byte;
  if (read(go, &byte, 1) < 0) die("read (start)"); /* end of file: start */
  const double cpu_start = cpu_s(RUSAGE_SELF);
  pthread_t* ids = calloc((size_t)threads, sizeof *ids);
  struct Slot* slots = calloc((size_t)threads, sizeof *slots);
  for (int t = 0; t < threads; ++t) {
    slots[t] = (struct Slot){requests, replies[first_slot + t], first_slot + t, per_slot};
    if (pthread_create(&ids[t], NULL, play, &slots[t]) != 0) die("pthread_create");
  }
  for (int t = 0; t < threads; ++t) pthread_join(ids[t], NULL);
  const double used = cpu_s(RUSAGE_SELF) - cpu_start;
  write_all(report, &used, sizeof used);
  free(ids);
  free(slots);
}

int main(int argc, char** argv) {
  int workers = 2, threads = 8;
  long long total = 100000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--workers") == 0) {
      workers = atoi(argv[i + 1]);
    } else if (strcmp(argv[i], "--threads") == 0) {
      threads = atoi(argv[i + 1]);
    } else if (strcmp(argv[i], "--requests") == 0) {
      total = atoll(argv[i + 1]);
    } else {
      fprintf(stderr, "usage: %s [--workers W] [--threads T] [--requests N]\n", argv[0]);
      return 2;
    }
  }
  if (workers < 1 || threads < 1 || total < 1 || (argc - 1) % 2 != 0) {
    fprintf(stderr, "usage: %s [--workers W] [--threads T] [--requests N]\n", argv[0]);
    return 2;
  }
  const int slots = workers * threads;
  const long long per_slot = (total + slots - 1) / slots;

  int request_pipe[2], go_pipe[2], report_pipe[2];
  if (pipe(request_pipe) < 0 || pipe(go_pipe) < 0 || pipe(report_pipe) < 0) die("pipe");
  int* reply_read = calloc((size_t)slots, sizeof(int));
  int* reply_write = calloc((size_t)slots, sizeof(int));
  for (int s = 0; s < slots; ++s) {
    int ends[2];
    if (pipe(ends) < 0) die("pipe");
    reply_read[s] = ends[0];
    reply_write[s] = ends[1];
  }

  const pid_t service = fork();
  if (service < 0) die("fork");
  if (service == 0) {
    close(request_pipe[1]);
    close(go_pipe[1]);
    for (int s = 0; s < slots; ++s) close(reply_read[s]);
    serve(request_pipe[0], reply_write, slots, report_pipe[1]);
    _exit(0);
  }
  pid_t* children = calloc((size_t)workers, sizeof(pid_t));
  for (int w = 0; w < workers; ++w) {
    children[w] = fork();
    if (children[w] < 0) die("fork");
    if (children[w] == 0) {
      close(request_pipe[0]);
      close(go_pipe[1]);
      for (int s = 0; s < slots; ++s) close(reply_write[s]);
      work(request_pipe[1], reply_read, w * threads, threads, per_slot, go_pipe[0], report_pipe[1]);
      _exit(0);
    }
  }
  /* Only the workers hold the request pipe's write end now: the service sees its end of file
   * when the last of them is done. */
  close(request_pipe[0]);
  close(request_pipe[1]);
  close(go_pipe[0]);
  for (int s = 0; s < slots; ++s) {
    close(reply_read[s]);
    close(reply_write[s]);
  }
  close(report_pipe[1]);
  const double started = now_s();
  close(go_pipe[1]); /* go */
  for (int w = 0; w < workers; ++w) {
    int status = 0;
    if (waitpid(children[w], &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fprintf(stderr, "exchange_floor: worker %d failed\n", w);
      return 1;
    }
  }
  const double seconds = now_s() - started;
  int status = 0;
  if (waitpid(service, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "exchange_floor: the service failed\n");
    return 1;
  }
  double worker_cpu = 0.0;
  for (int w = 0; w < workers; ++w) {
    double used = 0.0;
    if (!read_all(report_pipe[0], &used, sizeof used)) die("a worker's report");
    worker_cpu += used;
  }
  struct ServiceReport report;
  if (!read_all(report_pipe[0], &report, sizeof report)) die("the service's report");
  const long long requests = per_slot * slots;
  printf(
      "requests=%lld seconds=%.6f requests_per_s=%.1f batches=%lld mean_batch=%.2f service_cpu_us=%.3f "
      "worker_cpu_us=%.3f\n",
      requests, seconds, (double)requests / seconds, report.batches,
      report.batches ? (double)report.frames / (double)report.batches : 0.0,
      report.cpu_s / (double)requests * 1e6, worker_cpu / (double)requests * 1e6);
  free(children);
  free(reply_read);
  free(reply_write);
  return 0;
}
