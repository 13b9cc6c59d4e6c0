// Interpreter lists of ints to arrays of unsigned 64-bit items, as the
// library takes them.
#ifndef QERN_BINDING_ITEMS_H
#define QERN_BINDING_ITEMS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "qern_memory.h"

namespace qern_binding {

// A malloc'd array: the library frees what it is handed with free(), so
// everything that may cross into it comes from malloc too.
using word_array = qern_memory::heap_ptr<uint64_t[]>;

// Reads element `index` of the list as an int in [0, 2^64). Returns 0, or -1
// with TypeError or OverflowError set. The caller has checked that the index
// is within the list as it is now.
int pull_item(PyObject *inputList, Py_ssize_t index, uint64_t *item);

// The items of a list, converted, their count and the number of words of
// their answer.
struct parsed_items {
  word_array items;
  size_t count = 0;
  size_t words = 0;
};

// Converts a list (or list subclass) of ints whose total fits in 64 bits.
// Returns 0, or -1 with TypeError or OverflowError set (and the diagnostic
// printed that goes with it), or with what a signal handler raised: a Ctrl-C
// that comes during a long conversion runs the handlers, and the list is
// converted again if they return. `parsed` is written only on success.
int pull_item_list(PyObject *inputList, parsed_items *parsed);

// Refuses anything but a list, as the calls that take one do: TypeError and
// the diagnostic. Returns 0 for a list, else -1.
int check_is_list(PyObject *object);

}  // namespace qern_binding

#endif  // QERN_BINDING_ITEMS_H
