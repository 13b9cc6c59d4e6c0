/* qern_local: the local solver, exact complete subset sums computed
 * in-process. Uses no network, no compression and no Python. */
#ifndef QERN_LOCAL_H
#define QERN_LOCAL_H

#include <stddef.h>
#include <stdint.h>

#include "qern_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Writes exactly the subset sums of the items into words, using 64-bit
 * arithmetic throughout, asking the stop check (when stop and stop->check are
 * not NULL) every few milliseconds of work.
 *
 * With a capacity (*word_count) of at least qern_word_count(T) words it
 * writes that many and sets *word_count to it. With a smaller capacity it
 * writes the first *word_count words of the full bitset and leaves
 * *word_count unchanged; a capacity of 0 writes nothing. Words beyond those
 * written are not touched. T is the true total, even past 2^64 (the capacity
 * is then the smaller). Reentrant and silent.
 *
 * Returns 0, QERN_STATUS_STOPPED (the words are then not to be read) or
 * QERN_STATUS_NO_MEMORY (scratch memory ran out even for the slow path that
 * needs none). Never throws. */
qern_status_t qern_local_solve(const uint64_t *items, size_t item_count, uint64_t *words,
                               size_t *word_count, const struct qern_stop *stop);

/* The same on up to `threads` threads (0: the default, the CPUs the process
 * may use for answers of 2^22 words and more, one thread below). Threads are
 * started for this solve alone and only for answers of 2^19 words and more;
 * all solves in the process together run no more solver threads than those
 * CPUs, and one that finds none free solves on the calling thread. The stop check is asked on the
 * calling thread only. The CPUs are the affinity mask's, within the smallest cgroup v2 cpu.max
 * quota. qern_local_solve takes the default. */
qern_status_t qern_local_solve_threads(const uint64_t *items, size_t item_count, uint64_t *words,
                                       size_t *word_count, const struct qern_stop *stop,
                                       unsigned threads);

/* The same into words that are all zero already (fresh memory from calloc,
 * say), which it may read before it writes them: words that stay zero may be
 * left unwritten. Where the sums are listed (a few items over many words)
 * only the words that hold one are written, and where small sums lie far
 * below half the total only their words and their mirror image near the top
 * are, so that the pages of a big answer that hold none are never touched;
 * a sweep after listed sums, and residue rows moved apart, leave zero words
 * between the sums unwritten too. */
qern_status_t qern_local_solve_into_zeros(const uint64_t *items, size_t item_count, uint64_t *words,
                                          size_t *word_count, const struct qern_stop *stop,
                                          unsigned threads);

#ifdef __cplusplus
}
#endif

#endif /* QERN_LOCAL_H */
