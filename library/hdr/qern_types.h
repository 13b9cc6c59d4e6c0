/* qern_types: the plain types every part of the solver library shares: the
 * status, the error text buffer, a solve's settings and its stop check, and
 * the size of a sums bitset. C and C++; no functions to link. */
#ifndef QERN_TYPES_H
#define QERN_TYPES_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0 is success; every failure of the online solver is -1. */
typedef int qern_status_t;

/* Statuses besides 0 and -1. */
#define QERN_STATUS_STOPPED (-2)   /* the caller's stop check ended the solve */
#define QERN_STATUS_NO_MEMORY (-3) /* memory ran out; err_buf says where */

/* Size of the caller-owned error text buffer: a NUL-terminated message of at
 * most 127 characters. */
#define QERN_ERR_BUF_SIZE 128

/* The settings of one solve. The strings are borrowed for the length of the
 * call that is given them (qern_solve_async copies them). */
struct qern_settings {
  int keep_local;          /* 1: the local solver; anything else: online */
  const char *api_url;     /* NULL or "": https://localhost:8443 */
  const char *api_key;     /* NULL: no key */
  const char *max_retries; /* NULL: unset; else the text of QERN_MAXRETRIES */
  const char *https_proxy; /* NULL or "": no proxy; else a proxy URL for libcurl */
  const char *no_proxy;    /* NULL or "": none; else hosts reached without the proxy */
  const char *ca_bundle;   /* NULL or "": the system's CA locations; else the CA file to trust */
  /* NULL: 60 s; else the text of QERN_TRANSFER_DEADLINE, the seconds one
   * transfer may take in all */
  const char *transfer_deadline;
  unsigned threads; /* local solver threads, at most the CPUs this process may use; 0: one */
};

/* Asked now and then during a blocking solve, on the solving thread: returns
 * non-zero when the solve must end at once (with QERN_STATUS_STOPPED). */
typedef int (*qern_stop_check_t)(void *context);
struct qern_stop {
  qern_stop_check_t check;
  void *context;
};

/* The number of words of the full sums bitset of items totalling `total`. */
static inline size_t qern_word_count(uint64_t total) {
  return (size_t)(total / 64) + 1;
}

/* Copies msg into the error text buffer err_buf (when not NULL): its first
 * 127 characters, NUL-padded and NUL-terminated. */
static inline void qern_copy_error(const char *msg, char *err_buf) {
  if (err_buf != NULL) {
    strncpy(err_buf, msg, QERN_ERR_BUF_SIZE - 1);
    err_buf[QERN_ERR_BUF_SIZE - 1] = '\0';
  }
}

#ifdef __cplusplus
}
#endif

#endif /* QERN_TYPES_H */
