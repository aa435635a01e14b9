/* The messages between libqsxtty (in a Linux program) and qsxsim's port bridges.
 *
 * Each bridge listens on a Linux abstract-namespace SOCK_SEQPACKET socket named after its
 * PTY slave ("\0qsxsim/pts/7" for /dev/pts/7). The library connects, sends one request
 * and waits for one reply; a PTY without such a socket is not one of qsxsim's, and the
 * library leaves it alone. The request carries the device numbers of the file the
 * program holds, so a bridge answers only for its own slave (a PTY of another devpts
 * instance may have the same number). Both ends check that the other runs as the same
 * user (or root).
 *
 * The line bits are those of the c_cflag of Linux's termios (the values below), which
 * the pty driver does not keep: data bits and parity.
 *
 * Plain C, included by the library and by the bridge. */
#ifndef QSXTTY_PROTOCOL_H
#define QSXTTY_PROTOCOL_H

#include <stdint.h>
#include <stdio.h>

#define QSXTTY_MAGIC 0x51545459u /* "YTTQ" in memory */

#define QSXTTY_CSIZE 0000060u
#define QSXTTY_CS5 0000000u
#define QSXTTY_CS6 0000020u
#define QSXTTY_CS7 0000040u
#define QSXTTY_CS8 0000060u
#define QSXTTY_PARENB 0000400u
#define QSXTTY_PARODD 0001000u
#define QSXTTY_CMSPAR 010000000000u
#define QSXTTY_LINE_BITS (QSXTTY_CSIZE | QSXTTY_PARENB | QSXTTY_PARODD | QSXTTY_CMSPAR)

/* Unix98 PTY slaves: majors 136 to 143, 256 minors each. */
#define QSXTTY_PTS_MAJOR_FIRST 136u
#define QSXTTY_PTS_MAJOR_LAST 143u

enum {
    QSXTTY_SET = 1, /* the program set these line bits */
    QSXTTY_GET = 2  /* which line bits does the port use? */
};

struct qsxtty_request {
    uint32_t magic;
    uint32_t op;    /* QSXTTY_SET or QSXTTY_GET */
    uint64_t dev;   /* st_dev of the program's file (the devpts instance) */
    uint64_t rdev;  /* st_rdev of the program's file (the slave) */
    uint32_t cflag; /* SET: the program's c_cflag; only QSXTTY_LINE_BITS count */
    uint32_t reserved;
};

enum {
    QSXTTY_OK = 0,
    QSXTTY_NOT_MINE = 1 /* the request names another PTY: leave it alone */
};

struct qsxtty_reply {
    uint32_t magic;
    uint32_t status; /* QSXTTY_OK or QSXTTY_NOT_MINE */
    uint32_t cflag;  /* QSXTTY_OK: the line bits the port uses now */
    uint32_t reserved;
};

/* The socket's name without the leading NUL of the abstract namespace; the PTY number
 * is the slave's index (/dev/pts/INDEX). Returns the name's length. */
static inline int qsxtty_socket_name(char *buffer, size_t size, unsigned index) {
    return snprintf(buffer, size, "qsxsim/pts/%u", index);
}

#endif
