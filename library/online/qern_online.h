/* qern_online: the online solver client. Submits the items to the solver
 * service over HTTPS, polls for the result with back-off, then decompresses
 * and unpacks it. Uses libcurl and zlib; no Python. */
#ifndef QERN_ONLINE_H
#define QERN_ONLINE_H

#include <stddef.h>
#include <stdint.h>

#include "qern_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Solves through the service the settings name (their keep_local is not
 * read), asking the optional stop check at least every 100 ms. Zero-fills the
 * words (*word_count of them, which is never changed) before it unpacks the
 * result into them. Diagnostics go to standard output.
 *
 * Returns 0, -1 (the reason printed and copied into err_buf when not NULL),
 * QERN_STATUS_STOPPED or QERN_STATUS_NO_MEMORY. Never throws. */
qern_status_t qern_online_solve(const uint64_t *items, size_t item_count, uint64_t *words,
                                size_t *word_count, char *err_buf,
                                const struct qern_settings *settings, const struct qern_stop *stop);

/* For the process's exit path: makes every transfer still running abort at
 * its next progress call, refuses new ones, and waits at most 2 seconds for
 * the running ones to leave libcurl. Irreversible. */
void qern_online_stop_transfers(void);

#ifdef __cplusplus
}
#endif

#endif /* QERN_ONLINE_H */
