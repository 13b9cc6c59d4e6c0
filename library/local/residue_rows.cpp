// Residue rows: when every item is r plus a multiple of m, a sum of c items is
// c*r + m*t, with t the sum of their multiples. If no column c*r reaches m, the
// bitset is rows of m bits, each row empty beyond column n*r: the items solved
// as r + m'*k, on rows of m' > n*r bits, give the same rows packed closer, in
// fewer words. The packed rows are then moved apart to the stride m, in place.
#include <algorithm>
#include <numeric>
#include <utility>

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

namespace {

// The words [0, out_words) the rows move within; those from `stale_words` on
// are zero already and need no clearing.
struct spread_target {
  uint64_t *words;
  size_t out_words;
  size_t stale_words;
  const residue_rows &rows;
};

// Moves row t from bit packed*t to bit stride*t and clears the gap below it
// (the rest of row t-1's stride). It reads words up to one past the last of
// its packed bits, and writes the bits [stride*(t-1) + packed, stride*t +
// packed) alone: the words at either end it shares with the rows beside it.
void move_row(const spread_target &into, uint64_t t) {
  const residue_rows &rows = into.rows;
  const uint64_t to = rows.stride * t;
  move_bits_up(into.words, into.out_words, rows.packed * t, to, rows.packed);
  if (t > 0)
    clear_bits(into.words, into.stale_words, to - (rows.stride - rows.packed), to);
}

// The lowest row (from 1) whose move writes only words above every word the
// moves of rows 0 to `top` read: the rows from it to `top` may then move in
// any order, side by side.
uint64_t lowest_row_above_reads(const residue_rows &rows, uint64_t top) {
  const uint64_t first_free_bit = ((rows.packed * (top + 1) - 1) / kWordBits + 2) * kWordBits;
  if (first_free_bit <= rows.packed)
    return 1;
  return 1 + (first_free_bit - rows.packed + rows.stride - 1) / rows.stride;
}

// One stretch of rows [low_row, high_row] moved on threads, each piece of
// `piece` words of their new places taking the rows that start in it but its
// first; those, which share a word with the row below them in another piece,
// move after, on the calling thread. False when the stop check ended it.
bool move_rows_on_threads(const spread_target &into, uint64_t low_row, uint64_t high_row,
                          size_t piece, work_meter &meter, unsigned threads, unsigned cpus) {
  const uint64_t stride = into.rows.stride;
  // The first row whose new place starts at or past `word` of the stretch.
  auto first_row_at = [&](size_t word) {
    return low_row + (static_cast<uint64_t>(word) * kWordBits + stride - 1) / stride;
  };
  const size_t count =
      static_cast<size_t>(((high_row - low_row + 1) * stride + kWordBits - 1) / kWordBits);
  // The rows [first, end) start in the words [from, to).
  auto rows_in = [&](size_t from, size_t to) {
    return std::pair{first_row_at(from), std::min(first_row_at(to), high_row + 1)};
  };
  auto part = [&](size_t from, size_t to) {
    const auto [first, end] = rows_in(from, to);
    for (uint64_t t = end; t-- > first + 1;)
      move_row(into, t);
  };
  if (!split_on_threads(count, piece, threads, meter, part, cpus))
    return false;
  for (size_t from = 0; from < count; from += piece) {
    const auto [first, end] = rows_in(from, std::min(count, from + piece));
    if (first < end)
      move_row(into, first);
  }
  return true;
}

}  // namespace

void spread_rows(uint64_t *words, size_t out_words, const residue_rows &rows, work_meter &meter,
                 bool zeroed, unsigned threads, unsigned cpus, size_t min_words, size_t piece) {
  // Row t moves from bit packed*t to bit stride*t, and the rest of its
  // stride is cleared. From the top row down, each row's new place lies at or
  // above its old one and above every packed row still to move.
  // Zeroed words above the packed rows hold no stale bits: a row of 201 bits
  // every 1009 then writes a fifth of the words, not all of them.
  const size_t packed_words =
      std::min(out_words, static_cast<size_t>(rows.packed_limit / kWordBits) + 1);
  const spread_target into{words, out_words, zeroed ? packed_words : out_words, rows};
  const uint64_t out_bits = static_cast<uint64_t>(into.stale_words) * kWordBits;
  clear_bits(words, into.stale_words, rows.stride * rows.last_row + rows.packed, out_bits);
  uint64_t top = rows.last_row;  // the highest row not yet moved
  // The rows whose new places lie above every packed row still to move go
  // side by side: with packed rows a fifth of the stride, four fifths of
  // the rows at once, then four fifths of the rest, and so on.
  // (Rows narrower than two words would share a word with rows beyond the
  // one beside them; find_residue_rows never makes them.)
  bool faulted = false;
  while (threads > 1 && rows.stride >= 2 * kWordBits && top > 0) {
    const uint64_t low = lowest_row_above_reads(rows, top);
    if (low > top || (top - low + 1) * rows.stride / kWordBits < min_words)
      break;
    // Pages the caller's toucher left are faulted here, not side by side.
    if (!faulted && !fault_in(words + packed_words, out_words - packed_words, meter))
      return;
    faulted = true;
    if (!move_rows_on_threads(into, low, top, std::max<size_t>(piece, 1), meter, threads, cpus))
      return;
    top = low - 1;
  }
  for (uint64_t t = top + 1; t-- > 0;) {
    move_row(into, t);
    if (meter.add(rows.stride / kWordBits + 2))
      return;
  }
}

}  // namespace qern_local
