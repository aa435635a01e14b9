// The PTY bridge of one port: see bridge.h for how a session runs.
#include "bridge.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <standin/kernel.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bytering.h"

namespace qsxsim {

namespace {

constexpr int kTickMs = 50;             // termios and line-status checks while open
constexpr int kBusyRetryMs = 250;       // retrying a port that the device itself holds open
constexpr DWORD kReadWaitMs = 1000;     // a port read returns after this with nothing
constexpr int kDrainMs = 2000;          // a closed PTY's last bytes wait this for the line
constexpr int kModemWaitMs = 250;       // one round of a program's wait for its modem lines
constexpr size_t kQueueBytes = 256 * 1024;  // port -> program bytes the master has not taken
constexpr size_t kChunk = 8192;
// How long a program on the side channel has to send its request once connected.
constexpr int kRequestWaitMs = 1000;
// Bytes a bridge lets be on their way to a port that another bridge (or it itself) reads:
// half the driver's receive ring.
constexpr int64_t kWindow = 8192;

void Signal(int fd) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
}

void Drain(int fd) {
    uint64_t value;
    [[maybe_unused]] ssize_t n = read(fd, &value, sizeof value);
}

void CloseFd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

std::string LineErrors(DWORD errors) {
    std::string s;
    auto add = [&](DWORD bit, const char *what) {
        if (errors & bit) s += std::string(s.empty() ? "" : ", ") + what;
    };
    add(CE_FRAME, "framing error");
    add(CE_RXPARITY, "parity error");
    add(CE_OVERRUN, "overrun");
    add(CE_RXOVER, "receive buffer overflow");
    add(CE_BREAK, "break");
    return s;
}

// Bits of one character on the line: start, data, parity and stop bits.
double CharacterBits(const DCB &dcb) {
    const double stop = dcb.StopBits == ONESTOPBIT ? 1.0 : dcb.StopBits == ONE5STOPBITS ? 1.5 : 2.0;
    return 1.0 + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1.0 : 0.0) + stop;
}

// An open that fails this way finds no port (it went with its adapter); any other
// failure means the device itself holds it.
bool PortVanished(DWORD error) {
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_FILE_NOT_FOUND;
}

// The line bits of a termios c_cflag as the port's data bits and parity, and back.
Framing FramingFromCflag(uint32_t cflag) {
    Framing f;
    f.dataBits = static_cast<BYTE>(5 + ((cflag & QSXTTY_CSIZE) >> 4));
    if (!(cflag & QSXTTY_PARENB)) f.parity = NOPARITY;
    else if (cflag & QSXTTY_CMSPAR) f.parity = (cflag & QSXTTY_PARODD) ? MARKPARITY : SPACEPARITY;
    else f.parity = (cflag & QSXTTY_PARODD) ? ODDPARITY : EVENPARITY;
    return f;
}

uint32_t CflagFromFraming(const Framing &f) {
    uint32_t cflag = static_cast<uint32_t>(f.dataBits - 5) << 4;
    switch (f.parity) {
    case ODDPARITY: cflag |= QSXTTY_PARENB | QSXTTY_PARODD; break;
    case EVENPARITY: cflag |= QSXTTY_PARENB; break;
    case MARKPARITY: cflag |= QSXTTY_PARENB | QSXTTY_CMSPAR | QSXTTY_PARODD; break;
    case SPACEPARITY: cflag |= QSXTTY_PARENB | QSXTTY_CMSPAR; break;
    default: break;
    }
    return cflag;
}

}  // namespace

FlowLink::FlowLink() : wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

FlowLink::~FlowLink() { CloseFd(wakeFd); }

void FlowLink::Wake() { Signal(wakeFd); }

// What the supervisor and the session's reader and writer threads share. The threads use
// the port handle until `end`; the supervisor sets `end` and then closes the handle, which
// wakes a read or a write still inside the COM driver, and joins them.
struct PortBridge::Session {
    PortBridge *bridge = nullptr;
    HANDLE port = INVALID_HANDLE_VALUE;
    int wakeFd = -1;  // eventfd: the reader queued bytes, the writer finished, or one ended
    std::mutex lock;
    std::condition_variable room;  // the queue has room, bytes to write came, or end
    ByteRing queue{kQueueBytes};   // lock: port -> program
    std::vector<BYTE> toPort;      // lock: program -> port, taken by the writer from the front
    double byteSeconds = 0;        // lock: the line's time for one character, from the DCB
    std::chrono::steady_clock::time_point lineFree;  // lock: when the bytes written are out
    bool end = false;              // lock: the supervisor ends the session
    bool gone = false;             // lock: a read or write failed: the port vanished

    void Read() {
        std::vector<BYTE> buffer(kChunk);
        for (;;) {
            size_t want;
            {
                std::unique_lock g(lock);
                room.wait(g, [&] { return end || queue.Free() > 0; });
                if (end) break;
                want = std::min(queue.Free(), kChunk);
            }
            DWORD got = 0;
            if (!ReadFile(port, buffer.data(), static_cast<DWORD>(want), &got, nullptr)) {
                // The port went away (or failed for good), unless the session is ending.
                std::lock_guard g(lock);
                if (!end) gone = true;
                break;
            }
            if (got > 0) {
                {
                    std::lock_guard g(lock);
                    if (end) break;  // bytes of a session that ends are not the next one's
                    queue.Push(std::span<const BYTE>(buffer.data(), got));
                    Signal(wakeFd);
                }
                bridge->Count(QSXTTY_COUNT_RX, got);
                if (auto in = bridge->FlowIn()) {
                    in->received += got;
                    in->Wake();
                }
            }
        }
        Signal(wakeFd);
    }

    // Follows the port's modem inputs, so that programs can read and wait for them.
    void Watch() {
        SetCommMask(port, EV_CTS | EV_DSR | EV_RLSD | EV_RING);
        // A change between the session's first look at the lines and the mask above raised
        // no event: one more look, now that every later change raises one.
        DWORD now = 0;
        if (GetCommModemStatus(port, &now)) bridge->ModemEvent(0, now, true);
        for (;;) {
            {
                std::lock_guard g(lock);
                if (end) break;
            }
            DWORD events = 0, msr = 0;
            if (!WaitCommEvent(port, &events, nullptr)) break;  // closed, or the port went
            if (GetCommModemStatus(port, &msr)) bridge->ModemEvent(events, msr, true);
        }
    }

    // Writes what the supervisor hands over; a write waits as long as the line's flow
    // control holds the port, without holding the supervisor up.
    void Write() {
        std::vector<BYTE> bytes;
        for (;;) {
            {
                std::unique_lock g(lock);
                room.wait(g, [&] { return end || !toPort.empty(); });
                if (end) break;
                bytes = toPort;
            }
            std::shared_ptr<FlowLink> out = bridge->FlowOut();
            DWORD sent = 0;
            bool failed = false;
            while (sent < bytes.size()) {
                DWORD wrote = 0;
                if (!WriteFile(port, bytes.data() + sent, static_cast<DWORD>(bytes.size()) - sent, &wrote, nullptr)) {
                    failed = true;
                    break;
                }
                sent += wrote;
                if (out) out->sent += wrote;
            }
            bridge->Count(QSXTTY_COUNT_TX, sent);
            std::lock_guard g(lock);
            toPort.erase(toPort.begin(), toPort.begin() + static_cast<std::ptrdiff_t>(bytes.size()));
            // The line is busy with them until their bits went out, after what it had before.
            const auto now = std::chrono::steady_clock::now();
            lineFree = std::max(lineFree, now) + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                     std::chrono::duration<double>(sent * byteSeconds));
            if (failed) {
                if (!end) gone = true;
                break;
            }
            Signal(wakeFd);
        }
        Signal(wakeFd);
    }
};

PortBridge::PortBridge(std::string device, std::string linkPath, Notify notify)
    : device_(std::move(device)), linkPath_(std::move(linkPath)), notify_(std::move(notify)) {}

PortBridge::~PortBridge() { Stop(); }

bool PortBridge::Start(std::string *error) {
    auto fail = [&](const std::string &what) {
        *error = device_ + ": " + what + ": " + std::strerror(errno);
        Stop();
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) return fail("no PTY");
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0)
        return fail("the PTY cannot be unlocked");
    slavePath_ = name;
    if (!MakePtyRaw(master_)) return fail("the PTY cannot be set up");
    struct stat st;
    if (stat(name, &st) != 0) return fail("the PTY cannot be found");
    slaveDev_ = st.st_dev;
    slaveRdev_ = st.st_rdev;
    // The master reports a hang-up only once a slave was closed: opening and closing it
    // here makes "nobody holds the slave" look the same before the first program as after.
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return fail("the PTY cannot be opened");
    close(slave);
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0 || inotify_add_watch(inotify_, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) return fail("cannot watch the PTY");
    stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    framingFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    channelEndFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    controlFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stopFd_ < 0 || framingFd_ < 0 || channelEndFd_ < 0 || controlFd_ < 0) return fail("no eventfd");
    // Replaced in one step, so a program never finds the link missing or half made.
    const std::string temp = linkPath_ + ".new";
    unlink(temp.c_str());
    if (symlink(name, temp.c_str()) != 0) return fail("cannot make the link " + temp);
    if (rename(temp.c_str(), linkPath_.c_str()) != 0) {
        unlink(temp.c_str());
        return fail("cannot make the link " + linkPath_);
    }
    linked_ = true;
    std::string why;
    if (OpenSideChannel(&why))
        listener_ = std::thread([this] { Listen(); });
    else
        notify_(device_ + ": data bits and parity set by programs cannot reach the port (" + why +
                "); 'framing " + device_ + "' sets them");
    supervisor_ = std::thread([this] { Supervise(); });
    return true;
}

bool PortBridge::OpenSideChannel(std::string *error) {
    const unsigned major = ::major(static_cast<dev_t>(slaveRdev_)), minor = ::minor(static_cast<dev_t>(slaveRdev_));
    if (major < QSXTTY_PTS_MAJOR_FIRST || major > QSXTTY_PTS_MAJOR_LAST) {
        *error = "the PTY has unexpected device numbers";
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // sun_path[0] stays NUL: the abstract namespace, so nothing is left behind in a folder.
    const int n = qsxtty_socket_name(addr.sun_path + 1, sizeof addr.sun_path - 1, slaveDev_,
                                     (major - QSXTTY_PTS_MAJOR_FIRST) * 256 + minor);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
    listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<const sockaddr *>(&addr), size) != 0 ||
        listen(listenFd_, 16) != 0) {
        *error = std::string("socket @") + (addr.sun_path + 1) + ": " + std::strerror(errno);
        CloseFd(listenFd_);
        return false;
    }
    return true;
}

void PortBridge::Listen() {
    for (;;) {
        pollfd p[3] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}, {channelEndFd_, POLLIN, 0}};
        if (poll(p, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents || p[2].revents) return;
        const int connection = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (connection >= 0) {
            Answer(connection);
            close(connection);
        } else if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
            // Out of descriptors, say: the connection stays queued, so wait a moment
            // instead of spinning on it.
            pollfd stop = {stopFd_, POLLIN, 0};
            if (poll(&stop, 1, kBusyRetryMs) > 0) return;
        }
    }
}

// One request of a program, one reply. Anything that is not a well-formed request from
// this user (or root) about this very slave gets no change.
void PortBridge::Answer(int connection) {
    ucred cred{};
    socklen_t credSize = sizeof cred;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &cred, &credSize) != 0 ||
        (cred.uid != geteuid() && cred.uid != 0))
        return;
    pollfd p[2] = {{connection, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    while (poll(p, 2, kRequestWaitMs) < 0 && errno == EINTR) {
    }
    if (!(p[0].revents & POLLIN) || p[1].revents) return;
    qsxtty_request request{};
    if (recv(connection, &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request) ||
        request.magic != QSXTTY_MAGIC)
        return;
    qsxtty_reply reply{};
    reply.magic = QSXTTY_MAGIC;
    reply.status = QSXTTY_NOT_MINE;
    const bool mine = request.dev == slaveDev_ && request.rdev == slaveRdev_;
    if (mine && (request.op == QSXTTY_SET || request.op == QSXTTY_GET)) {
        bool changed = false;
        {
            std::lock_guard g(lock_);
            if (request.op == QSXTTY_SET) {
                const Framing before = FramingInForce();
                programFraming_ = FramingFromCflag(request.cflag);
                programSets_++;
                changed = FramingInForce() != before;
            }
            reply.status = QSXTTY_OK;
            reply.cflag = CflagFromFraming(FramingInForce());
        }
        // The supervisor applies it before it writes anything the program sends after
        // this reply, and wakes for it now.
        if (changed) Signal(framingFd_);
    } else if (mine) {
        AnswerLine(request, &reply);
    }
    [[maybe_unused]] ssize_t n = send(connection, &reply, sizeof reply, MSG_NOSIGNAL);
}

void PortBridge::AnswerLine(const qsxtty_request &request, qsxtty_reply *reply) {
    std::unique_lock g(lock_);
    if ((request.op == QSXTTY_MODEM_GET || request.op == QSXTTY_MODEM_SET || request.op == QSXTTY_BREAK) &&
        !sessionOpen_ && SlaveOpen()) {
        // The program opened the PTY a moment ago and its session is starting: the port's
        // lines are those of that session.
        controlDone_.wait_for(g, std::chrono::milliseconds(kRequestWaitMs), [&] { return sessionOpen_; });
    }
    switch (request.op) {
    case QSXTTY_CLOSING:
    case QSXTTY_MODEM_SET:
    case QSXTTY_BREAK:
        // The session's port is the supervisor's: it acts, and this waits (for a while
        // at most) until it did. Without a session there is nothing to act on.
        if (sessionOpen_) {
            controls_.push_back(Control{request.op, request.cflag, request.arg[0]});
            const uint64_t ticket = ++controlsIssued_;
            Signal(controlFd_);
            controlDone_.wait_for(g, std::chrono::milliseconds(kRequestWaitMs),
                                  [&] { return controlsDone_ >= ticket; });
        }
        break;
    case QSXTTY_MODEM_WAIT: {
        auto moved = [&] {
            const size_t which[] = {QSXTTY_COUNT_CTS, QSXTTY_COUNT_DSR, QSXTTY_COUNT_RNG, QSXTTY_COUNT_DCD};
            const uint32_t bits[] = {QSXTTY_TIOCM_CTS, QSXTTY_TIOCM_DSR, QSXTTY_TIOCM_RI, QSXTTY_TIOCM_CD};
            for (size_t i = 0; i < 4; i++)
                if ((request.cflag & bits[i]) && counts_[which[i]] != request.arg[i]) return true;
            return false;
        };
        // Answered in rounds, so that the listener is not held by one program for long.
        if (!modemChanged_.wait_for(g, std::chrono::milliseconds(kModemWaitMs), moved)) {
            reply->status = QSXTTY_AGAIN;
            return;
        }
        break;
    }
    default:
        break;
    }
    reply->status = QSXTTY_OK;
    if (request.op == QSXTTY_MODEM_GET || request.op == QSXTTY_MODEM_SET) reply->cflag = ModemBits();
    std::copy(counts_.begin(), counts_.end(), reply->counts);
}

uint32_t PortBridge::ModemBits() {
    return (rtsOn_ ? QSXTTY_TIOCM_RTS : 0) | (dtrOn_ ? QSXTTY_TIOCM_DTR : 0) |
           (msr_ & MS_CTS_ON ? QSXTTY_TIOCM_CTS : 0) | (msr_ & MS_DSR_ON ? QSXTTY_TIOCM_DSR : 0) |
           (msr_ & MS_RING_ON ? QSXTTY_TIOCM_RI : 0) | (msr_ & MS_RLSD_ON ? QSXTTY_TIOCM_CD : 0);
}

void PortBridge::ModemEvent(DWORD events, DWORD msr, bool count) {
    {
        std::lock_guard g(lock_);
        const DWORD changed = msr ^ msr_;
        if (count) {
            if (changed & MS_CTS_ON) counts_[QSXTTY_COUNT_CTS]++;
            if (changed & MS_DSR_ON) counts_[QSXTTY_COUNT_DSR]++;
            if (changed & MS_RLSD_ON) counts_[QSXTTY_COUNT_DCD]++;
            if (events & EV_RING) counts_[QSXTTY_COUNT_RNG]++;
        }
        msr_ = msr;
    }
    modemChanged_.notify_all();
}

void PortBridge::Count(size_t which, uint32_t n) {
    std::lock_guard g(lock_);
    counts_[which] += n;
}

void PortBridge::ServeControls(void *session, bool *closing) {
    auto &s = *static_cast<Session *>(session);
    std::deque<Control> todo;
    uint64_t upTo;
    {
        std::lock_guard g(lock_);
        todo.swap(controls_);
        upTo = controlsIssued_;
    }
    for (const Control &c : todo) {
        switch (c.op) {
        case QSXTTY_CLOSING: {
            // Everything the program wrote before it closes is in the PTY now: it goes out
            // in this session, and nothing more goes to the program.
            std::vector<BYTE> buffer(4096);
            std::lock_guard g(s.lock);
            for (ssize_t n; (n = read(master_, buffer.data(), buffer.size())) > 0;)
                s.toPort.insert(s.toPort.end(), buffer.begin(), buffer.begin() + n);
            s.room.notify_all();
            *closing = true;
            break;
        }
        case QSXTTY_MODEM_SET:
            if (c.value & QSXTTY_TIOCM_DTR) EscapeCommFunction(s.port, c.arg & QSXTTY_TIOCM_DTR ? SETDTR : CLRDTR);
            if (c.value & QSXTTY_TIOCM_RTS) EscapeCommFunction(s.port, c.arg & QSXTTY_TIOCM_RTS ? SETRTS : CLRRTS);
            {
                std::lock_guard g(lock_);
                if (c.value & QSXTTY_TIOCM_DTR) dtrOn_ = (c.arg & QSXTTY_TIOCM_DTR) != 0;
                if (c.value & QSXTTY_TIOCM_RTS) rtsOn_ = (c.arg & QSXTTY_TIOCM_RTS) != 0;
            }
            break;
        case QSXTTY_BREAK:
            if (c.value)
                SetCommBreak(s.port);
            else
                ClearCommBreak(s.port);
            break;
        default:
            break;
        }
    }
    {
        std::lock_guard g(lock_);
        controlsDone_ = std::max(controlsDone_, upTo);
    }
    controlDone_.notify_all();
}

Framing PortBridge::FramingInForce() { return programFraming_ ? *programFraming_ : framing_; }

void PortBridge::ForgetProgramFraming(uint64_t setsBefore) {
    std::lock_guard g(lock_);
    // A setting that came in meanwhile belongs to a program that has the PTY now.
    if (programSets_ == setsBefore) programFraming_.reset();
}

void PortBridge::Stop() {
    if (stopFd_ >= 0) Signal(stopFd_);
    if (supervisor_.joinable()) supervisor_.join();
    CloseSideChannel();
    CloseMaster();
    CloseFd(inotify_);
    CloseFd(stopFd_);
    CloseFd(framingFd_);
    CloseFd(channelEndFd_);
    CloseFd(controlFd_);
}

void PortBridge::CloseSideChannel() {
    if (listener_.joinable()) {
        Signal(channelEndFd_);
        listener_.join();
    }
    CloseFd(listenFd_);
}

void PortBridge::CloseMaster() {
    std::lock_guard g(lock_);
    if (linked_) {
        // Only if it is still ours: a later run may have made it again.
        char target[128];
        ssize_t n = readlink(linkPath_.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == slavePath_) unlink(linkPath_.c_str());
        linked_ = false;
    }
    CloseFd(master_);
}

PortBridge::Status PortBridge::GetStatus() {
    std::lock_guard g(lock_);
    Status s;
    s.state = state_;
    s.slavePath = slavePath_;
    s.linkPath = linkPath_;
    s.dcb = dcb_;
    s.framing = FramingInForce();
    s.framingFromProgram = programFraming_.has_value();
    return s;
}

void PortBridge::SetFraming(const Framing &framing) {
    {
        std::lock_guard g(lock_);
        framing_ = framing;
        programFraming_.reset();  // the latest choice wins
    }
    if (framingFd_ >= 0) Signal(framingFd_);
}

void PortBridge::SetFlow(std::shared_ptr<FlowLink> out, std::shared_ptr<FlowLink> in) {
    std::lock_guard g(lock_);
    if (in_ && in_ != in) {
        in_->receiverOpen = false;
        in_->Wake();  // its sender may be waiting for us
    }
    if (in && in != in_) {
        in->received = in->sent.load();
        in->receiverOpen = sessionOpen_;
    }
    out_ = std::move(out);
    in_ = std::move(in);
}

std::shared_ptr<FlowLink> PortBridge::FlowOut() {
    std::lock_guard g(lock_);
    return out_;
}

std::shared_ptr<FlowLink> PortBridge::FlowIn() {
    std::lock_guard g(lock_);
    return in_;
}

void PortBridge::ReceiverOpen(bool open) {
    std::lock_guard g(lock_);
    sessionOpen_ = open;
    controlDone_.notify_all();  // requests waiting for the session to start
    if (!in_) return;
    // Bytes sent while nobody read the port were dropped by it: they are not on their way.
    if (open) in_->received = in_->sent.load();
    in_->receiverOpen = open;
    in_->Wake();
}

bool PortBridge::SlaveOpen() {
    // The master reports a hang-up while no program holds the slave open. Bytes that a
    // program wrote before it closed the slave again (`echo AT > COM11`) are still to be
    // read, and they need the port as much as an open slave does.
    pollfd p = {master_, POLLIN, 0};
    return poll(&p, 1, 0) >= 0 && (!(p.revents & POLLHUP) || (p.revents & POLLIN));
}

bool PortBridge::WaitForSlave() {
    for (;;) {
        char events[4096];
        while (read(inotify_, events, sizeof events) > 0) {
        }
        uint64_t sets;
        {
            std::lock_guard g(lock_);
            sets = programSets_;
        }
        if (SlaveOpen()) return true;
        // Nobody holds the PTY: the last program's data bits and parity go with it.
        ForgetProgramFraming(sets);
        pollfd p[2] = {{inotify_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) return false;
        if (p[1].revents) return false;
    }
}

void PortBridge::Supervise() {
    for (;;) {
        if (!WaitForSlave()) return;
        if (!RunSession()) break;
        pollfd p = {stopFd_, POLLIN, 0};
        if (poll(&p, 1, 0) > 0) return;
    }
    PortGone();
    pollfd p = {stopFd_, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
}

bool PortBridge::LookAtOpens(bool *closed) {
    char events[4096];
    bool opened = false;
    ssize_t n;
    while ((n = read(inotify_, events, sizeof events)) > 0)
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(events + at);
            if (e->mask & IN_OPEN) opened = true;
            if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) *closed = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    return opened;
}

void PortBridge::PortGone() {
    // The socket's name goes before the PTY whose number it carries: once the PTY is
    // closed, another run may get the same number and need the name.
    CloseSideChannel();
    CloseMaster();
    {
        std::lock_guard g(lock_);
        state_ = OpenState::kGone;
        dcb_.reset();
    }
    notify_(device_ + ": the port is gone; its PTY is closed");
}

bool PortBridge::RunSession() {
    const std::u16string path = u"$device\\" + standin::FromUtf8(device_);
    Session s;
    s.bridge = this;
    bool busyShown = false;
    for (;;) {
        s.port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (s.port != INVALID_HANDLE_VALUE) break;
        const DWORD error = GetLastError();
        if (PortVanished(error)) return false;
        if (!busyShown) {
            busyShown = true;
            {
                std::lock_guard g(lock_);
                state_ = OpenState::kBusy;
            }
            notify_(device_ + ": a Linux program opened the PTY, but the port is in use on the device "
                              "(error " + std::to_string(error) + "); retrying");
        }
        pollfd p[2] = {{master_, 0, 0}, {stopFd_, POLLIN, 0}};
        poll(p, 2, kBusyRetryMs);
        if (p[1].revents || (p[0].revents & POLLHUP)) {
            std::lock_guard g(lock_);
            state_ = OpenState::kClosed;
            return true;
        }
    }

    // A read returns as soon as bytes are there; closing the handle ends one that waits.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, kReadWaitMs, 0, 0};
    SetCommTimeouts(s.port, &timeouts);
    // A new session: whatever reached the port while it was closed is not this program's.
    PurgeComm(s.port, PURGE_RXABORT | PURGE_RXCLEAR);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(s.port, &dcb);
    std::optional<PtyLine> applied;
    Framing framing;
    bool dtrDown = false;
    std::string refused;  // the last settings the port refused, said once
    // Brings the port's DCB in line with the PTY and the framing; `force` after a framing
    // change.
    auto update = [&](bool force) {
        PtyLine line;
        if (!ReadPtyLine(master_, &line)) return;
        Framing wanted;
        {
            std::lock_guard g(lock_);
            wanted = FramingInForce();
        }
        if (!force && applied && *applied == line && wanted == framing) return;
        applied = line;
        framing = wanted;
        // B0 hangs up: DTR drops until a rate is set again.
        if ((line.baud == 0) != dtrDown) {
            dtrDown = line.baud == 0;
            EscapeCommFunction(s.port, dtrDown ? CLRDTR : SETDTR);
        }
        DCB next = dcb;
        ApplyPtyLine(line, framing, &next);
        if (SetCommState(s.port, &next)) {
            refused.clear();
            GetCommState(s.port, &dcb);
            std::lock_guard g(s.lock);
            s.byteSeconds = CharacterBits(dcb) / dcb.BaudRate;
        } else {
            std::string what = std::to_string(next.BaudRate) + " baud " +
                               FramingText(Framing{next.ByteSize, next.Parity, next.StopBits});
            if (what != refused)
                notify_(device_ + ": the port refused " + what + " (error " + std::to_string(GetLastError()) + ")");
            refused = what;
        }
        std::lock_guard g(lock_);
        dcb_ = dcb;
    };
    update(true);
    // As a serial port's open does on Linux: DTR and RTS come up, and drop again at the end.
    // With RTS/CTS flow control the adapter takes RTS down by itself while its receive
    // buffer is full.
    EscapeCommFunction(s.port, SETDTR);
    EscapeCommFunction(s.port, SETRTS);
    // The open that started this session has been seen; a later one starts the next.
    char events[4096];
    while (read(inotify_, events, sizeof events) > 0) {
    }
    {
        std::lock_guard g(lock_);
        state_ = OpenState::kOpen;
    }
    notify_(device_ + ": a Linux program opened the PTY; the port is open");

    s.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ReceiverOpen(true);
    DWORD msr = 0;
    GetCommModemStatus(s.port, &msr);
    {
        std::lock_guard g(lock_);
        dtrOn_ = rtsOn_ = true;
    }
    ModemEvent(0, msr, false);
    std::thread reader([&s] { s.Read(); });
    std::thread writer([&s] { s.Write(); });
    std::thread watcher([&s] { s.Watch(); });

    enum class End { kSlaveClosed, kReopened, kStop, kGone } end = End::kSlaveClosed;
    std::vector<BYTE> toProgram(kChunk), fromProgram(4096);
    // Since when the PTY has been closed with bytes of the program still in it, waiting
    // for the writer.
    bool closedWaiting = false;
    std::chrono::steady_clock::time_point closedSince;  // while closedWaiting
    bool closing = false;  // the program closed the PTY: nothing more goes to it
    for (;;) {
        bool queued, writing;
        {
            std::lock_guard g(s.lock);
            queued = !s.queue.Empty();
            writing = !s.toPort.empty();
        }
        // Room on the way to a receiver that qsxsim reads; while there is none, the
        // program's bytes wait and the receiver's progress wakes this loop. Nor is more
        // read while the writer still has bytes: the program's writes wait in the PTY.
        std::shared_ptr<FlowLink> out = FlowOut();
        int64_t room = writing ? 0 : static_cast<int64_t>(fromProgram.size());
        if (!writing && out && out->receiverOpen)
            room = std::min(room, kWindow - std::max<int64_t>(0, out->sent - out->received));
        const bool flowHeld = !writing && room <= 0;
        // A closed PTY reports a hang-up at every look: it is left out while nothing can be
        // read from it anyway, and the writer's progress wakes this loop instead.
        const int master = closedWaiting && room <= 0 ? -1 : master_;
        pollfd p[7] = {{master, static_cast<short>((room > 0 ? POLLIN : 0) | (queued && !closing ? POLLOUT : 0)), 0},
                       {stopFd_, POLLIN, 0},
                       {s.wakeFd, POLLIN, 0},
                       {framingFd_, POLLIN, 0},
                       {flowHeld ? out->wakeFd : -1, POLLIN, 0},
                       {inotify_, POLLIN, 0},
                       {controlFd_, POLLIN, 0}};
        if (poll(p, 7, kTickMs) < 0 && errno != EINTR) break;
        if (p[1].revents) {
            end = End::kStop;
            break;
        }
        if (p[2].revents) Drain(s.wakeFd);
        if (p[4].revents) Drain(out->wakeFd);
        const bool framingChanged = p[3].revents != 0;
        if (framingChanged) Drain(framingFd_);
        update(framingChanged);
        if (p[6].revents) {
            Drain(controlFd_);
            ServeControls(&s, &closing);
        }
        // Another open of the PTY: a new program (or the same one again) starts a new
        // session, and what it already wrote waits in the PTY for that session.
        bool reopened = p[5].revents && LookAtOpens(&closing);

        // Port -> program, as much as the master takes; nothing once the program closed
        // the PTY (looked at right before each write, so that bytes of this session reach
        // a program that reopened the PTY at most in the instant between the look and the
        // write, where the next session's flush of the PTY still catches them).
        bool portFailed;
        {
            std::unique_lock g(s.lock);
            while (!reopened && !closing && !s.queue.Empty()) {
                g.unlock();
                reopened = LookAtOpens(&closing);
                g.lock();
                if (reopened || closing) break;
                size_t n = std::min(s.queue.Size(), toProgram.size());
                s.queue.Peek(0, n, toProgram.data());
                g.unlock();
                ssize_t w = write(master_, toProgram.data(), n);
                g.lock();
                if (w <= 0) break;
                s.queue.Consume(static_cast<size_t>(w));
                s.room.notify_all();
            }
            portFailed = s.gone;
        }
        if (portFailed) {
            end = End::kGone;
            break;
        }
        if (reopened) {
            end = End::kReopened;
            break;
        }
        if (closing) {
            pollfd q = {master_, 0, 0};
            if (poll(&q, 1, 0) >= 0 && !(q.revents & POLLHUP)) {
                // Closed and open again (or still open elsewhere): a new session. What the
                // PTY holds from the program now it wrote before it closed (a new one has
                // hardly had the time to write): it goes out in this session.
                std::lock_guard g(s.lock);
                for (ssize_t n; (n = read(master_, fromProgram.data(), fromProgram.size())) > 0;)
                    s.toPort.insert(s.toPort.end(), fromProgram.begin(), fromProgram.begin() + n);
                s.room.notify_all();
                end = End::kReopened;
                break;
            }
        }

        // Program -> port, through the writer.
        bool slaveClosed = false;
        if (master < 0 || (p[0].revents & POLLHUP)) {
            pollfd q = {master_, POLLIN, 0};
            const bool hup = poll(&q, 1, 0) > 0 && (q.revents & POLLHUP);
            const bool left = hup && (q.revents & POLLIN);
            const auto now = std::chrono::steady_clock::now();
            if (!hup) {
                closedWaiting = false;  // open again: a reopen shows through inotify
            } else if (!left) {
                slaveClosed = true;
            } else if (!closedWaiting) {
                closedWaiting = true;
                closedSince = now;
            } else if (now - closedSince > std::chrono::milliseconds(kDrainMs)) {
                slaveClosed = true;  // held back for too long: the rest is dropped
            }
        }
        if (p[0].revents & POLLIN) {
            ssize_t n = read(master_, fromProgram.data(), static_cast<size_t>(room));
            if (n > 0) {
                // Read after the bytes came: a setting made before writing them shows now.
                update(false);
                std::lock_guard g(s.lock);
                s.toPort.insert(s.toPort.end(), fromProgram.begin(), fromProgram.begin() + n);
                s.room.notify_all();
            } else if (n == 0 || errno == EIO) {
                slaveClosed = true;
            }
        }
        if (slaveClosed) break;

        DWORD errors = 0;
        COMSTAT stat{};
        if (ClearCommError(s.port, &errors, &stat) && errors) {
            notify_(device_ + ": line status: " + LineErrors(errors));
            if (errors & CE_FRAME) Count(QSXTTY_COUNT_FRAME, 1);
            if (errors & CE_RXPARITY) Count(QSXTTY_COUNT_PARITY, 1);
            if (errors & CE_OVERRUN) Count(QSXTTY_COUNT_OVERRUN, 1);
            if (errors & CE_RXOVER) Count(QSXTTY_COUNT_BUF_OVERRUN, 1);
            if (errors & CE_BREAK) Count(QSXTTY_COUNT_BRK, 1);
        }
    }

    if (end == End::kSlaveClosed || end == End::kReopened) {
        // What the program wrote before it closed the PTY still goes out on the line, as
        // a serial port's close waits for its output, unless flow control holds it for
        // longer than kDrainMs: first to the port, then the line's time for it.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMs);
        for (;;) {
            std::chrono::steady_clock::time_point lineFree;
            {
                std::lock_guard g(s.lock);
                if (s.gone) break;
                lineFree = s.toPort.empty() ? s.lineFree : until;
            }
            const auto now = std::chrono::steady_clock::now();
            if (lineFree <= now || now >= until) break;
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::min(lineFree, until) - now);
            pollfd p[2] = {{s.wakeFd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            if (poll(p, 2, static_cast<int>(wait.count())) < 0 && errno != EINTR) break;
            if (p[1].revents) break;
            if (p[0].revents) Drain(s.wakeFd);
        }
    }
    bool gone;
    {
        std::lock_guard g(s.lock);
        gone = s.gone;
    }
    if (!gone) {
        EscapeCommFunction(s.port, CLRDTR);
        EscapeCommFunction(s.port, CLRRTS);
        // Nothing of this session is left in the adapter for the next one: not what it
        // still holds to send, nor what came back.
        PurgeComm(s.port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
    {
        std::lock_guard g(s.lock);
        s.end = true;
    }
    s.room.notify_all();
    // Ends a read or write still waiting inside the COM driver; the threads see `end`.
    CloseHandle(s.port);
    reader.join();
    writer.join();
    watcher.join();
    ReceiverOpen(false);
    {
        // Requests that came too late for this session have nothing left to act on.
        std::lock_guard g(lock_);
        controls_.clear();
        controlsDone_ = controlsIssued_;
        msr_ = 0;
        dtrOn_ = rtsOn_ = false;
    }
    controlDone_.notify_all();
    modemChanged_.notify_all();
    CloseFd(s.wakeFd);
    {
        std::lock_guard g(lock_);
        state_ = OpenState::kClosed;
        dcb_.reset();
    }
    if (end == End::kGone || gone) return false;
    // Bytes for a program that is no longer there are not kept for the next one; what a
    // program wrote is dropped too unless the next one is there already.
    tcflush(master_, SlaveOpen() ? TCOFLUSH : TCIOFLUSH);
    if (end == End::kSlaveClosed) notify_(device_ + ": the PTY was closed; the port is closed");
    return true;
}

}  // namespace qsxsim
