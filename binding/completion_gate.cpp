// Completions of background solves.
//
// A completion arrives on a thread the interpreter does not know. Once the
// interpreter has begun to shut down, PyGILState_Ensure would end that thread
// mid-stack or touch a finalised runtime, so completions pass a gate first:
// the atexit hook closes it and waits (without the interpreter lock) for the
// completions already inside; any later one frees its words and error text
// and never enters the interpreter.
#include "completion_gate.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>

#include "items.h"
#include "py_ref.h"
#include "reporting.h"
#include "result_list.h"

namespace qern_binding {
namespace {

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

}  // namespace

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

void complete_in_interpreter(qern_status_t status, uint64_t *words, size_t word_count,
                             void *callback, char *err_str) {
  const word_array owned_words(words);
  const qern_memory::heap_ptr<char[]> error_text(err_str);
  if (!enter_interpreter_gate()) {
    return;  // the interpreter is going away: the callback reference goes with it
  }
  const PyGILState_STATE gstate = PyGILState_Ensure();
  auto *pyCallbackFunction = static_cast<PyObject *>(callback);
  deliver_completion(status, owned_words.get(), word_count, pyCallbackFunction, error_text.get());
  Py_DECREF(pyCallbackFunction);
  PyGILState_Release(gstate);
  leave_interpreter_gate();
}

}  // namespace qern_binding
