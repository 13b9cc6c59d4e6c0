// Residue rows: when every item is r plus a multiple of m, a sum of c items is
// c*r + m*t, with t the sum of their multiples. If no column c*r reaches m, the
// bitset is rows of m bits, each row empty beyond column n*r: the items solved
// as r + m'*k, on rows of m' > n*r bits, give the same rows packed closer, in
// fewer words. The packed rows are then moved apart to the stride m, in place.
#include <algorithm>
#include <numeric>

#include "local_solver.h"

namespace qern_local {
namespace {

// Writes the bits [to, to + length) from the bits [from, from + length),
// to >= from, within the words [0, end_word); bits outside the range keep
// their values. Destination words go from the top down, so a source word is
// read before any overlapping destination word is written.
void move_bits_up(uint64_t *words, size_t end_word, uint64_t from, uint64_t to, uint64_t length) {
  if (length == 0)
    return;
  const uint64_t end = std::min(to + length, static_cast<uint64_t>(end_word) * kWordBits);
  if (to >= end)
    return;
  const uint64_t distance = to - from;
  for (size_t word = static_cast<size_t>((end - 1) / kWordBits) + 1;
       word-- > static_cast<size_t>(to / kWordBits);) {
    const uint64_t first = static_cast<uint64_t>(word) * kWordBits;
    uint64_t keep = 0;  // bits of this word outside [to, end)
    if (first < to)
      keep |= (uint64_t{1} << (to - first)) - 1;
    if (end < first + kWordBits)
      keep |= kAllOnes << (end - first);
    const uint64_t moved =
        bits_at(words, static_cast<int64_t>(first) - static_cast<int64_t>(distance));
    words[word] = (words[word] & keep) | (moved & ~keep);
  }
}

// Clears the bits [from, to) within the words [0, end_word).
void clear_bits(uint64_t *words, size_t end_word, uint64_t from, uint64_t to) {
  to = std::min(to, static_cast<uint64_t>(end_word) * kWordBits);
  if (from >= to)
    return;
  const size_t low = static_cast<size_t>(from / kWordBits);
  const size_t high = static_cast<size_t>((to - 1) / kWordBits);
  const uint64_t low_mask = kAllOnes << (from % kWordBits);
  const uint64_t high_mask = kAllOnes >> (kWordBits - 1 - (to - 1) % kWordBits);
  if (low == high) {
    words[low] &= ~(low_mask & high_mask);
    return;
  }
  words[low] &= ~low_mask;
  std::fill(words + low + 1, words + high, uint64_t{0});
  words[high] &= ~high_mask;
}

constexpr size_t kFewestItems = 8;

}  // namespace

residue_rows find_residue_rows(const uint64_t *items, size_t count, uint64_t limit) {
  residue_rows rows{};
  // Moving the rows apart costs a step per row: rows narrower than two words
  // cost more to move than packing saves, and a few items sweep little.
  if (count < kFewestItems)
    return rows;
  // The look ends once the rows are too narrow: a list of millions of even
  // items took 150 ms to find their gcd of 2.
  uint64_t m = 0;
  for (size_t k = 1; k < count && (m == 0 || m >= 2 * kWordBits); ++k)
    m = std::gcd(m, items[k] - items[0]);
  if (m < 2 * kWordBits)
    return rows;  // also m == 0: all items equal
  const uint64_t r = items[0] % m;
  // Worth it when the packed rows are at most half as wide: n*r + 1 <= m/2.
  if (r == 0 || r > (m / 2 - 1) / count)
    return rows;
  const uint64_t packed = count * r + 1;
  const uint64_t last_row = limit / m;
  if (last_row == 0)
    return rows;  // one row: nothing to pack
  rows.stride = m;
  rows.packed = packed;
  rows.residue = r;
  rows.last_row = last_row;
  rows.packed_limit = packed * last_row + (packed - 1);
  return rows;
}

void pack_items(uint64_t *items, size_t count, const residue_rows &rows) {
  for (size_t k = 0; k < count; ++k)
    items[k] = rows.residue + (items[k] - rows.residue) / rows.stride * rows.packed;
}

void spread_rows(uint64_t *words, size_t out_words, const residue_rows &rows, work_meter &meter) {
  // Row t moves from bit packed*t to bit stride*t, and the rest of its
  // stride is cleared. From the top row down, each row's new place lies at or
  // above its old one and above every packed row still to move.
  const uint64_t out_bits = static_cast<uint64_t>(out_words) * kWordBits;
  clear_bits(words, out_words, rows.stride * rows.last_row + rows.packed, out_bits);
  for (uint64_t t = rows.last_row + 1; t-- > 0;) {
    const uint64_t to = rows.stride * t;
    move_bits_up(words, out_words, rows.packed * t, to, rows.packed);
    if (t > 0)
      clear_bits(words, out_words, to - (rows.stride - rows.packed), to);
    if (meter.add(rows.stride / kWordBits + 2))
      return;
  }
}

}  // namespace qern_local
