// A scriptable device for the simulated bus, in the spirit of a transcript: tests list the
// control requests they expect with a canned outcome for each (complete, stall, never
// answer), queue data for the IN endpoints, choose what OUT transfers do, and afterwards
// read back every request with its time and the largest number in flight at once.
#pragma once

#include <standin/usbbus.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qsxtest {

enum class Outcome { kComplete, kStall, kNeverAnswer };

struct ScriptStep {
    std::optional<USB_DEVICE_REQUEST> expect;  // none: any request matches
    Outcome outcome = Outcome::kComplete;
};

struct RequestRecord {
    USB_DEVICE_REQUEST setup;
    std::vector<BYTE> data;
    DWORD tick;      // GetTickCount() when the request reached the device
    DWORD threadId;  // the issuing thread
};

class ScriptDevice : public standin::UsbDevice {
public:
    // Endpoints of interface 0, in order (address, attributes, max packet).
    struct Endpoint {
        UCHAR address;
        UCHAR attributes;
        USHORT maxPacket;
    };
    explicit ScriptDevice(USHORT productId = 0x7045, std::vector<Endpoint> endpoints = {
                                                         {0x01, 2, 512}, {0x82, 2, 512}, {0x83, 2, 512}});
    ~ScriptDevice() override;

    // Control requests are answered after this real delay, from the device's own thread.
    void SetAnswerDelayMicros(int micros);
    void Expect(ScriptStep step);
    void SetDefaultOutcome(Outcome outcome);  // for requests beyond the script
    std::vector<RequestRecord> Requests();
    int MaxInFlight();
    // Differences between the script and what arrived, one line each; empty when they match.
    std::vector<std::string> Mismatches();

    void SetBulkOutOutcome(Outcome outcome);
    std::vector<std::vector<BYTE>> BulkOutFrames();
    void QueueIn(UCHAR endpoint, std::vector<BYTE> data);

    // standin::UsbDevice
    LPCUSB_DEVICE DeviceInfo() override;
    void SubmitControl(standin::UsbTransferPtr transfer) override;
    void SubmitBulk(standin::UsbTransferPtr transfer) override;
    void Cancelled(const standin::UsbTransferPtr &transfer) override;
    bool AcceptPipe(const USB_ENDPOINT_DESCRIPTOR &endpoint) override;

    // Endpoint addresses pipes were opened on, in order.
    std::vector<UCHAR> OpenedPipes();

private:
    void AnswerLoop();
    void Answer(const standin::UsbTransferPtr &t, Outcome outcome);
    void ServeIn(std::unique_lock<std::mutex> &lock, UCHAR endpoint);

    std::vector<USB_ENDPOINT> endpoints_;
    std::vector<USB_INTERFACE> interfaces_;
    std::vector<USB_CONFIGURATION> configs_;
    std::optional<USB_DEVICE> device_;

    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    int delayMicros_ = 0;
    std::deque<ScriptStep> script_;
    size_t scriptLength_ = 0;
    Outcome default_ = Outcome::kComplete;
    std::vector<RequestRecord> requests_;
    std::vector<std::string> mismatches_;
    int inFlight_ = 0;
    int maxInFlight_ = 0;
    std::deque<std::pair<standin::UsbTransferPtr, Outcome>> answers_;
    std::vector<standin::UsbTransferPtr> unanswered_;  // NeverAnswer: held until cancelled
    Outcome bulkOut_ = Outcome::kComplete;
    std::vector<std::vector<BYTE>> outFrames_;
    std::map<UCHAR, std::deque<std::vector<BYTE>>> inData_;
    std::map<UCHAR, std::deque<standin::UsbTransferPtr>> inWaiting_;
    std::vector<UCHAR> opened_;
    std::thread answerer_;
};

}  // namespace qsxtest
