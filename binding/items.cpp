// Converts the caller's lists of ints into item arrays.
#include "items.h"

#include <csignal>
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

namespace {

// Converting a list of a hundred million items takes most of a second, and no
// Python code runs meanwhile: a Ctrl-C would wait for the end. Every so many
// items, and once more at the end, the conversion looks for one without
// running any handler.
constexpr Py_ssize_t kInterruptEvery = Py_ssize_t{1} << 20;

enum class conversion { done, failed, interrupted };

conversion convert_items(PyObject *inputList, parsed_items *parsed) {
  const Py_ssize_t length = PyList_GET_SIZE(inputList);
  word_array items(static_cast<uint64_t *>(malloc(length > 0 ? length * sizeof(uint64_t) : 1)));
  if (!items) {
    PyErr_NoMemory();
    return conversion::failed;
  }
  uint64_t total = 0;
  // PyList_GET_SIZE is read on every round: nothing may assume the list keeps
  // the length it had, should Python code run while it is converted.
  Py_ssize_t index = 0;
  for (; index < PyList_GET_SIZE(inputList) && index < length; ++index) {
    if (index % kInterruptEvery == kInterruptEvery - 1 && PyOS_InterruptOccurred()) {
      return conversion::interrupted;
    }
    uint64_t item;
    if (pull_item(inputList, index, &item) < 0) {
      return conversion::failed;
    }
    items[index] = item;
    if (total > UINT64_MAX - item) {
      PyErr_SetString(PyExc_OverflowError, "the total of the items does not fit in 64 bits");
      print_diagnostic("Error occured, overflow on input\n");
      return conversion::failed;
    }
    total += item;
  }
  if (index >= kInterruptEvery && PyOS_InterruptOccurred()) {
    return conversion::interrupted;
  }
  parsed->items = std::move(items);
  parsed->count = static_cast<size_t>(index);
  parsed->words = qern_word_count(total);
  return conversion::done;
}

// Runs the Python handler of SIGINT, as the interpreter would have for the
// signal that PyOS_InterruptOccurred took: called here, not tripped again,
// so the signal's byte is not written to the wakeup fd a second time.
int run_sigint_handler() {
  const py_ref signal_module = py_ref::steal(PyImport_ImportModule("signal"));
  if (!signal_module) {
    return -1;
  }
  const py_ref handler =
      py_ref::steal(PyObject_CallMethod(signal_module.get(), "getsignal", "i", SIGINT));
  if (!handler) {
    return -1;
  }
  if (!PyCallable_Check(handler.get())) {
    return 0;  // SIG_IGN, SIG_DFL or None: nothing to run
  }
  PyObject *frame = reinterpret_cast<PyObject *>(PyEval_GetFrame());
  const py_ref result = py_ref::steal(
      PyObject_CallFunction(handler.get(), "iO", SIGINT, frame != nullptr ? frame : Py_None));
  return result ? 0 : -1;
}

}  // namespace

int pull_item_list(PyObject *inputList, parsed_items *parsed) {
  if (check_is_list(inputList) < 0) {
    return -1;
  }
  while (true) {
    switch (convert_items(inputList, parsed)) {
      case conversion::done:
        return 0;
      case conversion::failed:
        return -1;
      case conversion::interrupted:
        // Looking took the SIGINT from the interpreter: its handler runs
        // here, then any other signal's, as they would between two
        // bytecodes. One that raises (KeyboardInterrupt) ends the call; one
        // that returns may have changed the list, which is converted again
        // as it stands.
        if (run_sigint_handler() < 0 || PyErr_CheckSignals() < 0) {
          return -1;
        }
        break;
    }
  }
}

}  // namespace qern_binding
