// The list of ints a solve returns, one per 64-bit word. Bitsets with long
// empty or full stretches, or with periodic parts, hold few distinct words, so
// equal words share one int object.
#include "result_list.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qern_memory.h"

namespace qern_binding {
namespace {

// Gives an object n more references in one update. A debug build keeps a
// total of all references, which only Py_INCREF counts.
void add_references(PyObject *object, Py_ssize_t n) {
#if defined(Py_REF_DEBUG) || defined(Py_GIL_DISABLED)
  // A free-threaded build splits the count between the owning thread and
  // the others: only Py_INCREF knows which to move.
  for (; n > 0; --n) {
    Py_INCREF(object);
  }
#else
  Py_SET_REFCNT(object, Py_REFCNT(object) + n);
#endif
}

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
    slot &entry = slots_[index_of(word)];
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

  // Hints only: they read the table but change nothing.
  void prefetch_slot(uint64_t word) const {
    if (size_ > 0) {
      __builtin_prefetch(&slots_[index_of(word)], 0);
    }
  }
  void prefetch_object(uint64_t word) const {
    if (size_ > 0) {
      __builtin_prefetch(slots_[index_of(word)].object, 1);
    }
  }

 private:
  size_t index_of(uint64_t word) const { return (word * 0x9E3779B97F4A7C15ull) >> shift_; }

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

// The words are read a batch at a time, each before its own slot is
// written, so that `words` may be the item array itself.
constexpr size_t kBatch = 64;
// Periods up to this many words are copied rather than looked up: answers of
// items sharing a divisor d repeat every d / gcd(d, 64) words, most often a
// few.
constexpr size_t kMaxPeriod = 8;
// The words a period check compares before its one chance to give up.
constexpr size_t kStretch = 16;
// How far ahead of the word it turns into an int the fill fetches the cache
// slot of a coming word, and the int that slot holds.
constexpr size_t kSlotAhead = 32;
constexpr size_t kObjectAhead = 16;
// How far ahead the words themselves are fetched, in bytes.
constexpr size_t kWordsAhead = 2048;
// Longer periods, up to this many words, are looked for ahead of the fill:
// wherever every reduced sum is reachable, answers of items sharing a
// divisor d repeat every d / gcd(d, 64) words (125 for d = 1000), and a
// stretch found to repeat is copied a period at a time, with no lookups.
constexpr size_t kMaxLongPeriod = 4096;
// A stretch is copied once the batch it starts with, then a period and at
// least this many words more, are seen to repeat: every word copied saves a
// lookup, but a shorter stretch does not pay for the search.
constexpr size_t kMinLongStretch = 4 * kBatch;
// Distances at which the batch's first word that is neither empty nor full
// recurs, tried as periods before the search gives up: such a word may
// recur more often than the batch does.
constexpr unsigned kCandidatesTried = 8;
// After a search that found nothing, the next one waits this many words,
// twice as many after each further miss: an answer that never repeats so
// pays for a few dozen searches of a few microseconds.
constexpr size_t kFirstSearchSkip = 4 * kBatch;
// A search starts only while the fill's searches so far have looked at
// fewer than (count + i) / kSearchShare words, i being where the fill is,
// and stops there but for its last comparison (at most a period of 4096
// words, which later searches then wait for) or a stretch it confirms (not
// counted: the copy repays it). So an answer of a few hundred words may be
// found to repeat from its start, a long one keeps finding its stretches,
// and answers that nearly repeat, over and over, do not pay for each near
// miss in full. A search compares a word in a fraction of the time a lookup
// takes.
constexpr size_t kSearchShare = 8;

uint64_t word_at(const unsigned char *words, size_t i) {
  uint64_t word;
  std::memcpy(&word, words + i * sizeof word, sizeof word);  // any storage type
  return word;
}

// Whether the n words at `at` carry on the words before them with period p
// (before[kMaxPeriod - q] is the word q places back). The ends are tried
// first, then the first kStretch words, then the rest, each stretch with no
// early exit so that it vectorizes: most batches that are not periodic fail
// on a few loads, even those of sparse answers, whose words are mostly 0.
// (A check after every stretch cost periodic batches more than it saved.)
bool carries_on(const unsigned char *at, size_t n, const uint64_t *before, size_t p) {
  if (word_at(at, 0) != before[kMaxPeriod - p] ||
      (n > p && word_at(at, n - 1) != word_at(at, n - 1 - p))) {
    return false;
  }
  uint64_t differ = 0;
  for (size_t j = 0; j < p && j < n; ++j) {
    differ |= word_at(at, j) ^ before[kMaxPeriod - p + j];
  }
  const size_t first_stretch = std::min(n, p + kStretch);
  for (size_t j = p; j < first_stretch; ++j) {
    differ |= word_at(at, j) ^ word_at(at, j - p);
  }
  if (differ != 0) {
    return false;
  }
  for (size_t j = first_stretch; j < n; ++j) {
    differ |= word_at(at, j) ^ word_at(at, j - p);
  }
  return differ == 0;
}

// The shortest period up to kMaxPeriod with which the n words at `at` carry
// on the words before them, or 0.
size_t period_carried_on(const unsigned char *at, size_t n, const uint64_t *before) {
  for (size_t p = 1; p <= kMaxPeriod; ++p) {
    if (carries_on(at, n, before, p)) {
      return p;
    }
  }
  return 0;
}

// Repeats the `period` ints before `to` over its n slots, each int taking
// all its new references in one update.
void repeat_items(PyObject **to, size_t n, size_t period) {
  if (period == 1) {
    std::fill(to, to + n, to[-1]);
    add_references(to[-1], static_cast<Py_ssize_t>(n));
    return;
  }
  // From a copy: reading slots just stored, a period apart, would stall each
  // load on the store before it.
  PyObject *ring[kMaxPeriod];
  for (size_t r = 0; r < period; ++r) {
    ring[r] = *(to - period + r);
  }
  for (size_t j = 0, r = 0; j < n; ++j) {
    to[j] = ring[r];
    r = r + 1 == period ? 0 : r + 1;
  }
  for (size_t r = 0; r < period && r < n; ++r) {
    const Py_ssize_t uses = static_cast<Py_ssize_t>((n - r + period - 1) / period);
    add_references(ring[r], uses);
  }
}

// Whether the n words at `at` look like runs of equal words: eight pairs of
// neighbours spread over them are tried, and two equal pairs will do. (A
// count over every word costs more than the runs save: this build's vectors
// cannot compare 64-bit words.)
bool looks_like_runs(const unsigned char *at, size_t n) {
  constexpr size_t kPairs = 8;
  const size_t step = n / kPairs;
  if (step < 2) {
    return false;
  }
  unsigned same = 0;
  for (size_t k = 0; k < kPairs; ++k) {
    same += word_at(at, k * step) == word_at(at, k * step + 1) ? 1 : 0;
  }
  return same >= 2;
}

// Turns the n words from word i on into ints through the cache. With
// kRuns, a word equal to the one before takes its int, and a run of them one
// reference count update: sparse answers are mostly runs of 0. Without it,
// for batches with few such words, the check would only slow each lookup.
// Returns n, or fewer with an exception set.
template <bool kRuns>
size_t look_up_batch(const unsigned char *words, size_t i, size_t n, size_t count,
                     word_object_cache &cache, PyObject **items) {
  PyObject *last = nullptr;
  uint64_t last_word = 0;
  Py_ssize_t repeats = 0;
  size_t j = 0;
  for (; j < n; ++j, ++i) {
    const uint64_t word = word_at(words, i);
    if (kRuns && last != nullptr && word == last_word) {
      items[i] = last;
      ++repeats;
      continue;
    }
    if (kRuns && repeats > 0) {
      add_references(last, repeats);
      repeats = 0;
    }
    // The slots and ints of coming words are fetched while this one is
    // made: most of an answer's distinct words are far apart in memory.
    if (i + kSlotAhead < count) {
      cache.prefetch_slot(word_at(words, i + kSlotAhead));
    }
    if (i + kObjectAhead < count) {
      cache.prefetch_object(word_at(words, i + kObjectAhead));
    }
    PyObject *entry = cache.get(word);
    if (entry == nullptr) {
      break;
    }
    items[i] = entry;
    last = entry;
    last_word = word;
  }
  if (kRuns && repeats > 0) {
    add_references(last, repeats);
  }
  return j;
}

// Stretches of words that repeat with a period above kMaxPeriod. One is
// looked for ahead of the fill; once the fill has made the ints of its first
// period, the rest of it is copied from them as far as the words still
// repeat, compared and copied a span at a time while they are in the cache.
class long_period {
 public:
  // Looks for the first period with which the words from the batch at i
  // on, none of them turned into ints yet, repeat for a stretch worth
  // copying. The stretch starts at the batch's first word that is neither
  // empty nor full (the words before it may end a gap or another stretch),
  // and there is none when all are, since they recur at every distance.
  // Adds the words it compares to `compared`, and starts no comparison past
  // `budget` but that of a stretch whose first batch repeats: a stretch
  // found is not counted, since its copy repays it, and a miss may run past
  // the budget, the fill's later searches then waiting the longer. Out of
  // line, as copy() is: both run seldom, and inlined they slowed the fill's
  // common loop.
  [[gnu::noinline]] bool find(const unsigned char *words, size_t i, size_t count, size_t budget,
                              size_t &compared) {
    period_ = 0;
    size_t start = i;
    const size_t batch_end = std::min(i + kBatch, count);
    while (start < batch_end &&
           (word_at(words, start) == 0 || word_at(words, start) == ~uint64_t{0})) {
      ++start;
    }
    if (start == batch_end || count - start < kMaxPeriod + kBatch + kMinLongStretch) {
      return false;
    }
    const uint64_t value = word_at(words, start);
    const unsigned char *at = words + start * sizeof(uint64_t);
    // A stretch of period p is copied only if a period and
    // max(kMinLongStretch, p) words more lie ahead.
    const size_t ahead = count - start;
    const size_t highest = std::min({kMaxLongPeriod, ahead - kMinLongStretch, ahead / 2});
    unsigned tried = 0;
    for (size_t p = kMaxPeriod + 1; p <= highest && tried < kCandidatesTried; ++p) {
      if (compared >= budget) {
        return false;
      }
      ++compared;
      if (word_at(words, start + p) != value) {
        continue;
      }
      ++tried;
      if (budget - compared < kBatch) {
        return false;
      }
      compared += kBatch;
      if (std::memcmp(at + p * sizeof(uint64_t), at, kBatch * sizeof(uint64_t)) != 0) {
        continue;
      }
      const size_t needed = std::max(kMinLongStretch, p);
      if (std::memcmp(at + p * sizeof(uint64_t), at, needed * sizeof(uint64_t)) != 0) {
        compared += needed;
        continue;
      }
      return keep(at, start, p);
    }
    return false;
  }

  // The first word to copy, once a period is found.
  size_t from() const { return period_ == 0 ? SIZE_MAX : base_ + period_; }

  // Fills slots from from() on with the ints a period before each, as far as
  // the words repeat, each int taking all its new references in one update.
  // Returns where the words stop repeating, with the kMaxPeriod words before
  // it in `last`. The period is then used up.
  [[gnu::noinline]] size_t copy(const unsigned char *words, PyObject **items, size_t count,
                                uint64_t *last) {
    size_t k = from();
    size_t back = period_;  // a whole number of periods, at most spans_
    while (k < count) {
      const size_t n = std::min(back, count - k);
      const unsigned char *at = words + k * sizeof(uint64_t);
      if (std::memcmp(at, span_.get(), n * sizeof(uint64_t)) != 0) {
        size_t same = 0;
        while (word_at(at, same) == span_[same]) {
          ++same;  // stops inside the span
        }
        std::memcpy(items + k, items + k - back, same * sizeof(PyObject *));
        k += same;
        break;
      }
      std::memcpy(items + k, items + k - back, n * sizeof(PyObject *));
      k += n;
      back = std::min(2 * back, spans_);
    }
    // Slot base + r recurs at base + r + m * period for m >= 1 below k,
    // (k - 1 - base - r) / period times: `whole` times for r up to `rest`,
    // once fewer after, and only those below base + (k - from) at all.
    // Neighbours holding one int, most often the shared 0 of a sparse
    // answer, take their references together: updates of one count, one
    // after another, would each wait for the last.
    const size_t recurring = std::min(period_, k - from());
    const size_t whole = (k - 1 - base_) / period_;
    const size_t rest = (k - 1 - base_) % period_;
    PyObject *same = nullptr;
    size_t uses = 0;
    for (size_t r = 0; r < recurring; ++r) {
      PyObject *item = items[base_ + r];
      if (item != same) {
        if (same != nullptr) {
          add_references(same, static_cast<Py_ssize_t>(uses));
        }
        same = item;
        uses = 0;
      }
      uses += r <= rest ? whole : whole - 1;
    }
    if (same != nullptr) {
      add_references(same, static_cast<Py_ssize_t>(uses));
    }
    for (size_t q = 0; q < kMaxPeriod; ++q) {
      last[q] = span_[(k - kMaxPeriod + q - base_) % period_];
    }
    period_ = 0;
    return k;
  }

 private:
  // The words a span is compared with: the period's, repeated to the whole
  // periods in kSpanWords, or one (shorter spans cost more in calls than in
  // comparing). False without the memory for them.
  bool keep(const unsigned char *at, size_t i, size_t p) {
    spans_ = std::max<size_t>(1, kSpanWords / p) * p;
    span_.reset(static_cast<uint64_t *>(std::malloc(spans_ * sizeof(uint64_t))));
    if (!span_) {
      return false;
    }
    std::memcpy(span_.get(), at, p * sizeof(uint64_t));
    for (size_t k = p; k < spans_; k += p) {
      std::memcpy(span_.get() + k, span_.get(), p * sizeof(uint64_t));
    }
    base_ = i;
    period_ = p;
    return true;
  }

  static constexpr size_t kSpanWords = 8 * kBatch;
  qern_memory::heap_ptr<uint64_t[]> span_;
  size_t spans_ = 0;
  size_t base_ = 0;
  size_t period_ = 0;  // 0: none found
};

// Keeps in `last` the kMaxPeriod words that end with the n words at `at`.
void remember_last_words(uint64_t *last, const unsigned char *at, size_t n) {
  if (n >= kMaxPeriod) {
    // One copy of a fixed size: a loop here became a string move, whose
    // start-up took a fifth of the fill's time on answers made of runs.
    std::memcpy(last, at + (n - kMaxPeriod) * sizeof(uint64_t), kMaxPeriod * sizeof(uint64_t));
    return;
  }
  std::memmove(last, last + n, (kMaxPeriod - n) * sizeof(uint64_t));
  std::memcpy(last + kMaxPeriod - n, at, n * sizeof(uint64_t));
}

// Fills items [0, count) with ints equal to the words read from `words`,
// which may be the item array itself. Returns the number of items filled:
// count, or fewer with an exception set.
size_t fill_items(const unsigned char *words, PyObject **items, size_t count) {
  word_object_cache cache(count);
  uint64_t before[kMaxPeriod] = {};  // the last words before word i
  long_period ahead;
  size_t searched = 0;  // words the searches have looked at
  size_t next_search = 0;
  size_t search_skip = kFirstSearchSkip;
  for (size_t i = 0; i < count;) {
    if (i == ahead.from()) {
      i = ahead.copy(words, items, count, before);
      next_search = i;
      search_skip = kFirstSearchSkip;
      continue;
    }
    size_t n = std::min({kBatch, count - i, ahead.from() - i});
    const unsigned char *at = words + i * sizeof(uint64_t);
    const size_t period = i >= kMaxPeriod ? period_carried_on(at, n, before) : 0;
    if (period == 0 && ahead.from() == SIZE_MAX && i >= next_search) {
      const size_t allowed = (count + i) / kSearchShare;
      size_t compared = 0;
      const bool found =
          searched < allowed && ahead.find(words, i, count, allowed - searched, compared);
      searched += compared;
      if (found) {
        n = std::min(n, ahead.from() - i);
      } else {
        next_search = i + search_skip;
        search_skip *= 2;
      }
    }
    remember_last_words(before, at, n);
    if (period > 0) {
      // Empty or full stretches, and periodic ones, take no lookups.
      repeat_items(items + i, n, period);
      i += n;
      continue;
    }
    // A hint past the end is harmless; the address is made as an integer,
    // since a pointer may not point there.
    const uintptr_t fetched = reinterpret_cast<uintptr_t>(at) + kWordsAhead;
    for (size_t line = 0; line < n * sizeof(uint64_t); line += 64) {
      __builtin_prefetch(reinterpret_cast<const void *>(fetched + line), 1);
    }
    const size_t done = looks_like_runs(at, n)
                            ? look_up_batch<true>(words, i, n, count, cache, items)
                            : look_up_batch<false>(words, i, n, count, cache, items);
    i += done;
    if (done < n) {
      return i;
    }
  }
  return count;
}

// A new list of count items whose array is left as it comes: PyList_New's
// calloc clears it, and for arrays the allocator reuses (most of them, once
// a process has made a few big lists) that clearing costs as much as a fifth
// of the call. The caller writes every slot, or nulls those it did not,
// before the list is seen or freed, and tracks it once it holds objects: the
// list comes out of the garbage collector's sight, since anything that
// allocates may start a collection. Huge pages are asked for the array.
py_ref new_list_unset(size_t count) {
  if (count > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject *)) {
    PyErr_NoMemory();
    return py_ref();
  }
#ifdef Py_GIL_DISABLED
  // A free-threaded build keeps a header before the array: only PyList_New
  // makes one.
  py_ref list = py_ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (list) {
    PyObject_GC_UnTrack(list.get());
    qern_memory::advise_huge_pages(reinterpret_cast<PyListObject *>(list.get())->ob_item,
                                   count * sizeof(PyObject *));
  }
  return list;
#else
  py_ref list = py_ref::steal(PyList_New(0));
  if (!list) {
    return list;
  }
  PyObject_GC_UnTrack(list.get());
  if (count == 0) {
    return list;
  }
  auto *array = static_cast<PyObject **>(PyMem_Malloc(count * sizeof(PyObject *)));
  if (array == nullptr) {
    PyErr_NoMemory();
    return py_ref();
  }
  qern_memory::advise_huge_pages(array, count * sizeof(PyObject *));
  auto *object = reinterpret_cast<PyListObject *>(list.get());
  object->ob_item = array;  // freed by the list, with PyMem_Free
  object->allocated = static_cast<Py_ssize_t>(count);
  Py_SET_SIZE(object, static_cast<Py_ssize_t>(count));
  return list;
#endif
}

// Ends a list that is never to be seen at its first `filled` slots, so that
// it may be freed with the others unwritten or holding words: they are not
// read, and their pages, most of them never touched when a solve stopped
// early, are not faulted in (clearing them took most of a second for an
// answer of 300 MiB on a Ctrl-C).
void end_at(PyObject *list, size_t filled) {
  Py_SET_SIZE(reinterpret_cast<PyVarObject *>(list), static_cast<Py_ssize_t>(filled));
}

}  // namespace

PyObject *make_result_list(const uint64_t *words, size_t count) {
  py_ref list = new_list_unset(count);
  if (!list) {
    return nullptr;
  }
  PyObject **items = reinterpret_cast<PyListObject *>(list.get())->ob_item;
  const size_t filled = fill_items(reinterpret_cast<const unsigned char *>(words), items, count);
  if (filled < count) {
    end_at(list.get(), filled);
    return nullptr;
  }
  PyObject_GC_Track(list.get());
  return list.release();
}

static_assert(sizeof(PyObject *) == sizeof(uint64_t), "a word per list item");

bool words_in_list::allocate(size_t count) {
  // Out of the collector's sight while it holds words, not objects: a signal
  // handler that runs during the solve may start a collection.
  list_ = new_list_unset(count);
  if (!list_) {
    return false;
  }
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
    // Words left unconverted are no objects: the list may only free ints.
    const auto size = static_cast<size_t>(Py_SIZE(list_.get()));
    end_at(list_.get(), size - count_);
  }
}

}  // namespace qern_binding
