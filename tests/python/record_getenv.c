/* Preloaded into a test interpreter: counts the getenv calls for QERN_*
 * variables made on any thread but the one that loaded the process. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdatomic.h>
#include <string.h>

static pthread_t first_thread;
static atomic_int started;
static atomic_long off_thread;

__attribute__((constructor)) static void remember_first_thread(void) {
  first_thread = pthread_self();
  atomic_store(&started, 1);
}

char *getenv(const char *name) {
  static char *(*real_getenv)(const char *);
  if (real_getenv == NULL) {
    real_getenv = (char *(*)(const char *))dlsym(RTLD_NEXT, "getenv");
  }
  if (atomic_load(&started) && !pthread_equal(pthread_self(), first_thread) &&
      strncmp(name, "QERN_", 5) == 0) {
    atomic_fetch_add(&off_thread, 1);
  }
  return real_getenv(name);
}

long qern_test_getenv_off_thread(void) {
  return atomic_load(&off_thread);
}
