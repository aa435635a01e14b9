/* The modem lines, their counters and break for programs on qsxsim's PTYs, and the end of
 * a program's session when it closes one.
 *
 * A PTY has no modem lines: the kernel refuses TIOCMGET and the like on it, and takes a
 * break without doing anything. On a PTY that qsxsim bridges these calls go to the port
 * instead: RTS and DTR to it, CTS, DSR, RI and CD from it, the counters of its line
 * (TIOCGICOUNT) and a wait for its inputs to change (TIOCMIWAIT, which the bridge answers
 * in rounds so that no call waits on a bridge that went away). On any other file they
 * are the C library's calls and nothing more. */
#define _GNU_SOURCE
#include <errno.h>
#include <linux/serial.h>
#include <stddef.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "channel.h"
#include "modem.h"
#include "protocol.h"

_Static_assert(TIOCM_DTR == QSXTTY_TIOCM_DTR && TIOCM_RTS == QSXTTY_TIOCM_RTS && TIOCM_CTS == QSXTTY_TIOCM_CTS &&
                   TIOCM_CAR == QSXTTY_TIOCM_CD && TIOCM_RNG == QSXTTY_TIOCM_RI && TIOCM_DSR == QSXTTY_TIOCM_DSR,
               "the modem bits of the protocol are Linux's");

/* A break as tcsendbreak(fd, 0) sends it: a quarter of a second. */
enum { kBreakMs = 250 };

static int Ask(int fd, uint32_t op, uint32_t cflag, uint32_t arg0, struct qsxtty_reply *reply) {
    struct qsxtty_request request;
    memset(&request, 0, sizeof request);
    request.op = op;
    request.cflag = cflag;
    request.arg[0] = arg0;
    return qsxtty_call(fd, &request, reply) && reply->status == QSXTTY_OK;
}

static void SleepMs(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

static int SendBreak(int fd, long ms) {
    struct qsxtty_reply reply;
    if (!Ask(fd, QSXTTY_BREAK, 1, 0, &reply)) return 0;
    SleepMs(ms);
    Ask(fd, QSXTTY_BREAK, 0, 0, &reply);
    return 1;
}

/* Waits until one of the inputs in `mask` changed; 0 when the bridge stopped answering. */
static int WaitForChange(int fd, uint32_t mask) {
    struct qsxtty_reply reply;
    if (!Ask(fd, QSXTTY_COUNTS, 0, 0, &reply)) return 0;
    struct qsxtty_request request;
    memset(&request, 0, sizeof request);
    request.op = QSXTTY_MODEM_WAIT;
    request.cflag = mask;
    request.arg[0] = reply.counts[QSXTTY_COUNT_CTS];
    request.arg[1] = reply.counts[QSXTTY_COUNT_DSR];
    request.arg[2] = reply.counts[QSXTTY_COUNT_RNG];
    request.arg[3] = reply.counts[QSXTTY_COUNT_DCD];
    for (;;) {
        if (!qsxtty_call(fd, &request, &reply)) return 0;
        if (reply.status == QSXTTY_OK) return 1;
    }
}

int qsxtty_modem_ioctl(int fd, unsigned long request, void *arg, int *result) {
    if (!qsxtty_is_pts(fd)) return 0;
    const int saved = errno;
    struct qsxtty_reply reply;
    int handled = 0;
    switch (request) {
    case TIOCMGET:
        if (arg && Ask(fd, QSXTTY_MODEM_GET, 0, 0, &reply)) {
            *(int *)arg = (int)reply.cflag;
            handled = 1;
        }
        break;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC: {
        if (!arg) break;
        const uint32_t bits = (uint32_t)*(const int *)arg & QSXTTY_TIOCM_OUT;
        /* cflag: the outputs to change; arg[0]: their new values. */
        const uint32_t change = request == TIOCMSET ? QSXTTY_TIOCM_OUT : bits;
        const uint32_t values = request == TIOCMBIC ? 0 : bits;
        handled = Ask(fd, QSXTTY_MODEM_SET, change, values, &reply);
        break;
    }
    case TIOCSBRK:
    case TIOCCBRK:
        handled = Ask(fd, QSXTTY_BREAK, request == TIOCSBRK, 0, &reply);
        break;
    case TCSBRK:
        /* A nonzero argument only waits for the output to drain, which a PTY does. */
        if ((long)arg != 0) break;
        handled = SendBreak(fd, kBreakMs);
        break;
    case TCSBRKP: {
        const long tenths = (long)arg;
        handled = SendBreak(fd, tenths > 0 ? tenths * 100 : kBreakMs);
        break;
    }
    case TIOCMIWAIT:
        handled = WaitForChange(fd, (uint32_t)(unsigned long)arg & QSXTTY_TIOCM_IN);
        break;
    case TIOCGICOUNT:
        if (arg && Ask(fd, QSXTTY_COUNTS, 0, 0, &reply)) {
            struct serial_icounter_struct *c = (struct serial_icounter_struct *)arg;
            memset(c, 0, sizeof *c);
            c->cts = (int)reply.counts[QSXTTY_COUNT_CTS];
            c->dsr = (int)reply.counts[QSXTTY_COUNT_DSR];
            c->rng = (int)reply.counts[QSXTTY_COUNT_RNG];
            c->dcd = (int)reply.counts[QSXTTY_COUNT_DCD];
            c->rx = (int)reply.counts[QSXTTY_COUNT_RX];
            c->tx = (int)reply.counts[QSXTTY_COUNT_TX];
            c->frame = (int)reply.counts[QSXTTY_COUNT_FRAME];
            c->overrun = (int)reply.counts[QSXTTY_COUNT_OVERRUN];
            c->parity = (int)reply.counts[QSXTTY_COUNT_PARITY];
            c->brk = (int)reply.counts[QSXTTY_COUNT_BRK];
            c->buf_overrun = (int)reply.counts[QSXTTY_COUNT_BUF_OVERRUN];
            handled = 1;
        }
        break;
    default:
        break;
    }
    errno = saved;
    if (handled) *result = 0;
    return handled;
}

typedef int (*BreakFn)(int, int);
typedef int (*CloseFn)(int);
static void *gBreak, *gClose;

QSXTTY_EXPORT int tcsendbreak(int fd, int duration) {
    if (qsxtty_is_pts(fd) && SendBreak(fd, duration > 0 ? (long)duration * kBreakMs : kBreakMs)) return 0;
    BreakFn real = (BreakFn)qsxtty_next(&gBreak, "tcsendbreak");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, duration);
}

QSXTTY_EXPORT int close(int fd) {
    CloseFn real = (CloseFn)qsxtty_next(&gClose, "close");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    /* As a serial port's close waits for its output: everything written so far belongs
     * to this session, whoever opens the PTY next. */
    if (qsxtty_is_pts(fd)) {
        struct qsxtty_reply reply;
        Ask(fd, QSXTTY_CLOSING, 0, 0, &reply);
    }
    return real(fd);
}
