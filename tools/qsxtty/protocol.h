/* The messages between libqsxtty (in a Linux program) and qsxsim's port bridges.
 *
 * Each bridge listens on a Linux abstract-namespace SOCK_SEQPACKET socket named after its
 * PTY slave: its devpts instance and its number ("\0qsxsim/pts/17/7" for /dev/pts/7 on
 * the devpts whose st_dev is 17). The bridge gives the name up before its PTY goes, so
 * no two bridges, of one qsxsim run or of two, ever hold one name. The library connects, sends one request
 * and waits for one reply; a PTY without such a socket is not one of qsxsim's, and the
 * library leaves it alone. The request carries the device numbers of the file the
 * program holds, so a bridge answers only for its own slave (a PTY of another devpts
 * instance may have the same number). Both ends check that the other runs as the same
 * user (or root).
 *
 * The line bits are those of the c_cflag of Linux's termios (the values below), which
 * the pty driver does not keep: data bits and parity. The modem lines, their counters and
 * break, which a PTY does not have at all, travel the same way, with Linux's TIOCM bits;
 * and a program's close of the slave first tells the bridge, which takes everything the
 * program wrote before answering, so that none of it is left for the next session.
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

/* Modem lines, as Linux's TIOCM bits. */
#define QSXTTY_TIOCM_DTR 0x002u
#define QSXTTY_TIOCM_RTS 0x004u
#define QSXTTY_TIOCM_CTS 0x020u
#define QSXTTY_TIOCM_CD 0x040u
#define QSXTTY_TIOCM_RI 0x080u
#define QSXTTY_TIOCM_DSR 0x100u
#define QSXTTY_TIOCM_OUT (QSXTTY_TIOCM_DTR | QSXTTY_TIOCM_RTS)
#define QSXTTY_TIOCM_IN (QSXTTY_TIOCM_CTS | QSXTTY_TIOCM_CD | QSXTTY_TIOCM_RI | QSXTTY_TIOCM_DSR)

enum {
    QSXTTY_SET = 1,        /* the program set these line bits (cflag) */
    QSXTTY_GET = 2,        /* which line bits does the port use? */
    QSXTTY_CLOSING = 3,    /* the program closes the slave */
    QSXTTY_MODEM_GET = 4,  /* reply cflag: the modem lines */
    QSXTTY_MODEM_SET = 5,  /* cflag: values of the outputs in arg[0] (DTR, RTS); reply: the lines */
    QSXTTY_BREAK = 6,      /* cflag 1 starts a break, 0 ends it */
    QSXTTY_COUNTS = 7,     /* reply counts: the port's counters */
    QSXTTY_MODEM_WAIT = 8  /* cflag: inputs to watch; arg: their counters as the program saw
                              them (cts, dsr, rng, dcd); answered once one moved, or
                              QSXTTY_AGAIN after a while */
};

/* The counters of QSXTTY_COUNTS, in the order of Linux's struct serial_icounter_struct. */
enum {
    QSXTTY_COUNT_CTS, QSXTTY_COUNT_DSR, QSXTTY_COUNT_RNG, QSXTTY_COUNT_DCD, QSXTTY_COUNT_RX,
    QSXTTY_COUNT_TX, QSXTTY_COUNT_FRAME, QSXTTY_COUNT_OVERRUN, QSXTTY_COUNT_PARITY,
    QSXTTY_COUNT_BRK, QSXTTY_COUNT_BUF_OVERRUN, QSXTTY_COUNTS_N
};

struct qsxtty_request {
    uint32_t magic;
    uint32_t op;    /* QSXTTY_SET ... */
    uint64_t dev;   /* st_dev of the program's file (the devpts instance) */
    uint64_t rdev;  /* st_rdev of the program's file (the slave) */
    uint32_t cflag; /* SET: the program's c_cflag (only QSXTTY_LINE_BITS count); see the ops */
    uint32_t reserved;
    uint32_t arg[4];
};

enum {
    QSXTTY_OK = 0,
    QSXTTY_NOT_MINE = 1, /* the request names another PTY: leave it alone */
    QSXTTY_AGAIN = 2     /* MODEM_WAIT: nothing moved yet; ask again */
};

struct qsxtty_reply {
    uint32_t magic;
    uint32_t status; /* QSXTTY_OK, QSXTTY_NOT_MINE or QSXTTY_AGAIN */
    uint32_t cflag;  /* QSXTTY_OK: the line bits the port uses now; see the ops */
    uint32_t reserved;
    uint32_t counts[QSXTTY_COUNTS_N];
};

/* The socket's name without the leading NUL of the abstract namespace; `dev` is the
 * slave's st_dev (its devpts instance), the PTY number the slave's index
 * (/dev/pts/INDEX). Returns the name's length. */
static inline int qsxtty_socket_name(char *buffer, size_t size, uint64_t dev, unsigned index) {
    return snprintf(buffer, size, "qsxsim/pts/%llx/%u", (unsigned long long)dev, index);
}

#endif
