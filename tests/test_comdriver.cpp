// The stand-in COM driver end to end: an application opens a port of a simulated adapter
// through the device manager, and its settings, bytes, control lines, purges, events and
// interface requests travel through the COM driver and the real QSXPDD to the adapter and
// back; removal and closing end every blocked call.
#include <gtest/gtest.h>

#include <windows.h>

#include <devmgr.h>
#include <pegdser.h>
#include <standin/devmgr.h>
#include <standin/kernel.h>

#include <atomic>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "attach_fixture.h"
#include "comdriver.h"
#include "driver_fixture.h"

using namespace std::chrono_literals;
using qsxtest::kUntouched;
using qsxtest::WaitUntil;

namespace {

constexpr DWORD kEndless = 0xFFFFFFFF;
// A read time-out that only a lost byte reaches (virtual milliseconds: 10 s of real time
// at the fixture's time scale).
constexpr DWORD kLongRead = 1000000;

class ComDriver : public qsxtest::AttachFixture {
protected:
    void TearDown() override {
        if (device_) qsxtest::UnplugAndWait(device_);
        AttachFixture::TearDown();
        EXPECT_EQ(standin::StreamDeviceCount(), 0u);
    }

    // Plugs an adapter of this model, its port 0 wired as a loopback.
    void PlugLoopback(WORD productId = 0x7045, bool highSpeed = true) {
        device_ = Plug(productId, highSpeed);
        ASSERT_TRUE(standin::UsbHasClient(device_));
        ASSERT_TRUE(adapter_->WireLoopback(0));
    }
    void Unplug() {
        ASSERT_TRUE(qsxtest::UnplugAndWait(device_));
        device_ = nullptr;
    }

    static HANDLE OpenPort(const std::u16string &name = u"$device\\COM11", DWORD share = 0) {
        return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }
    static bool SetTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t = {interval, multiplier, constant, 0, 0};
        return SetCommTimeouts(h, &t);
    }
    static DWORD InQueue(HANDLE h) {
        COMSTAT stat = {};
        DWORD errors;
        return ClearCommError(h, &errors, &stat) ? stat.cbInQue : kUntouched;
    }
    std::vector<qsxsim::VendorRecord> Requests(BYTE code) {
        std::vector<qsxsim::VendorRecord> out;
        for (auto &r : adapter_->VendorLog())
            if (r.setup.bRequest == code) out.push_back(r);
        return out;
    }

    USB_HANDLE device_ = nullptr;
};

TEST_F(ComDriver, SettingsAndBytesTravelThroughALoopbackPort) {
    PlugLoopback();
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    DCB dcb = {};
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    adapter_->ClearVendorLog();
    ASSERT_TRUE(SetCommState(h, &dcb));
    auto line = Requests(qsxsim::kReqLineSettings);
    ASSERT_EQ(line.size(), 1u);
    EXPECT_EQ(line[0].data, (std::vector<BYTE>{0x00, 0x01, 0xC2, 0x00, 8, 0, 0, 0}));
    EXPECT_EQ(adapter_->Port(0).line, (qsxsim::LineSettings{115200, 8, 0, 0}));
    DCB back = {};
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, 115200u);
    // A DCB the adapter cannot take is refused before anything goes out.
    dcb.ByteSize = 9;
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Requests(qsxsim::kReqLineSettings).size(), 1u);

    // More than one transmit window's worth, read back by another thread meanwhile.
    std::vector<BYTE> sent(9000);
    std::iota(sent.begin(), sent.end(), 0);
    ASSERT_TRUE(SetTimeouts(h, 0, 0, kLongRead));  // a read waits for all it asked for
    std::vector<BYTE> received(sent.size());
    DWORD got = 0;
    BOOL readOk = FALSE;
    std::thread reader([&] { readOk = ReadFile(h, received.data(), (DWORD)received.size(), &got, nullptr); });
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, sent.data(), (DWORD)sent.size(), &written, nullptr));
    reader.join();
    EXPECT_EQ(written, sent.size());
    EXPECT_TRUE(readOk);
    EXPECT_EQ(got, sent.size());
    EXPECT_EQ(received, sent);
    EXPECT_TRUE(adapter_->FrameErrors().empty());
    EXPECT_TRUE(CloseHandle(h));
    Unplug();
}

// The DCB's flow control reaches the adapter with every SetCommState, and acts there: a
// port set for RTS/CTS sends nothing while its CTS is down, and everything once it rises.
TEST_F(ComDriver, FlowControlOfTheDcbHoldsTheAdaptersTransmitter) {
    PlugLoopback();
    ASSERT_TRUE(adapter_->WireExternal(0));
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct Case {
        const char *name;
        void (*set)(DCB &);
        WORD bits;
        std::vector<BYTE> chars;
    } cases[] = {
        {"none", [](DCB &) {}, 0, {0x11, 0x13}},
        {"RTS/CTS",
         [](DCB &d) {
             d.fOutxCtsFlow = 1;
             d.fRtsControl = RTS_CONTROL_HANDSHAKE;
         },
         qsxsim::kFlowCtsOut | qsxsim::kFlowRtsHandshake, {0x11, 0x13}},
        {"DSR", [](DCB &d) { d.fOutxDsrFlow = 1; }, qsxsim::kFlowDsrOut, {0x11, 0x13}},
        {"XON/XOFF both ways, own characters",
         [](DCB &d) {
             d.fOutX = d.fInX = 1;
             d.XonChar = '+';
             d.XoffChar = '-';
         },
         qsxsim::kFlowXonXoffOut | qsxsim::kFlowXonXoffIn, {'+', '-'}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DCB dcb = {};
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = 0;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        c.set(dcb);
        adapter_->ClearVendorLog();
        ASSERT_TRUE(SetCommState(h, &dcb));
        auto flow = Requests(qsxsim::kReqFlowControl);
        ASSERT_EQ(flow.size(), 1u);
        EXPECT_EQ(flow[0].setup.wValue, c.bits);
        EXPECT_EQ(flow[0].data, c.chars);
        EXPECT_EQ(adapter_->Port(0).flow, c.bits);
    }

    DCB dcb = {};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.fOutxCtsFlow = 1;
    dcb.fOutX = dcb.fInX = 0;
    dcb.BaudRate = 921600;
    ASSERT_TRUE(SetCommState(h, &dcb));
    adapter_->SetExternalModem(0, 0);
    DWORD wrote = 0;
    ASSERT_TRUE(WriteFile(h, "held back", 9, &wrote, nullptr));
    EXPECT_FALSE(adapter_->WaitExternal(0, 1, 200ms));
    adapter_->SetExternalModem(0, qsxsim::kMsrCts);
    ASSERT_TRUE(adapter_->WaitExternal(0, 9, 5s));
    const std::vector<BYTE> out = adapter_->DrainExternal(0);
    EXPECT_EQ(std::string(out.begin(), out.end()), "held back");
    CloseHandle(h);
}

// Lines driven before the port opens are seen after it opens, the second time too: the
// open forgets what the port knew, and the adapter tells the lines again.
TEST_F(ComDriver, APortOpenedFindsItsLinesAsTheyAre) {
    PlugLoopback();
    ASSERT_TRUE(adapter_->WireExternal(0));
    adapter_->SetExternalModem(0, qsxsim::kMsrCts | qsxsim::kMsrDsr);
    for (int open = 1; open <= 2; open++) {
        SCOPED_TRACE(open);
        HANDLE h = OpenPort();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(WaitUntil([&] {
            DWORD bits = 0;
            return GetCommModemStatus(h, &bits) && bits == (MS_CTS_ON | MS_DSR_ON);
        }));
        CloseHandle(h);
    }
}

TEST_F(ComDriver, ReadTimeoutsDecideWhenAReadReturns) {
    PlugLoopback();
    // The table's time-outs are tens of milliseconds: at real time, so that a read that must
    // wait is never preempted past its whole time-out before it reaches the wait.
    standin::SetTimeScale(1.0);
    HANDLE h = OpenPort(u"COM11:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct Case {
        const char *what;
        COMMTIMEOUTS timeouts;
        DWORD waiting;   // bytes received before the read
        DWORD got;       // what the read returns (it asks for 10)
        DWORD minTicks;  // virtual milliseconds it takes at least
        bool waits;      // whether it waits at all
    } cases[] = {
        {"endless interval, no totals: at once", {kEndless, 0, 0, 0, 0}, 3, 3, 0, false},
        {"total constant, nothing there", {0, 0, 50, 0, 0}, 0, 0, 50, true},
        {"total constant, some there", {0, 0, 50, 0, 0}, 4, 4, 50, true},
        {"multiplier and constant", {0, 2, 10, 0, 0}, 0, 0, 30, true},
        {"interval after the last byte", {20, 0, 0, 0, 0}, 3, 3, 20, true},
        {"first byte ends it", {kEndless, kEndless, 40, 0, 0}, 2, 2, 0, false},
        {"first byte, none comes", {kEndless, kEndless, 40, 0, 0}, 0, 0, 40, true},
        {"all there", {0, 0, 0, 0, 0}, 10, 10, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(SetCommTimeouts(h, const_cast<COMMTIMEOUTS *>(&c.timeouts)));
        COMMTIMEOUTS back = {};
        ASSERT_TRUE(GetCommTimeouts(h, &back));
        EXPECT_EQ(back.ReadTotalTimeoutConstant, c.timeouts.ReadTotalTimeoutConstant);
        if (c.waiting) {
            std::vector<BYTE> bytes(c.waiting, 0x5A);
            DWORD n;
            ASSERT_TRUE(WriteFile(h, bytes.data(), c.waiting, &n, nullptr));
            ASSERT_TRUE(WaitUntil([&] { return InQueue(h) == c.waiting; }));
        }
        standin::ClearTimedCalls();
        BYTE buffer[10];
        DWORD n = kUntouched;
        const DWORD start = GetTickCount();
        ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
        EXPECT_EQ(n, c.got);
        EXPECT_GE(GetTickCount() - start, c.minTicks);
        bool waited = false;
        for (const auto &t : standin::TimedCalls())
            waited |= t.kind == standin::TimedCall::kWait && t.threadId == GetCurrentThreadId();
        EXPECT_EQ(waited, c.waits);
        EXPECT_EQ(InQueue(h), 0u);
    }
    EXPECT_TRUE(CloseHandle(h));
    standin::SetTimeScale(qsxtest::kAttachTimeScale);
    Unplug();
}

TEST_F(ComDriver, PortOpensOnceAtATime) {
    PlugLoopback();
    HANDLE h = OpenPort(u"$device\\COM11");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPort(u"COM11:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    // Even when the first open shares, the port itself takes one open only.
    EXPECT_TRUE(CloseHandle(h));
    h = OpenPort(u"COM11:", FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPort(u"COM11:", FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    // Other ports are other devices.
    HANDLE other = OpenPort(u"$device\\COM12");
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(other));
    EXPECT_TRUE(CloseHandle(h));
    // A reopened port works: the bytes still come back.
    h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetTimeouts(h, 0, 0, kLongRead));
    DWORD n;
    BYTE byte = 0;
    ASSERT_TRUE(WriteFile(h, "Z", 1, &n, nullptr));
    ASSERT_TRUE(ReadFile(h, &byte, 1, &n, nullptr));
    EXPECT_EQ(byte, 'Z');
    EXPECT_TRUE(CloseHandle(h));
    Unplug();
}

TEST_F(ComDriver, SetInterfaceReachesTheAdapterUnlessTheModelCannot) {
    struct Case {
        WORD productId;
        std::vector<BYTE> input;
        bool ok;
        BYTE mode;  // the adapter's mode afterwards
    } cases[] = {
        {0x7045, {2, 0, 0, 0}, true, 2}, {0x7045, {3, 0, 0, 0}, true, 3},
        {0x7045, {4, 0, 0, 0}, false, 0}, {0x7045, {2, 0, 0, 1}, false, 0},
        {0x7045, {2, 0, 0}, false, 0},   {0x7040, {1, 0, 0, 0}, false, 0},
        {0x7040, {0, 0, 0, 0}, true, 0}, {0x7163, {3, 0, 0, 0}, false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.productId << " " << testing::PrintToString(c.input));
        PlugLoopback(c.productId);
        // Port 1: the mode starts at what attach sent (RS-232).
        HANDLE h = OpenPort(u"$device/COM12");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        adapter_->ClearVendorLog();
        DWORD n = kUntouched;
        SetLastError(kUntouched);
        const BOOL ok = DeviceIoControl(h, IOCTL_SET_INTERFACE, const_cast<BYTE *>(c.input.data()),
                                        (DWORD)c.input.size(), nullptr, 0, &n, nullptr);
        EXPECT_EQ(ok != FALSE, c.ok);
        EXPECT_EQ(n, 0u);
        auto sent = Requests(qsxsim::kReqInterfaceMode);
        if (c.ok) {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].setup.wValue, c.mode);
            EXPECT_EQ(sent[0].setup.wIndex, 1);
        } else {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
            EXPECT_TRUE(sent.empty());
        }
        EXPECT_EQ(adapter_->InterfaceMode(1), c.mode);
        EXPECT_TRUE(CloseHandle(h));
        Unplug();
    }
}

// Device control reaches the COM driver with the caller's count pointer and sizes as
// given: a null count is not written, and a null buffer with a size is refused.
TEST_F(ComDriver, DeviceControlCopesWithANullCountAndNullBuffers) {
    PlugLoopback();
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb{};
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_GET_DCB, nullptr, 0, &dcb, sizeof dcb, nullptr, nullptr));
    EXPECT_EQ(dcb.DCBlength, sizeof dcb);
    DWORD mask = EV_RXCHAR;
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0, nullptr, nullptr));
    DWORD n = kUntouched;
    for (DWORD code : {IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_GET_DCB}) {
        SetLastError(kUntouched);
        EXPECT_FALSE(DeviceIoControl(h, code, nullptr, 0, nullptr, 64, &n, nullptr)) << code;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << code;
        EXPECT_EQ(n, 0u) << code;
    }
    SetLastError(kUntouched);
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_SET_WAIT_MASK, nullptr, sizeof mask, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CloseHandle(h));
    Unplug();
}

TEST_F(ComDriver, ControlLinesPurgesAndStatusGoThroughTheAdapter) {
    PlugLoopback();
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    // On a loopback RTS drives CTS, DTR drives DSR and DCD.
    auto modem = [&] {
        DWORD bits = kUntouched;
        return GetCommModemStatus(h, &bits) ? bits : kUntouched;
    };
    ASSERT_TRUE(EscapeCommFunction(h, SETRTS));
    EXPECT_TRUE(adapter_->Port(0).rts);
    EXPECT_TRUE(WaitUntil([&] { return modem() == MS_CTS_ON; }));
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    EXPECT_TRUE(adapter_->Port(0).dtr);
    EXPECT_TRUE(WaitUntil([&] { return modem() == (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON); }));
    ASSERT_TRUE(EscapeCommFunction(h, CLRRTS));
    ASSERT_TRUE(EscapeCommFunction(h, CLRDTR));
    EXPECT_FALSE(adapter_->Port(0).rts);
    EXPECT_FALSE(adapter_->Port(0).dtr);
    EXPECT_TRUE(WaitUntil([&] { return modem() == 0; }));
    ASSERT_TRUE(SetCommBreak(h));
    EXPECT_TRUE(adapter_->Port(0).breakOn);
    ASSERT_TRUE(ClearCommBreak(h));
    EXPECT_FALSE(adapter_->Port(0).breakOn);
    // The loopback receives the break; it is reported (and cleared) before the checks of
    // line errors below, whenever its record comes.
    DWORD breakSeen = 0;
    EXPECT_TRUE(WaitUntil([&] {
        DWORD e = 0;
        COMSTAT st;
        if (ClearCommError(h, &e, &st)) breakSeen |= e;
        return (breakSeen & CE_BREAK) != 0;
    }));
    // No vendor request stands for XON/XOFF.
    EXPECT_FALSE(EscapeCommFunction(h, SETXOFF));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);

    // A receive purge empties the driver's ring too; each flag goes out on its own.
    ASSERT_TRUE(SetTimeouts(h, kEndless, 0, 0));
    DWORD n;
    ASSERT_TRUE(WriteFile(h, "stale", 5, &n, nullptr));
    ASSERT_TRUE(WaitUntil([&] { return InQueue(h) == 5; }));
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT));
    EXPECT_EQ(adapter_->Port(0).purges, (std::vector<WORD>{PURGE_RXABORT, PURGE_TXCLEAR, PURGE_RXCLEAR}));
    EXPECT_EQ(InQueue(h), 0u);
    BYTE buffer[8];
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(PurgeComm(h, 0x10));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // Line errors show once in ClearCommError.
    ASSERT_TRUE(adapter_->InjectLineStatus(0, 0x08, false));  // framing error
    DWORD errors = 0;
    COMSTAT stat;
    EXPECT_TRUE(WaitUntil([&] {
        DWORD e = 0;
        if (ClearCommError(h, &e, &stat)) errors |= e;
        return errors != 0;
    }));
    EXPECT_EQ(errors, (DWORD)CE_FRAME);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_TRUE(CloseHandle(h));
    Unplug();
}

TEST_F(ComDriver, CommEventsReportReceivedBytes) {
    PlugLoopback();
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD mask = kUntouched;
    // Nothing to wait for without a mask.
    EXPECT_FALSE(WaitCommEvent(h, &mask, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(mask, (DWORD)EV_RXCHAR);

    DWORD events = kUntouched;
    BOOL waited = FALSE;
    std::thread waiter([&] { waited = WaitCommEvent(h, &events, nullptr); });
    ASSERT_TRUE(WaitUntil([] { return standin::StreamDeviceCallsInProgress(u"COM11") == 1; }));
    DWORD n;
    ASSERT_TRUE(WriteFile(h, "!", 1, &n, nullptr));
    waiter.join();
    EXPECT_TRUE(waited);
    EXPECT_EQ(events, (DWORD)EV_RXCHAR);

    // A new mask ends a wait with no events. A mask set before the waiter reached the
    // driver's wait would be missed by it, so the mask is set until the waiter is back.
    events = kUntouched;
    std::atomic<bool> back{false};
    waiter = std::thread([&] {
        waited = WaitCommEvent(h, &events, nullptr);
        back = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return SetCommMask(h, EV_CTS) && back; }));
    waiter.join();
    EXPECT_TRUE(waited);
    EXPECT_EQ(events, 0u);
    EXPECT_TRUE(CloseHandle(h));
    Unplug();
}

// A reader and an event waiter block on port 0 of a fresh adapter; then either the
// adapter is removed or the application closes the handle. Both calls must return, and
// what follows must finish without hanging or touching freed driver records.
TEST_F(ComDriver, RemovalOrCloseEndsBlockedCalls) {
    for (bool unplugFirst : {true, false}) {
        SCOPED_TRACE(unplugFirst ? "unplugged" : "closed");
        PlugLoopback();
        HANDLE h = OpenPort();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetTimeouts(h, 0, 0, 0));  // reads wait until they are served
        ASSERT_TRUE(SetCommMask(h, EV_CTS));

        BOOL readOk = TRUE, waitOk = TRUE;
        DWORD readError = 0, waitError = 0, events = kUntouched;
        std::thread reader([&] {
            BYTE buffer[16];
            DWORD n;
            readOk = ReadFile(h, buffer, sizeof buffer, &n, nullptr);
            readError = GetLastError();
        });
        std::thread waiter([&] {
            waitOk = WaitCommEvent(h, &events, nullptr);
            waitError = GetLastError();
        });
        ASSERT_TRUE(WaitUntil([] { return standin::StreamDeviceCallsInProgress(u"COM11") == 2; }));

        const DWORD expected = unplugFirst ? ERROR_DEVICE_NOT_CONNECTED : ERROR_OPERATION_ABORTED;
        if (unplugFirst) {
            Unplug();
        } else {
            EXPECT_TRUE(CloseHandle(h));
        }
        reader.join();
        waiter.join();
        EXPECT_FALSE(readOk);
        EXPECT_EQ(readError, expected);
        EXPECT_FALSE(waitOk);
        EXPECT_EQ(waitError, expected);
        EXPECT_EQ(events, kUntouched);

        if (unplugFirst) {
            // The handle outlives the port: calls fail, closing still works.
            DWORD n;
            EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
            EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
            EXPECT_TRUE(PortEntries().empty());
            EXPECT_TRUE(CloseHandle(h));
        } else {
            Unplug();
        }
        EXPECT_EQ(standin::StreamDeviceCount(), 0u);
    }
}

}  // namespace
