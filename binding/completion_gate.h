// Brings a background solve's outcome back into the interpreter, through a
// gate that closes when the interpreter begins to shut down.
#ifndef QERN_BINDING_COMPLETION_GATE_H
#define QERN_BINDING_COMPLETION_GATE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "qern_lib.h"

namespace qern_binding {

// Opens the gate for this interpreter and registers the atexit hook that
// closes it. Returns 0, or -1 with an exception set.
int open_completion_gate();

// The completion function of a background solve (a qern_completion_t), on
// the background thread: owns words, err_str and the reference to the
// callback given as user_data, and calls the callback with the list of words
// (or None after a failure, which goes to sys.unraisablehook) unless the
// interpreter is shutting down.
void complete_in_interpreter(qern_status_t status, uint64_t *words, size_t word_count,
                             void *callback, char *err_str);

}  // namespace qern_binding

#endif  // QERN_BINDING_COMPLETION_GATE_H
