// Diagnostics and the exceptions of failed solves.
#include "reporting.h"

#include <cstdarg>
#include <cstdio>

#include "py_ref.h"

namespace qern_binding {

void flush_python_stdout() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  // Held strongly: the flush is Python code, which may replace sys.stdout.
  const py_ref out = py_ref::ref(PySys_GetObject("stdout"));
  if (out && out.get() != Py_None) {
    py_ref result = py_ref::steal(PyObject_CallMethod(out.get(), "flush", nullptr));
    if (!result) {
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, value, traceback);
}

void print_diagnostic(const char *format, ...) {
  flush_python_stdout();
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}

PyObject *raise_solve_failure(qern_status_t status, const char *err_text) {
  switch (status) {
    case QERN_STATUS_STOPPED:
      if (!PyErr_Occurred()) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
      }
      break;
    case QERN_STATUS_NO_MEMORY:
      PyErr_SetString(PyExc_MemoryError, err_text);
      break;
    default:
      PyErr_SetString(PyExc_ConnectionError, err_text);
      break;
  }
  return nullptr;
}

}  // namespace qern_binding
