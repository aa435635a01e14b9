// The simulated adapter: one multi-port USB-to-serial adapter as it looks from the USB bus.
// It owns its descriptors (a bare loader interface until the right firmware image has been
// downloaded, then the working interface with its six endpoints), the download check, the
// per-port settings that vendor requests change, the bulk pipes, a log of every control
// request, and fault injection for tests.
//
// Control requests are answered from the adapter's own thread, later than they arrive, as
// hardware would. Everything the adapter keeps is guarded by its one mutex; transfers are
// ended with that mutex released, since ending one can lead the host stack back into
// Cancelled().
#pragma once

#include <windows.h>
#include <usbdi.h>

#include <standin/usbbus.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <thread>
#include <vector>

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
    kReqFirmwareBlock = 0x20,
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

// Settings of one serial port, as vendor requests left them.
struct PortState {
    BYTE interfaceMode = 0;    // request 16: 0 RS-232, 1 RS-485 2-wire, 2 RS-422, 3 RS-485 4-wire
    bool fifoOn = true;        // request 15: value 0 on, 1 off
    bool overflowMark = false; // request 7: value 0 sets, 1 clears
    std::vector<WORD> purges;  // request 9: every purge flag received, in order
};

class Adapter : public standin::UsbDevice {
public:
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

    // Bulk OUT transfers taken on endpoint 0x01, one frame each, in order.
    std::vector<std::vector<BYTE>> OutFrames();
    void ClearOutFrames();
    // Transfers the adapter holds without having ended them: queued or never-answered
    // control requests and pending IN transfers. Zero once everything was cancelled.
    size_t HeldTransfers();

    // standin::UsbDevice
    LPCUSB_DEVICE DeviceInfo() override;
    void SubmitControl(standin::UsbTransferPtr transfer) override;
    void SubmitBulk(standin::UsbTransferPtr transfer) override;
    void Cancelled(const standin::UsbTransferPtr &transfer) override;
    bool AcceptPipe(const USB_ENDPOINT_DESCRIPTOR &endpoint) override;
    void Unplugged() override;

private:
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

    void AnswerLoop();
    // Applies one answered request to the adapter's state; false when it must stall.
    bool Apply(const USB_DEVICE_REQUEST &setup, std::span<const BYTE> data);
    void ApplyDownload(const USB_DEVICE_REQUEST &setup, std::span<const BYTE> data);
    void ResetFirmware();  // back to the loader: unusable, ports at their defaults
    std::optional<Fault> FaultFor(size_t sequence, BYTE bRequest);
    PortState *PortAt(WORD port);

    const WORD productId_;
    const bool highSpeed_;
    const Model *const model_;
    Descriptors bare_, working_;

    std::mutex lock_;
    std::condition_variable wake_;    // the answer thread: work or stop
    std::condition_variable logged_;  // a request was logged
    std::condition_variable idle_;    // the answer thread holds no transfer
    bool stop_ = false;
    bool answering_ = false;  // the answer thread is ending a transfer outside the lock

    bool usable_ = false;
    Download download_ = Download::kNone;
    size_t imageOffset_ = 0;  // image bytes matched so far in this download
    std::vector<PortState> ports_;

    size_t sequence_ = 0;
    std::vector<VendorRecord> log_;
    std::map<BYTE, Fault> codeFaults_;
    std::map<size_t, Fault> sequenceFaults_;
    std::set<UCHAR> refusedPipes_;

    std::deque<Answer> answers_;                       // control requests to answer
    std::vector<standin::UsbTransferPtr> unanswered_;  // never answered, until cancelled
    // IN transfers waiting for data, per endpoint, oldest first. Nothing is sent yet: this is
    // where data chunks (0x82) and status records (0x83) of the ports will be handed out;
    // the other IN endpoints never send anything.
    std::map<UCHAR, std::deque<standin::UsbTransferPtr>> pendingIn_;
    std::vector<std::vector<BYTE>> outFrames_;

    std::thread answerer_;  // last: started once everything above exists
};

}  // namespace qsxsim
