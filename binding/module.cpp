// The qernx module: its method table, the methods' exported names, and its
// initialisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

#include "completion_gate.h"
#include "methods.h"

namespace {

// Runs the body of a method: a C++ exception never leaves it. Memory failures
// raise MemoryError, anything else derived from std::exception RuntimeError.
// Nothing else is caught, so a thread's forced unwind passes through.
template <typename Body>
PyObject *without_exceptions(Body &&body) {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  } catch (const std::exception &error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return nullptr;
  }
}

}  // namespace

// The methods under the names the module's contract exports them by.
extern "C" {

PyObject *webinterface_complete_subset_sum(PyObject * /*self*/, PyObject *args) {
  return without_exceptions([&] { return qern_binding::complete_subset_sum(args); });
}

PyObject *webinterface_subset_sum_result_check(PyObject * /*self*/, PyObject *args) {
  return without_exceptions([&] { return qern_binding::subset_sum_result_check(args); });
}

PyObject *webinterface_complete_subset_sum_async(PyObject * /*self*/, PyObject *args) {
  return without_exceptions([&] { return qern_binding::complete_subset_sum_async(args); });
}

PyObject *webinterface_complete_subset_sum_bytes(PyObject * /*self*/, PyObject *args,
                                                 PyObject *kwargs) {
  return without_exceptions([&] { return qern_binding::complete_subset_sum_bytes(args, kwargs); });
}

}  // extern "C"

namespace {

// Each docstring starts with the method's signature, which the interpreter
// moves to __text_signature__ (for inspect.signature and help()); __doc__
// keeps only the text after it.
PyMethodDef qernx_methods[] = {
    {"complete_subset_sum", webinterface_complete_subset_sum, METH_VARARGS,
     "complete_subset_sum($module, items, /)\n--\n\n"
     "Run complete subset sum"},
    {"complete_subset_sum_async", webinterface_complete_subset_sum_async, METH_VARARGS,
     "complete_subset_sum_async($module, items, callback, /)\n--\n\n"
     "Run complete subset sum"},
    // Through void (*)(void), the cast the C API documents for functions
    // that take keywords.
    {"complete_subset_sum_bytes",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(webinterface_complete_subset_sum_bytes)),
     METH_VARARGS | METH_KEYWORDS,
     "complete_subset_sum_bytes($module, items, /, *, threads=None)\n--\n\n"
     "Run complete subset sum locally, answering little-endian bytes"},
    {"subset_sum_result_check", webinterface_subset_sum_result_check, METH_VARARGS,
     "subset_sum_result_check($module, words, s, /)\n--\n\n"
     "Check for a specific int in the results of subset sum"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_qernx(PyObject * /*module*/) {
  try {
    return qern_binding::open_completion_gate();
  } catch (const std::exception &) {  // the gate's mutex: out of resources
    PyErr_NoMemory();
    return -1;
  }
}

PyModuleDef_Slot qernx_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_qernx)},
#if PY_VERSION_HEX >= 0x030C0000
    // Completions enter the interpreter through PyGILState_Ensure, which
    // knows only the main interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

// No per-module state: the only state, the completion gate, must outlive any
// one module object, since background threads reach it after the module is
// gone.
PyModuleDef qernx_module = {
    PyModuleDef_HEAD_INIT, "qernx", nullptr, 0,       qernx_methods,
    qernx_slots,           nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_qernx(void) {
  return PyModuleDef_Init(&qernx_module);
}
