// The simulated adapter: one multi-port USB-to-serial adapter as it looks from the USB bus.
// It owns its descriptors (a bare loader interface until the right firmware image has been
// downloaded, then the working interface with its six endpoints), the download check, the
// per-port settings that vendor requests change, a log of every control request, fault
// injection for tests, and the serial half: transmit frames taken from the bulk OUT pipe,
// the ports' wiring (loopback, null-modem pairs, external ends driven by a test or a
// bridge), received bytes packed into data chunks, status records, and transmit pacing.
//
// One worker thread answers control requests (later than they arrive, as hardware would),
// fills the IN transfers the host keeps waiting, passes held and paced bytes on to the wire
// and feeds external sinks. Transmit frames are taken on the submitting thread; an IN
// transfer that finds something to send already waiting is filled there too.
// Everything the adapter keeps is guarded by its one mutex; transfers are ended, and
// sinks called, with that mutex released, since ending a transfer can lead the host stack
// back into Cancelled() and a sink may feed the adapter again.
#pragma once

#include <windows.h>
#include <usbdi.h>

#include <standin/usbbus.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <thread>
#include <vector>

#include "bytering.h"

namespace qsxsim {

inline constexpr WORD kVendorId = 0x1E35;

// Vendor request codes the adapter acts on.
enum : BYTE {
    kReqRxOverflow = 0x07,
    kReqPurge = 0x09,
    kReqDownloadBegin = 0x0C,
    kReqDownloadEnd = 0x0D,
    kReqDownloadStart = 0x0E,
    kReqFifo = 0x0F,
    kReqInterfaceMode = 0x10,
    kReqDtr = 0x11,           // wValue 1 raises DTR, 0 drops it
    kReqRts = 0x12,           // wValue 1 raises RTS, 0 drops it
    kReqBreak = 0x13,         // wValue 1 starts a break, 0 ends it
    kReqLineSettings = 0x14,  // 8 data bytes: baud (big-endian), data bits, parity, stop bits, 0
    kReqFlowControl = 0x15,   // wValue: kFlow* bits; 2 data bytes: XON and XOFF characters
    kReqFirmwareBlock = 0x20,
};

// Flow control of request 0x15: what holds the port's transmitter and what its receiver
// does when its buffer fills.
enum : WORD {
    kFlowCtsOut = 0x01,        // send only while CTS is up
    kFlowDsrOut = 0x02,        // send only while DSR is up
    kFlowRtsHandshake = 0x04,  // RTS drops while the receive buffer is nearly full
    kFlowXonXoffOut = 0x08,    // received XOFF stops the transmitter, XON starts it again
    kFlowXonXoffIn = 0x10,     // XOFF is sent while the receive buffer is nearly full, then XON
    kFlowAll = 0x1F,
};

// Purge flags (wValue of request 9).
enum : WORD {
    kPurgeTxAbort = 1,
    kPurgeRxAbort = 2,
    kPurgeTxClear = 4,
    kPurgeRxClear = 8,
};

// Status record types (bytes 2-3 of a record on the status pipe).
enum : WORD {
    kRecTxReady = 2,
    kRecModem = 3,
    kRecLine = 4,
    kRecFlow = 5,
};

// Modem input bits of a type-3 record (payload byte 2).
enum : BYTE {
    kMsrCts = 0x10,
    kMsrDsr = 0x20,
    kMsrRi = 0x40,
    kMsrDcd = 0x80,
};

// Endpoints of the working interface, in the order the adapter lists them.
enum : UCHAR {
    kEpBulkOut = 0x01,   // transmit frames of all ports
    kEpDataIn = 0x82,    // received data of all ports
    kEpStatusIn = 0x83,  // status records
    kEpIntIn = 0x84,     // the three below are offered but unused
    kEpBulkOut2 = 0x05,
    kEpBulkIn2 = 0x86,
};

inline constexpr size_t kMaxBlock = 64;  // bytes of image in one download block

// Sizes on the wire.
inline constexpr size_t kFrameHeader = 4;     // transmit frame and data chunk header
inline constexpr size_t kMaxChunkData = 512;  // data bytes in one chunk (high speed)
inline constexpr size_t kRecordSize = 8;      // one status record
inline constexpr size_t kMaxStatusTransfer = 512;
inline constexpr size_t kMaxDataTransferHs = 4096;
inline constexpr size_t kMaxDataTransferFs = 64;
inline constexpr size_t kMaxPayloadHs = 252;  // frame of at most 256 bytes
inline constexpr size_t kMaxPayloadFs = 60;   // frame of one 64-byte packet
inline constexpr size_t kTxWindow = 4096;     // bytes a port may send per window, headers included
// Bytes a port holds for the host before it drops new ones (a UART FIFO overrun).
inline constexpr size_t kRxBound = 64 * 1024;
// A receiver with RTS handshake or XON/XOFF input flow control asks its far end to stop
// once it holds kRxHighWater bytes for the host, and to go on once it is down to kRxLowWater.
inline constexpr size_t kRxHighWater = kRxBound * 3 / 4;
inline constexpr size_t kRxLowWater = kRxBound / 4;
// Bytes transmitted to an external end that nobody drained yet, before new ones are dropped.
inline constexpr size_t kExternalBound = 1024 * 1024;

struct Model {
    WORD productId;
    int ports;
    std::span<const BYTE> image;
};
// The nine supported models; FindModel gives null for any other product id.
std::span<const Model> Models();
const Model *FindModel(WORD productId);

// One control request as it reached the adapter.
struct VendorRecord {
    size_t sequence;  // 1 for the adapter's first request, counting every one since
    DWORD tick;       // GetTickCount() on arrival (virtual milliseconds)
    USB_DEVICE_REQUEST setup;
    std::vector<BYTE> data;
};

// What an injected fault does to the request it hits.
enum class Fault {
    kStall,        // the transfer ends with USB_STALL_ERROR, the request has no effect
    kNeverAnswer,  // the transfer stays pending until the client closes it
};

// The three bulk pipes a client uses, for pipe faults.
enum class Pipe {
    kOut,     // transmit frames, endpoint 0x01
    kData,    // data chunks, endpoint 0x82
    kStatus,  // status records, endpoint 0x83
};
inline constexpr size_t kPipes = 3;

// What an injected pipe fault does to each transfer it hits.
enum class PipeFault {
    // The transfer ends at once with the USB error and no data; an OUT frame is not taken.
    // An IN transfer that already waits when the fault is injected is ended too.
    kError,
    // IN: the transfer that carries the adapter's next data (chunks, records) ends with the
    // USB error after the bytes reached the host's buffer, as on a transfer torn part-way;
    // the adapter keeps them and sends them again. OUT: as kError.
    kErrorAfterData,
    // The host stack refuses to issue the transfer: IssueBulkTransfer gives no handle and
    // leaves the fault's code (0 allowed) as the last error. Nothing reaches the adapter.
    kRefuse,
    // The transfer stays pending until the client closes or aborts it (or the adapter is
    // unplugged); an OUT frame is not taken, an IN transfer gets nothing even when data waits.
    kNeverComplete,
};
inline constexpr size_t kPersistent = SIZE_MAX;  // a pipe fault count that never runs out

// `count` transfers (kPersistent: every one, until cleared) that meet `fault`; `code` is the
// USB error of kError and kErrorAfterData (0 ends the transfer without error and without
// data) and the last error of kRefuse.
struct PipeFaultStep {
    PipeFault fault;
    size_t count;
    DWORD code = USB_STALL_ERROR;
};

// Line settings of request 0x14.
struct LineSettings {
    DWORD baud = 9600;
    BYTE dataBits = 8;  // 5 to 8
    BYTE parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    BYTE stopBits = 0;  // 0 one, 1 one and a half, 2 two
    bool operator==(const LineSettings &) const = default;
};
// Bits on the line for one character: start, data, parity and stop bits.
double FrameBits(const LineSettings &line);

// Settings of one serial port, as vendor requests left them, and the modem inputs its
// wiring drives. Back to these defaults whenever the firmware restarts.
struct PortState {
    BYTE interfaceMode = 0;    // request 16: 0 RS-232, 1 RS-485 2-wire, 2 RS-422, 3 RS-485 4-wire
    bool fifoOn = true;        // request 15: value 0 on, 1 off
    bool overflowMark = false; // request 7: value 0 sets, 1 clears
    std::vector<WORD> purges;  // request 9: every purge flag received, in order
    bool dtr = false;          // request 0x11
    bool rts = false;          // request 0x12
    bool breakOn = false;      // request 0x13
    LineSettings line;         // request 0x14
    bool lineTold = false;     // a request 0x14 came: the line runs at its rate and framing
    WORD flow = 0;             // request 0x15: kFlow* bits
    BYTE xonChar = 0x11, xoffChar = 0x13;  // request 0x15
    bool xoffHeld = false;     // an XOFF from the far end stops the transmitter
    bool rxThrottled = false;  // the receive buffer filled: RTS handshake down, XOFF sent
    BYTE modemInputs = 0;      // kMsrCts | kMsrDsr | kMsrDcd as the wiring drives them
};

// Why a transmit frame was refused.
enum class FrameFault {
    kShort,     // fewer than 4 bytes
    kFlag,      // byte 0 neither 0x00 nor 0x80
    kPort,      // port index not below the port count
    kLength,    // payload length over the speed's limit
    kMismatch,  // transfer length differs from 4 + payload length
};
struct FrameError {
    FrameFault fault;
    std::vector<BYTE> frame;  // the refused transfer as sent
};

// What a port's transmit side and receive side are connected to.
enum class Wiring {
    kNone,       // transmitted bytes are dropped once passed on; nothing is received
    kLoopback,   // the port receives what it transmits; its RTS drives its CTS, DTR its DSR and DCD
    kNullModem,  // crossed with a peer port: data both ways, RTS -> CTS, DTR -> DSR and DCD
    kExternal,   // a test or a bridge feeds the receive side and takes the transmit side
};

class Adapter : public standin::UsbDevice {
public:
    using Sink = std::function<void(std::span<const BYTE>)>;

    // An unknown product id makes an adapter with no ports and no image: it never becomes
    // usable. High speed: bcdUSB 2.00 and bulk packets of 512 bytes; else 1.10 and 64.
    static std::shared_ptr<Adapter> Create(WORD productId, bool highSpeed = true);
    Adapter(WORD productId, bool highSpeed);
    ~Adapter() override;
    Adapter(const Adapter &) = delete;
    Adapter &operator=(const Adapter &) = delete;

    WORD ProductId() const { return productId_; }
    int PortCount() const { return model_ ? model_->ports : 0; }
    bool HighSpeed() const { return highSpeed_; }
    // Whether a complete, exact image was downloaded and started.
    bool Usable();

    // Per-port settings; a port outside the adapter's range reads as the defaults.
    PortState Port(int port);
    BYTE InterfaceMode(int port) { return Port(port).interfaceMode; }
    bool FifoOn(int port) { return Port(port).fifoOn; }

    // Every control request since the last ClearVendorLog, in arrival order.
    std::vector<VendorRecord> VendorLog();
    void ClearVendorLog();
    // Waits until the log holds at least `count` records; false when `bound` (real time)
    // ran out first.
    bool WaitForVendorRequests(size_t count, std::chrono::milliseconds bound);
    // Control requests received since the adapter was made (the last sequence number).
    size_t RequestCount();

    // Fault injection. By code: every later request with this bRequest. By sequence: the
    // one request with this sequence number (see RequestCount()).
    void InjectFault(BYTE bRequest, Fault fault);
    void InjectFaultAt(size_t sequence, Fault fault);
    void ClearFaults();
    // Makes OpenPipe fail for this endpoint address (or accept it again).
    void RefusePipe(UCHAR endpointAddress, bool refuse = true);
    // Pipe faults: the steps hit the transfers issued on the pipe from now on, in order.
    // Steps injected while others are armed queue up behind them. A sequence goes in at
    // once, so that no transfer slips between its steps ("one empty transfer, then three
    // refused").
    void InjectPipeFault(Pipe pipe, PipeFault fault, size_t count, DWORD code = USB_STALL_ERROR);
    void InjectPipeFaults(Pipe pipe, std::span<const PipeFaultStep> steps);
    void ClearPipeFaults();
    // Transfers the faults armed on the pipe have yet to hit (0 when none is armed).
    size_t PipeFaultsLeft(Pipe pipe);
    // IN transfers of the pipe the adapter holds waiting for something to send. With the
    // pipe's faults spent and its reader's next transfer waiting here, the reader has dealt
    // with every transfer before it.
    size_t WaitingTransfers(Pipe pipe);
    // Transfers the host issued, or tried to issue, on the pipe since the adapter was made,
    // refused ones included. A reader thread that issues one transfer after another has
    // dealt with transfer n once transfer n + 1 shows here.
    uint64_t PipeTransfers(Pipe pipe);

    // The most recent transmit frames taken on endpoint 0x01 (at most kFrameLog), oldest first.
    static constexpr size_t kFrameLog = 1024;
    std::vector<std::vector<BYTE>> OutFrames();
    void ClearOutFrames();
    // Refused transmit frames, the most recent kFrameLog, oldest first.
    std::vector<FrameError> FrameErrors();
    // Ports that sent a frame after closing their transmit window and before the adapter's
    // transmit-ready record for it went out: one entry per such frame, the most recent
    // kFrameLog. The frames themselves are taken as usual.
    std::vector<int> ProtocolViolations();
    // Transfers the adapter holds without having ended them: queued or never-answered
    // control requests and pending IN transfers. Zero once everything was cancelled.
    size_t HeldTransfers();

    // ---- wiring; it stays as set across firmware restarts and unplugging ----
    // Each returns false for a port outside the adapter's range (or a == b). Wiring a port
    // takes it out of its earlier null-modem pair, whose other port is left unwired.
    bool WireLoopback(int port);
    bool WireNullModem(int a, int b);
    bool WireExternal(int port);
    bool Unwire(int port);
    Wiring WiringOf(int port);

    // ---- the external end of a port wired with WireExternal ----
    // Bytes arriving at the port's receive side as if from the line; what does not fit in
    // its receive buffer is lost, with an overrun record. False when the port is not wired
    // external or the firmware is not running (the bytes are then dropped).
    bool FeedExternal(int port, std::span<const BYTE> bytes);
    // Takes the bytes the port transmitted to its external end (when it has no sink).
    std::vector<BYTE> DrainExternal(int port);
    // Waits until at least `count` transmitted bytes wait to be drained; false when `bound`
    // (real time) ran out first.
    bool WaitExternal(int port, size_t count, std::chrono::milliseconds bound);
    // Hands the port's transmitted bytes to `sink` instead, in order, from the adapter's
    // worker thread, bytes already waiting first. The sink must not block for long: the
    // worker serves every pipe. An empty function goes back to draining. Once this returns,
    // the earlier sink is not called again (unless this is called from inside that sink).
    void SetExternalSink(int port, Sink sink);
    // The modem lines the external end drives into the port (kMsrCts, kMsrDsr, kMsrDcd).
    void SetExternalModem(int port, BYTE msr);

    // ---- transmit pacing: how fast a port passes its transmitted bytes on to the wire ----
    // Bytes per second of virtual time (standin::SetTimeScale). Without such a rate, a
    // port that was told its line settings (request 0x14) since the firmware started, or
    // one with PaceByBaud on, goes at its baud rate divided by the bits of one character
    // (FrameBits: 9600 8N1 is 960 bytes a second, 9600 7E2 about 873). Paced, the wire is
    // a real line: what the receiving port has no room for is lost, with an overrun record,
    // unless flow control (request 0x15) holds the sender. Unpaced (never told, no rate)
    // it is an ideal one: bytes move at once while the receiving port has room, and
    // otherwise wait in the sender, holding back its transmit-ready record, until the host
    // has read enough (so loopback and null-modem ports lose nothing). Either way a port
    // whose flow control holds it (CTS or DSR down, an XOFF received) sends nothing.
    void SetPacing(int port, DWORD bytesPerSecond);
    void PaceByBaud(int port, bool on);

    // ---- status and data injection; false when the firmware is not running or the port
    // is outside the adapter's range ----
    bool InjectLineStatus(int port, BYTE lsr, bool breakBit);   // type 4
    bool InjectFlowState(int port, BYTE byte0);                 // type 5
    bool InjectModemEvent(int port, WORD eventWord, BYTE msr);  // type 3
    // One data-pipe or status-pipe transfer exactly as given (cut to what the host asked for).
    bool InjectRawData(std::span<const BYTE> bytes);
    bool InjectRawStatus(std::span<const BYTE> bytes);

    // standin::UsbDevice
    LPCUSB_DEVICE DeviceInfo() override;
    void SubmitControl(standin::UsbTransferPtr transfer) override;
    void SubmitBulk(standin::UsbTransferPtr transfer) override;
    void Cancelled(const standin::UsbTransferPtr &transfer) override;
    bool AcceptPipe(const USB_ENDPOINT_DESCRIPTOR &endpoint) override;
    void Unplugged() override;
    std::optional<DWORD> RefuseBulk(UCHAR endpoint) override;

private:
    using Clock = std::chrono::steady_clock;

    // Descriptor records; both are built once and live as long as the adapter, so every
    // record DeviceInfo() handed out stays valid.
    struct Descriptors {
        std::vector<USB_ENDPOINT> endpoints;
        std::vector<USB_INTERFACE> interfaces;
        std::vector<USB_CONFIGURATION> configs;
        std::unique_ptr<USB_DEVICE> device;
    };
    void BuildDescriptors(Descriptors &d, bool working);

    enum class Download { kNone, kLoading, kLoaded, kFailed };
    struct Answer {
        standin::UsbTransferPtr transfer;
        bool stall;  // an injected stall: answered without effect
    };

    // One transfer's worth on the status pipe: a record, or an injected raw transfer.
    struct StatusItem {
        std::array<BYTE, kRecordSize> record{};
        std::vector<BYTE> raw;
        bool isRaw = false;
    };

    // The serial side of one port: wiring, buffers and pacing. Wiring, pacing and the
    // external end's settings survive firmware restarts; buffers do not.
    struct Line {
        Wiring wiring = Wiring::kNone;
        int peer = -1;  // the other port of a null-modem pair
        ByteRing rx{kRxBound};        // received, not yet sent to the host
        uint64_t rxGeneration = 0;    // moves when rx is emptied behind the worker's back
        bool overrunReported = false; // an overrun record went out since the last byte fit
        ByteRing tx{kRxBound};        // transmitted, waiting for pacing to pass them on
        uint64_t txQueued = 0, txPassed = 0;  // bytes ever put into / passed on from tx
        std::deque<uint64_t> windowEnds;      // txQueued after each window-closing frame
        int windowsOwed = 0;  // closing frames whose transmit-ready record has not gone out
        DWORD paceRate = 0;
        bool paceByBaud = false;
        bool held = false;            // flow control held the transmitter at the last look
        Clock::time_point paceStart;  // when tx last became busy
        uint64_t paceSent = 0;        // bytes passed on since paceStart
        BYTE externalMsr = 0;
        std::vector<BYTE> externalOut;  // transmitted to the external end, not yet taken
        std::shared_ptr<Sink> sink;
    };

    // The worker: control answers, pacing, sinks and IN transfers, until stop_.
    void Run();
    bool AnswerOne(std::unique_lock<std::mutex> &g);
    bool DeliverSink(std::unique_lock<std::mutex> &g);
    // Each ends the oldest waiting IN transfer of its pipe if there is something to send
    // and no other transfer of that pipe is on its way; the worker calls them, and so does
    // SubmitBulk for a transfer that finds its data already waiting.
    bool ServeData(std::unique_lock<std::mutex> &g);
    size_t BuildChunks(size_t capacity);  // into dataBuffer_; its length
    bool ServeStatus(std::unique_lock<std::mutex> &g);
    // Passes paced bytes that are due; the time the next ones fall due, if any.
    std::optional<Clock::time_point> PassPaced(Clock::time_point now);

    // Unlocks, waking the worker if work came for it while it sleeps.
    void Release(std::unique_lock<std::mutex> &g);
    bool Rewire(int port, Wiring wiring);

    // The rest run with lock_ held.
    void Kick();  // there is new work for the worker
    void ServeNow(std::unique_lock<std::mutex> &g);  // pending IN transfers, on this thread
    bool Waiting(UCHAR endpoint) const;  // an IN transfer waits on this endpoint
    void TakeFrame(std::span<const BYTE> frame);
    std::optional<FrameFault> CheckFrame(std::span<const BYTE> frame) const;
    void Transmit(int port, std::span<const BYTE> bytes);  // onto the port's wire
    void Receive(int port, std::span<const BYTE> bytes);   // into the port's receive side
    int Receiver(int port) const;  // the port that receives what this one sends, or -1
    size_t Room(int port) const;   // bytes the port's wire can take now (unpaced)
    void PassTx(int port, size_t n);   // n bytes of tx onto the wire
    void SettleWindows(int port);      // transmit-ready records for windows fully passed on
    double PaceRate(int port) const;   // characters a virtual second; 0 unpaced
    bool TxHeld(int port) const;       // flow control stops the port's transmitter
    void UpdateThrottle(int port);     // the receive buffer's level against the flow marks
    void QueueFlowRecord(int port);    // type 5: the port's XON/XOFF state
    void RestartPacing(int port);      // the rate changed: pass what is due under the new one
    void QueueRecord(int port, WORD type, BYTE b0 = 0, BYTE b1 = 0, BYTE b2 = 0, BYTE b3 = 0);
    void UpdateModemInputs();          // type-3 records for inputs the wiring changed
    BYTE DrivenBy(int port) const;     // what the port's RTS and DTR drive at the far end
    void Disconnect(int port);         // out of any null-modem pair
    bool ValidPort(int port) const { return port >= 0 && port < PortCount(); }
    void Purge(int port, WORD flags);
    void ApplyBreak(int port, bool on);

    // Applies one answered request to the adapter's state; false when it must stall.
    bool Apply(const USB_DEVICE_REQUEST &setup, std::span<const BYTE> data);
    void ApplyDownload(const USB_DEVICE_REQUEST &setup, std::span<const BYTE> data);
    void ResetFirmware();  // back to the loader: unusable, ports and buffers at their defaults
    std::optional<Fault> FaultFor(size_t sequence, BYTE bRequest);
    struct PipeFaultState;
    // The pipe an endpoint belongs to; the spare endpoints belong to none.
    static std::optional<size_t> PipeIndex(UCHAR endpoint);
    // The fault armed on the pipe of this endpoint, or null; Hit counts one transfer off it
    // (dropping it once spent) and gives its code.
    const PipeFaultState *ArmedFault(UCHAR endpoint);
    DWORD Hit(UCHAR endpoint);
    PortState *PortAt(WORD port);

    const WORD productId_;
    const bool highSpeed_;
    const Model *const model_;
    Descriptors bare_, working_;

    std::mutex lock_;
    std::condition_variable wake_;      // the worker: work or stop
    std::condition_variable logged_;    // a request was logged
    std::condition_variable idle_;      // the adapter holds no transfer, or calls no sink
    std::condition_variable external_;  // bytes reached an external end
    bool stop_ = false;
    bool kicked_ = false;    // work arrived since the worker last looked
    bool sleeping_ = false;  // the worker waits on wake_
    int holding_ = 0;        // threads of the adapter ending a transfer outside the lock
    bool dataServing_ = false, statusServing_ = false;  // a transfer of that pipe is on its way
    int delivering_ = -1;    // the port whose sink the worker is calling
    std::thread::id workerId_;

    bool usable_ = false;
    Download download_ = Download::kNone;
    size_t imageOffset_ = 0;  // image bytes matched so far in this download
    uint64_t epoch_ = 0;      // moves at every firmware reset
    std::vector<PortState> ports_;
    std::vector<Line> lines_;

    size_t sequence_ = 0;
    std::vector<VendorRecord> log_;
    std::map<BYTE, Fault> codeFaults_;
    std::map<size_t, Fault> sequenceFaults_;
    std::set<UCHAR> refusedPipes_;
    struct PipeFaultState {
        PipeFault fault = PipeFault::kError;
        size_t left = 0;  // transfers still to hit
        DWORD code = 0;
    };
    std::array<std::deque<PipeFaultState>, kPipes> pipeFaults_;  // armed first at the front
    std::array<uint64_t, kPipes> pipeTransfers_{};

    std::deque<Answer> answers_;                       // control requests to answer
    std::vector<standin::UsbTransferPtr> unanswered_;  // never answered, until cancelled
    // IN transfers waiting for something to send, per endpoint, oldest first. Data chunks go
    // out on 0x82 and status records on 0x83; the other IN endpoints never send anything.
    std::map<UCHAR, std::deque<standin::UsbTransferPtr>> pendingIn_;
    std::deque<StatusItem> status_;
    std::deque<std::vector<BYTE>> rawData_;
    int nextPort_ = 0;  // where the next data transfer starts its round of the ports

    // Logs of at most kFrameLog entries; the frame log reuses its buffers.
    std::vector<std::vector<BYTE>> outFrames_;
    size_t outFramesNext_ = 0, outFramesCount_ = 0;
    std::deque<FrameError> frameErrors_;
    std::deque<int> violations_;

    // The one data transfer and the one status transfer on their way: owned by whichever
    // thread set dataServing_ / statusServing_, until it clears it.
    std::vector<BYTE> dataBuffer_, statusBuffer_;
    std::vector<size_t> taken_;             // per port: bytes of rx in the data transfer
    std::vector<uint64_t> takenGeneration_;
    std::vector<StatusItem> sending_;       // items of the status transfer
    std::vector<BYTE> passBuffer_;          // PassTx's, under lock_
    std::vector<BYTE> sinkBuffer_;          // the worker's

    std::thread worker_;  // last: started once everything above exists
};

}  // namespace qsxsim
