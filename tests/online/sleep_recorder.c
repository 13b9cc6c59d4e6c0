/* Interposed over the C library's nanosleep(), connect() and poll(), for the
 * online tests. A solve with a stop check pauses in slices of 100 ms; each
 * slice is counted and returns at once, so back-off schedules of half an hour
 * run in a moment. The next connect() or poll() (a transfer lies between two
 * pauses, and waits for its answer even on a connection kept from an earlier
 * one) or the process's exit writes the pause as a line "p SLICES" to the
 * file named by QERN_TEST_SLEEP_LOG. A solve without one pauses in one wait of whole
 * seconds, recorded at once the same way. Other sleeps and every connect go
 * on to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <poll.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>

static atomic_ulong slices;

static void flush_pause(void) {
  const unsigned long counted = atomic_exchange(&slices, 0);
  const char *path = getenv("QERN_TEST_SLEEP_LOG");
  FILE *log = counted > 0 && path != NULL ? fopen(path, "a") : NULL;
  if (log != NULL) {
    fprintf(log, "p %lu\n", counted);
    fclose(log);
  }
}

__attribute__((destructor)) static void flush_at_exit(void) {
  flush_pause();
}

int nanosleep(const struct timespec *wait, struct timespec *left) {
  if (wait != NULL && wait->tv_sec == 0 && wait->tv_nsec == 100000000L) {
    atomic_fetch_add(&slices, 1);
    return 0;
  }
  if (wait != NULL && wait->tv_sec > 0 && wait->tv_nsec == 0) {
    flush_pause();
    atomic_store(&slices, (unsigned long)wait->tv_sec * 10);
    flush_pause();
    return 0;
  }
  int (*real)(const struct timespec *, struct timespec *) =
      (int (*)(const struct timespec *, struct timespec *))dlsym(RTLD_NEXT, "nanosleep");
  return real(wait, left);
}

int connect(int socket, const struct sockaddr *address, socklen_t length) {
  flush_pause();
  int (*real)(int, const struct sockaddr *, socklen_t) =
      (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "connect");
  return real(socket, address, length);
}

int poll(struct pollfd *fds, nfds_t count, int timeout) {
  flush_pause();
  int (*real)(struct pollfd *, nfds_t, int) =
      (int (*)(struct pollfd *, nfds_t, int))dlsym(RTLD_NEXT, "poll");
  return real(fds, count, timeout);
}
