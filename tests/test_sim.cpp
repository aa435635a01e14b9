// The simulated adapter as a client sees it through the host stack's function table:
// firmware images, the download check and the endpoints it brings up, the request log and
// per-port settings, fault injection and the first half of the bulk pipes.
#include <windows.h>
#include <usbdi.h>

#include <adapter.h>
#include <firmware.h>
#include <gtest/gtest.h>
#include <standin/usbbus.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using qsxsim::Adapter;
using qsxsim::Fault;

namespace {

LPCUSB_FUNCS Funcs() { return standin::UsbFunctionTable(); }

// Counts completion-routine calls. Counters live for the whole program, since a routine
// may still be on its way from the host stack's thread when a test ends.
struct Counter {
    std::mutex lock;
    std::condition_variable changed;
    int hits = 0;
    bool WaitFor(int n) {
        std::unique_lock g(lock);
        return changed.wait_for(g, 5s, [&] { return hits >= n; });
    }
    int Hits() {
        std::lock_guard g(lock);
        return hits;
    }
};
Counter gCounters[4];

DWORD WINAPI Notify(LPVOID parameter) {
    auto *c = static_cast<Counter *>(parameter);
    {
        std::lock_guard g(c->lock);
        c->hits++;
    }
    c->changed.notify_all();
    return 0;
}

struct Status {
    DWORD bytes = 0xdeadbeef;
    DWORD error = 0xdeadbeef;
};

Status StatusOf(USB_TRANSFER t) {
    Status s;
    EXPECT_TRUE(Funcs()->lpGetTransferStatus(t, &s.bytes, &s.error));
    return s;
}

// One control request of a download or a test: the code and its data.
struct Step {
    BYTE code;
    std::vector<BYTE> data;
};

// The download as the driver sends it: 12, the image in blocks of 64 (the last one
// shorter), 13, 14.
std::vector<Step> GoodDownload(std::span<const BYTE> image) {
    std::vector<Step> steps{{qsxsim::kReqDownloadBegin, {}}};
    for (size_t at = 0; at < image.size(); at += qsxsim::kMaxBlock) {
        size_t n = std::min(qsxsim::kMaxBlock, image.size() - at);
        steps.push_back({qsxsim::kReqFirmwareBlock, {image.begin() + at, image.begin() + at + n}});
    }
    steps.push_back({qsxsim::kReqDownloadEnd, {}});
    steps.push_back({qsxsim::kReqDownloadStart, {}});
    return steps;
}

// An adapter on the bus with the test acting as its client driver.
struct Plugged {
    std::shared_ptr<Adapter> adapter;
    USB_HANDLE device;

    Plugged(WORD productId, bool highSpeed = true)
        : adapter(Adapter::Create(productId, highSpeed)), device(standin::UsbAddDevice(adapter)) {}
    ~Plugged() { standin::UsbRemoveDevice(device); }

    // A synchronous control request; the USB error it ended with.
    DWORD Request(BYTE code, WORD value = 0, WORD index = 0, std::vector<BYTE> data = {},
                  BYTE type = 0x40) {
        USB_DEVICE_REQUEST r{type, code, value, index, static_cast<USHORT>(data.size())};
        DWORD flags = (type & 0x80) ? USB_IN_TRANSFER : USB_OUT_TRANSFER;
        USB_TRANSFER t =
            Funcs()->lpIssueVendorTransfer(device, nullptr, nullptr, flags, &r, data.data(), 0);
        if (!t) return 0xdeadbeef;
        Status s = StatusOf(t);
        Funcs()->lpCloseTransfer(t);
        return s.error;
    }
    // An asynchronous one, left open for the test.
    USB_TRANSFER Issue(BYTE code, Counter &counter, WORD value = 0, WORD index = 0) {
        USB_DEVICE_REQUEST r{0x40, code, value, index, 0};
        return Funcs()->lpIssueVendorTransfer(device, Notify, &counter, USB_OUT_TRANSFER, &r, nullptr, 0);
    }
    void Run(const std::vector<Step> &steps) {
        for (const Step &s : steps) ASSERT_EQ(Request(s.code, 0, 0, s.data), USB_NO_ERROR);
    }
    LPCUSB_DEVICE Info() { return Funcs()->lpGetDeviceInfo(device); }
    LPCUSB_INTERFACE Interface0() { return Funcs()->lpFindInterface(Info(), 0, 0); }
    USB_PIPE Open(UCHAR address) {
        USB_ENDPOINT_DESCRIPTOR d{7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_BULK,
                                  static_cast<USHORT>(adapter->HighSpeed() ? 512 : 64), 0};
        return Funcs()->lpOpenPipe(device, &d);
    }
};

TEST(SimFirmware, OneImageOfExactLengthPerModel) {
    struct Case {
        WORD productId;
        int ports;
        const BYTE *image;
        size_t declared;
        size_t length;
    } cases[] = {
        {0x7020, 2, Firmware7020, sizeof Firmware7020, 33552},
        {0x7021, 2, Firmware7021, sizeof Firmware7021, 33556},
        {0x7040, 4, Firmware7040, sizeof Firmware7040, 33392},
        {0x7045, 4, Firmware7045, sizeof Firmware7045, 33392},
        {0x7046, 4, Firmware7046, sizeof Firmware7046, 33396},
        {0x7168, 8, Firmware7168, sizeof Firmware7168, 33396},
        {0x7198, 8, Firmware7198, sizeof Firmware7198, 33396},
        {0x7163, 16, Firmware7163, sizeof Firmware7163, 33400},
        {0x7193, 16, Firmware7193, sizeof Firmware7193, 33400},
    };
    ASSERT_EQ(qsxsim::Models().size(), std::size(cases));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.productId);
        EXPECT_EQ(c.declared, c.length);
        const qsxsim::Model *m = qsxsim::FindModel(c.productId);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->ports, c.ports);
        EXPECT_EQ(m->image.data(), c.image);
        EXPECT_EQ(m->image.size(), c.length);
        // A download shifted by one block must not match the image.
        EXPECT_NE(std::memcmp(c.image, c.image + 64, c.length - 64), 0);
        for (const Case &other : cases)
            if (&other != &c) EXPECT_NE(std::memcmp(c.image, other.image, 64), 0) << other.productId;
    }
    EXPECT_EQ(qsxsim::FindModel(0x7000), nullptr);
}

TEST(SimDownload, CorrectImageBringsUpTheWorkingInterface) {
    struct Case {
        WORD productId;
        bool highSpeed;
        size_t blocks;
        size_t lastBlock;
    } cases[] = {{0x7020, true, 525, 16}, {0x7020, false, 525, 16}, {0x7193, true, 522, 56}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.productId << (c.highSpeed ? " hs" : " fs"));
        Plugged p(c.productId, c.highSpeed);
        LPCUSB_DEVICE before = p.Info();
        ASSERT_NE(before, nullptr);
        EXPECT_EQ(before->Descriptor.idVendor, 0x1E35);
        EXPECT_EQ(before->Descriptor.idProduct, c.productId);
        EXPECT_EQ(before->Descriptor.bcdUSB, c.highSpeed ? 0x0200 : 0x0110);
        ASSERT_NE(p.Interface0(), nullptr);
        EXPECT_EQ(p.Interface0()->Descriptor.bNumEndpoints, 0);
        EXPECT_EQ(p.Open(qsxsim::kEpBulkOut), nullptr);

        auto steps = GoodDownload(qsxsim::FindModel(c.productId)->image);
        ASSERT_EQ(steps.size(), c.blocks + 3);
        ASSERT_EQ(steps[c.blocks].data.size(), c.lastBlock);
        p.Run(steps);
        ASSERT_TRUE(p.adapter->Usable());

        LPCUSB_DEVICE after = p.Info();
        EXPECT_NE(after, before);
        EXPECT_EQ(after->Descriptor.idProduct, c.productId);
        EXPECT_EQ(Funcs()->lpFindInterface(before, 0, 0)->Descriptor.bNumEndpoints, 0);
        LPCUSB_INTERFACE itf = p.Interface0();
        ASSERT_NE(itf, nullptr);
        ASSERT_EQ(itf->Descriptor.bNumEndpoints, 6);
        const UCHAR addresses[] = {0x01, 0x82, 0x83, 0x84, 0x05, 0x86};
        const UCHAR types[] = {2, 2, 2, 3, 2, 2};
        for (int i = 0; i < 6; i++) {
            const USB_ENDPOINT_DESCRIPTOR &e = itf->lpEndpoints[i].Descriptor;
            EXPECT_EQ(e.bEndpointAddress, addresses[i]) << i;
            EXPECT_EQ(e.bmAttributes & 3, types[i]) << i;
            if (types[i] == USB_ENDPOINT_TYPE_BULK) EXPECT_EQ(e.wMaxPacketSize, c.highSpeed ? 512 : 64) << i;
        }
        for (int i = 0; i < 3; i++) {
            USB_PIPE pipe = Funcs()->lpOpenPipe(p.device, &itf->lpEndpoints[i].Descriptor);
            EXPECT_NE(pipe, nullptr) << i;
            if (pipe) Funcs()->lpClosePipe(pipe);
        }

        // A new download (the driver's next attach) puts the adapter back to the loader,
        // port settings included.
        ASSERT_EQ(p.Request(qsxsim::kReqInterfaceMode, 2, 1), USB_NO_ERROR);
        ASSERT_EQ(p.adapter->InterfaceMode(1), 2);
        ASSERT_EQ(p.Request(qsxsim::kReqDownloadBegin), USB_NO_ERROR);
        EXPECT_FALSE(p.adapter->Usable());
        EXPECT_EQ(p.Info(), before);
        EXPECT_EQ(p.adapter->InterfaceMode(1), 0);
        EXPECT_EQ(p.Open(qsxsim::kEpBulkOut), nullptr);
    }
}

TEST(SimDownload, FlawedDownloadsLeaveItUnusable) {
    using Steps = std::vector<Step>;
    const size_t end = 1 + 522;  // index of request 13 for a 4-port image of 33392 bytes
    struct Case {
        const char *name;
        WORD productId;  // the adapter; the image is always 0x7045's
        std::function<void(Steps &)> spoil;
    } cases[] = {
        {"wrong byte", 0x7045, [](Steps &s) { s[100].data[17] ^= 0x01; }},
        {"short image", 0x7045, [&](Steps &s) { s.erase(s.begin() + end - 1); }},
        {"long image", 0x7045, [&](Steps &s) { s.insert(s.begin() + end, Step{0x20, {0x00}}); }},
        {"swapped blocks", 0x7045, [](Steps &s) { std::swap(s[10], s[11]); }},
        {"block over 64 bytes", 0x7045,
         [](Steps &s) {
             s[1].data.insert(s[1].data.end(), s[2].data.begin(), s[2].data.end());
             s.erase(s.begin() + 2);
         }},
        {"14 without 13", 0x7045, [&](Steps &s) { s.erase(s.begin() + end); }},
        {"no 12", 0x7045, [](Steps &s) { s.erase(s.begin()); }},
        {"block after 13", 0x7045, [&](Steps &s) { s.insert(s.begin() + end + 1, Step{0x20, {0x00}}); }},
        {"another model's image", 0x7040, [](Steps &) {}},
        {"unsupported product", 0x7000, [](Steps &) {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Plugged p(c.productId);
        Steps steps = GoodDownload(Firmware7045);
        ASSERT_EQ(steps[end].code, qsxsim::kReqDownloadEnd);
        c.spoil(steps);
        p.Run(steps);
        EXPECT_FALSE(p.adapter->Usable());
        EXPECT_EQ(p.Interface0()->Descriptor.bNumEndpoints, 0);
        EXPECT_EQ(p.Open(qsxsim::kEpDataIn), nullptr);
        // A new request 12 starts afresh.
        if (const qsxsim::Model *m = qsxsim::FindModel(c.productId)) {
            p.Run(GoodDownload(m->image));
            EXPECT_TRUE(p.adapter->Usable());
            EXPECT_EQ(p.Interface0()->Descriptor.bNumEndpoints, 6);
        }
    }
}

TEST(SimVendor, RequestsAreLoggedAndSetPortState) {
    Plugged p(0x7045);
    struct Sent {
        BYTE type, code;
        WORD value, index;
        std::vector<BYTE> data;
        DWORD error;
    } sent[] = {
        {0x40, 0x10, 2, 1, {}, USB_NO_ERROR},         // port 1: RS-422
        {0x40, 0x0F, 1, 1, {}, USB_NO_ERROR},         // port 1: FIFO off
        {0x40, 0x09, 4, 3, {}, USB_NO_ERROR},         // purges of port 3
        {0x40, 0x09, 8, 3, {}, USB_NO_ERROR},
        {0x40, 0x07, 0, 0, {}, USB_NO_ERROR},         // overflow mark of port 0
        {0x40, 0x85, 0x12, 2, {1, 2, 3}, USB_NO_ERROR},  // unknown to the adapter: accepted
        {0x40, 0x10, 3, 4, {}, USB_NO_ERROR},         // no port 4 on this model
        {0x40, 0x10, 9, 0, {}, USB_NO_ERROR},         // no such mode
        {0xC0, 0x10, 0, 0, {}, USB_STALL_ERROR},      // nothing can be read back
    };
    DWORD t0 = GetTickCount();
    for (const Sent &s : sent) EXPECT_EQ(p.Request(s.code, s.value, s.index, s.data, s.type), s.error);
    DWORD t1 = GetTickCount();

    std::vector<qsxsim::VendorRecord> log = p.adapter->VendorLog();
    ASSERT_EQ(log.size(), std::size(sent));
    for (size_t i = 0; i < log.size(); i++) {
        SCOPED_TRACE(i);
        const qsxsim::VendorRecord &r = log[i];
        EXPECT_EQ(r.sequence, i + 1);
        EXPECT_EQ(r.setup.bmRequestType, sent[i].type);
        EXPECT_EQ(r.setup.bRequest, sent[i].code);
        EXPECT_EQ(r.setup.wValue, sent[i].value);
        EXPECT_EQ(r.setup.wIndex, sent[i].index);
        EXPECT_EQ(r.setup.wLength, sent[i].data.size());
        EXPECT_EQ(r.data, sent[i].data);
        EXPECT_GE(r.tick, i ? log[i - 1].tick : t0);
        EXPECT_LE(r.tick, t1);
    }

    EXPECT_EQ(p.adapter->InterfaceMode(1), 2);
    EXPECT_EQ(p.adapter->InterfaceMode(0), 0);
    EXPECT_FALSE(p.adapter->FifoOn(1));
    EXPECT_TRUE(p.adapter->FifoOn(0));
    EXPECT_EQ(p.adapter->Port(3).purges, (std::vector<WORD>{4, 8}));
    EXPECT_TRUE(p.adapter->Port(0).overflowMark);
    EXPECT_EQ(p.Request(0x07, 1, 0), USB_NO_ERROR);
    EXPECT_FALSE(p.adapter->Port(0).overflowMark);
    EXPECT_EQ(p.Request(0x0F, 0, 1), USB_NO_ERROR);
    EXPECT_TRUE(p.adapter->FifoOn(1));

    p.adapter->ClearVendorLog();
    EXPECT_TRUE(p.adapter->VendorLog().empty());
    EXPECT_EQ(p.Request(0x10, 1, 2), USB_NO_ERROR);
    ASSERT_EQ(p.adapter->VendorLog().size(), 1u);
    EXPECT_EQ(p.adapter->VendorLog()[0].sequence, std::size(sent) + 3);
    EXPECT_FALSE(p.adapter->WaitForVendorRequests(2, 20ms));
}

TEST(SimFaults, StallByCodeAndBySequence) {
    Plugged p(0x7045);
    p.adapter->InjectFault(0x10, Fault::kStall);
    EXPECT_EQ(p.Request(0x10, 2, 0), USB_STALL_ERROR);
    EXPECT_EQ(p.Request(0x10, 3, 1), USB_STALL_ERROR);
    EXPECT_EQ(p.adapter->InterfaceMode(0), 0);  // a stalled request has no effect
    EXPECT_EQ(p.Request(0x0F, 1, 0), USB_NO_ERROR);
    EXPECT_EQ(p.adapter->VendorLog().size(), 3u);
    p.adapter->ClearFaults();
    EXPECT_EQ(p.Request(0x10, 2, 0), USB_NO_ERROR);
    EXPECT_EQ(p.adapter->InterfaceMode(0), 2);

    p.adapter->InjectFaultAt(p.adapter->RequestCount() + 2, Fault::kStall);
    EXPECT_EQ(p.Request(0x09, 1, 0), USB_NO_ERROR);
    EXPECT_EQ(p.Request(0x09, 2, 0), USB_STALL_ERROR);
    EXPECT_EQ(p.Request(0x09, 4, 0), USB_NO_ERROR);
    EXPECT_EQ(p.adapter->Port(0).purges, (std::vector<WORD>{1, 4}));
}

TEST(SimFaults, NeverAnsweredStaysPendingUntilClosed) {
    Plugged p(0x7045);
    size_t openBefore = standin::UsbOpenTransferCount();
    Counter &notified = gCounters[0];
    p.adapter->InjectFault(0x10, Fault::kNeverAnswer);
    p.adapter->InjectFaultAt(3, Fault::kNeverAnswer);
    USB_TRANSFER byCode = p.Issue(0x10, notified, 1, 0);
    ASSERT_NE(byCode, nullptr);
    ASSERT_TRUE(p.adapter->WaitForVendorRequests(1, 5s));
    // Later requests are still answered, and from the adapter's thread, not inline.
    EXPECT_EQ(p.Request(0x0F, 1, 0), USB_NO_ERROR);
    USB_TRANSFER bySequence = p.Issue(0x09, notified, 1, 0);
    ASSERT_NE(bySequence, nullptr);
    EXPECT_EQ(p.Request(0x09, 2, 0), USB_NO_ERROR);
    ASSERT_TRUE(p.adapter->WaitForVendorRequests(4, 5s));

    for (USB_TRANSFER t : {byCode, bySequence}) {
        EXPECT_FALSE(Funcs()->lpIsTransferComplete(t));
        EXPECT_EQ(StatusOf(t).error, USB_NOT_COMPLETE_ERROR);
    }
    EXPECT_EQ(p.adapter->HeldTransfers(), 2u);
    EXPECT_EQ(p.adapter->InterfaceMode(0), 0);
    EXPECT_EQ(p.adapter->Port(0).purges, (std::vector<WORD>{2}));

    EXPECT_TRUE(Funcs()->lpCloseTransfer(byCode));
    EXPECT_EQ(p.adapter->HeldTransfers(), 1u);
    EXPECT_TRUE(Funcs()->lpCloseTransfer(bySequence));
    EXPECT_EQ(p.adapter->HeldTransfers(), 0u);
    EXPECT_EQ(standin::UsbOpenTransferCount(), openBefore);
    EXPECT_EQ(notified.Hits(), 0);
}

TEST(SimBulk, PipesOfTheWorkingInterface) {
    Plugged p(0x7045);
    p.Run(GoodDownload(Firmware7045));
    ASSERT_TRUE(p.adapter->Usable());

    p.adapter->RefusePipe(qsxsim::kEpStatusIn);
    EXPECT_EQ(p.Open(qsxsim::kEpStatusIn), nullptr);
    p.adapter->RefusePipe(qsxsim::kEpStatusIn, false);
    EXPECT_EQ(p.Open(0x87), nullptr);  // not an endpoint of the adapter
    USB_PIPE out = p.Open(qsxsim::kEpBulkOut), data = p.Open(qsxsim::kEpDataIn),
             status = p.Open(qsxsim::kEpStatusIn);
    ASSERT_TRUE(out && data && status);

    // OUT frames are taken whole and kept in order.
    std::vector<BYTE> frames[] = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {0xAA, 0xBB, 0xCC}};
    for (auto &f : frames) {
        USB_TRANSFER t = Funcs()->lpIssueBulkTransfer(out, nullptr, nullptr, USB_OUT_TRANSFER,
                                                      static_cast<DWORD>(f.size()), f.data(), 0);
        ASSERT_NE(t, nullptr);
        Status s = StatusOf(t);
        EXPECT_EQ(s.bytes, f.size());
        EXPECT_EQ(s.error, USB_NO_ERROR);
        Funcs()->lpCloseTransfer(t);
    }
    EXPECT_EQ(p.adapter->OutFrames(), (std::vector<std::vector<BYTE>>{frames[0], frames[1]}));

    // IN transfers wait: nothing is sent yet. Closing the pipe ends its transfer; the
    // unplug ends the rest, a never-answered control request included.
    Counter &dataDone = gCounters[1], &statusDone = gCounters[2], &controlDone = gCounters[3];
    BYTE dataBuf[512], statusBuf[512];
    USB_TRANSFER dataIn = Funcs()->lpIssueBulkTransfer(data, Notify, &dataDone, USB_IN_TRANSFER,
                                                       sizeof dataBuf, dataBuf, 0);
    USB_TRANSFER statusIn = Funcs()->lpIssueBulkTransfer(status, Notify, &statusDone, USB_IN_TRANSFER,
                                                         sizeof statusBuf, statusBuf, 0);
    p.adapter->InjectFault(0x09, Fault::kNeverAnswer);
    USB_TRANSFER control = p.Issue(0x09, controlDone);
    ASSERT_TRUE(dataIn && statusIn && control);
    EXPECT_EQ(p.adapter->HeldTransfers(), 3u);
    EXPECT_FALSE(Funcs()->lpIsTransferComplete(dataIn));

    EXPECT_TRUE(Funcs()->lpClosePipe(data));
    ASSERT_TRUE(dataDone.WaitFor(1));
    EXPECT_EQ(StatusOf(dataIn).error, USB_CANCELED_ERROR);
    EXPECT_EQ(p.adapter->HeldTransfers(), 2u);
    EXPECT_FALSE(Funcs()->lpIsTransferComplete(statusIn));

    ASSERT_TRUE(standin::UsbRemoveDevice(p.device));
    ASSERT_TRUE(statusDone.WaitFor(1));
    ASSERT_TRUE(controlDone.WaitFor(1));
    EXPECT_EQ(StatusOf(statusIn).error, USB_DEVICE_NOT_RESPONDING_ERROR);
    EXPECT_EQ(StatusOf(control).error, USB_DEVICE_NOT_RESPONDING_ERROR);
    EXPECT_EQ(p.adapter->HeldTransfers(), 0u);
    EXPECT_FALSE(p.adapter->Usable());  // power went, and the firmware with it
    for (USB_TRANSFER t : {dataIn, statusIn, control}) Funcs()->lpCloseTransfer(t);
    for (USB_PIPE pipe : {out, status}) Funcs()->lpClosePipe(pipe);
}

}  // namespace
