// Turns a solved bitset into the list of ints the module returns.
#ifndef QERN_BINDING_RESULT_LIST_H
#define QERN_BINDING_RESULT_LIST_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "py_ref.h"

namespace qern_binding {

// A new list of `count` ints, one per word, equal words sharing one int
// object. Null with an exception set on failure.
PyObject *make_result_list(const uint64_t *words, size_t count);

// The same list with no second array: its own item array holds the words
// until they are turned into ints in place. For a solve that writes every
// word it is given.
class words_in_list {
 public:
  words_in_list() = default;
  words_in_list(const words_in_list &) = delete;
  words_in_list &operator=(const words_in_list &) = delete;
  ~words_in_list();

  // A list of count items whose array holds count words for now; false with
  // an exception set.
  bool allocate(size_t count);
  uint64_t *words() const;
  // The list of ints, or null with an exception set.
  PyObject *finish();

 private:
  py_ref list_;
  size_t count_ = 0;  // the words at the end of the array not yet ints
};

}  // namespace qern_binding

#endif  // QERN_BINDING_RESULT_LIST_H
