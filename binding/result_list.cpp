// The list of ints a solve returns, one per 64-bit word. Bitsets with long
// empty or full stretches, or with periodic parts, hold few distinct words, so
// equal words share one int object.
#include "result_list.h"

#include <sys/mman.h>

#include "py_ref.h"

namespace qern_binding {
namespace {

// Remembers the int object last made for each of a few word values, so that
// repeated words share one object: bitsets with periodic or sparse parts hold
// few distinct words. Owns one reference per filled slot.
class word_object_cache {
 public:
  word_object_cache() = default;
  word_object_cache(const word_object_cache &) = delete;
  word_object_cache &operator=(const word_object_cache &) = delete;
  ~word_object_cache() {
    for (const slot &entry : slots_)
      Py_XDECREF(entry.object);
  }

  // A new reference to an int equal to word, or null with an exception set.
  PyObject *get(uint64_t word) {
    slot &entry = slots_[(word * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits)];
    if (entry.object == nullptr || entry.word != word) {
      PyObject *made = PyLong_FromUnsignedLongLong(word);
      if (made == nullptr)
        return nullptr;
      Py_XSETREF(entry.object, made);
      entry.word = word;
    }
    Py_INCREF(entry.object);
    return entry.object;
  }

 private:
  static constexpr unsigned kSlotBits = 10;
  struct slot {
    uint64_t word = 0;
    PyObject *object = nullptr;
  };
  slot slots_[size_t{1} << kSlotBits];
};

// Asks for huge pages on the whole 2 MiB pages inside a large block that is
// not yet touched: fewer page faults while it is filled. Only advice.
void advise_huge_pages(void *block, size_t bytes) {
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  if (bytes < 4 * kHugePage)
    return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHugePage - 1);
  if (end > begin)
    madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace

PyObject *make_result_list(const uint64_t *words, size_t count) {
  if (count > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject *)) {
    return PyErr_NoMemory();
  }
  py_ref list = py_ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) {
    return nullptr;
  }
  PyObject **items = reinterpret_cast<PyListObject *>(list.get())->ob_item;
  advise_huge_pages(items, count * sizeof(PyObject *));
  word_object_cache cache;  // 16 KiB
  size_t i = 0;
  while (i < count) {
    const uint64_t word = words[i];
    PyObject *entry = cache.get(word);
    if (entry == nullptr) {
      return nullptr;
    }
    items[i++] = entry;
    // Runs of one word (empty or full stretches) skip the cache.
    while (i < count && words[i] == word) {
      Py_INCREF(entry);
      items[i++] = entry;
    }
  }
  return list.release();
}

}  // namespace qern_binding
