// A bound port of the simulated device, reachable from Linux programs: a PTY whose slave
// is linked as DIR/dev/COMn, bridged to "$device\COMn" through the platform's serial API.
//
// The port is opened only while a Linux program holds the PTY open, so that programs on
// the device (the configuration utility opens ports for itself) find it free otherwise.
// One supervisor thread per bridge waits for the slave to be opened (inotify on the slave
// node, as the master alone reports only hang-ups), opens the port, and then carries the
// program's bytes to the port (PTY master read -> a writer thread's WriteFile, which may
// wait as long as the line's flow control holds the port), its termios changes to the
// port's DCB (SetCommState; read from the master every 50 ms and before bytes are handed
// on, so a setting always reaches the port before the bytes written after it) and the
// port's bytes to the program (from a queue filled by a reader thread, ReadFile -> queue,
// written to the master as it takes them); a watcher thread follows the modem inputs.
// Closing the port's handle ends whichever of their calls still waits.
//
// Sessions: each open of the PTY is one. A close of the slave (or another open) ends the
// session: what the program wrote before goes out on the line (up to kDrainMs), then the
// port's own buffers are purged and the port closed, so nothing of it or its echo reaches
// the next session, which opens the port afresh. A vanished port (the adapter was
// unplugged) closes the master and removes the link at once, so the program sees end of
// file or an error, never a hang.
//
// Flow between bridges: the driver's receive ring drops what does not fit, so a bridge
// sending to a port whose PTY is open elsewhere in qsxsim holds back while kWindow bytes
// are on their way (counted in a FlowLink that both bridges share), well inside that
// ring: a program that streams through a loopback or null-modem pair loses nothing, and
// one that stops reading makes its peer's writes wait. The line's own flow control
// (RTS/CTS, XON/XOFF) acts in the simulated adapter.
//
// Side channel: the pty driver keeps neither data bits nor parity, and a PTY has no modem
// lines, so a program run with libqsxtty preloaded uses a side channel instead: a listener
// thread per bridge answers on an abstract Unix socket named after the slave (see
// tools/qsxtty/protocol.h), given up before the PTY goes. The port uses whichever framing
// came last, the console's or the program's; the program's lasts while the PTY is held
// open, and once nobody holds it the console's framing is back. Requests that act on the
// port (modem lines, break, a program's close) go to the supervisor, which owns the
// session's handle; the listener waits (bounded) until it acted.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "ptyline.h"
#include "../qsxtty/protocol.h"

namespace qsxsim {

// The bytes one port sends to the port that receives them (itself on a loopback).
struct FlowLink {
    FlowLink();
    ~FlowLink();
    FlowLink(const FlowLink &) = delete;
    FlowLink &operator=(const FlowLink &) = delete;
    std::atomic<int64_t> sent{0};      // written into the sending port
    std::atomic<int64_t> received{0};  // taken from the receiving port
    std::atomic<bool> receiverOpen{false};  // the receiving port is open through its PTY
    int wakeFd;  // eventfd: the receiver took bytes or closed; only the sender waits on it
    void Wake();
};

class PortBridge {
public:
    // Called from the bridge's threads with a one-line notice for the console.
    using Notify = std::function<void(const std::string &)>;

    PortBridge(std::string device, std::string linkPath, Notify notify);
    ~PortBridge();  // Stop()
    PortBridge(const PortBridge &) = delete;
    PortBridge &operator=(const PortBridge &) = delete;

    // Makes the PTY and the link and starts the supervisor; false with `error` set.
    bool Start(std::string *error);
    // Ends the session (closing the port if it is still there), closes the PTY, removes
    // the link and joins every thread. Also when the port is gone already.
    void Stop();

    enum class OpenState { kClosed, kOpen, kBusy, kGone };
    struct Status {
        OpenState state = OpenState::kClosed;
        std::string slavePath;  // "/dev/pts/N"
        std::string linkPath;
        std::optional<DCB> dcb;  // the port's DCB as the COM driver reports it, while open
        Framing framing;         // the data bits and parity (and stop bits) in force
        bool framingFromProgram = false;  // set by the program on the PTY, not the console
    };
    Status GetStatus();
    const std::string &Device() const { return device_; }
    // The console's framing: applied at once to an open port, over what a program set.
    void SetFraming(const Framing &framing);
    // The link this port sends over and the one it receives over (the same one on a
    // loopback; null when nothing in qsxsim reads what the port sends).
    void SetFlow(std::shared_ptr<FlowLink> out, std::shared_ptr<FlowLink> in);

private:
    struct Session;
    void Supervise();
    bool SlaveOpen();
    bool WaitForSlave();         // false: stop
    // Takes the PTY's open and close events: whether it was opened since the last look;
    // sets *closed when it was closed.
    bool LookAtOpens(bool *closed);
    bool RunSession();           // false: the port is gone
    void PortGone();
    void CloseMaster();
    bool OpenSideChannel(std::string *error);
    void Listen();
    // The side channel's requests about the line: modem lines, break, counters, a
    // program's close. Run by the listener.
    void AnswerLine(const qsxtty_request &request, qsxtty_reply *reply);
    uint32_t ModemBits();  // lock_: TIOCM bits of the port's modem lines
    // The port's modem status changed (from the session's watcher), `count`ing the changes.
    void ModemEvent(DWORD events, DWORD msr, bool count);
    void Count(size_t which, uint32_t n);  // adds to one of the line's counters
    // Carries out the side channel's requests for the session (its Session) that runs.
    void ServeControls(void *session, bool *closing);    void CloseSideChannel();  // ends the listener and gives up the socket's name
    void Answer(int connection);
    Framing FramingInForce();  // lock_
    void ForgetProgramFraming(uint64_t setsBefore);

    const std::string device_;
    const std::string linkPath_;
    const Notify notify_;

    int master_ = -1;   // closed by the supervisor when the port goes, else by Stop()
    int inotify_ = -1;
    int stopFd_ = -1;   // eventfd: Stop() was called
    int framingFd_ = -1;  // eventfd: a new framing is waiting
    int listenFd_ = -1;   // the side channel's socket; only the listener uses it
    int channelEndFd_ = -1;  // eventfd: the listener ends (the PTY goes)
    uint64_t slaveDev_ = 0, slaveRdev_ = 0;  // the slave's device numbers, set by Start()

    std::shared_ptr<FlowLink> FlowOut();
    std::shared_ptr<FlowLink> FlowIn();
    void ReceiverOpen(bool open);

    std::mutex lock_;  // guards the fields below and master_'s closing
    OpenState state_ = OpenState::kClosed;
    std::string slavePath_;
    std::optional<DCB> dcb_;
    Framing framing_;                         // the console's
    std::optional<Framing> programFraming_;   // the program's, while the PTY is held
    uint64_t programSets_ = 0;                // settings the program sent, counted
    bool linked_ = false;
    bool sessionOpen_ = false;       // the port is open for a program
    std::shared_ptr<FlowLink> out_;  // what this port sends
    std::shared_ptr<FlowLink> in_;   // what this port receives

    // Requests of the side channel that act on the port, for the supervisor (controlFd_).
    struct Control {
        uint32_t op, value, arg;
    };
    int controlFd_ = -1;                  // eventfd: a control request is waiting
    std::deque<Control> controls_;        // lock_
    uint64_t controlsIssued_ = 0;         // lock_
    uint64_t controlsDone_ = 0;           // lock_
    std::condition_variable controlDone_;  // controlsDone_ moved, or a session started
    // The modem lines while a program has the port open, and the line's counters since
    // the bridge started (as a serial port's, over all its opens).
    DWORD msr_ = 0;                        // lock_: MS_* of the port
    bool rtsOn_ = false, dtrOn_ = false;   // lock_
    std::array<uint32_t, QSXTTY_COUNTS_N> counts_{};  // lock_: QSXTTY_COUNT_* order
    std::condition_variable modemChanged_;  // msr_ or counts_ moved

    std::thread supervisor_;
    std::thread listener_;
};

}  // namespace qsxsim
