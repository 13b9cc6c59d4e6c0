// The library's one way to print a diagnostic.
#include <cstdarg>
#include <cstdio>

#include "qern_internal.h"

void qern_internal::print_diagnostic(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}
