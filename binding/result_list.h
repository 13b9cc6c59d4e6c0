// Turns a solved bitset into the list of ints the module returns.
#ifndef QERN_BINDING_RESULT_LIST_H
#define QERN_BINDING_RESULT_LIST_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace qern_binding {

// A new list of `count` ints, one per word, equal words sharing one int
// object. Null with an exception set on failure.
PyObject *make_result_list(const uint64_t *words, size_t count);

}  // namespace qern_binding

#endif  // QERN_BINDING_RESULT_LIST_H
