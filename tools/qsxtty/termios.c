/* tcsetattr and tcgetattr for programs on qsxsim's PTYs.
 *
 * Linux's pty driver keeps neither data bits nor parity: it stores every PTY as 8 bits
 * without parity, and the C library then reports EINVAL for a set whose data bits or
 * parity did not stick (even though everything else took). On a PTY that qsxsim bridges
 * the wrappers carry those bits to the bridge instead, which gives them to the port, and
 * report back the ones the port uses. On anything else they are the C library's calls
 * and nothing more. */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <termios.h>

#include "channel.h"
#include "protocol.h"

_Static_assert(CSIZE == QSXTTY_CSIZE && CS5 == QSXTTY_CS5 && CS6 == QSXTTY_CS6 && CS7 == QSXTTY_CS7 &&
                   CS8 == QSXTTY_CS8 && PARENB == QSXTTY_PARENB && PARODD == QSXTTY_PARODD &&
                   CMSPAR == QSXTTY_CMSPAR,
               "the line bits of the protocol are Linux's");

typedef int (*SetFn)(int, int, const struct termios *);
typedef int (*GetFn)(int, struct termios *);

static void *gSet, *gGet;

QSXTTY_EXPORT int tcsetattr(int fd, int action, const struct termios *t) {
    const int entry = errno;
    SetFn real = (SetFn)qsxtty_next(&gSet, "tcsetattr");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    errno = entry;
    const int result = real(fd, action, t);
    const int error = errno;
    const int valid = t && (action == TCSANOW || action == TCSADRAIN || action == TCSAFLUSH);
    if (!valid || (result != 0 && error != EINVAL) || !qsxtty_is_pts(fd)) {
        errno = error;
        return result;
    }
    if (result != 0) {
        /* Was the refusal only about data bits or parity? The settings are in place by
         * now; the same ones at 8 bits without parity pass the C library's check unless
         * something else was wrong. */
        struct termios kept = *t;
        kept.c_cflag = (kept.c_cflag & ~(tcflag_t)(CSIZE | PARENB)) | CS8;
        if (real(fd, TCSANOW, &kept) != 0) {
            errno = error;
            return result;
        }
    }
    uint32_t line;
    if (!qsxtty_exchange(fd, QSXTTY_SET, (uint32_t)t->c_cflag, &line)) {
        /* Not a qsxsim PTY: what the C library said stands. */
        errno = error;
        return result;
    }
    errno = result == 0 ? error : entry;
    return 0;
}

QSXTTY_EXPORT int tcgetattr(int fd, struct termios *t) {
    const int entry = errno;
    GetFn real = (GetFn)qsxtty_next(&gGet, "tcgetattr");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    errno = entry;
    const int result = real(fd, t);
    const int error = errno;
    uint32_t line;
    if (result == 0 && t && qsxtty_exchange(fd, QSXTTY_GET, 0, &line))
        t->c_cflag = (t->c_cflag & ~(tcflag_t)QSXTTY_LINE_BITS) | line;
    errno = error;
    return result;
}
