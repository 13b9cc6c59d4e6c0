// The list of ints a solve returns, one per 64-bit word. Bitsets with long
// empty or full stretches, or with periodic parts, hold few distinct words, so
// equal words share one int object.
#include "result_list.h"

#include <cstdlib>
#include <cstring>

#include "qern_memory.h"

namespace qern_binding {
namespace {

// Remembers the int object last made for each of many word values, so that
// repeated words share one object: bitsets with periodic or sparse parts hold
// few distinct words, and those of sums of near powers of two hold tens of
// thousands, each repeated many times. Owns one reference per filled slot.
class word_object_cache {
 public:
  // Slots scale with the answer, one per 32 words, from 2^10 (16 KiB) to
  // 2^18 (4 MiB): a table never costs more than an eighth of the list's
  // own array, and without the memory for it the smallest one serves.
  explicit word_object_cache(size_t count) {
    unsigned bits = kMinBits;
    while (bits < kMaxBits && (size_t{1} << (bits + 5)) < count)
      ++bits;
    for (; bits >= kMinBits; --bits) {
      slots_.reset(static_cast<slot *>(std::calloc(size_t{1} << bits, sizeof(slot))));
      if (slots_ || bits == kMinBits)
        break;
    }
    shift_ = 64 - bits;
    size_ = slots_ ? size_t{1} << bits : 0;
  }
  word_object_cache(const word_object_cache &) = delete;
  word_object_cache &operator=(const word_object_cache &) = delete;
  ~word_object_cache() {
    for (size_t i = 0; i < size_; ++i)
      Py_XDECREF(slots_[i].object);
  }

  // A new reference to an int equal to word, or null with an exception set.
  PyObject *get(uint64_t word) {
    if (size_ == 0)
      return PyLong_FromUnsignedLongLong(word);
    slot &entry = slots_[(word * 0x9E3779B97F4A7C15ull) >> shift_];
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
  static constexpr unsigned kMinBits = 10;
  static constexpr unsigned kMaxBits = 18;
  struct slot {
    uint64_t word;
    PyObject *object;
  };
  qern_memory::heap_ptr<slot[]> slots_;
  unsigned shift_ = 64 - kMinBits;
  size_t size_ = 0;
};

// Fills items [0, count) with ints equal to the words read from `words`,
// which may be the item array itself (each word is read before its own slot
// is written, and read by memcpy, which any type of storage allows). Returns
// the number of items filled: count, or fewer with an exception set.
size_t fill_items(const unsigned char *words, PyObject **items, size_t count) {
  auto word_at = [words](size_t i) {
    uint64_t word;
    std::memcpy(&word, words + i * sizeof word, sizeof word);
    return word;
  };
  word_object_cache cache(count);
  size_t i = 0;
  while (i < count) {
    const uint64_t word = word_at(i);
    PyObject *entry = cache.get(word);
    if (entry == nullptr) {
      return i;
    }
    items[i++] = entry;
    // Runs of one word (empty or full stretches) skip the cache, and take
    // their references in one update rather than one per item.
    Py_ssize_t run = 0;
    while (i < count && word_at(i) == word) {
      items[i++] = entry;
      ++run;
    }
    if (run > 0) {
      Py_SET_REFCNT(entry, Py_REFCNT(entry) + run);
    }
  }
  return count;
}

// A new list of count items, all null, with huge pages asked for its array.
py_ref new_list(size_t count) {
  if (count > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject *)) {
    PyErr_NoMemory();
    return py_ref();
  }
  py_ref list = py_ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (list) {
    qern_memory::advise_huge_pages(reinterpret_cast<PyListObject *>(list.get())->ob_item,
                                   count * sizeof(PyObject *));
  }
  return list;
}

}  // namespace

PyObject *make_result_list(const uint64_t *words, size_t count) {
  py_ref list = new_list(count);
  if (!list) {
    return nullptr;
  }
  PyObject **items = reinterpret_cast<PyListObject *>(list.get())->ob_item;
  if (fill_items(reinterpret_cast<const unsigned char *>(words), items, count) < count) {
    return nullptr;  // the items not filled are still null
  }
  return list.release();
}

static_assert(sizeof(PyObject *) == sizeof(uint64_t), "a word per list item");

bool words_in_list::allocate(size_t count) {
  list_ = new_list(count);
  if (!list_) {
    return false;
  }
  // Out of the collector's sight while it holds words, not objects: a signal
  // handler that runs during the solve may start a collection.
  PyObject_GC_UnTrack(list_.get());
  count_ = count;
  return true;
}

uint64_t *words_in_list::words() const {
  return reinterpret_cast<uint64_t *>(reinterpret_cast<PyListObject *>(list_.get())->ob_item);
}

PyObject *words_in_list::finish() {
  PyObject **items = reinterpret_cast<PyListObject *>(list_.get())->ob_item;
  const size_t filled = fill_items(reinterpret_cast<const unsigned char *>(items), items, count_);
  count_ -= filled;  // what is left still holds words
  if (count_ > 0) {
    return nullptr;
  }
  PyObject_GC_Track(list_.get());
  return list_.release();
}

words_in_list::~words_in_list() {
  if (list_ && count_ > 0) {
    // Words left unconverted are no objects: the list may only free nulls.
    auto *list = reinterpret_cast<PyListObject *>(list_.get());
    std::memset(list->ob_item + (Py_SIZE(list) - static_cast<Py_ssize_t>(count_)), 0,
                count_ * sizeof(PyObject *));
  }
}

}  // namespace qern_binding
