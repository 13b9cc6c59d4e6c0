// The bodies of the module's four methods. Each takes the positional
// arguments tuple and returns a new reference, or nullptr with an exception
// set; a C++ exception may leave them (module.cpp turns it into one).
#ifndef QERN_BINDING_METHODS_H
#define QERN_BINDING_METHODS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qern_binding {

// complete_subset_sum(items, /) -> list[int]
PyObject *complete_subset_sum(PyObject *args);

// complete_subset_sum_bytes(items, /, *, threads=None) -> bytes
PyObject *complete_subset_sum_bytes(PyObject *args, PyObject *kwargs);

// subset_sum_result_check(words, s, /) -> bool | None
PyObject *subset_sum_result_check(PyObject *args);

// complete_subset_sum_async(items, callback, /) -> None
PyObject *complete_subset_sum_async(PyObject *args);

}  // namespace qern_binding

#endif  // QERN_BINDING_METHODS_H
