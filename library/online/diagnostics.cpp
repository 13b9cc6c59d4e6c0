// The online client's one way to print a diagnostic, and a failure's report.
#include <cstdarg>
#include <cstdio>

#include "online_client.h"

void qern_online::print_diagnostic(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}

void qern_online::report_failure(const char *msg, char *err_buf) {
  print_diagnostic("Failed with error: %s\n", msg);
  qern_copy_error(msg, err_buf);
}
