/* What the wrappers of libqsxtty share: the functions they wrap, and the exchange with
 * the qsxsim bridge behind a PTY. */
#ifndef QSXTTY_CHANNEL_H
#define QSXTTY_CHANNEL_H

#include <stdint.h>

#include "protocol.h"

/* The library exports the calls it wraps and nothing else. */
#define QSXTTY_EXPORT __attribute__((visibility("default")))

/* The next definition of `name` after this library (the C library's), looked up once and
 * kept in `*slot`; null when there is none. */
void *qsxtty_next(void **slot, const char *name);

/* Sends one request about the terminal `fd` to the qsxsim bridge of that PTY and takes its
 * answer: 1 with the port's line bits in `*line`, or 0 when `fd` is not a PTY slave that
 * a running qsxsim bridges (or it did not answer in time). Leaves errno as it found it. */
int qsxtty_exchange(int fd, uint32_t op, uint32_t cflag, uint32_t *line);

/* The same with a whole request (op, cflag, arg; the rest is filled in): 1 with the
 * bridge's reply in `*reply` (status QSXTTY_OK or QSXTTY_AGAIN), else 0. */
int qsxtty_call(int fd, struct qsxtty_request *request, struct qsxtty_reply *reply);

/* 1 when `fd` is a Unix98 PTY slave. Leaves errno as it found it. */
int qsxtty_is_pts(int fd);

#endif
