// What the module tells its caller: diagnostics on standard output, in order
// with Python's own output, and the exception of a failed solve.
#ifndef QERN_BINDING_REPORTING_H
#define QERN_BINDING_REPORTING_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "qern_lib.h"

namespace qern_binding {

// Flushes Python's own sys.stdout so that what C writes next to file
// descriptor 1 appears after what Python printed before it. Any exception
// already pending is kept as it is. Runs Python code.
void flush_python_stdout();

// Prints one diagnostic to standard output, in order with Python's output.
// Needs the interpreter lock; runs Python code (the flush).
[[gnu::format(printf, 1, 2)]] void print_diagnostic(const char *format, ...);

// Sets the exception for a failed solve's status: KeyboardInterrupt for a stop
// (unless the signal handler already raised its own), MemoryError, or
// ConnectionError with the error text. Returns nullptr.
PyObject *raise_solve_failure(qern_status_t status, const char *err_text);

}  // namespace qern_binding

#endif  // QERN_BINDING_REPORTING_H
