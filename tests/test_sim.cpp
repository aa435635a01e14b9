// The simulated adapter as a client sees it through the host stack's function table:
// firmware images, the download check and the endpoints it brings up, the request log and
// per-port settings, fault injection, and the serial half: transmit frames and windows,
// wiring, data chunks, status records, modem lines, purges, pacing and overruns.
#include <windows.h>
#include <usbdi.h>

#include <adapter.h>
#include <firmware.h>
#include <gtest/gtest.h>
#include <standin/kernel.h>
#include <standin/usbbus.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
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
    ~Plugged() {
        standin::UsbRemoveDevice(device);
        standin::UsbWaitHostStack(device);
    }

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
            if (&other != &c) {
                EXPECT_NE(std::memcmp(c.image, other.image, 64), 0) << other.productId;
            }
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
            if (types[i] == USB_ENDPOINT_TYPE_BULK) {
                EXPECT_EQ(e.wMaxPacketSize, c.highSpeed ? 512 : 64) << i;
            }
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
    std::vector<BYTE> frames[] = {{0x00, 0x00, 0x00, 0x06, 1, 2, 3, 4, 5, 6}, {0x00, 0x03, 0x00, 0x00}};
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
    const BYTE raw[] = {0, 0, 0, 1, 0x55};
    EXPECT_FALSE(p.adapter->InjectRawData(raw));  // and nothing is produced any more
    for (USB_TRANSFER t : {dataIn, statusIn, control}) Funcs()->lpCloseTransfer(t);
    for (USB_PIPE pipe : {out, status}) Funcs()->lpClosePipe(pipe);
}

// ---- the serial half -----------------------------------------------------------------

using qsxsim::FrameFault;
using qsxsim::kRecLine;
using qsxsim::kRecModem;
using qsxsim::kRecTxReady;

// A completion counter per read, never freed: a routine may still be on its way from the
// host stack's thread when a read gives up.
Counter &NewCounter() {
    static std::mutex lock;
    static auto *pool = new std::deque<Counter>;
    std::lock_guard g(lock);
    return pool->emplace_back();
}

std::vector<BYTE> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<BYTE> Pattern(size_t n, int seed) {
    std::vector<BYTE> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<BYTE>(seed * 31 + i * 7 + i / 251);
    return v;
}

// A transmit frame, or a data chunk (byte 0 is 0 in both unless the frame closes a window).
std::vector<BYTE> Frame(int port, std::span<const BYTE> payload, bool closes = false) {
    std::vector<BYTE> f(4 + payload.size());
    f[0] = static_cast<BYTE>(closes ? 0x80 : 0);
    f[1] = static_cast<BYTE>(port);
    f[2] = static_cast<BYTE>(payload.size() >> 8);
    f[3] = static_cast<BYTE>(payload.size());
    std::ranges::copy(payload, f.begin() + 4);
    return f;
}
std::vector<BYTE> Chunk(int port, std::string_view data) { return Frame(port, Bytes(data)); }

std::vector<BYTE> Record(int port, WORD type, BYTE b0 = 0, BYTE b1 = 0, BYTE b2 = 0, BYTE b3 = 0) {
    return {static_cast<BYTE>(port >> 8), static_cast<BYTE>(port), static_cast<BYTE>(type >> 8),
            static_cast<BYTE>(type), b0, b1, b2, b3};
}

std::vector<BYTE> Cat(std::initializer_list<std::vector<BYTE>> parts) {
    std::vector<BYTE> all;
    for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct ChunkSeen {
    int port;
    std::vector<BYTE> data;
};

// Splits one data transfer into its chunks, checking their format on the way.
std::vector<ChunkSeen> SplitChunks(std::span<const BYTE> t, size_t maxData) {
    std::vector<ChunkSeen> chunks;
    for (size_t at = 0; at < t.size();) {
        if (t.size() - at < 4) {
            ADD_FAILURE() << "a partial chunk header at " << at;
            break;
        }
        const size_t n = t[at + 2] << 8 | t[at + 3];
        EXPECT_EQ(t[at], 0) << at;
        EXPECT_GT(n, 0u) << at;
        EXPECT_LE(n, maxData) << at;
        if (at + 4 + n > t.size()) {
            ADD_FAILURE() << "a chunk runs past its transfer at " << at;
            break;
        }
        chunks.push_back({t[at + 1], {t.begin() + at + 4, t.begin() + at + 4 + n}});
        at += 4 + n;
    }
    return chunks;
}

// Sets the stand-in's time scale for one test.
struct TimeScale {
    explicit TimeScale(double realMsPerVirtualMs) { standin::SetTimeScale(realMsPerVirtualMs); }
    ~TimeScale() { standin::SetTimeScale(1.0); }
};

// A running adapter with its three bulk pipes open; the test is the host.
struct Host : Plugged {
    USB_PIPE out = nullptr, data = nullptr, status = nullptr;

    explicit Host(WORD productId, bool highSpeed = true) : Plugged(productId, highSpeed) {
        Run(GoodDownload(qsxsim::FindModel(productId)->image));
        out = Open(qsxsim::kEpBulkOut);
        data = Open(qsxsim::kEpDataIn);
        status = Open(qsxsim::kEpStatusIn);
        EXPECT_TRUE(out && data && status);
    }
    ~Host() {
        for (USB_PIPE pipe : {out, data, status})
            if (pipe) Funcs()->lpClosePipe(pipe);
    }

    // One synchronous OUT transfer; the USB error it ended with.
    DWORD Send(std::vector<BYTE> frame) {
        USB_TRANSFER t = Funcs()->lpIssueBulkTransfer(out, nullptr, nullptr, USB_OUT_TRANSFER,
                                                      static_cast<DWORD>(frame.size()), frame.data(), 0);
        if (!t) return 0xdeadbeef;
        Status s = StatusOf(t);
        Funcs()->lpCloseTransfer(t);
        EXPECT_EQ(s.bytes, s.error == USB_NO_ERROR ? frame.size() : 0u);
        return s.error;
    }
    DWORD Send(int port, std::span<const BYTE> payload, bool closes = false) {
        return Send(Frame(port, payload, closes));
    }
    DWORD Send(int port, std::string_view payload, bool closes = false) { return Send(port, Bytes(payload), closes); }

    // One IN transfer of up to `length` bytes; nullopt when it failed or nothing came in 5 s.
    static std::optional<std::vector<BYTE>> Read(USB_PIPE pipe, DWORD length) {
        Counter &done = NewCounter();
        std::vector<BYTE> buffer(length);
        USB_TRANSFER t = Funcs()->lpIssueBulkTransfer(pipe, Notify, &done, USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK,
                                                      length, buffer.data(), 0);
        if (!t) return std::nullopt;
        const bool ended = done.WaitFor(1);
        Status s = StatusOf(t);
        Funcs()->lpCloseTransfer(t);
        if (!ended || s.error != USB_NO_ERROR) return std::nullopt;
        buffer.resize(s.bytes);
        return buffer;
    }
    std::vector<BYTE> ReadData(DWORD length = 4096) {
        auto t = Read(data, length);
        EXPECT_TRUE(t) << "no data transfer";
        return t.value_or(std::vector<BYTE>{});
    }
    std::vector<BYTE> ReadStatus(DWORD length = 512) {
        auto t = Read(status, length);
        EXPECT_TRUE(t) << "no status transfer";
        return t.value_or(std::vector<BYTE>{});
    }
    // Reads data transfers until `total` bytes arrived; the bytes of each port, in order.
    std::map<int, std::vector<BYTE>> Collect(size_t total, DWORD length = 4096) {
        std::map<int, std::vector<BYTE>> ports;
        const size_t maxData = adapter->HighSpeed() ? 512 : 60;
        for (size_t got = 0; got < total;) {
            auto t = Read(data, length);
            if (!t) {
                ADD_FAILURE() << "data stopped after " << got << " of " << total << " bytes";
                break;
            }
            EXPECT_LE(t->size(), adapter->HighSpeed() ? 4096u : 64u);
            for (ChunkSeen &c : SplitChunks(*t, maxData)) {
                got += c.data.size();
                ports[c.port].insert(ports[c.port].end(), c.data.begin(), c.data.end());
            }
        }
        return ports;
    }
};

TEST(SimSerial, WiringCarriesFramesToTheRightReceiver) {
    Host h(0x7045);
    ASSERT_TRUE(h.adapter->WireLoopback(1));
    ASSERT_TRUE(h.adapter->WireNullModem(0, 2));
    EXPECT_FALSE(h.adapter->WireNullModem(3, 3));
    EXPECT_FALSE(h.adapter->WireLoopback(4));
    EXPECT_EQ(h.adapter->WiringOf(3), qsxsim::Wiring::kNone);
    EXPECT_EQ(h.Send(0, "zero to two"), USB_NO_ERROR);
    EXPECT_EQ(h.Send(1, "loop"), USB_NO_ERROR);
    EXPECT_EQ(h.Send(2, "two to zero"), USB_NO_ERROR);
    EXPECT_EQ(h.Send(3, "into the void"), USB_NO_ERROR);  // unwired: dropped
    // Everything waits for the host, then leaves in one transfer, a chunk per port.
    EXPECT_EQ(h.ReadData(), Cat({Chunk(0, "two to zero"), Chunk(1, "loop"), Chunk(2, "zero to two")}));

    // Rewiring port 2 leaves its old peer unwired.
    ASSERT_TRUE(h.adapter->WireLoopback(2));
    EXPECT_EQ(h.adapter->WiringOf(0), qsxsim::Wiring::kNone);
    EXPECT_EQ(h.Send(0, "lost"), USB_NO_ERROR);
    EXPECT_EQ(h.Send(2, "self"), USB_NO_ERROR);
    EXPECT_EQ(h.ReadData(), Chunk(2, "self"));
    EXPECT_TRUE(h.adapter->ProtocolViolations().empty());
    EXPECT_TRUE(h.adapter->FrameErrors().empty());
}

TEST(SimSerial, ExternalEndFeedsDrainsAndSinks) {
    Host h(0x7045);
    ASSERT_TRUE(h.adapter->WireExternal(3));
    EXPECT_FALSE(h.adapter->FeedExternal(2, Bytes("unwired")));
    ASSERT_TRUE(h.adapter->FeedExternal(3, Bytes("from the line")));
    EXPECT_EQ(h.ReadData(), Chunk(3, "from the line"));

    EXPECT_EQ(h.Send(3, "to the"), USB_NO_ERROR);
    EXPECT_EQ(h.Send(3, " line"), USB_NO_ERROR);
    ASSERT_TRUE(h.adapter->WaitExternal(3, 11, 5s));
    EXPECT_EQ(h.adapter->DrainExternal(3), Bytes("to the line"));
    EXPECT_TRUE(h.adapter->DrainExternal(3).empty());

    // A sink takes the bytes instead, those already waiting first; it may feed the port
    // back from inside (an echoing far end).
    std::mutex lock;
    std::condition_variable changed;
    std::vector<BYTE> sunk;
    EXPECT_EQ(h.Send(3, "early "), USB_NO_ERROR);
    auto adapter = h.adapter.get();
    h.adapter->SetExternalSink(3, [&, adapter](std::span<const BYTE> bytes) {
        adapter->FeedExternal(3, bytes);
        std::lock_guard g(lock);
        sunk.insert(sunk.end(), bytes.begin(), bytes.end());
        changed.notify_all();
    });
    EXPECT_EQ(h.Send(3, "late"), USB_NO_ERROR);
    {
        std::unique_lock g(lock);
        ASSERT_TRUE(changed.wait_for(g, 5s, [&] { return sunk.size() >= 10; }));
        EXPECT_EQ(sunk, Bytes("early late"));
    }
    EXPECT_EQ(h.Collect(10)[3], Bytes("early late"));
    h.adapter->SetExternalSink(3, nullptr);
    EXPECT_EQ(h.Send(3, "drained again"), USB_NO_ERROR);
    EXPECT_EQ(h.adapter->DrainExternal(3), Bytes("drained again"));
    std::lock_guard g(lock);
    EXPECT_EQ(sunk.size(), 10u);
}

TEST(SimSerial, ClosingFrameYieldsTransmitReadyAndLateFramesAreViolations) {
    Host h(0x7045);
    EXPECT_EQ(h.Send(1, "a"), USB_NO_ERROR);
    EXPECT_EQ(h.Send(1, "closes", true), USB_NO_ERROR);
    EXPECT_EQ(h.ReadStatus(), Record(1, kRecTxReady));

    // A frame sent before the transmit-ready record went out breaks the protocol; it is
    // still taken, and once the record is out the port may send again.
    EXPECT_EQ(h.Send(2, "closes", true), USB_NO_ERROR);
    EXPECT_EQ(h.Send(2, "too early"), USB_NO_ERROR);
    EXPECT_EQ(h.adapter->ProtocolViolations(), std::vector<int>{2});
    EXPECT_EQ(h.ReadStatus(), Record(2, kRecTxReady));
    EXPECT_EQ(h.Send(2, "fine"), USB_NO_ERROR);
    EXPECT_EQ(h.Send(1, "fine"), USB_NO_ERROR);
    EXPECT_EQ(h.adapter->ProtocolViolations(), std::vector<int>{2});
    EXPECT_EQ(h.adapter->OutFrames().size(), 6u);
}

TEST(SimSerial, BadFramesStall) {
    struct Case {
        const char *name;
        bool highSpeed;
        std::vector<BYTE> frame;
        std::optional<FrameFault> fault;  // none: the frame is good
    } cases[] = {
        {"port out of range", true, Frame(4, Bytes("x")), FrameFault::kPort},
        {"253 bytes at high speed", true, Frame(0, Pattern(253, 1)), FrameFault::kLength},
        {"252 bytes at high speed", true, Frame(0, Pattern(252, 1)), std::nullopt},
        {"61 bytes at full speed", false, Frame(0, Pattern(61, 2)), FrameFault::kLength},
        {"60 bytes at full speed", false, Frame(0, Pattern(60, 2)), std::nullopt},
        {"one byte short", true, [] { auto f = Frame(0, Bytes("0123456789")); f.pop_back(); return f; }(),
         FrameFault::kMismatch},
        {"one byte over", true, [] { auto f = Frame(0, Bytes("0123456789")); f.push_back('!'); return f; }(),
         FrameFault::kMismatch},
        {"flag byte", true, [] { auto f = Frame(0, Bytes("x")); f[0] = 0x01; return f; }(), FrameFault::kFlag},
        {"header only in part", true, {0x00, 0x00, 0x00}, FrameFault::kShort},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Host h(0x7045, c.highSpeed);
        for (int p = 0; p < 4; p++) h.adapter->WireLoopback(p);
        EXPECT_EQ(h.Send(c.frame), c.fault ? USB_STALL_ERROR : USB_NO_ERROR);
        std::vector<qsxsim::FrameError> errors = h.adapter->FrameErrors();
        if (c.fault) {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0].fault, *c.fault);
            EXPECT_EQ(errors[0].frame, c.frame);
            EXPECT_TRUE(h.adapter->OutFrames().empty());
        } else {
            EXPECT_TRUE(errors.empty());
        }
        // A refused frame reaches no wire: only the marker comes back.
        EXPECT_EQ(h.Send(1, "m"), USB_NO_ERROR);
        std::map<int, std::vector<BYTE>> got = h.Collect(1 + (c.fault ? 0 : c.frame.size() - 4));
        EXPECT_EQ(got[1], Bytes("m"));
        if (!c.fault) {
            EXPECT_EQ(got[0], std::vector<BYTE>(c.frame.begin() + 4, c.frame.end()));
        }
        EXPECT_EQ(got.count(0), c.fault ? 0u : 1u);
    }
}

TEST(SimSerial, PurgeDropsTheAdaptersOwnBuffers) {
    TimeScale slow(1000.0);  // a virtual second lasts 1000 s: paced bytes stay put
    struct Case {
        WORD flag;
        bool transmit;
    } cases[] = {{qsxsim::kPurgeRxAbort, false}, {qsxsim::kPurgeRxClear, false},
                 {qsxsim::kPurgeTxAbort, true},  {qsxsim::kPurgeTxClear, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flag);
        Host h(0x7045);
        h.adapter->WireLoopback(2);
        h.adapter->WireLoopback(3);
        EXPECT_EQ(h.Send(3, "kept"), USB_NO_ERROR);  // another port's bytes stay
        if (c.transmit) {
            // A byte a second holds the window's bytes in the adapter; the purge drops them,
            // and with them goes the reason to hold back the transmit-ready record.
            h.adapter->SetPacing(2, 1);
            EXPECT_EQ(h.Send(2, "held back", true), USB_NO_ERROR);
            EXPECT_EQ(h.Request(qsxsim::kReqPurge, c.flag, 2), USB_NO_ERROR);
            EXPECT_EQ(h.ReadStatus(), Record(2, kRecTxReady));
            h.adapter->SetPacing(2, 0);
        } else {
            EXPECT_EQ(h.Send(2, "stale"), USB_NO_ERROR);
            EXPECT_EQ(h.Request(qsxsim::kReqPurge, c.flag, 2), USB_NO_ERROR);
        }
        EXPECT_EQ(h.Send(2, "fresh"), USB_NO_ERROR);
        EXPECT_EQ(h.ReadData(), Cat({Chunk(2, "fresh"), Chunk(3, "kept")}));
        EXPECT_EQ(h.adapter->Port(2).purges, std::vector<WORD>{c.flag});
    }
}

TEST(SimSerial, PacingHoldsBytesAndTransmitReadyUntilTheyLeft) {
    TimeScale fast(0.01);  // a virtual second in 10 ms
    struct Case {
        const char *name;
        std::function<void(Host &)> pace;
        size_t bytes;
        DWORD minMs;  // virtual
    } cases[] = {
        {"1000 bytes a second", [](Host &h) { h.adapter->SetPacing(0, 1000); }, 200, 199},
        {"9600 baud",
         [](Host &h) {
             EXPECT_EQ(h.Request(qsxsim::kReqLineSettings, 0, 0, {0x00, 0x00, 0x25, 0x80, 8, 0, 0, 0}),
                       USB_NO_ERROR);
             h.adapter->PaceByBaud(0, true);
         },
         96, 99},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Host h(0x7045);
        h.adapter->WireLoopback(0);
        c.pace(h);
        std::vector<BYTE> payload = Pattern(c.bytes, 3);
        DWORD t0 = GetTickCount();
        EXPECT_EQ(h.Send(0, payload, true), USB_NO_ERROR);
        EXPECT_EQ(h.ReadStatus(), Record(0, kRecTxReady));
        EXPECT_GE(GetTickCount() - t0, c.minMs);
        EXPECT_EQ(h.Collect(c.bytes)[0], payload);
    }
}

// A port told its line settings runs at the rate and framing they give, measured on the
// stand-in's virtual clock (so the machine's load can only make it slower, never faster);
// one never told moves its bytes at once.
TEST(SimSerial, ToldLineRunsAtItsBaudRateAndFraming) {
    TimeScale scale(0.2);  // a virtual second in 200 ms
    const std::vector<BYTE> k8N1 = {0x00, 0x00, 0x25, 0x80, 8, 0, 0, 0}, k7E2 = {0x00, 0x00, 0x25, 0x80, 7, 2, 2, 0};
    enum class Wire { kLoopback, kNullModem, kExternal };
    struct Case {
        const char *name;
        Wire wire;
        std::optional<std::vector<BYTE>> line;  // request 0x14's data, if told
        DWORD minMs, maxMs;                     // virtual, for 960 bytes each way
    } cases[] = {
        {"loopback 9600 8N1: 10 bits a byte", Wire::kLoopback, k8N1, 999, 1500},
        {"loopback 9600 7E2: 11 bits a byte", Wire::kLoopback, k7E2, 1099, 1650},
        {"null-modem 9600 8N1, both ways at once", Wire::kNullModem, k8N1, 999, 1500},
        {"external 9600 7E2", Wire::kExternal, k7E2, 1099, 1650},
        {"never told", Wire::kLoopback, std::nullopt, 0, 400},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Host h(0x7045);
        const std::vector<int> senders = c.wire == Wire::kNullModem ? std::vector<int>{0, 1} : std::vector<int>{0};
        if (c.wire == Wire::kLoopback) h.adapter->WireLoopback(0);
        if (c.wire == Wire::kNullModem) h.adapter->WireNullModem(0, 1);
        if (c.wire == Wire::kExternal) h.adapter->WireExternal(0);
        for (int p : senders)
            if (c.line) {
                EXPECT_EQ(h.Request(qsxsim::kReqLineSettings, 0, static_cast<WORD>(p), *c.line), USB_NO_ERROR);
            }
        std::map<int, std::vector<BYTE>> sent;  // by the receiving port
        const DWORD t0 = GetTickCount();
        for (int f = 0; f < 4; f++)
            for (int p : senders) {
                std::vector<BYTE> payload = Pattern(240, f * 2 + p);
                ASSERT_EQ(h.Send(p, payload), USB_NO_ERROR);
                std::vector<BYTE> &to = sent[c.wire == Wire::kNullModem ? 1 - p : p];
                to.insert(to.end(), payload.begin(), payload.end());
            }
        if (c.wire == Wire::kExternal) {
            ASSERT_TRUE(h.adapter->WaitExternal(0, 960, std::chrono::seconds(10)));
            EXPECT_EQ(h.adapter->DrainExternal(0), sent[0]);
        } else {
            EXPECT_EQ(h.Collect(960 * senders.size()), sent);
        }
        const DWORD took = GetTickCount() - t0;
        EXPECT_GE(took, c.minMs);
        EXPECT_LE(took, c.maxMs);
    }
}

// Flow control on the transmitting side: a port sends nothing while its configured
// input holds it, and everything once released; with no flow control set, a low CTS
// stops nothing.
TEST(SimSerial, FlowControlHoldsTheTransmitterUntilReleased) {
    using qsxsim::kMsrCts, qsxsim::kMsrDsr;
    struct Case {
        const char *name;
        WORD flow;
        std::function<void(Host &)> hold, release;
        bool holds;
    } cases[] = {
        {"CTS", qsxsim::kFlowCtsOut, [](Host &h) { h.adapter->SetExternalModem(0, kMsrDsr); },
         [](Host &h) { h.adapter->SetExternalModem(0, kMsrCts | kMsrDsr); }, true},
        {"DSR", qsxsim::kFlowDsrOut, [](Host &h) { h.adapter->SetExternalModem(0, kMsrCts); },
         [](Host &h) { h.adapter->SetExternalModem(0, kMsrCts | kMsrDsr); }, true},
        {"XON/XOFF", qsxsim::kFlowXonXoffOut, [](Host &h) { h.adapter->FeedExternal(0, Bytes("a\x13")); },
         [](Host &h) { h.adapter->FeedExternal(0, Bytes("\x11" "b")); }, true},
        {"none, CTS down", 0, [](Host &h) { h.adapter->SetExternalModem(0, 0); },
         [](Host &h) { h.adapter->SetExternalModem(0, kMsrCts); }, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Host h(0x7045);
        h.adapter->WireExternal(0);
        h.adapter->SetExternalModem(0, kMsrCts | kMsrDsr);
        ASSERT_EQ(h.Request(qsxsim::kReqFlowControl, c.flow, 0, {0x11, 0x13}), USB_NO_ERROR);
        EXPECT_EQ(h.adapter->Port(0).flow, c.flow);
        c.hold(h);
        ASSERT_EQ(h.Send(0, "first", true), USB_NO_ERROR);
        EXPECT_EQ(h.adapter->WaitExternal(0, 5, std::chrono::milliseconds(200)), !c.holds);
        c.release(h);
        ASSERT_TRUE(h.adapter->WaitExternal(0, 5, std::chrono::seconds(5)));
        ASSERT_EQ(h.Send(0, "second"), USB_NO_ERROR);
        ASSERT_TRUE(h.adapter->WaitExternal(0, 11, std::chrono::seconds(5)));
        EXPECT_EQ(h.adapter->DrainExternal(0), Bytes("firstsecond"));
    }
    // XON and XOFF are the transmitter's; what came around them reaches the host.
    Host h(0x7045);
    h.adapter->WireExternal(0);
    ASSERT_EQ(h.Request(qsxsim::kReqFlowControl, qsxsim::kFlowXonXoffOut, 0, {'+', '-'}), USB_NO_ERROR);
    ASSERT_TRUE(h.adapter->FeedExternal(0, Bytes("a-b+c")));
    EXPECT_EQ(h.ReadData(), Chunk(0, "abc"));
    EXPECT_EQ(h.ReadStatus(), Cat({Record(0, qsxsim::kRecFlow, 0x08), Record(0, qsxsim::kRecFlow, 0x48)}));
    // Flow control is set whole or refused.
    EXPECT_EQ(h.Request(qsxsim::kReqFlowControl, 0x20, 0, {0x11, 0x13}), USB_STALL_ERROR);
    EXPECT_EQ(h.Request(qsxsim::kReqFlowControl, 0, 0, {0x11}), USB_STALL_ERROR);
    EXPECT_EQ(h.Request(qsxsim::kReqFlowControl, 0, 4, {0x11, 0x13}), USB_STALL_ERROR);
    EXPECT_EQ(h.adapter->Port(0).flow, qsxsim::kFlowXonXoffOut);
}

// Flow control on the receiving side: a receiver whose host does not read asks its
// sender to stop (RTS down, or XOFF) before its buffer overflows, and to go on once the
// host caught up. The line is paced, so without that the bytes past the buffer were lost.
TEST(SimSerial, FullReceiverHoldsItsSenderAndNothingIsLost) {
    constexpr int kWindows = 17;  // more than the receiver's buffer holds
    constexpr size_t kWindowBytes = 16 * 252;
    struct Case {
        const char *name;
        WORD senderFlow, receiverFlow;
        std::vector<BYTE> holdRecords, releaseRecords;
    } cases[] = {
        {"RTS/CTS", qsxsim::kFlowCtsOut, qsxsim::kFlowRtsHandshake, Record(0, kRecModem, 0, 0, 0x00),
         Record(0, kRecModem, 0, 0, 0x10)},
        {"XON/XOFF", qsxsim::kFlowXonXoffOut, qsxsim::kFlowXonXoffIn,
         Cat({Record(0, qsxsim::kRecFlow, 0x08), Record(1, qsxsim::kRecFlow, 0x40)}),
         Cat({Record(0, qsxsim::kRecFlow, 0x48), Record(1, qsxsim::kRecFlow, 0x48)})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Host h(0x7045);
        h.adapter->WireNullModem(0, 1);
        ASSERT_EQ(h.Request(qsxsim::kReqRts, 1, 1), USB_NO_ERROR);
        EXPECT_EQ(h.ReadStatus(), Record(0, kRecModem, 0, 0, 0x10));
        ASSERT_EQ(h.Request(qsxsim::kReqFlowControl, c.senderFlow, 0, {0x11, 0x13}), USB_NO_ERROR);
        ASSERT_EQ(h.Request(qsxsim::kReqFlowControl, c.receiverFlow, 1, {0x11, 0x13}), USB_NO_ERROR);
        h.adapter->SetPacing(0, 2'000'000);
        std::vector<BYTE> sent;
        std::vector<BYTE> status;  // every record after the ones a window expects
        std::map<int, std::vector<BYTE>> got;
        bool held = false;
        for (int w = 0; w < kWindows; w++) {
            for (int f = 0; f < 16; f++) {
                std::vector<BYTE> payload = Pattern(252, w * 16 + f);
                ASSERT_EQ(h.Send(0, payload, f == 15), USB_NO_ERROR);
                sent.insert(sent.end(), payload.begin(), payload.end());
            }
            if (!held && sent.size() >= qsxsim::kRxHighWater) {
                // The receiver filled up during this window: its sender stops (whether the
                // rest of the window got out before is up to the pacing's batches). Once the
                // host reads, it goes on; the window's transmit-ready comes either way.
                held = true;
                std::vector<BYTE> flow, ready;  // the records seen, sorted into the two kinds
                auto take = [&](size_t flowBytes) {
                    while (flow.size() < flowBytes) {
                        std::vector<BYTE> t = h.ReadStatus();
                        if (t.empty()) return;
                        for (size_t at = 0; at + 8 <= t.size(); at += 8) {
                            std::vector<BYTE> &kind = t[at + 3] == kRecTxReady ? ready : flow;
                            kind.insert(kind.end(), t.begin() + at, t.begin() + at + 8);
                        }
                    }
                };
                take(c.holdRecords.size());
                EXPECT_EQ(flow, c.holdRecords);
                std::map<int, std::vector<BYTE>> part = h.Collect(sent.size() - got[1].size());
                got[1].insert(got[1].end(), part[1].begin(), part[1].end());
                take(c.holdRecords.size() + c.releaseRecords.size());
                if (ready.empty()) ready = h.ReadStatus();
                EXPECT_EQ(flow, Cat({c.holdRecords, c.releaseRecords}));
                EXPECT_EQ(ready, Record(0, kRecTxReady));
                continue;
            }
            ASSERT_EQ(h.ReadStatus(), Record(0, kRecTxReady)) << w;
            if (held) {
                std::map<int, std::vector<BYTE>> part = h.Collect(kWindowBytes);
                got[1].insert(got[1].end(), part[1].begin(), part[1].end());
            }
        }
        ASSERT_TRUE(held);
        EXPECT_TRUE(got[1] == sent) << got[1].size() << " of " << sent.size();
        // Nothing else: no overrun record.
        ASSERT_TRUE(h.adapter->InjectFlowState(1, 0x55));
        EXPECT_EQ(h.ReadStatus(), Record(1, qsxsim::kRecFlow, 0x55));
    }
}

TEST(SimSerial, ModemLinesAndBreakAcrossTheWiring) {
    Host h(0x7045);
    h.adapter->WireNullModem(0, 1);
    h.adapter->WireLoopback(2);
    using qsxsim::kReqBreak, qsxsim::kReqDtr, qsxsim::kReqRts;
    auto set = [&](BYTE code, WORD value, WORD port) { EXPECT_EQ(h.Request(code, value, port), USB_NO_ERROR); };
    struct Step {
        const char *name;
        std::function<void()> act;
        std::vector<BYTE> records;  // all the status records the step makes
    } steps[] = {
        {"DTR on 0", [&] { set(kReqDtr, 1, 0); }, Record(1, kRecModem, 0, 0, 0xA0)},
        {"RTS on 0", [&] { set(kReqRts, 1, 0); }, Record(1, kRecModem, 0, 0, 0xB0)},
        {"RTS on 1", [&] { set(kReqRts, 1, 1); }, Record(0, kRecModem, 0, 0, 0x10)},
        {"DTR off 0, DTR again on 1 and a break on 0, then off",
         [&] {
             set(kReqDtr, 0, 0);
             set(kReqDtr, 1, 1);
             set(kReqBreak, 1, 0);
             set(kReqBreak, 1, 0);  // already on: no second record
             set(kReqBreak, 0, 0);
         },
         Cat({Record(1, kRecModem, 0, 0, 0x10), Record(0, kRecModem, 0, 0, 0xB0), Record(1, kRecLine, 0, 0x40, 0x10)})},
        {"loopback: RTS and DTR on 2, break on 2",
         [&] {
             set(kReqRts, 1, 2);
             set(kReqDtr, 1, 2);
             set(kReqBreak, 1, 2);
         },
         Cat({Record(2, kRecModem, 0, 0, 0x10), Record(2, kRecModem, 0, 0, 0xB0), Record(2, kRecLine, 0, 0x40, 0x10)})},
        {"unplugging the cable between 0 and 1", [&] { h.adapter->Unwire(1); },
         Cat({Record(0, kRecModem, 0, 0, 0x00), Record(1, kRecModem, 0, 0, 0x00)})},
        {"the external end drives port 3", [&] {
             h.adapter->WireExternal(3);
             h.adapter->SetExternalModem(3, 0xF0);  // RI is never a wired input
         },
         Record(3, kRecModem, 0, 0, 0xB0)},
        {"the host sets port 2's interface, as every open does: its lines as they are",
         [&] { set(qsxsim::kReqInterfaceMode, 0, 2); }, Record(2, kRecModem, 0, 0, 0xB0)},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        s.act();
        EXPECT_EQ(h.ReadStatus(), s.records);
    }
    qsxsim::PortState p0 = h.adapter->Port(0), p1 = h.adapter->Port(1);
    EXPECT_FALSE(p0.dtr);
    EXPECT_TRUE(p0.rts);
    EXPECT_TRUE(p1.dtr && p1.rts);
    EXPECT_FALSE(p0.breakOn);
    EXPECT_TRUE(h.adapter->Port(2).breakOn);
    EXPECT_EQ(h.adapter->Port(2).modemInputs, 0xB0);
    EXPECT_EQ(p0.modemInputs, 0);
}

TEST(SimSerial, LineSettingsAreRecordedAndMalformedControlStalls) {
    Host h(0x7045);
    EXPECT_EQ(h.adapter->Port(1).line, (qsxsim::LineSettings{9600, 8, 0, 0}));
    EXPECT_EQ(h.Request(qsxsim::kReqLineSettings, 0, 1, {0x00, 0x01, 0xC2, 0x00, 7, 2, 2, 0}), USB_NO_ERROR);
    EXPECT_EQ(h.adapter->Port(1).line, (qsxsim::LineSettings{115200, 7, 2, 2}));
    struct Case {
        const char *name;
        BYTE code;
        WORD value, port;
        std::vector<BYTE> data;
    } cases[] = {
        {"seven bytes", qsxsim::kReqLineSettings, 0, 1, {0x00, 0x00, 0x25, 0x80, 8, 0, 0}},
        {"parity 5", qsxsim::kReqLineSettings, 0, 1, {0x00, 0x00, 0x25, 0x80, 8, 5, 0, 0}},
        {"nine data bits", qsxsim::kReqLineSettings, 0, 1, {0x00, 0x00, 0x25, 0x80, 9, 0, 0, 0}},
        {"stop bits 3", qsxsim::kReqLineSettings, 0, 1, {0x00, 0x00, 0x25, 0x80, 8, 0, 3, 0}},
        {"baud 0", qsxsim::kReqLineSettings, 0, 1, {0, 0, 0, 0, 8, 0, 0, 0}},
        {"no port 4", qsxsim::kReqLineSettings, 0, 4, {0x00, 0x00, 0x25, 0x80, 8, 0, 0, 0}},
        {"DTR 2", qsxsim::kReqDtr, 2, 1, {}},
        {"RTS on port 4", qsxsim::kReqRts, 1, 4, {}},
        {"break 2", qsxsim::kReqBreak, 2, 1, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(h.Request(c.code, c.value, c.port, c.data), USB_STALL_ERROR);
    }
    qsxsim::PortState p1 = h.adapter->Port(1);
    EXPECT_EQ(p1.line, (qsxsim::LineSettings{115200, 7, 2, 2}));
    EXPECT_FALSE(p1.dtr || p1.rts || p1.breakOn);
}

TEST(SimSerial, InjectedRecordsAndRawTransfersArriveExactly) {
    Host h(0x7045);
    ASSERT_TRUE(h.adapter->InjectLineStatus(1, 0x0A, true));
    ASSERT_TRUE(h.adapter->InjectFlowState(2, 0x48));
    ASSERT_TRUE(h.adapter->InjectModemEvent(3, 0x0100, 0xF0));
    EXPECT_FALSE(h.adapter->InjectFlowState(4, 0x48));
    EXPECT_EQ(h.ReadStatus(), Cat({Record(1, kRecLine, 0, 0x40, 0x0A), Record(2, qsxsim::kRecFlow, 0x48),
                                   Record(3, kRecModem, 0x01, 0x00, 0xF0)}));

    // A raw transfer goes alone, between the records queued before and after it.
    const std::vector<BYTE> raw = {0x00, 0x09, 0x00, 0x02, 1, 2, 3};
    ASSERT_TRUE(h.adapter->InjectLineStatus(0, 0x02, false));
    ASSERT_TRUE(h.adapter->InjectRawStatus(raw));
    ASSERT_TRUE(h.adapter->InjectFlowState(0, 0x00));
    EXPECT_EQ(h.ReadStatus(), Record(0, kRecLine, 0, 0, 0x02));
    EXPECT_EQ(h.ReadStatus(), raw);
    EXPECT_EQ(h.ReadStatus(), Record(0, qsxsim::kRecFlow, 0x00));

    // Status transfers hold whole records only, and as many as the host asks for.
    for (int i = 0; i < 3; i++) ASSERT_TRUE(h.adapter->InjectFlowState(i, 0x40));
    EXPECT_EQ(h.ReadStatus(20), Cat({Record(0, qsxsim::kRecFlow, 0x40), Record(1, qsxsim::kRecFlow, 0x40)}));
    EXPECT_EQ(h.ReadStatus(), Record(2, qsxsim::kRecFlow, 0x40));

    // Raw data goes out before the ports' bytes.
    const std::vector<BYTE> rawData = {0xAA, 0x05, 0x02, 0x01, 'z'};
    h.adapter->WireLoopback(0);
    EXPECT_EQ(h.Send(0, "port"), USB_NO_ERROR);
    ASSERT_TRUE(h.adapter->InjectRawData(rawData));
    EXPECT_EQ(h.ReadData(), rawData);
    EXPECT_EQ(h.ReadData(), Chunk(0, "port"));
}

TEST(SimSerial, FullSpeedTransfersStayWithinOnePacket) {
    Host h(0x7045, false);
    std::map<int, std::vector<BYTE>> sent;
    for (int p = 0; p < 4; p++) {
        h.adapter->WireLoopback(p);
        for (int f = 0; f < 3; f++) {
            std::vector<BYTE> payload = Pattern(60 - p, p * 3 + f);
            ASSERT_EQ(h.Send(p, payload), USB_NO_ERROR);
            sent[p].insert(sent[p].end(), payload.begin(), payload.end());
        }
    }
    // Collect reads 4096 bytes at a time and checks each transfer holds at most 64.
    EXPECT_EQ(h.Collect(3 * (60 + 59 + 58 + 57)), sent);
}

TEST(SimSerial, FullReceiveBufferDropsAndReportsAnOverrunOnce) {
    Host h(0x7045);
    h.adapter->WireExternal(0);
    const std::vector<BYTE> fed = Pattern(qsxsim::kRxBound + 4000, 5);
    ASSERT_TRUE(h.adapter->FeedExternal(0, fed));
    ASSERT_TRUE(h.adapter->FeedExternal(0, Bytes("also lost")));
    ASSERT_TRUE(h.adapter->InjectFlowState(0, 0x48));
    EXPECT_EQ(h.ReadStatus(), Cat({Record(0, kRecLine, 0, 0, 0x02), Record(0, qsxsim::kRecFlow, 0x48)}));
    std::vector<BYTE> got = h.Collect(qsxsim::kRxBound)[0];
    EXPECT_TRUE(got == std::vector<BYTE>(fed.begin(), fed.begin() + qsxsim::kRxBound));
    // Room again: bytes are taken, and the next overflow is reported anew.
    ASSERT_TRUE(h.adapter->FeedExternal(0, Bytes("after")));
    EXPECT_EQ(h.ReadData(), Chunk(0, "after"));
    ASSERT_TRUE(h.adapter->FeedExternal(0, fed));
    EXPECT_EQ(h.ReadStatus(), Record(0, kRecLine, 0, 0, 0x02));
}

TEST(SimSerial, IdealWireHoldsTheSenderWhileItsReceiverIsFull) {
    Host h(0x7045);
    h.adapter->WireNullModem(0, 1);
    // Windows of 16 full frames and no data read: sixteen windows fill port 1's buffer but
    // for 1024 bytes, so the seventeenth waits in port 0, and so does its transmit-ready.
    std::vector<BYTE> sent;
    for (int w = 0; w < 17; w++) {
        for (int f = 0; f < 16; f++) {
            std::vector<BYTE> payload = Pattern(252, w * 16 + f);
            ASSERT_EQ(h.Send(0, payload, f == 15), USB_NO_ERROR);
            sent.insert(sent.end(), payload.begin(), payload.end());
        }
        if (w < 16) {
            ASSERT_EQ(h.ReadStatus(), Record(0, kRecTxReady)) << w;
        }
    }
    ASSERT_TRUE(h.adapter->InjectFlowState(1, 0x48));  // no transmit-ready, no overrun before it
    EXPECT_EQ(h.ReadStatus(), Record(1, qsxsim::kRecFlow, 0x48));
    EXPECT_TRUE(h.Collect(sent.size())[1] == sent);
    EXPECT_EQ(h.ReadStatus(), Record(0, kRecTxReady));
}

TEST(SimSerial, PortsShareTransfersRoundRobin) {
    Host h(0x7045);
    for (int p = 0; p < 4; p++) h.adapter->WireExternal(p);
    const size_t sizes[] = {3000, 10, 600, 1};
    std::vector<BYTE> fed[4];
    for (int p = 0; p < 4; p++) {
        fed[p] = Pattern(sizes[p], p);
        ASSERT_TRUE(h.adapter->FeedExternal(p, fed[p]));
    }
    // One chunk per port and round: the small ports are in the first round, not behind
    // port 0's bytes.
    std::vector<ChunkSeen> chunks = SplitChunks(h.ReadData(), 512);
    std::vector<std::pair<int, size_t>> layout;
    std::vector<BYTE> got[4];
    for (const ChunkSeen &c : chunks) {
        layout.emplace_back(c.port, c.data.size());
        got[c.port].insert(got[c.port].end(), c.data.begin(), c.data.end());
    }
    EXPECT_EQ(layout, (std::vector<std::pair<int, size_t>>{
                          {0, 512}, {1, 10}, {2, 512}, {3, 1}, {0, 512}, {2, 88}, {0, 512}, {0, 512}, {0, 512}, {0, 440}}));
    for (int p = 0; p < 4; p++) EXPECT_EQ(got[p], fed[p]) << p;

    // A transfer is filled to 4096 bytes: seven full chunks and one of 480.
    ASSERT_TRUE(h.adapter->FeedExternal(1, Pattern(5000, 9)));
    std::vector<BYTE> full = h.ReadData();
    EXPECT_EQ(full.size(), 4096u);
    chunks = SplitChunks(full, 512);
    ASSERT_EQ(chunks.size(), 8u);
    EXPECT_EQ(chunks.back().data.size(), 480u);
}

TEST(SimSerial, SixteenPortsInLoopbackUnderLoad) {
    Host h(0x7163);
    const int ports = 16;
    const size_t perPort = 24 * 1024;
    for (int p = 0; p < ports; p++) h.adapter->WireLoopback(p);

    // The host's transmit windows, reopened by the status reader.
    std::mutex lock;
    std::condition_variable reopened;
    std::vector<bool> open(ports, true);
    std::atomic<bool> stop{false}, failed{false};
    std::thread statusReader([&] {
        Counter &done = NewCounter();
        BYTE buffer[512];
        for (int k = 1;; k++) {
            USB_TRANSFER t = Funcs()->lpIssueBulkTransfer(h.status, Notify, &done, USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK,
                                                          sizeof buffer, buffer, 0);
            if (!t) return;
            while (!done.WaitFor(k) && !stop) {
            }
            Status s = StatusOf(t);
            Funcs()->lpCloseTransfer(t);
            if (s.error != USB_NO_ERROR) return;  // the pipe closed: the end
            std::lock_guard g(lock);
            for (DWORD at = 0; at + 8 <= s.bytes; at += 8)
                if (buffer[at + 3] == kRecTxReady) open[buffer[at + 1]] = true;
            reopened.notify_all();
        }
    });
    std::vector<std::thread> writers;
    for (int p = 0; p < ports; p++)
        writers.emplace_back([&, p] {
            const std::vector<BYTE> bytes = Pattern(perPort, p);
            size_t window = 0;
            for (size_t at = 0; at < perPort && !failed; at += 252) {
                const size_t n = std::min<size_t>(252, perPort - at);
                window += 4 + n;
                const bool closes = window >= 4096;
                {
                    std::unique_lock g(lock);
                    if (!reopened.wait_for(g, 5s, [&] { return bool(open[p]); })) failed = true;
                    if (closes) open[p] = false;
                }
                if (closes) window = 0;
                if (h.Send(p, std::span(bytes).subspan(at, n), closes) != USB_NO_ERROR) failed = true;
            }
        });
    std::map<int, std::vector<BYTE>> got = h.Collect(ports * perPort);
    for (auto &w : writers) w.join();
    stop = true;
    Funcs()->lpClosePipe(h.status);
    h.status = nullptr;
    statusReader.join();

    EXPECT_FALSE(failed);
    for (int p = 0; p < ports; p++) EXPECT_TRUE(got[p] == Pattern(perPort, p)) << p;
    EXPECT_TRUE(h.adapter->ProtocolViolations().empty());
    EXPECT_TRUE(h.adapter->FrameErrors().empty());
}

}  // namespace
