// An owner of one strong reference to a Python object, for the binding.
#ifndef QERN_BINDING_PY_REF_H
#define QERN_BINDING_PY_REF_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qern_binding {

// Owns one strong reference.
class py_ref {
 public:
  py_ref() = default;
  static py_ref steal(PyObject *object) { return py_ref(object); }
  static py_ref ref(PyObject *object) {
    Py_XINCREF(object);
    return py_ref(object);
  }
  py_ref(const py_ref &) = delete;
  py_ref &operator=(const py_ref &) = delete;
  py_ref(py_ref &&other) noexcept : object_(other.release()) {}
  py_ref &operator=(py_ref &&other) noexcept {
    py_ref(std::move(other)).swap(*this);
    return *this;
  }
  ~py_ref() { Py_XDECREF(object_); }

  PyObject *get() const { return object_; }
  PyObject *release() {
    PyObject *object = object_;
    object_ = nullptr;
    return object;
  }
  explicit operator bool() const { return object_ != nullptr; }
  void swap(py_ref &other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit py_ref(PyObject *object) : object_(object) {}
  PyObject *object_ = nullptr;
};

}  // namespace qern_binding

#endif  // QERN_BINDING_PY_REF_H
