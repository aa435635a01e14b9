// The simulated adapter's serial half: transmit frames from the bulk OUT pipe (checked,
// then passed on to the port's wire at once, held while the receiving port is full, or
// paced at the line's rate and framing), the transmit windows, flow control on the line
// (CTS, DSR and a received XOFF hold a transmitter; a filling receiver drops RTS or sends
// XOFF), the wiring between ports and to external ends, modem lines, the receive buffers
// packed into data chunks on the data pipe, status records on the status pipe, the pipe
// faults they meet, and the worker thread that serves them.
#include "adapter.h"

#include <standin/kernel.h>

#include <algorithm>
#include <cstring>

namespace qsxsim {

namespace {

void PutBe16(BYTE *at, size_t value) {
    at[0] = static_cast<BYTE>(value >> 8);
    at[1] = static_cast<BYTE>(value);
}

WORD Be16(const BYTE *at) { return static_cast<WORD>(at[0] << 8 | at[1]); }

// Appends to a log that keeps the most recent Adapter::kFrameLog entries.
template <typename T>
void Log(std::deque<T> &log, T entry) {
    if (log.size() == Adapter::kFrameLog) log.pop_front();
    log.push_back(std::move(entry));
}

constexpr BYTE kFlagCloses = 0x80;  // byte 0 of the frame that closes its port's window
constexpr BYTE kLsrOverrun = 0x02, kLsrBreak = 0x10;
constexpr BYTE kLineBreakBit = 0x40;  // payload byte 1 of a line-status record
// Byte 0 of a flow record: each bit set means that side of XON/XOFF is not holding.
constexpr BYTE kFlowNotHeld = 0x40, kFlowNotSent = 0x08;

}  // namespace

double FrameBits(const LineSettings &line) {
    const double stop = line.stopBits == 0 ? 1.0 : line.stopBits == 1 ? 1.5 : 2.0;
    return 1.0 + line.dataBits + (line.parity != 0 ? 1.0 : 0.0) + stop;
}

// ---- the worker ------------------------------------------------------------------------

void Adapter::Run() {
    std::unique_lock g(lock_);
    workerId_ = std::this_thread::get_id();
    while (!stop_) {
        kicked_ = false;
        bool worked = AnswerOne(g);
        const std::optional<Clock::time_point> due = PassPaced(Clock::now());
        worked |= DeliverSink(g);
        worked |= ServeData(g);
        worked |= ServeStatus(g);
        if (worked || stop_) continue;
        // Nothing to do until something arrives (Kick) or paced bytes fall due.
        sleeping_ = true;
        auto ready = [&] { return stop_ || kicked_; };
        if (due)
            wake_.wait_until(g, *due, ready);
        else
            wake_.wait(g, ready);
        sleeping_ = false;
    }
}

void Adapter::Kick() { kicked_ = true; }

void Adapter::ServeNow(std::unique_lock<std::mutex> &g) {
    // Bytes that reach a port while the host has an IN transfer waiting go out at once, as
    // the hardware answers the next IN token, instead of after a trip through the worker.
    // Whatever is left (a transfer being served elsewhere, pacing) stays with the worker.
    ServeData(g);
    ServeStatus(g);
}

void Adapter::Release(std::unique_lock<std::mutex> &g) {
    const bool notify = kicked_ && sleeping_;
    g.unlock();
    if (notify) wake_.notify_one();
}

bool Adapter::Waiting(UCHAR endpoint) const {
    auto it = pendingIn_.find(endpoint);
    return it != pendingIn_.end() && !it->second.empty();
}

bool Adapter::DeliverSink(std::unique_lock<std::mutex> &g) {
    for (int p = 0; p < PortCount(); p++) {
        Line &l = lines_[p];
        if (!l.sink || l.externalOut.empty()) continue;
        sinkBuffer_.swap(l.externalOut);  // leaves the emptied buffer of the last delivery
        std::shared_ptr<Sink> sink = l.sink;
        delivering_ = p;
        g.unlock();
        (*sink)(sinkBuffer_);
        sink.reset();  // may be the last owner: its captures go without the lock held
        g.lock();
        delivering_ = -1;
        sinkBuffer_.clear();
        idle_.notify_all();
        return true;
    }
    return false;
}

// Packs received bytes of all ports into dataBuffer_, one chunk per port and round, the
// rounds starting one port further each transfer so that no port waits behind a busy one.
// Nothing is taken yet: taken_ says how much of each port's buffer went in.
size_t Adapter::BuildChunks(size_t capacity) {
    const int ports = PortCount();
    const size_t chunkMax = highSpeed_ ? kMaxChunkData : kMaxDataTransferFs - kFrameHeader;
    std::fill(taken_.begin(), taken_.end(), 0);
    size_t length = 0;
    int last = -1;
    for (bool more = true; more && capacity - length > kFrameHeader;) {
        more = false;
        for (int i = 0; i < ports && capacity - length > kFrameHeader; i++) {
            const int p = (nextPort_ + i) % ports;
            Line &l = lines_[p];
            const size_t n =
                std::min({l.rx.Size() - taken_[p], chunkMax, capacity - length - kFrameHeader});
            if (n == 0) continue;
            BYTE *chunk = dataBuffer_.data() + length;
            chunk[0] = 0;
            chunk[1] = static_cast<BYTE>(p);
            PutBe16(chunk + 2, n);
            l.rx.Peek(taken_[p], n, chunk + kFrameHeader);
            takenGeneration_[p] = l.rxGeneration;
            taken_[p] += n;
            length += kFrameHeader + n;
            last = p;
            more = true;
        }
    }
    if (last >= 0) nextPort_ = (last + 1) % ports;
    return length;
}

bool Adapter::ServeData(std::unique_lock<std::mutex> &g) {
    if (dataServing_ || !usable_ || !Waiting(kEpDataIn)) return false;
    std::deque<standin::UsbTransferPtr> &queue = pendingIn_[kEpDataIn];
    standin::UsbTransferPtr t = queue.front();
    const uint64_t epoch = epoch_;
    const PipeFaultState *fault = ArmedFault(kEpDataIn);
    const bool failNow = fault && fault->fault == PipeFault::kError;
    std::vector<BYTE> raw;
    size_t length = 0;
    if (failNow) {
        // Ended at once with nothing in it; whatever waits stays for the next transfer.
    } else if (!rawData_.empty()) {
        raw = std::move(rawData_.front());
        rawData_.pop_front();
    } else {
        const size_t limit = highSpeed_ ? kMaxDataTransferHs : kMaxDataTransferFs;
        length = BuildChunks(std::min<size_t>(t->Length(), limit));
        if (length == 0) return false;
    }
    const DWORD error =
        fault && (failNow || fault->fault == PipeFault::kErrorAfterData) ? Hit(kEpDataIn) : USB_NO_ERROR;
    queue.pop_front();
    dataServing_ = true;
    holding_++;
    g.unlock();
    // A transfer ended with an error was not taken by the host, whatever reached its buffer.
    const bool sent =
        t->CompleteIn(length ? std::span<const BYTE>(dataBuffer_.data(), length) : std::span<const BYTE>(raw),
                      error) &&
        error == USB_NO_ERROR;
    t.reset();
    g.lock();
    holding_--;
    dataServing_ = false;
    idle_.notify_all();
    if (Waiting(kEpDataIn)) Kick();  // others may have passed it by meanwhile
    // Bytes leave their buffers only once the host has them: a transfer cancelled on the
    // way leaves them for the next one. A purge or a firmware reset meanwhile already
    // dropped them.
    if (epoch != epoch_) return true;
    if (length) {
        if (sent)
            for (int p = 0; p < PortCount(); p++) {
                if (taken_[p] && takenGeneration_[p] == lines_[p].rxGeneration) {
                    lines_[p].rx.Consume(taken_[p]);
                    UpdateThrottle(p);
                }
                if (!lines_[p].tx.Empty()) Kick();  // it may be waiting for the room just made
            }
    } else if (!sent && !raw.empty()) {
        rawData_.push_front(std::move(raw));
    }
    return true;
}

bool Adapter::ServeStatus(std::unique_lock<std::mutex> &g) {
    if (statusServing_ || !usable_ || !Waiting(kEpStatusIn)) return false;
    const PipeFaultState *fault = ArmedFault(kEpStatusIn);
    const bool failNow = fault && fault->fault == PipeFault::kError;
    if (status_.empty() && !failNow) return false;
    std::deque<standin::UsbTransferPtr> &queue = pendingIn_[kEpStatusIn];
    standin::UsbTransferPtr t = queue.front();
    const uint64_t epoch = epoch_;
    const size_t capacity = std::min<size_t>(t->Length(), kMaxStatusTransfer);
    sending_.clear();
    std::span<const BYTE> out;
    if (failNow) {
        // Ended at once with nothing in it; the records wait for the next transfer.
    } else if (status_.front().isRaw) {
        sending_.push_back(std::move(status_.front()));
        status_.pop_front();
        out = sending_.front().raw;
    } else {
        size_t length = 0;
        while (!status_.empty() && !status_.front().isRaw && length + kRecordSize <= capacity) {
            StatusItem &item = status_.front();
            std::memcpy(statusBuffer_.data() + length, item.record.data(), kRecordSize);
            length += kRecordSize;
            // The window counts as reopened from the moment its record is on its way: the
            // host may answer it before this thread gets the lock back.
            const int p = Be16(item.record.data());
            if (Be16(item.record.data() + 2) == kRecTxReady && lines_[p].windowsOwed > 0) lines_[p].windowsOwed--;
            sending_.push_back(std::move(item));
            status_.pop_front();
        }
        if (length == 0) return false;  // the host asked for less than one record
        out = std::span<const BYTE>(statusBuffer_.data(), length);
    }
    const DWORD error =
        fault && (failNow || fault->fault == PipeFault::kErrorAfterData) ? Hit(kEpStatusIn) : USB_NO_ERROR;
    queue.pop_front();
    statusServing_ = true;
    holding_++;
    g.unlock();
    const bool sent = t->CompleteIn(out, error) && error == USB_NO_ERROR;
    t.reset();
    g.lock();
    holding_--;
    statusServing_ = false;
    idle_.notify_all();
    if (Waiting(kEpStatusIn)) Kick();
    if (!sent && epoch == epoch_) {
        // The host never got them: they go out with the next transfer, and the windows
        // they reopen stay closed until then.
        for (auto it = sending_.rbegin(); it != sending_.rend(); ++it) {
            if (!it->isRaw && Be16(it->record.data() + 2) == kRecTxReady) lines_[Be16(it->record.data())].windowsOwed++;
            status_.push_front(std::move(*it));
        }
    }
    sending_.clear();
    return true;
}

// ---- pacing ----------------------------------------------------------------------------

double Adapter::PaceRate(int port) const {
    const Line &l = lines_[port];
    const PortState &s = ports_[port];
    if (l.paceRate != 0) return l.paceRate;
    if (l.paceByBaud || s.lineTold) return s.line.baud / FrameBits(s.line);
    return 0;
}

bool Adapter::TxHeld(int port) const {
    const PortState &s = ports_[port];
    return ((s.flow & kFlowCtsOut) && !(s.modemInputs & kMsrCts)) ||
           ((s.flow & kFlowDsrOut) && !(s.modemInputs & kMsrDsr)) || ((s.flow & kFlowXonXoffOut) && s.xoffHeld);
}

void Adapter::RestartPacing(int port) {
    Line &l = lines_[port];
    l.paceStart = Clock::now();
    l.paceSent = 0;
    if (PaceRate(port) == 0 && !TxHeld(port)) PassTx(port, std::min(l.tx.Size(), Room(port)));
    Kick();
}

std::optional<Adapter::Clock::time_point> Adapter::PassPaced(Clock::time_point now) {
    std::optional<Clock::time_point> next;
    double scale = 0;
    for (int p = 0; p < PortCount(); p++) {
        Line &l = lines_[p];
        if (l.tx.Empty()) continue;
        if (TxHeld(p)) {
            // Nothing leaves while flow control holds the port; what wakes the worker again
            // (a modem change, an XON) kicks it.
            l.held = true;
            continue;
        }
        const double rate = PaceRate(p);
        if (l.held) {
            // Released: the line starts afresh, it does not make up for the time it stood.
            l.held = false;
            l.paceStart = now;
            l.paceSent = 0;
        }
        if (rate == 0) {
            PassTx(p, std::min(l.tx.Size(), Room(p)));
            continue;
        }
        if (scale == 0) scale = standin::TimeScale();
        const double perSecond = rate / scale;  // bytes per real second
        const double elapsed = std::chrono::duration<double>(now - l.paceStart).count();
        const auto due = static_cast<uint64_t>(elapsed * perSecond);
        if (due > l.paceSent) PassTx(p, static_cast<size_t>(std::min<uint64_t>(due - l.paceSent, l.tx.Size())));
        if (l.tx.Empty()) continue;
        // Wake for a millisecond's worth (a byte at least), not for every byte; the extra
        // microsecond keeps rounding from waking a hair too early.
        const uint64_t batch = std::clamp<uint64_t>(static_cast<uint64_t>(perSecond / 1000), 1, l.tx.Size());
        const auto at = l.paceStart +
                        std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>((l.paceSent + batch) / perSecond)) +
                        std::chrono::microseconds(1);
        if (!next || at < *next) next = at;
    }
    return next;
}

void Adapter::PassTx(int port, size_t n) {
    Line &l = lines_[port];
    if (n == 0) return;
    passBuffer_.resize(std::max(passBuffer_.size(), n));
    l.tx.Peek(0, n, passBuffer_.data());
    l.tx.Consume(n);
    l.txPassed += n;
    l.paceSent += n;
    Transmit(port, std::span<const BYTE>(passBuffer_.data(), n));
    SettleWindows(port);
}

void Adapter::SettleWindows(int port) {
    Line &l = lines_[port];
    while (!l.windowEnds.empty() && l.windowEnds.front() <= l.txPassed) {
        l.windowEnds.pop_front();
        QueueRecord(port, kRecTxReady);
    }
}

void Adapter::SetPacing(int port, DWORD bytesPerSecond) {
    std::unique_lock g(lock_);
    if (!ValidPort(port)) return;
    lines_[port].paceRate = bytesPerSecond;
    RestartPacing(port);
    Release(g);
}

void Adapter::PaceByBaud(int port, bool on) {
    std::unique_lock g(lock_);
    if (!ValidPort(port)) return;
    lines_[port].paceByBaud = on;
    RestartPacing(port);
    Release(g);
}

// ---- transmit frames -------------------------------------------------------------------

std::optional<FrameFault> Adapter::CheckFrame(std::span<const BYTE> frame) const {
    if (frame.size() < kFrameHeader) return FrameFault::kShort;
    if (frame[0] != 0 && frame[0] != kFlagCloses) return FrameFault::kFlag;
    if (frame[1] >= PortCount()) return FrameFault::kPort;
    const size_t n = Be16(frame.data() + 2);
    if (n > (highSpeed_ ? kMaxPayloadHs : kMaxPayloadFs)) return FrameFault::kLength;
    if (frame.size() != kFrameHeader + n) return FrameFault::kMismatch;
    return std::nullopt;
}

void Adapter::SubmitBulk(standin::UsbTransferPtr t) {
    std::unique_lock g(lock_);
    if (std::optional<size_t> pipe = PipeIndex(t->Endpoint())) pipeTransfers_[*pipe]++;
    if (!t->IsPending()) return;
    const PipeFaultState *pipeFault = ArmedFault(t->Endpoint());
    if (pipeFault && pipeFault->fault == PipeFault::kNeverComplete) {
        Hit(t->Endpoint());
        unanswered_.push_back(std::move(t));
        return;
    }
    if (t->IsIn()) {
        // Served here and now when there is something to send: under load the data is
        // usually waiting, and this saves a trip through the worker.
        const UCHAR endpoint = t->Endpoint();
        pendingIn_[endpoint].push_back(std::move(t));
        if (endpoint == kEpDataIn)
            ServeData(g);
        else if (endpoint == kEpStatusIn)
            ServeStatus(g);
        Release(g);
        return;
    }
    // OUT: a frame on 0x01 is taken whole or refused; the spare OUT endpoint swallows what
    // it gets. The loader has no OUT endpoint, so frames after a new download began stall.
    if (pipeFault && (pipeFault->fault == PipeFault::kError || pipeFault->fault == PipeFault::kErrorAfterData)) {
        // The frame never reached the adapter.
        const DWORD code = Hit(t->Endpoint());
        Release(g);
        t->Fail(code);
        return;
    }
    DWORD error = USB_NO_ERROR;
    if (t->Endpoint() == kEpBulkOut) {
        std::span<const BYTE> frame = t->OutData();
        if (!usable_) {
            error = USB_STALL_ERROR;
        } else if (std::optional<FrameFault> fault = CheckFrame(frame)) {
            Log(frameErrors_, FrameError{*fault, {frame.begin(), frame.end()}});
            error = USB_STALL_ERROR;
        } else {
            TakeFrame(frame);
        }
    }
    // A loopback or null-modem frame is data for the IN pipe, a closed window may owe a
    // transmit-ready record.
    if (!error) ServeNow(g);
    Release(g);
    if (error)
        t->Fail(error);
    else
        t->CompleteOut(t->Length());
}

void Adapter::TakeFrame(std::span<const BYTE> frame) {
    outFrames_[outFramesNext_].assign(frame.begin(), frame.end());
    outFramesNext_ = (outFramesNext_ + 1) % kFrameLog;
    outFramesCount_ = std::min(outFramesCount_ + 1, kFrameLog);

    const int port = frame[1];
    const bool closes = frame[0] == kFlagCloses;
    const std::span<const BYTE> payload = frame.subspan(kFrameHeader);
    Line &l = lines_[port];
    if (l.windowsOwed > 0) Log(violations_, port);
    if (closes) l.windowsOwed++;
    if (PaceRate(port) == 0 && !TxHeld(port) && l.tx.Empty() && Room(port) >= payload.size()) {
        Transmit(port, payload);
        l.txQueued += payload.size();
        l.txPassed += payload.size();
    } else {
        if (l.tx.Empty()) {
            l.paceStart = Clock::now();
            l.paceSent = 0;
        }
        // Full only for a host that ignores its window; the excess is lost as on a UART.
        l.txQueued += l.tx.Push(payload);
        Kick();
    }
    if (closes) {
        l.windowEnds.push_back(l.txQueued);
        SettleWindows(port);
    }
}

size_t Adapter::Room(int port) const {
    const int to = Receiver(port);
    return to >= 0 ? lines_[to].rx.Free() : SIZE_MAX;
}

int Adapter::Receiver(int port) const {
    const Line &l = lines_[port];
    if (l.wiring == Wiring::kLoopback) return port;
    if (l.wiring == Wiring::kNullModem) return l.peer;
    return -1;
}

void Adapter::Transmit(int port, std::span<const BYTE> bytes) {
    Line &l = lines_[port];
    if (l.wiring == Wiring::kExternal) {
        const size_t n = std::min(bytes.size(), kExternalBound - l.externalOut.size());
        l.externalOut.insert(l.externalOut.end(), bytes.begin(), bytes.begin() + n);
        if (l.sink) Kick();
        external_.notify_all();
    } else if (int to = Receiver(port); to >= 0) {
        Receive(to, bytes);
    }
}

void Adapter::Receive(int port, std::span<const BYTE> bytes) {
    if (!usable_ || bytes.empty()) return;
    Line &l = lines_[port];
    PortState &s = ports_[port];
    std::vector<BYTE> kept;
    if (s.flow & kFlowXonXoffOut) {
        // The UART takes XON and XOFF out of what it receives: they stop and start its own
        // transmitter.
        kept.reserve(bytes.size());
        for (BYTE b : bytes) {
            if (b != s.xoffChar && b != s.xonChar) {
                kept.push_back(b);
                continue;
            }
            const bool hold = b == s.xoffChar;
            if (hold == s.xoffHeld) continue;
            s.xoffHeld = hold;
            QueueFlowRecord(port);
            Kick();  // a released transmitter goes on
        }
        bytes = kept;
        if (bytes.empty()) return;
    }
    const size_t n = l.rx.Push(bytes);
    if (n < bytes.size()) {
        // The host does not read fast enough: like a UART's FIFO the port drops what does
        // not fit and says so once, until bytes fit again.
        if (!l.overrunReported) QueueRecord(port, kRecLine, 0, 0, kLsrOverrun);
        l.overrunReported = true;
    } else {
        l.overrunReported = false;
    }
    if (n && Waiting(kEpDataIn)) Kick();
    UpdateThrottle(port);
}

void Adapter::UpdateThrottle(int port) {
    PortState &s = ports_[port];
    const size_t held = lines_[port].rx.Size();
    const bool full = s.rxThrottled ? held > kRxLowWater : held >= kRxHighWater;
    if (full == s.rxThrottled) return;
    s.rxThrottled = full;
    if (s.flow & kFlowRtsHandshake) UpdateModemInputs();
    if (s.flow & kFlowXonXoffIn) {
        // Sent ahead of anything the transmitter holds, as a UART does.
        const BYTE c = full ? s.xoffChar : s.xonChar;
        Transmit(port, std::span<const BYTE>(&c, 1));
        QueueFlowRecord(port);
    }
}

void Adapter::QueueFlowRecord(int port) {
    const PortState &s = ports_[port];
    const bool sent = (s.flow & kFlowXonXoffIn) && s.rxThrottled;
    QueueRecord(port, kRecFlow, static_cast<BYTE>((s.xoffHeld ? 0 : kFlowNotHeld) | (sent ? 0 : kFlowNotSent)));
}

void Adapter::Purge(int port, WORD flags) {
    if (!ValidPort(port)) return;
    Line &l = lines_[port];
    if (flags & (kPurgeTxAbort | kPurgeTxClear)) {
        // Dropped bytes count as passed on, so the windows they belonged to reopen.
        l.txPassed += l.tx.Size();
        l.tx.Clear();
        SettleWindows(port);
    }
    if (flags & (kPurgeRxAbort | kPurgeRxClear)) {
        l.rx.Clear();
        l.rxGeneration++;
        l.overrunReported = false;
        UpdateThrottle(port);
        Kick();  // a sender held back by the full buffer may go on
    }
}

// ---- status records and modem lines ----------------------------------------------------

void Adapter::QueueRecord(int port, WORD type, BYTE b0, BYTE b1, BYTE b2, BYTE b3) {
    if (!usable_) return;
    StatusItem item;
    PutBe16(item.record.data(), static_cast<size_t>(port));
    PutBe16(item.record.data() + 2, type);
    item.record[4] = b0;
    item.record[5] = b1;
    item.record[6] = b2;
    item.record[7] = b3;
    status_.push_back(std::move(item));
    Kick();
}

BYTE Adapter::DrivenBy(int port) const {
    const PortState &s = ports_[port];
    // With RTS handshake the receiver's own level takes RTS down while its buffer is full.
    const bool rts = s.rts && !((s.flow & kFlowRtsHandshake) && s.rxThrottled);
    return static_cast<BYTE>((rts ? kMsrCts : 0) | (s.dtr ? kMsrDsr | kMsrDcd : 0));
}

void Adapter::UpdateModemInputs() {
    for (int p = 0; p < PortCount(); p++) {
        const Line &l = lines_[p];
        BYTE inputs = 0;
        if (l.wiring == Wiring::kExternal)
            inputs = l.externalMsr;
        else if (int from = l.wiring == Wiring::kLoopback ? p : l.wiring == Wiring::kNullModem ? l.peer : -1;
                 from >= 0)
            inputs = DrivenBy(from);
        if (inputs == ports_[p].modemInputs) continue;
        ports_[p].modemInputs = inputs;
        QueueRecord(p, kRecModem, 0, 0, inputs);
    }
}

void Adapter::ApplyBreak(int port, bool on) {
    PortState &s = ports_[port];
    if (on && !s.breakOn)
        if (int to = Receiver(port); to >= 0) QueueRecord(to, kRecLine, 0, kLineBreakBit, kLsrBreak);
    s.breakOn = on;
}

bool Adapter::InjectLineStatus(int port, BYTE lsr, bool breakBit) {
    std::unique_lock g(lock_);
    if (!usable_ || !ValidPort(port)) return false;
    QueueRecord(port, kRecLine, 0, breakBit ? kLineBreakBit : 0, lsr);
    Release(g);
    return true;
}

bool Adapter::InjectFlowState(int port, BYTE byte0) {
    std::unique_lock g(lock_);
    if (!usable_ || !ValidPort(port)) return false;
    QueueRecord(port, kRecFlow, byte0);
    Release(g);
    return true;
}

bool Adapter::InjectModemEvent(int port, WORD eventWord, BYTE msr) {
    std::unique_lock g(lock_);
    if (!usable_ || !ValidPort(port)) return false;
    QueueRecord(port, kRecModem, static_cast<BYTE>(eventWord >> 8), static_cast<BYTE>(eventWord), msr);
    Release(g);
    return true;
}

bool Adapter::InjectRawData(std::span<const BYTE> bytes) {
    std::unique_lock g(lock_);
    if (!usable_ || bytes.empty()) return false;
    rawData_.emplace_back(bytes.begin(), bytes.end());
    Kick();
    Release(g);
    return true;
}

bool Adapter::InjectRawStatus(std::span<const BYTE> bytes) {
    std::unique_lock g(lock_);
    if (!usable_ || bytes.empty()) return false;
    StatusItem item;
    item.isRaw = true;
    item.raw.assign(bytes.begin(), bytes.end());
    status_.push_back(std::move(item));
    Kick();
    Release(g);
    return true;
}

// ---- wiring and the external end -------------------------------------------------------

void Adapter::Disconnect(int port) {
    Line &l = lines_[port];
    if (l.wiring == Wiring::kNullModem) {
        lines_[l.peer].wiring = Wiring::kNone;
        lines_[l.peer].peer = -1;
    }
    l.wiring = Wiring::kNone;
    l.peer = -1;
}

bool Adapter::Rewire(int port, Wiring wiring) {
    std::unique_lock g(lock_);
    if (!ValidPort(port)) return false;
    Disconnect(port);
    lines_[port].wiring = wiring;
    UpdateModemInputs();
    Kick();  // bytes held for a full receiver may go now
    Release(g);
    return true;
}

bool Adapter::WireLoopback(int port) { return Rewire(port, Wiring::kLoopback); }
bool Adapter::WireExternal(int port) { return Rewire(port, Wiring::kExternal); }
bool Adapter::Unwire(int port) { return Rewire(port, Wiring::kNone); }

bool Adapter::WireNullModem(int a, int b) {
    std::unique_lock g(lock_);
    if (!ValidPort(a) || !ValidPort(b) || a == b) return false;
    Disconnect(a);
    Disconnect(b);
    lines_[a].wiring = lines_[b].wiring = Wiring::kNullModem;
    lines_[a].peer = b;
    lines_[b].peer = a;
    UpdateModemInputs();
    Kick();
    Release(g);
    return true;
}

Wiring Adapter::WiringOf(int port) {
    std::lock_guard g(lock_);
    return ValidPort(port) ? lines_[port].wiring : Wiring::kNone;
}

bool Adapter::FeedExternal(int port, std::span<const BYTE> bytes) {
    std::unique_lock g(lock_);
    if (!usable_ || !ValidPort(port) || lines_[port].wiring != Wiring::kExternal) return false;
    Receive(port, bytes);
    ServeNow(g);
    Release(g);
    return true;
}

std::vector<BYTE> Adapter::DrainExternal(int port) {
    std::lock_guard g(lock_);
    std::vector<BYTE> out;
    if (ValidPort(port)) out.swap(lines_[port].externalOut);
    return out;
}

bool Adapter::WaitExternal(int port, size_t count, std::chrono::milliseconds bound) {
    std::unique_lock g(lock_);
    if (!ValidPort(port)) return false;
    return external_.wait_for(g, bound, [&] { return lines_[port].externalOut.size() >= count; });
}

void Adapter::SetExternalSink(int port, Sink sink) {
    std::shared_ptr<Sink> fresh = sink ? std::make_shared<Sink>(std::move(sink)) : nullptr;
    std::unique_lock g(lock_);
    if (!ValidPort(port)) return;
    fresh.swap(lines_[port].sink);  // `fresh` now holds the earlier sink, let go below
    // From inside the sink itself the worker is this thread: waiting would never end.
    if (std::this_thread::get_id() != workerId_) idle_.wait(g, [&] { return delivering_ != port; });
    Kick();
    Release(g);
}

void Adapter::SetExternalModem(int port, BYTE msr) {
    std::unique_lock g(lock_);
    if (!ValidPort(port)) return;
    lines_[port].externalMsr = msr & (kMsrCts | kMsrDsr | kMsrDcd);
    UpdateModemInputs();
    Release(g);
}

}  // namespace qsxsim
