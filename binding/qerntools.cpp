// The qernx extension module: converts interpreter lists to solver items and
// sums bitsets back to lists, and raises the solver's failures.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "py_ref.h"
#include "qern_heap.h"
#include "qern_lib.h"
#include "result_list.h"

namespace {

using qern_binding::make_result_list;
using qern_binding::py_ref;

// A malloc'd array: the library frees what it is handed with free(), so
// everything that may cross into it comes from malloc too.
using word_array = qern_internal::heap_ptr<uint64_t[]>;

// Flushes Python's own sys.stdout so that what C writes next to file
// descriptor 1 appears after what Python printed before it. Any exception
// already pending is kept as it is.
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

// Prints one diagnostic to standard output, in order with Python's output.
// Needs the interpreter lock.
[[gnu::format(printf, 1, 2)]] void print_diagnostic(const char *format, ...) {
  flush_python_stdout();
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}

// Reads element `index` of the list as an item in [0, 2^64). Returns 0, or -1
// with TypeError or OverflowError set. The caller has checked that the index
// is within the list as it is now.
//
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

// Converts an interpreter list (or list subclass) of ints into a malloc'd array
// of unsigned 64-bit items. When total_sum is not null it also sums the items
// and refuses a total that does not fit in 64 bits. Returns 0 on success, or
// -1 with an exception set; the outputs are written only on success.
int _pull_input_list_from_py_obj(PyObject *inputList, word_array *c_input_array,
                                 size_t *input_length, uint64_t *total_sum) {
  if (!PyList_Check(inputList)) {
    PyErr_Format(PyExc_TypeError, "expected a list of ints, not %.200s",
                 Py_TYPE(inputList)->tp_name);
    print_diagnostic("Error occured with PyList_Check %d\n", 0);
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
    if (total_sum != nullptr) {
      if (total > UINT64_MAX - item) {
        PyErr_SetString(PyExc_OverflowError, "the total of the items does not fit in 64 bits");
        print_diagnostic("Error occured, overflow on input\n");
        return -1;
      }
      total += item;
    }
  }
  *c_input_array = std::move(items);
  *input_length = static_cast<size_t>(index);
  if (total_sum != nullptr) {
    *total_sum = total;
  }
  return 0;
}

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

// Allocates a zero-filled words array for `count` words, or sets MemoryError.
word_array allocate_words(size_t count) {
  word_array words(static_cast<uint64_t *>(calloc(count, sizeof(uint64_t))));
  if (!words) {
    PyErr_NoMemory();
  }
  return words;
}

// The settings of one solve, read from the environment when the call is made,
// on the calling thread under the interpreter lock, and held as copies: Python
// code that runs during the solve (a signal handler) may change os.environ, and
// a background thread must never read the environment itself.
class call_settings {
 public:
  // Returns false with MemoryError set when the copies cannot be made.
  bool read() {
    try {
      keep_local_ = keep_local();
      api_url_ = copy_of(getenv("QERN_API_URL"));
      api_key_ = copy_of(getenv("QERN_API_KEY"));
      max_retries_ = copy_of(getenv("QERN_MAXRETRIES"));
      https_proxy_ = copy_of(qern_https_proxy_from_environment());
      no_proxy_ = copy_of(qern_no_proxy_from_environment());
      return true;
    } catch (const std::bad_alloc &) {
      PyErr_NoMemory();
      return false;
    }
  }
  // Borrows this object's strings.
  qern_settings view() const {
    return qern_settings{keep_local_,           text_of(api_url_),     text_of(api_key_),
                         text_of(max_retries_), text_of(https_proxy_), text_of(no_proxy_)};
  }

 private:
  static std::optional<std::string> copy_of(const char *value) {
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
  }
  static const char *text_of(const std::optional<std::string> &value) {
    return value ? value->c_str() : nullptr;
  }
  int keep_local_ = 0;
  std::optional<std::string> api_url_, api_key_, max_retries_, https_proxy_, no_proxy_;
};

// The stop check of a blocking solve: runs the interpreter's signal handlers
// on the calling thread, which holds the interpreter lock. A handler that
// raises (KeyboardInterrupt for Ctrl-C) ends the solve with its exception set.
int signals_raised(void * /*unused*/) {
  return PyErr_CheckSignals() < 0 ? 1 : 0;
}

// Sets the exception for a failed solve's status; returns nullptr.
PyObject *raise_solve_failure(qern_status_t status, const char *err_buf) {
  switch (status) {
    case QERN_STATUS_STOPPED:
      if (!PyErr_Occurred()) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
      }
      break;
    case QERN_STATUS_NO_MEMORY:
      PyErr_SetString(PyExc_MemoryError, err_buf);
      break;
    default:
      PyErr_SetString(PyExc_ConnectionError, err_buf);
      break;
  }
  return nullptr;
}

// ---- Completions of background solves --------------------------------------
//
// A completion arrives on a thread the interpreter does not know. Once the
// interpreter has begun to shut down, PyGILState_Ensure would end that thread
// mid-stack or touch a finalised runtime, so completions pass a gate first:
// the atexit hook closes it and waits (without the interpreter lock) for the
// completions already inside; any later one frees its words and error text
// and never enters the interpreter.
struct completion_gate {
  std::mutex mutex;
  std::condition_variable idle;
  bool closing = false;
  int inside = 0;
};

// Never destroyed: completions may still reach it while static destructors run.
completion_gate &gate() {
  static completion_gate *const instance = new completion_gate;
  return *instance;
}

constexpr auto kShutdownWait = std::chrono::seconds(3);

// The gate's locking cannot fail on a mutex that is used correctly; should it
// throw all the same (std::system_error), a completion counts the gate as
// closed, and the exit hook stops waiting.
bool enter_interpreter_gate() {
  try {
    std::lock_guard<std::mutex> lock(gate().mutex);
    if (gate().closing) {
      return false;
    }
    ++gate().inside;
    return true;
  } catch (const std::system_error &) {
    return false;
  }
}

void leave_interpreter_gate() {
  try {
    std::lock_guard<std::mutex> lock(gate().mutex);
    if (--gate().inside == 0) {
      gate().idle.notify_all();
    }
  } catch (const std::system_error &) {
  }
}

// The atexit hook: closes the gate, then waits for the completions inside;
// then stops the online transfers still running, which must be out of libcurl
// before the process's exit handlers tear the TLS library down.
PyObject *close_completion_gate(PyObject * /*self*/, PyObject * /*unused*/) {
  Py_BEGIN_ALLOW_THREADS;
  try {
    std::unique_lock<std::mutex> lock(gate().mutex);
    gate().closing = true;
    gate().idle.wait_for(lock, kShutdownWait, [] { return gate().inside == 0; });
  } catch (const std::system_error &) {
  }
  qern_stop_transfers();
  Py_END_ALLOW_THREADS;
  Py_RETURN_NONE;
}

PyMethodDef close_completion_gate_def = {"_close_completion_gate", close_completion_gate,
                                         METH_NOARGS, nullptr};

// Opens the gate for this interpreter and registers the hook that closes it.
// Returns 0, or -1 with an exception set.
int open_completion_gate() {
  {
    std::lock_guard<std::mutex> lock(gate().mutex);
    gate().closing = false;
  }
  py_ref atexit = py_ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) {
    return -1;
  }
  py_ref hook = py_ref::steal(PyCFunction_New(&close_completion_gate_def, nullptr));
  if (!hook) {
    return -1;
  }
  py_ref registered = py_ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return registered ? 0 : -1;
}

// Runs inside the interpreter: delivers the outcome to the callback. Every
// exception goes to sys.unraisablehook; none is left pending.
void deliver_completion(qern_status_t result, const uint64_t *output_binary,
                        size_t output_binary_size, PyObject *pyCallbackFunction,
                        const char *err_str) {
  py_ref resultList;
  if (result != 0) {
    raise_solve_failure(result, err_str != nullptr ? err_str : "solve failed");
    PyErr_WriteUnraisable(pyCallbackFunction);
  } else {
    resultList = py_ref::steal(make_result_list(output_binary, output_binary_size));
    if (!resultList) {
      PyErr_WriteUnraisable(pyCallbackFunction);
    }
  }
  py_ref returned = py_ref::steal(
      PyObject_CallOneArg(pyCallbackFunction, resultList ? resultList.get() : Py_None));
  if (!returned) {
    PyErr_WriteUnraisable(pyCallbackFunction);
  }
}

// The completion function of the background solve: owns output_binary,
// err_str and the reference to the callback.
void _async_callback(qern_status_t result, uint64_t *output_binary, size_t output_binary_size,
                     void *pyCallbackFunction, char *err_str) {
  const word_array words(output_binary);
  const qern_internal::heap_ptr<char[]> error_text(err_str);
  if (!enter_interpreter_gate()) {
    return;  // the interpreter is going away: the callback reference goes with it
  }
  const PyGILState_STATE gstate = PyGILState_Ensure();
  auto *callback = static_cast<PyObject *>(pyCallbackFunction);
  deliver_completion(result, words.get(), output_binary_size, callback, error_text.get());
  Py_DECREF(callback);
  PyGILState_Release(gstate);
  leave_interpreter_gate();
}

// The items of a solve that takes one list, converted, and the number of
// words of its answer.
struct parsed_items {
  word_array items;
  size_t count = 0;
  size_t words = 0;
};

// Parses the arguments of a solve that takes one list of items. Returns 0, or
// -1 with an exception set.
int parse_item_list(PyObject *args, parsed_items *parsed) {
  PyObject *inputList;
  if (!PyArg_ParseTuple(args, "O", &inputList)) {
    print_diagnostic("Error occured with parsing tuple %d\n", 0);
    return -1;
  }
  uint64_t total_sum = 0;
  if (_pull_input_list_from_py_obj(inputList, &parsed->items, &parsed->count, &total_sum) < 0) {
    return -1;
  }
  parsed->words = static_cast<size_t>(total_sum / 64) + 1;
  return 0;
}

// complete_subset_sum(items: list[int]) -> list[int]
PyObject *complete_subset_sum_call(PyObject *args) {
  parsed_items parsed;
  if (parse_item_list(args, &parsed) < 0) {
    return nullptr;
  }
  word_array &c_input_array = parsed.items;
  const size_t input_length = parsed.count;
  size_t result_buffer_size = parsed.words;
  call_settings settings;
  if (!settings.read()) {
    return nullptr;
  }
  const qern_settings settings_view = settings.view();
  const qern_stop stop{signals_raised, nullptr};
  if (settings_view.keep_local == 1) {
    // The local solver writes every word: straight into the list's array.
    qern_binding::words_in_list result;
    if (!result.allocate(result_buffer_size)) {
      return nullptr;
    }
    const qern_status_t c_result =
        fmss_solve(c_input_array.get(), input_length, result.words(), &result_buffer_size, &stop);
    if (c_result != 0) {
      return raise_solve_failure(c_result,
                                 "[Local failure] not enough memory for the local solver");
    }
    return result.finish();
  }
  word_array result_buffer = allocate_words(result_buffer_size);
  if (!result_buffer) {
    return nullptr;
  }
  char err_buf[QERN_ERR_BUF_SIZE] = {0};
  flush_python_stdout();  // the solver prints its own diagnostics
  const qern_status_t c_result = qern_solve(c_input_array.get(), input_length, result_buffer.get(),
                                            &result_buffer_size, err_buf, &settings_view, &stop);
  c_input_array.reset();
  if (c_result != 0) {
    if (c_result == -1) {
      print_diagnostic("Error occured %s\n", err_buf);
    }
    return raise_solve_failure(c_result, err_buf);
  }
  return make_result_list(result_buffer.get(), result_buffer_size);
}

// complete_subset_sum_bytes(items: list[int]) -> bytes
// The same bitset as little-endian bytes, solved by the local solver straight
// into the bytes object's buffer.
PyObject *complete_subset_sum_bytes_call(PyObject *args) {
  parsed_items parsed;
  if (parse_item_list(args, &parsed) < 0) {
    return nullptr;
  }
  word_array &c_input_array = parsed.items;
  const size_t input_length = parsed.count;
  size_t result_buffer_size = parsed.words;
  if (result_buffer_size > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(uint64_t)) {
    return PyErr_NoMemory();
  }
  py_ref resultBytes = py_ref::steal(PyBytes_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>(result_buffer_size * sizeof(uint64_t))));
  if (!resultBytes) {
    return nullptr;
  }
  // The solver writes every one of the words, so the buffer needs no clearing.
  auto *result_buffer = reinterpret_cast<uint64_t *>(PyBytes_AS_STRING(resultBytes.get()));
  const qern_stop stop{signals_raised, nullptr};
  const qern_status_t c_result =
      fmss_solve(c_input_array.get(), input_length, result_buffer, &result_buffer_size, &stop);
  if (c_result != 0) {
    return raise_solve_failure(c_result, "out of memory in the local solver");
  }
  return resultBytes.release();
}

// subset_sum_result_check(words: list[int], s: int) -> bool | None
//
// Reads the list's length and the one word that holds bit s, converted as an
// item is: the other words are neither read nor checked.
PyObject *subset_sum_result_check_call(PyObject *args) {
  PyObject *inputList;
  unsigned long long index;
  if (!PyArg_ParseTuple(args, "OK", &inputList, &index)) {
    print_diagnostic("Error occured with parsing tuple %d\n", 0);
    return nullptr;
  }
  if (!PyList_Check(inputList)) {
    PyErr_Format(PyExc_TypeError, "expected a list of ints, not %.200s",
                 Py_TYPE(inputList)->tp_name);
    print_diagnostic("Error occured with PyList_Check %d\n", 0);
    return nullptr;
  }
  const unsigned long long check_entry = index / 64;
  const unsigned check_offset = static_cast<unsigned>(index % 64);
  const auto input_length = static_cast<unsigned long long>(PyList_GET_SIZE(inputList));
  if (check_entry < input_length) {
    uint64_t word;
    if (pull_item(inputList, static_cast<Py_ssize_t>(check_entry), &word) < 0) {
      return nullptr;
    }
    return PyBool_FromLong((word & (uint64_t{1} << check_offset)) != 0);
  }
  print_diagnostic(
      "Error occured in result check, entry %llu is out of bounds of input of length %llu",
      check_entry, input_length);
  Py_RETURN_NONE;
}

// complete_subset_sum_async(items: list[int], callback) -> None
PyObject *complete_subset_sum_async_call(PyObject *args) {
  PyObject *inputList;
  PyObject *callbackFunction;
  if (!PyArg_ParseTuple(args, "OO", &inputList, &callbackFunction)) {
    print_diagnostic("Error occured with parsing tuple %d\n", 0);
    return nullptr;
  }
  word_array c_input_array;
  size_t input_length = 0;
  uint64_t total_sum = 0;
  if (_pull_input_list_from_py_obj(inputList, &c_input_array, &input_length, &total_sum) < 0) {
    return nullptr;
  }
  if (!PyCallable_Check(callbackFunction)) {
    PyErr_Format(PyExc_TypeError, "callback must be callable, not %.200s",
                 Py_TYPE(callbackFunction)->tp_name);
    return nullptr;
  }
  call_settings settings;
  if (!settings.read()) {
    return nullptr;
  }
  const qern_settings settings_view = settings.view();
  py_ref callback = py_ref::ref(callbackFunction);
  flush_python_stdout();  // the solver prints its own diagnostics
  const int error = qern_solve_async(c_input_array.get(), input_length, &settings_view,
                                     _async_callback, callback.get());
  if (error == ENOMEM) {
    return PyErr_NoMemory();
  }
  if (error != 0) {
    PyErr_Format(PyExc_RuntimeError, "can't start new thread: %s", strerror(error));
    return nullptr;
  }
  // The background thread owns both from here on.
  c_input_array.release();
  callback.release();
  Py_RETURN_NONE;
}

}  // namespace

extern "C" {

PyObject *webinterface_complete_subset_sum(PyObject * /*self*/, PyObject *args) {
  return without_exceptions([&] { return complete_subset_sum_call(args); });
}

PyObject *webinterface_subset_sum_result_check(PyObject * /*self*/, PyObject *args) {
  return without_exceptions([&] { return subset_sum_result_check_call(args); });
}

PyObject *webinterface_complete_subset_sum_async(PyObject * /*self*/, PyObject *args) {
  return without_exceptions([&] { return complete_subset_sum_async_call(args); });
}

PyObject *webinterface_complete_subset_sum_bytes(PyObject * /*self*/, PyObject *args) {
  return without_exceptions([&] { return complete_subset_sum_bytes_call(args); });
}

}  // extern "C"

namespace {

PyMethodDef QERNXMethods[] = {
    {"complete_subset_sum", webinterface_complete_subset_sum, METH_VARARGS,
     "Run complete subset sum"},
    {"complete_subset_sum_async", webinterface_complete_subset_sum_async, METH_VARARGS,
     "Run complete subset sum"},
    {"complete_subset_sum_bytes", webinterface_complete_subset_sum_bytes, METH_VARARGS,
     "Run complete subset sum locally, answering little-endian bytes"},
    {"subset_sum_result_check", webinterface_subset_sum_result_check, METH_VARARGS,
     "Check for a specific int in the results of subset sum"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef qernx_module = {
    PyModuleDef_HEAD_INIT, "qernx", nullptr, -1, QERNXMethods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_qernx(void) {
  return without_exceptions([]() -> PyObject * {
    py_ref module = py_ref::steal(PyModule_Create2(&qernx_module, 1013));
    if (!module || open_completion_gate() < 0) {
      return nullptr;
    }
    return module.release();
  });
}
