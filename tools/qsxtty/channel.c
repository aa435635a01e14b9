/* The side channel from a Linux program to the qsxsim bridge of its PTY, and the lookup of
 * the C library's own functions behind the wrappers.
 *
 * Everything here runs inside someone else's program, so it keeps to plain system calls:
 * no allocation, no static constructors, no threads, every descriptor closed before it
 * returns, errno as the caller left it, and a bounded wait for a bridge that is slow. */
#define _GNU_SOURCE
#include "channel.h"

#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "protocol.h"

/* A bridge answers at once; this only bounds a qsxsim that hangs or stops. */
enum { kReplyWaitMs = 2000 };

void *qsxtty_next(void **slot, const char *name) {
    void *f = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (!f) {
        /* Two threads may both look it up; they find the same address. */
        f = dlsym(RTLD_NEXT, name);
        __atomic_store_n(slot, f, __ATOMIC_RELEASE);
    }
    return f;
}

static int PtsIndex(int fd, struct stat *st, unsigned *index) {
    if (fstat(fd, st) != 0 || !S_ISCHR(st->st_mode)) return 0;
    const unsigned maj = major(st->st_rdev);
    if (maj < QSXTTY_PTS_MAJOR_FIRST || maj > QSXTTY_PTS_MAJOR_LAST) return 0;
    *index = (maj - QSXTTY_PTS_MAJOR_FIRST) * 256u + minor(st->st_rdev);
    return 1;
}

int qsxtty_is_pts(int fd) {
    const int saved = errno;
    struct stat st;
    unsigned index;
    const int is = PtsIndex(fd, &st, &index);
    errno = saved;
    return is;
}

/* The bridge runs as this program's user (or as root): anyone else could only have taken
 * the name to mislead it. */
static int PeerTrusted(int s) {
    struct ucred cred;
    socklen_t size = sizeof cred;
    if (getsockopt(s, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred) return 0;
    return cred.uid == geteuid() || cred.uid == 0;
}

static long NowMs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static int Receive(int s, struct qsxtty_reply *reply) {
    const long deadline = NowMs() + kReplyWaitMs;
    for (;;) {
        const long left = deadline - NowMs();
        if (left <= 0) return 0;
        struct pollfd p = {s, POLLIN, 0};
        const int n = poll(&p, 1, (int)left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        const ssize_t got = recv(s, reply, sizeof *reply, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return got == (ssize_t)sizeof *reply;
    }
}

static int Call(int fd, struct qsxtty_request *request, struct qsxtty_reply *reply) {
    struct stat st;
    unsigned index;
    if (!PtsIndex(fd, &st, &index)) return 0;

    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    /* sun_path[0] stays NUL: the abstract namespace. */
    const int n = qsxtty_socket_name(addr.sun_path + 1, sizeof addr.sun_path - 1, (uint64_t)st.st_dev, index);
    if (n <= 0 || (size_t)n >= sizeof addr.sun_path - 1) return 0;
    const socklen_t size = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + (size_t)n);

    /* Non-blocking, so a bridge with a full queue of connections turns the program away
     * at once instead of holding it. */
    const int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) return 0;
    int answered = 0;
    if (connect(s, (const struct sockaddr *)&addr, size) == 0 && PeerTrusted(s)) {
        request->magic = QSXTTY_MAGIC;
        request->dev = (uint64_t)st.st_dev;
        request->rdev = (uint64_t)st.st_rdev;
        request->reserved = 0;
        if (send(s, request, sizeof *request, MSG_NOSIGNAL) == (ssize_t)sizeof *request && Receive(s, reply) &&
            reply->magic == QSXTTY_MAGIC && (reply->status == QSXTTY_OK || reply->status == QSXTTY_AGAIN))
            answered = 1;
    }
    close(s);
    return answered;
}

int qsxtty_call(int fd, struct qsxtty_request *request, struct qsxtty_reply *reply) {
    const int saved = errno;
    const int answered = Call(fd, request, reply);
    errno = saved;
    return answered;
}

int qsxtty_exchange(int fd, uint32_t op, uint32_t cflag, uint32_t *line) {
    struct qsxtty_request request;
    struct qsxtty_reply reply;
    memset(&request, 0, sizeof request);
    request.op = op;
    request.cflag = cflag;
    if (!qsxtty_call(fd, &request, &reply) || reply.status != QSXTTY_OK) return 0;
    *line = reply.cflag & QSXTTY_LINE_BITS;
    return 1;
}
