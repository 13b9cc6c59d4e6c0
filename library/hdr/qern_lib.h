/* qern_lib: the complete-subset-sum solver library's entry.
 *
 * A sums bitset is an array of unsigned 64-bit words: sum s is reachable
 * exactly when bit (s % 64) of word (s / 64) is set. For items with total T the
 * full bitset has T / 64 + 1 words (qern_word_count); bit 0 and bit T are
 * always set.
 *
 * The entry reads the settings, makes the one choice between the local solver
 * (library/local/) and the online one (library/online/), and runs background
 * solves. Every function here has C linkage and is exported from the built
 * module under its own name. None of them throws; failures are status codes. */
#ifndef QERN_LIB_H
#define QERN_LIB_H

#include <stddef.h>
#include <stdint.h>

#include "qern_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Settings ----------------------------------------------------------- */

/* The settings as the environment holds them now (QERN_KILLSWITCH,
 * QERN_API_URL, QERN_API_KEY, QERN_MAXRETRIES, QERN_CA_BUNDLE,
 * QERN_TRANSFER_DEADLINE, QERN_THREADS and the proxy variables), read on the
 * calling thread and copied into one malloc'd block that qern_settings_free
 * releases (free() does too). NULL when memory ran out. */
struct qern_settings *qern_settings_from_environment(void);
void qern_settings_free(struct qern_settings *settings);

/* The proxy settings libcurl would read from the environment for an https
 * URL, read here instead, on the caller's thread: https_proxy, HTTPS_PROXY,
 * all_proxy, ALL_PROXY (the first one not empty), and no_proxy, NO_PROXY.
 * NULL when none is. The solver hands them to libcurl itself, so that libcurl
 * never reads the environment on a solving thread. */
const char *qern_https_proxy_from_environment(void);
const char *qern_no_proxy_from_environment(void);

/* ---- Solving ------------------------------------------------------------ */

/* Fills the caller's sums bitset for the items with the solver the settings
 * choose, asking the optional stop check (stop or stop->check NULL: never
 * stops). This call never reads the environment.
 *
 * items/item_count: read only (items may be NULL when item_count is 0).
 * words: caller-owned, at least *word_count words.
 * word_count: on entry the capacity of words; on return the number of words
 *   the caller is to read (the local solver sets it to T / 64 + 1 when the
 *   capacity was enough and leaves it unchanged otherwise; the online solver
 *   never changes it). Either solver writes every word it leaves to be read.
 *   The local solver takes T as the true total, even one past 2^64: such a
 *   total needs more words than any array holds, so the whole capacity is
 *   written and the count left as it was.
 * err_buf: QERN_ERR_BUF_SIZE bytes or NULL; written only on failure.
 *
 * Returns 0, -1 (online failure), QERN_STATUS_STOPPED or
 * QERN_STATUS_NO_MEMORY; err_buf holds why for -1 and QERN_STATUS_NO_MEMORY.
 * Never throws. */
qern_status_t qern_solve(const uint64_t *items, size_t item_count, uint64_t *words,
                         size_t *word_count, char *err_buf, const struct qern_settings *settings,
                         const struct qern_stop *stop);

/* qern_solve into words that are all zero already (fresh memory from calloc,
 * say), which the local solver may read before it writes them: words that
 * stay zero may be left unwritten. Where it lists the sums (a few items over
 * many words) it writes only the words that hold one, and where small sums
 * lie far below half the total only their words and their mirror image near
 * the top, so a big answer's pages that hold none are never touched; a sweep
 * after listed sums, and residue rows moved apart, leave zero words between
 * the sums unwritten too. The online solver writes every word as qern_solve
 * does. */
qern_status_t qern_solve_into_zeros(const uint64_t *items, size_t item_count, uint64_t *words,
                                    size_t *word_count, char *err_buf,
                                    const struct qern_settings *settings,
                                    const struct qern_stop *stop);

/* Receives the outcome of a background solve, on the background thread:
 * status as qern_solve returned it; words and word_count as it left them
 * (words is NULL when the array could not be allocated; on failure its
 * contents are not to be read); user_data as given at launch; err_str NULL on
 * success, else a heap copy of the error text (NULL too when that copy could
 * not be made). The function owns words and err_str and releases both with
 * free(). */
typedef void (*qern_completion_t)(qern_status_t status, uint64_t *words, size_t word_count,
                                  void *user_data, char *err_str);

/* Starts one detached POSIX thread that sizes a words array from the items'
 * total, solves as qern_solve does, frees the items and calls completion
 * exactly once. The settings are copied before this call returns, so the
 * thread never reads the environment. A memory failure on the thread arrives
 * as QERN_STATUS_NO_MEMORY.
 *
 * items: a malloc'd array whose ownership passes to the thread once this call
 *   returns 0 (the thread frees it after solving). On a non-zero return the
 *   items stay the caller's and completion is never called.
 *
 * Returns 0 when the thread was started, EOVERFLOW (nothing started) when the
 * items' total does not fit in 64 bits (its words could never be allocated),
 * ENOMEM when memory for the launch ran out, otherwise the pthread_create
 * error. Never throws. */
int qern_solve_async(uint64_t *items, size_t item_count, const struct qern_settings *settings,
                     qern_completion_t completion, void *user_data);

/* ---- Process exit ------------------------------------------------------- */

/* For the process's exit path, before the TLS library's exit handlers run:
 * makes every online transfer still running abort at its next progress call,
 * refuses new ones (they fail with libcurl code 42), and waits at most 2
 * seconds for the running ones to leave libcurl. Irreversible. Not exported
 * from the module: its binding calls it from the interpreter's exit hook. */
void qern_stop_transfers(void);

/* ---- The module's contract (library/compat/) -----------------------------
 *
 * The names C callers of the module know it by, each a thin wrapper over the
 * functions above. Nothing inside the library calls them. */

/* Returns 1 when the environment variable QERN_KILLSWITCH is exactly "1" (the
 * local solver is selected), otherwise 0. Read afresh on every call. */
int keep_local(void);

/* qern_solve with the settings read from the environment, once, on the
 * calling thread, and no stop check. Returns 0, -1 when the online solver
 * failed, or QERN_STATUS_NO_MEMORY when memory ran out. */
qern_status_t fetch_complete_subset_sum(const uint64_t *items, size_t item_count, uint64_t *words,
                                        size_t *word_count, char *err_buf);

/* qern_solve_async with the settings read from the environment here, on the
 * caller's thread, before this call returns. Same ownership and returns. */
int fetch_complete_subset_sum_async(uint64_t *items, size_t item_count,
                                    qern_completion_t completion, void *user_data);

/* The background thread's start routine: takes ownership of a launch record
 * made by fetch_complete_subset_sum_async or qern_solve_async and returns
 * NULL. */
void *fetch_complete_subset_sum_async_helper(void *record);

/* Writes exactly the subset sums of the items into words, using 64-bit
 * arithmetic throughout (no range limit but the caller's capacity).
 *
 * With a capacity of at least T / 64 + 1 words it writes that many words and
 * sets *word_count to it. With a smaller capacity it writes the first
 * *word_count words of the full bitset and leaves *word_count unchanged; a
 * capacity of 0 writes nothing. Words beyond those written are not touched.
 * T is the true total of the items, even when it does not fit in 64 bits: a
 * capacity is then always the smaller, and is filled with the leading words.
 * Reentrant, silent, and always returns 0. */
int fmss_complete_subset_sum(const uint64_t *items, size_t item_count, uint64_t *words,
                             size_t *word_count);

/* ---- Hash-search toolkit ---------------------------------------------------
 *
 * The building blocks of a hash-based divide-and-conquer subset-sum search
 * over a prefix-sum (Fenwick) tree of polynomial hashes. They compute in
 * unsigned 32-bit arithmetic. The search they make up can miss reachable
 * sums when hashes collide, so fmss_complete_subset_sum does not use them;
 * they are kept for callers that drive the search themselves.
 *
 * A sized_ar is a malloc'd block of uint32_t: word 0 is the count n, words
 * 1..n the entries. Its holder owns it and releases it with free(). Functions
 * returning a sized_ar return NULL when memory runs out. */

/* The sum of a[j] for 0 <= j < k, modulo 2^32. */
uint32_t fmss_read(const uint32_t *tree, uint32_t k);

/* Adds d to position i of a tree over the 2T positions [0, 2T). */
void update(uint32_t *tree, uint32_t total, uint32_t i, uint32_t d);

/* Marks sum s as reached by item w: flag s = w, and p[s] and p[T + s] are
 * added at positions s and T + s. */
void add_new_sums(uint32_t *flags, const uint32_t *powers, uint32_t *tree, uint32_t total,
                  uint32_t s, uint32_t w);

/* The sums in [lo, hi) that item w newly reaches according to the hashes, in
 * ascending order, as a new sized_ar owned by the caller. */
uint32_t *find_new_sums(const uint32_t *flags, const uint32_t *tree, const uint32_t *powers,
                        uint32_t total, uint32_t modulus, uint32_t lo, uint32_t hi, uint32_t w);

/* A new sized_ar with no entries. */
uint32_t *empty_sized_ar(void);

/* A new sized_ar holding the single entry v. */
uint32_t *one_item_sized_ar(uint32_t v);

/* Consumes a and b and returns a's entries followed by b's. When either is
 * empty it is released and the other is returned as it is. */
uint32_t *union_sized_ar(uint32_t *a, uint32_t *b);

/* Writes the entries to standard output as "[e1, e2, ...]", without a line end.
 * Does not consume a. */
void print_sized_ar(const uint32_t *a);

#ifdef __cplusplus
}
#endif

#endif /* QERN_LIB_H */
