/* Interposed over the C library's sleep(): records each pause in the file
 * named by QERN_TEST_SLEEP_LOG and returns at once, so back-off schedules of
 * half an hour run in a moment. */
#include <stdio.h>
#include <stdlib.h>

unsigned int sleep(unsigned int seconds) {
  const char *path = getenv("QERN_TEST_SLEEP_LOG");
  FILE *log = path != NULL ? fopen(path, "a") : NULL;
  if (log != NULL) {
    fprintf(log, "%u\n", seconds);
    fclose(log);
  }
  return 0;
}
