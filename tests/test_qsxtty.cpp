// The preload library (libqsxtty) on files that are not qsxsim's: whatever a program does
// on them must come out exactly as without the library, errno included. And against a
// stand-in bridge: what it sends, what it reports back, and that a bridge which says no
// or says nothing leaves the program as it was. The library is loaded with dlopen and
// its wrappers are called directly, so this program's own calls are not redirected.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../tools/qsxtty/protocol.h"

namespace {

constexpr int kSentinel = 0x5eed;  // errno as the program left it before a call

struct Shim {
    void *handle = nullptr;
    int (*tcsetattr)(int, int, const struct termios *) = nullptr;
    int (*tcgetattr)(int, struct termios *) = nullptr;
    int (*ioctl)(int, unsigned long, ...) = nullptr;

    Shim() {
        const char *folders = getenv("QSX_LIBRARY_PATH");
        std::string path = std::string(folders ? folders : ".") + "/libqsxtty.so";
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        tcsetattr = reinterpret_cast<decltype(tcsetattr)>(dlsym(handle, "tcsetattr"));
        tcgetattr = reinterpret_cast<decltype(tcgetattr)>(dlsym(handle, "tcgetattr"));
        ioctl = reinterpret_cast<decltype(ioctl)>(dlsym(handle, "ioctl"));
    }
    ~Shim() {
        if (handle) dlclose(handle);
    }
};

struct Pty {
    int master = -1, slave = -1;
    Pty() {
        struct termios raw{};
        cfmakeraw(&raw);
        cfsetspeed(&raw, B9600);
        openpty(&master, &slave, nullptr, &raw, nullptr);
    }
    ~Pty() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
};

// The same call through the library and straight to the C library: same result, same
// errno, same settings read.
struct Outcome {
    int result;
    int error;
    bool operator==(const Outcome &) const = default;
};

template <typename Fn>
Outcome Call(Fn call) {
    errno = kSentinel;
    const int result = call();
    return {result, errno};
}

class QsxttyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(shim.handle, nullptr) << "libqsxtty.so not found: set QSX_LIBRARY_PATH (ctest does): " << dlerror();
        ASSERT_TRUE(shim.tcsetattr && shim.tcgetattr && shim.ioctl);
        ASSERT_GE(pty.slave, 0);
    }
    Shim shim;
    Pty pty;
};

TEST_F(QsxttyTest, FilesThatAreNotQsxsimPtysBehaveAsWithoutTheLibrary) {
    char name[] = "/tmp/qsxtty-XXXXXX";
    const int file = mkstemp(name);
    ASSERT_GE(file, 0);
    unlink(name);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(write(pipeFds[1], "abc", 3), 3);

    struct termios base;
    ASSERT_EQ(tcgetattr(pty.slave, &base), 0);
    struct termios sevenEven = base;  // only data bits and parity change: a bare PTY refuses it
    sevenEven.c_cflag = (sevenEven.c_cflag & ~CSIZE) | CS7 | PARENB;
    struct termios twoStop = base;  // a change the PTY keeps
    twoStop.c_cflag |= CSTOPB;

    struct Case {
        const char *what;
        std::function<int()> viaShim, direct;
    };
    struct termios a, b;
    int pending = -1;
    const std::vector<Case> cases = {
        {"tcgetattr on a regular file", [&] { return shim.tcgetattr(file, &a); }, [&] { return tcgetattr(file, &b); }},
        {"tcsetattr on a regular file", [&] { return shim.tcsetattr(file, TCSANOW, &base); },
         [&] { return tcsetattr(file, TCSANOW, &base); }},
        {"tcsetattr with a bad action", [&] { return shim.tcsetattr(pty.slave, 99, &twoStop); },
         [&] { return tcsetattr(pty.slave, 99, &twoStop); }},
        {"TCGETS on a regular file", [&] { return shim.ioctl(file, TCGETS, &a); },
         [&] { return ioctl(file, TCGETS, &b); }},
        {"FIONREAD on a pipe", [&] { return shim.ioctl(pipeFds[0], FIONREAD, &pending); },
         [&] { return ioctl(pipeFds[0], FIONREAD, &pending); }},
        {"tcsetattr 7E on another PTY", [&] { return shim.tcsetattr(pty.slave, TCSANOW, &sevenEven); },
         [&] { return tcsetattr(pty.slave, TCSANOW, &sevenEven); }},
        {"tcsetattr 2 stop bits on another PTY", [&] { return shim.tcsetattr(pty.slave, TCSANOW, &twoStop); },
         [&] { return tcsetattr(pty.slave, TCSANOW, &twoStop); }},
        {"TCSETS 7E on another PTY", [&] { return shim.ioctl(pty.slave, TCSETS, &sevenEven); },
         [&] { return ioctl(pty.slave, TCSETS, &sevenEven); }},
    };
    for (const Case &c : cases) {
        const Outcome viaShim = Call(c.viaShim);
        const Outcome direct = Call(c.direct);
        EXPECT_EQ(viaShim, direct) << c.what << ": " << viaShim.result << "/" << viaShim.error << " vs "
                                   << direct.result << "/" << direct.error;
    }
    EXPECT_EQ(pending, 3);

    // Reading back another PTY's settings: the kernel's, untouched, and errno too.
    std::memset(&a, 0, sizeof a);
    std::memset(&b, 0, sizeof b);
    EXPECT_EQ(Call([&] { return shim.tcgetattr(pty.slave, &a); }), (Outcome{0, kSentinel}));
    ASSERT_EQ(tcgetattr(pty.slave, &b), 0);
    EXPECT_EQ(a.c_cflag, b.c_cflag);
    EXPECT_EQ(a.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
    close(file);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

// A bridge of its own for the test's PTY, on the name qsxsim would use, answering each
// request as told.
class FakeBridge {
public:
    enum class Mode { kAnswer, kNotMine, kSilent };

    // `otherDevpts`: the bridge of a PTY with the same number on another devpts instance.
    FakeBridge(int slave, Mode mode, uint32_t portBits, bool otherDevpts = false) : mode_(mode), portBits_(portBits) {
        struct stat st;
        fstat(slave, &st);
        if (otherDevpts) st.st_dev++;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const unsigned index = (major(st.st_rdev) - QSXTTY_PTS_MAJOR_FIRST) * 256 + minor(st.st_rdev);
        const int n = qsxtty_socket_name(addr.sun_path + 1, sizeof addr.sun_path - 1, st.st_dev, index);
        listen_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
        bound_ = listen_ >= 0 && bind(listen_, reinterpret_cast<sockaddr *>(&addr), size) == 0 && listen(listen_, 4) == 0;
        stop_ = eventfd(0, EFD_CLOEXEC);
        if (bound_) thread_ = std::thread([this] { Serve(); });
    }
    ~FakeBridge() {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(stop_, &one, sizeof one);
        if (thread_.joinable()) thread_.join();
        close(listen_);
        close(stop_);
    }
    bool Bound() const { return bound_; }
    std::vector<qsxtty_request> Requests() {
        std::lock_guard g(lock_);
        return requests_;
    }

private:
    void Serve() {
        std::vector<int> held;  // a silent bridge keeps its connections open without a word
        for (;;) {
            pollfd p[2] = {{listen_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (poll(p, 2, -1) < 0 || p[1].revents) break;
            const int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            qsxtty_request request{};
            if (recv(c, &request, sizeof request, 0) == static_cast<ssize_t>(sizeof request)) {
                std::lock_guard g(lock_);
                requests_.push_back(request);
            }
            if (mode_ == Mode::kSilent) {
                held.push_back(c);
                continue;
            }
            qsxtty_reply reply{};
            reply.magic = QSXTTY_MAGIC;
            reply.status = mode_ == Mode::kAnswer ? 0u : 1u;
            if (mode_ == Mode::kAnswer && request.op == QSXTTY_SET) portBits_ = request.cflag & QSXTTY_LINE_BITS;
            reply.cflag = portBits_;
            [[maybe_unused]] ssize_t n = send(c, &reply, sizeof reply, MSG_NOSIGNAL);
            close(c);
        }
        for (int c : held) close(c);
    }

    const Mode mode_;
    uint32_t portBits_;  // only the serving thread
    int listen_ = -1, stop_ = -1;
    bool bound_ = false;
    std::mutex lock_;
    std::vector<qsxtty_request> requests_;  // lock_
    std::thread thread_;
};

TEST_F(QsxttyTest, ABridgeGetsTheLineBitsAndTheProgramSeesThePorts) {
    FakeBridge bridge(pty.slave, FakeBridge::Mode::kAnswer, QSXTTY_CS8);
    ASSERT_TRUE(bridge.Bound());
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | PARODD;
    // Refused by the C library on a bare PTY; here it succeeds, errno untouched.
    EXPECT_EQ(Call([&] { return shim.tcsetattr(pty.slave, TCSANOW, &t); }), (Outcome{0, kSentinel}));
    struct termios back;
    EXPECT_EQ(Call([&] { return shim.tcgetattr(pty.slave, &back); }), (Outcome{0, kSentinel}));
    EXPECT_EQ(back.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(CS7 | PARENB | PARODD));
    // The kernel's form, as a program that skips the C library's termios calls uses it.
    struct termios direct = t;
    direct.c_cflag = (direct.c_cflag & ~(CSIZE | PARODD)) | CS5 | CMSPAR;
    EXPECT_EQ(Call([&] { return shim.ioctl(pty.slave, TCSETS, &direct); }), (Outcome{0, kSentinel}));
    EXPECT_EQ(Call([&] { return shim.ioctl(pty.slave, TCGETS, &back); }), (Outcome{0, kSentinel}));
    EXPECT_EQ(back.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(CS5 | PARENB | CMSPAR));

    const std::vector<qsxtty_request> requests = bridge.Requests();
    ASSERT_EQ(requests.size(), 4u);
    struct stat st;
    ASSERT_EQ(fstat(pty.slave, &st), 0);
    const uint32_t ops[] = {QSXTTY_SET, QSXTTY_GET, QSXTTY_SET, QSXTTY_GET};
    for (size_t i = 0; i < requests.size(); i++) {
        EXPECT_EQ(requests[i].magic, QSXTTY_MAGIC);
        EXPECT_EQ(requests[i].op, ops[i]) << i;
        EXPECT_EQ(requests[i].rdev, static_cast<uint64_t>(st.st_rdev));
        EXPECT_EQ(requests[i].dev, static_cast<uint64_t>(st.st_dev));
    }
    EXPECT_EQ(requests[0].cflag & QSXTTY_LINE_BITS, QSXTTY_CS7 | QSXTTY_PARENB | QSXTTY_PARODD);
}

// The modem lines and break, which a PTY lacks, go to the bridge: what it reports is what
// the program reads, what the program sets is what it gets. Without a bridge the kernel
// answers, as without the library.
TEST_F(QsxttyTest, ModemLinesAndBreakGoToTheBridge) {
    int bits = 0;
    const Outcome bare = Call([&] { return ioctl(pty.slave, TIOCMGET, &bits); });
    ASSERT_EQ(bare.result, -1);
    EXPECT_EQ(Call([&] { return shim.ioctl(pty.slave, TIOCMGET, &bits); }), bare);

    FakeBridge bridge(pty.slave, FakeBridge::Mode::kAnswer, QSXTTY_TIOCM_CTS | QSXTTY_TIOCM_CD);
    ASSERT_TRUE(bridge.Bound());
    EXPECT_EQ(Call([&] { return shim.ioctl(pty.slave, TIOCMGET, &bits); }), (Outcome{0, kSentinel}));
    EXPECT_EQ(bits, TIOCM_CTS | TIOCM_CAR);
    struct Case {
        unsigned long request;
        int bits;
        uint32_t op, cflag, arg;  // what the bridge is asked
    } cases[] = {
        {TIOCMBIS, TIOCM_RTS | TIOCM_CTS, QSXTTY_MODEM_SET, QSXTTY_TIOCM_RTS, QSXTTY_TIOCM_RTS},
        {TIOCMBIC, TIOCM_DTR, QSXTTY_MODEM_SET, QSXTTY_TIOCM_DTR, 0},
        {TIOCMSET, TIOCM_DTR, QSXTTY_MODEM_SET, QSXTTY_TIOCM_DTR | QSXTTY_TIOCM_RTS, QSXTTY_TIOCM_DTR},
    };
    for (const Case &c : cases) {
        int value = c.bits;
        EXPECT_EQ(Call([&] { return shim.ioctl(pty.slave, c.request, &value); }), (Outcome{0, kSentinel}));
    }
    EXPECT_EQ(Call([&] { return shim.ioctl(pty.slave, TIOCSBRK, 0); }), (Outcome{0, kSentinel}));
    EXPECT_EQ(Call([&] { return shim.ioctl(pty.slave, TIOCCBRK, 0); }), (Outcome{0, kSentinel}));
    const std::vector<qsxtty_request> requests = bridge.Requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0].op, static_cast<uint32_t>(QSXTTY_MODEM_GET));
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(requests[i + 1].op, cases[i].op);
        EXPECT_EQ(requests[i + 1].cflag, cases[i].cflag);
        EXPECT_EQ(requests[i + 1].arg[0], cases[i].arg);
    }
    EXPECT_EQ(requests[4].op, static_cast<uint32_t>(QSXTTY_BREAK));
    EXPECT_EQ(requests[4].cflag, 1u);
    EXPECT_EQ(requests[5].cflag, 0u);
}

// A PTY with the same number on another devpts instance (another container, say) has a
// bridge of its own name: a program never reaches it, and gets what the C library says.
TEST_F(QsxttyTest, ABridgeOfAnotherDevptsInstanceIsNeverAsked) {
    struct termios sevenEven;
    ASSERT_EQ(tcgetattr(pty.slave, &sevenEven), 0);
    sevenEven.c_cflag = (sevenEven.c_cflag & ~CSIZE) | CS7 | PARENB;
    FakeBridge other(pty.slave, FakeBridge::Mode::kAnswer, QSXTTY_CS7 | QSXTTY_PARENB, true);
    ASSERT_TRUE(other.Bound());
    FakeBridge own(pty.slave, FakeBridge::Mode::kAnswer, QSXTTY_CS8);
    ASSERT_TRUE(own.Bound()) << "the two bridges' names collide";
    EXPECT_EQ(Call([&] { return shim.tcsetattr(pty.slave, TCSANOW, &sevenEven); }), (Outcome{0, kSentinel}));
    EXPECT_TRUE(other.Requests().empty());
    EXPECT_EQ(own.Requests().size(), 1u);
}

// A name held by something that is not this PTY's bridge (it says so), or a bridge that
// hangs: the program gets what the C library says, the hang bounded.
TEST_F(QsxttyTest, ABridgeThatRefusesOrHangsLeavesTheProgramAsItWas) {
    struct termios sevenEven;
    ASSERT_EQ(tcgetattr(pty.slave, &sevenEven), 0);
    sevenEven.c_cflag = (sevenEven.c_cflag & ~CSIZE) | CS7 | PARENB;
    const Outcome bare = Call([&] { return tcsetattr(pty.slave, TCSANOW, &sevenEven); });
    ASSERT_EQ(bare, (Outcome{-1, EINVAL}));

    for (FakeBridge::Mode mode : {FakeBridge::Mode::kNotMine, FakeBridge::Mode::kSilent}) {
        FakeBridge bridge(pty.slave, mode, QSXTTY_CS7 | QSXTTY_PARENB);
        ASSERT_TRUE(bridge.Bound());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Call([&] { return shim.tcsetattr(pty.slave, TCSANOW, &sevenEven); }), bare);
        struct termios back;
        EXPECT_EQ(Call([&] { return shim.tcgetattr(pty.slave, &back); }), (Outcome{0, kSentinel}));
        EXPECT_EQ(back.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(bridge.Requests().size(), 2u);
    }
}

}  // namespace
