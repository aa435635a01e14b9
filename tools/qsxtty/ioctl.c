/* ioctl for programs that set or read a terminal's settings directly (TCSETS*, TCGETS,
 * and their termios2 forms for any baud rate) on qsxsim's PTYs: the data bits and parity
 * travel to the bridge as with tcsetattr, and a read reports the port's. The kernel
 * itself takes such a set without complaint (it only drops the bits), so unlike
 * tcsetattr there is no refusal to undo. The modem-line and break requests go to
 * modem.c. Every other request, and every other file, goes straight to the C library. */
#define _GNU_SOURCE
#include <asm/termbits.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/ioctl.h>

#include "channel.h"
#include "modem.h"
#include "protocol.h"

/* The fields this file touches sit where the kernel's struct termios and struct termios2
 * both have them. */
_Static_assert(offsetof(struct termios, c_cflag) == offsetof(struct termios2, c_cflag), "c_cflag moved");
_Static_assert(CSIZE == QSXTTY_CSIZE && PARENB == QSXTTY_PARENB && PARODD == QSXTTY_PARODD &&
                   CMSPAR == QSXTTY_CMSPAR,
               "the line bits of the protocol are Linux's");

typedef int (*IoctlFn)(int, unsigned long, ...);

static void *gIoctl;

QSXTTY_EXPORT int ioctl(int fd, unsigned long request, ...) {
    /* The C library's own ioctl reads its third argument this way, whatever its type. */
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);

    const int entry = errno;
    IoctlFn real = (IoctlFn)qsxtty_next(&gIoctl, "ioctl");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    errno = entry;
    int emulated;
    if (qsxtty_modem_ioctl(fd, request, arg, &emulated)) return emulated;
    const int result = real(fd, request, arg);
    if (result != 0 || !arg) return result;
    const int error = errno;
    struct termios *t = (struct termios *)arg;
    uint32_t line;
    switch (request) {
    case TCSETS:
    case TCSETSW:
    case TCSETSF:
    case TCSETS2:
    case TCSETSW2:
    case TCSETSF2:
        qsxtty_exchange(fd, QSXTTY_SET, (uint32_t)t->c_cflag, &line);
        break;
    case TCGETS:
    case TCGETS2:
        if (qsxtty_exchange(fd, QSXTTY_GET, 0, &line)) t->c_cflag = (t->c_cflag & ~(tcflag_t)QSXTTY_LINE_BITS) | line;
        break;
    default:
        break;
    }
    errno = error;
    return result;
}
