// The module's methods: arguments in, one solve through the library's entry,
// the answer (or the exception) out.
#include "methods.h"

#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "completion_gate.h"
#include "items.h"
#include "py_ref.h"
#include "qern_lib.h"
#include "reporting.h"
#include "result_list.h"

namespace qern_binding {
namespace {

struct settings_deleter {
  void operator()(qern_settings *settings) const noexcept { qern_settings_free(settings); }
};
using settings_ptr = std::unique_ptr<qern_settings, settings_deleter>;

// The settings of one solve, read from the environment when the call is made,
// on the calling thread under the interpreter lock, and held as copies: Python
// code that runs during the solve (a signal handler) may change os.environ.
// Null with MemoryError set.
settings_ptr read_settings() {
  settings_ptr settings(qern_settings_from_environment());
  if (!settings) {
    PyErr_NoMemory();
  }
  return settings;
}

// The bytes call always solves in-process, whatever the environment says.
constexpr qern_settings kLocalOnly{1,       nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, 0};

// The bytes call's threads: its threads= argument (an int from 1, or None),
// else QERN_THREADS as the call finds it. Sets *threads (0: the default)
// and returns 0, or -1 with an exception set.
int threads_of(PyObject *argument, unsigned *threads) {
  if (argument == nullptr || argument == Py_None) {
    const settings_ptr settings = read_settings();
    if (!settings) {
      return -1;
    }
    *threads = settings->threads;
    return 0;
  }
  if (!PyLong_Check(argument)) {
    PyErr_Format(PyExc_TypeError, "threads must be an int or None, not %.200s",
                 Py_TYPE(argument)->tp_name);
    return -1;
  }
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(argument, &overflow);
  if (value == -1 && PyErr_Occurred()) {
    return -1;
  }
  if (overflow > 0) {
    *threads = 1024;
    return 0;
  }
  if (overflow < 0 || value < 1) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return -1;
  }
  // More threads than the process's CPUs are never started: the budget
  // caps them, so a huge count needs no error of its own.
  *threads = value > 1024 ? 1024u : static_cast<unsigned>(value);
  return 0;
}

// The stop check of a blocking solve: runs the interpreter's signal handlers
// on the calling thread, which holds the interpreter lock. A handler that
// raises (KeyboardInterrupt for Ctrl-C) ends the solve with its exception set.
int signals_raised(void * /*unused*/) {
  return PyErr_CheckSignals() < 0 ? 1 : 0;
}

// The interpreter lock, released for as long as this lives: only around pure
// C work on memory no Python code can reach.
class interpreter_released {
 public:
  interpreter_released() : state_(PyEval_SaveThread()) {}
  ~interpreter_released() { PyEval_RestoreThread(state_); }
  interpreter_released(const interpreter_released &) = delete;
  interpreter_released &operator=(const interpreter_released &) = delete;

  // Runs the signal handlers with the lock taken back for the moment: true
  // when one raised (its exception stays set for the caller).
  bool signals_raised() {
    PyEval_RestoreThread(state_);
    const bool raised = PyErr_CheckSignals() < 0;
    state_ = PyEval_SaveThread();
    return raised;
  }

 private:
  PyThreadState *state_;
};

// The stop check of a solve without the interpreter lock. Taking the lock
// back may wait for another thread's switch interval, so it is asked at
// most every 50 ms of the solve: Ctrl-C still ends it well within a second.
class unlocked_stop {
 public:
  explicit unlocked_stop(interpreter_released &released) : released_(released) {}

  qern_stop stop() { return qern_stop{check, this}; }

 private:
  static constexpr int64_t kEveryNs = 50'000'000;

  static int64_t now_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
  }

  static int check(void *context) {
    auto *self = static_cast<unlocked_stop *>(context);
    const int64_t now = now_ns();
    if (now < self->next_ns_) {
      return 0;
    }
    self->next_ns_ = now + kEveryNs;
    return self->released_.signals_raised() ? 1 : 0;
  }

  interpreter_released &released_;
  int64_t next_ns_ = now_ns() + kEveryNs;
};

// Parses the arguments of a solve that takes one list of items. Returns 0, or
// -1 with an exception set.
int parse_item_list(PyObject *args, parsed_items *parsed) {
  PyObject *inputList;
  if (!PyArg_ParseTuple(args, "O", &inputList)) {
    print_diagnostic("Error occured with parsing tuple %d\n", 0);
    return -1;
  }
  return pull_item_list(inputList, parsed);
}

}  // namespace

PyObject *complete_subset_sum(PyObject *args) {
  parsed_items parsed;
  if (parse_item_list(args, &parsed) < 0) {
    return nullptr;
  }
  const settings_ptr settings = read_settings();
  if (!settings) {
    return nullptr;
  }
  // Either solver writes every word it answers: straight into the list's array.
  words_in_list result;
  if (!result.allocate(parsed.words)) {
    return nullptr;
  }
  size_t result_buffer_size = parsed.words;
  char err_buf[QERN_ERR_BUF_SIZE] = {0};
  if (settings->keep_local != 1) {
    flush_python_stdout();  // the online solver prints its own diagnostics
  }
  const qern_stop stop{signals_raised, nullptr};
  const qern_status_t c_result = qern_solve(parsed.items.get(), parsed.count, result.words(),
                                            &result_buffer_size, err_buf, settings.get(), &stop);
  parsed.items.reset();
  if (c_result != 0) {
    if (c_result == -1) {
      print_diagnostic("Error occured %s\n", err_buf);
    }
    return raise_solve_failure(c_result, err_buf);
  }
  return result.finish();
}

// Answers from this size on are zeroed for nothing: glibc maps blocks of 32
// MiB and more afresh (its mmap threshold never rises past that on 64-bit
// machines), and its calloc leaves such pages untouched. A smaller block may
// be reused memory that calloc would clear in full, with the interpreter lock
// held, before a solve that writes every word anyway.
constexpr size_t kFreshAnswerBytes = size_t{32} << 20;

// The bytes object for an answer of `size` bytes: zeroed, and said to be, when
// that costs nothing; otherwise left as it comes, for the solver to write in
// full.
py_ref new_answer_bytes(size_t size, bool *zeroed) {
  *zeroed = size >= kFreshAnswerBytes;
  const auto length = static_cast<Py_ssize_t>(size);
  if (*zeroed) {
    return py_ref::steal(
        PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyBytes_Type), "n", length));
  }
  return py_ref::steal(PyBytes_FromStringAndSize(nullptr, length));
}

// Solved straight into the bytes object's buffer without the interpreter
// lock: other Python threads run meanwhile, and other bytes calls solve
// beside it. A big answer's buffer is fresh zeroed pages, and where the sums
// are few (a handful of huge items) the solver writes only the words that
// hold one: the pages between them are never faulted.
PyObject *complete_subset_sum_bytes(PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"", "threads", nullptr};
  PyObject *inputList;
  PyObject *threadsArgument = nullptr;
  // Arguments that do not parse, threads= among them, print the diagnostic
  // every call prints for its arguments.
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:complete_subset_sum_bytes",
                                   const_cast<char **>(keywords), &inputList, &threadsArgument)) {
    print_diagnostic("Error occured with parsing tuple %d\n", 0);
    return nullptr;
  }
  qern_settings local = kLocalOnly;
  if (threads_of(threadsArgument, &local.threads) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
      print_diagnostic("Error occured with parsing tuple %d\n", 0);
    }
    return nullptr;
  }
  parsed_items parsed;
  if (pull_item_list(inputList, &parsed) < 0) {
    return nullptr;
  }
  size_t result_buffer_size = parsed.words;
  if (result_buffer_size > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(uint64_t)) {
    return PyErr_NoMemory();
  }
  bool zeroed = false;
  py_ref resultBytes = new_answer_bytes(result_buffer_size * sizeof(uint64_t), &zeroed);
  if (!resultBytes) {
    return nullptr;
  }
  auto *result_buffer = reinterpret_cast<uint64_t *>(PyBytes_AS_STRING(resultBytes.get()));
  char err_buf[QERN_ERR_BUF_SIZE] = {0};
  qern_status_t c_result;
  {
    // The items are this call's own copy and the bytes object is not yet
    // anyone else's: no other thread can change either while the lock is
    // away.
    interpreter_released released;
    unlocked_stop stopper(released);
    const qern_stop stop = stopper.stop();
    c_result = zeroed ? qern_solve_into_zeros(parsed.items.get(), parsed.count, result_buffer,
                                              &result_buffer_size, err_buf, &local, &stop)
                      : qern_solve(parsed.items.get(), parsed.count, result_buffer,
                                   &result_buffer_size, err_buf, &local, &stop);
  }
  if (c_result != 0) {
    return raise_solve_failure(c_result, err_buf);
  }
  return resultBytes.release();
}

// Reads the list's length and the one word that holds bit s, converted as an
// item is: the other words are neither read nor checked.
PyObject *subset_sum_result_check(PyObject *args) {
  PyObject *inputList;
  unsigned long long index;
  if (!PyArg_ParseTuple(args, "OK", &inputList, &index)) {
    print_diagnostic("Error occured with parsing tuple %d\n", 0);
    return nullptr;
  }
  if (check_is_list(inputList) < 0) {
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

PyObject *complete_subset_sum_async(PyObject *args) {
  PyObject *inputList;
  PyObject *callbackFunction;
  if (!PyArg_ParseTuple(args, "OO", &inputList, &callbackFunction)) {
    print_diagnostic("Error occured with parsing tuple %d\n", 0);
    return nullptr;
  }
  parsed_items parsed;
  if (pull_item_list(inputList, &parsed) < 0) {
    return nullptr;
  }
  if (!PyCallable_Check(callbackFunction)) {
    PyErr_Format(PyExc_TypeError, "callback must be callable, not %.200s",
                 Py_TYPE(callbackFunction)->tp_name);
    return nullptr;
  }
  const settings_ptr settings = read_settings();
  if (!settings) {
    return nullptr;
  }
  py_ref callback = py_ref::ref(callbackFunction);
  flush_python_stdout();  // the solver prints its own diagnostics
  const int error = qern_solve_async(parsed.items.get(), parsed.count, settings.get(),
                                     complete_in_interpreter, callback.get());
  if (error == ENOMEM) {
    return PyErr_NoMemory();
  }
  if (error != 0) {
    PyErr_Format(PyExc_RuntimeError, "can't start new thread: %s", strerror(error));
    return nullptr;
  }
  // The background thread owns both from here on.
  parsed.items.release();
  callback.release();
  Py_RETURN_NONE;
}

}  // namespace qern_binding
