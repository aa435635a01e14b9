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

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bytering.h"
#include "../qsxtty/protocol.h"

namespace qsxsim {

namespace {

constexpr int kTickMs = 50;             // termios and line-status checks while open
constexpr int kBusyRetryMs = 250;       // retrying a port that the device itself holds open
constexpr DWORD kReadWaitMs = 100;      // a port read returns after this with nothing
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

// What the supervisor and the session's reader thread share.
struct PortBridge::Session {
    PortBridge *bridge = nullptr;
    HANDLE port = INVALID_HANDLE_VALUE;
    int wakeFd = -1;  // eventfd: the reader queued bytes or ended
    std::mutex lock;
    std::condition_variable room;  // the queue has room, or end
    ByteRing queue{kQueueBytes};   // lock
    bool end = false;              // lock: the supervisor ends the session
    bool gone = false;             // lock: a read failed: the port vanished

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
                // The port went away (or failed for good): the session cannot go on.
                std::lock_guard g(lock);
                gone = true;
                break;
            }
            if (got > 0) {
                {
                    std::lock_guard g(lock);
                    queue.Push(std::span<const BYTE>(buffer.data(), got));
                    Signal(wakeFd);
                }
                if (auto in = bridge->FlowIn()) {
                    in->received += got;
                    in->Wake();
                }
            }
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
    if (inotify_ < 0 || inotify_add_watch(inotify_, name, IN_OPEN) < 0) return fail("cannot watch the PTY");
    stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    framingFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stopFd_ < 0 || framingFd_ < 0) return fail("no eventfd");
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
    const int n = qsxtty_socket_name(addr.sun_path + 1, sizeof addr.sun_path - 1,
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
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents) return;
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
    }
    [[maybe_unused]] ssize_t n = send(connection, &reply, sizeof reply, MSG_NOSIGNAL);
}

Framing PortBridge::FramingInForce() { return programFraming_ ? *programFraming_ : framing_; }

void PortBridge::ForgetProgramFraming(uint64_t setsBefore) {
    std::lock_guard g(lock_);
    // A setting that came in meanwhile belongs to a program that has the PTY now.
    if (programSets_ == setsBefore) programFraming_.reset();
}

void PortBridge::Stop() {
    if (supervisor_.joinable() || listener_.joinable()) Signal(stopFd_);
    if (supervisor_.joinable()) supervisor_.join();
    if (listener_.joinable()) listener_.join();
    CloseFd(listenFd_);
    CloseMaster();
    CloseFd(inotify_);
    CloseFd(stopFd_);
    CloseFd(framingFd_);
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

void PortBridge::PortGone() {
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

    // A read returns as soon as bytes are there, or after kReadWaitMs with none, so the
    // reader notices the end of the session in time.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, kReadWaitMs, 0, 0};
    SetCommTimeouts(s.port, &timeouts);
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
    EscapeCommFunction(s.port, SETDTR);
    if (!(applied && applied->rtsCts)) EscapeCommFunction(s.port, SETRTS);
    {
        std::lock_guard g(lock_);
        state_ = OpenState::kOpen;
    }
    notify_(device_ + ": a Linux program opened the PTY; the port is open");

    s.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ReceiverOpen(true);
    std::thread reader([&s] { s.Read(); });

    enum class End { kSlaveClosed, kStop, kGone } end = End::kSlaveClosed;
    std::vector<BYTE> toProgram(kChunk), fromProgram(4096);
    for (;;) {
        bool queued;
        {
            std::lock_guard g(s.lock);
            queued = !s.queue.Empty();
        }
        // Room on the way to a receiver that qsxsim reads; while there is none, the
        // program's bytes wait and the receiver's progress wakes this loop.
        std::shared_ptr<FlowLink> out = FlowOut();
        int64_t room = static_cast<int64_t>(fromProgram.size());
        if (out && out->receiverOpen) room = std::min(room, kWindow - std::max<int64_t>(0, out->sent - out->received));
        const bool held = room <= 0;
        pollfd p[5] = {{master_, static_cast<short>((held ? 0 : POLLIN) | (queued ? POLLOUT : 0)), 0},
                       {stopFd_, POLLIN, 0},
                       {s.wakeFd, POLLIN, 0},
                       {framingFd_, POLLIN, 0},
                       {held ? out->wakeFd : -1, POLLIN, 0}};
        if (poll(p, 5, kTickMs) < 0 && errno != EINTR) break;
        if (p[1].revents) {
            end = End::kStop;
            break;
        }
        if (p[2].revents) Drain(s.wakeFd);
        if (p[4].revents) Drain(out->wakeFd);
        const bool framingChanged = p[3].revents != 0;
        if (framingChanged) Drain(framingFd_);
        update(framingChanged);

        // Port -> program, as much as the master takes.
        bool portFailed;
        {
            std::unique_lock g(s.lock);
            while (!s.queue.Empty()) {
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

        // Program -> port.
        bool slaveClosed = (p[0].revents & POLLHUP) && !(p[0].revents & POLLIN);
        if (p[0].revents & POLLIN) {
            ssize_t n = read(master_, fromProgram.data(), static_cast<size_t>(room));
            if (n > 0) {
                // Read after the bytes came: a setting made before writing them shows now.
                update(false);
                DWORD sent = 0;
                while (sent < static_cast<DWORD>(n)) {
                    DWORD wrote = 0;
                    if (!WriteFile(s.port, fromProgram.data() + sent, static_cast<DWORD>(n) - sent, &wrote, nullptr)) {
                        portFailed = true;
                        break;
                    }
                    sent += wrote;
                    if (out) out->sent += wrote;
                }
            } else if (n == 0 || errno == EIO) {
                slaveClosed = true;
            }
        }
        if (portFailed) {
            end = End::kGone;
            break;
        }
        if (slaveClosed) break;

        DWORD errors = 0;
        COMSTAT stat{};
        if (ClearCommError(s.port, &errors, &stat) && errors)
            notify_(device_ + ": line status: " + LineErrors(errors));
    }

    {
        std::lock_guard g(s.lock);
        s.end = true;
    }
    s.room.notify_all();
    reader.join();
    ReceiverOpen(false);
    if (end != End::kGone) {
        EscapeCommFunction(s.port, CLRDTR);
        EscapeCommFunction(s.port, CLRRTS);
    }
    CloseHandle(s.port);
    CloseFd(s.wakeFd);
    {
        std::lock_guard g(lock_);
        state_ = OpenState::kClosed;
        dcb_.reset();
    }
    if (end == End::kGone) return false;
    // Bytes for a program that is no longer there are not kept for the next one (unless
    // the next one is there already).
    if (!SlaveOpen()) tcflush(master_, TCIOFLUSH);
    if (end == End::kSlaveClosed) notify_(device_ + ": the PTY was closed; the port is closed");
    return true;
}

}  // namespace qsxsim
