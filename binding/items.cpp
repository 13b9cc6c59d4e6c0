// Converts the caller's lists of ints into item arrays.
#include "items.h"

#include <utility>

#include "py_ref.h"
#include "qern_types.h"
#include "reporting.h"

namespace qern_binding {

// The element is held by a strong reference, and the exception is set before
// the diagnostic is printed: printing flushes sys.stdout, which is Python code
// that may change the list and drop the element.
int pull_item(PyObject *inputList, Py_ssize_t index, uint64_t *item) {
  const py_ref element = py_ref::ref(PyList_GET_ITEM(inputList, index));
  if (!PyLong_Check(element.get())) {
    PyErr_Format(PyExc_TypeError, "item %zd must be an int, not %.200s", index,
                 Py_TYPE(element.get())->tp_name);
    print_diagnostic("Error occured with PyLong_Check\n");
    return -1;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(element.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Format(PyExc_OverflowError, "item %zd is out of range: items must be in [0, 2**64)",
                 index);
    return -1;
  }
  *item = value;
  return 0;
}

int check_is_list(PyObject *object) {
  if (PyList_Check(object)) {
    return 0;
  }
  PyErr_Format(PyExc_TypeError, "expected a list of ints, not %.200s", Py_TYPE(object)->tp_name);
  print_diagnostic("Error occured with PyList_Check %d\n", 0);
  return -1;
}

int pull_item_list(PyObject *inputList, parsed_items *parsed) {
  if (check_is_list(inputList) < 0) {
    return -1;
  }
  const Py_ssize_t length = PyList_GET_SIZE(inputList);
  word_array items(static_cast<uint64_t *>(malloc(length > 0 ? length * sizeof(uint64_t) : 1)));
  if (!items) {
    PyErr_NoMemory();
    return -1;
  }
  uint64_t total = 0;
  // PyList_GET_SIZE is read on every round: nothing may assume the list keeps
  // the length it had, should Python code run while it is converted.
  Py_ssize_t index = 0;
  for (; index < PyList_GET_SIZE(inputList) && index < length; ++index) {
    uint64_t item;
    if (pull_item(inputList, index, &item) < 0) {
      return -1;
    }
    items[index] = item;
    if (total > UINT64_MAX - item) {
      PyErr_SetString(PyExc_OverflowError, "the total of the items does not fit in 64 bits");
      print_diagnostic("Error occured, overflow on input\n");
      return -1;
    }
    total += item;
  }
  parsed->items = std::move(items);
  parsed->count = static_cast<size_t>(index);
  parsed->words = qern_word_count(total);
  return 0;
}

}  // namespace qern_binding
