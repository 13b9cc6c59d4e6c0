/* Preloaded into a test interpreter: counts the getenv calls made on any
 * thread but the one that loaded the process (the QERN_ settings, and the
 * proxy variables libcurl would read), and keeps the first name read so. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdatomic.h>
#include <string.h>

static pthread_t first_thread;
static atomic_int started;
static atomic_long off_thread;
static char first_name[64];

__attribute__((constructor)) static void remember_first_thread(void) {
  first_thread = pthread_self();
  atomic_store(&started, 1);
}

char *getenv(const char *name) {
  static char *(*real_getenv)(const char *);
  if (real_getenv == NULL) {
    real_getenv = (char *(*)(const char *))dlsym(RTLD_NEXT, "getenv");
  }
  if (atomic_load(&started) && !pthread_equal(pthread_self(), first_thread)) {
    if (atomic_fetch_add(&off_thread, 1) == 0) {
      strncpy(first_name, name, sizeof first_name - 1);
    }
  }
  return real_getenv(name);
}

long qern_test_getenv_off_thread(void) {
  return atomic_load(&off_thread);
}

const char *qern_test_getenv_first_name(void) {
  return first_name;
}
