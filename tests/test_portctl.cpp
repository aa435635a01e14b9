// Port control and event exports: opening with the registry's settings, closing, and the
// communication-event wait with its interplay of mask, events and close.
#include <gtest/gtest.h>

#include <kfuncs.h>
#include <standin/kernel.h>
#include <standin/registry.h>

#include <atomic>
#include <thread>

#include "port_fixture.h"

using qsxtest::operator+;

namespace {

const char16_t kKey[] = u"Drivers\\Active\\11";

class PortCtlTest : public qsxtest::PortFixture {
protected:
    static constexpr DWORD kNotYet = 0xFFFFFFFF;
    void SetUp() override {
        PortFixture::SetUp();
        standin::ClearRegistry();
        SetUpPorts(4);
    }
    static void Store(LPCWSTR name, DWORD value) {
        HKEY key;
        DWORD disposition;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, 0, nullptr, &key, &disposition);
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<BYTE *>(&value), sizeof value);
        RegCloseKey(key);
    }
    // (value of request 15, value of request 16) sent by the last open.
    std::pair<int, int> OpenRequests() {
        auto requests = device_->Requests();
        EXPECT_GE(requests.size(), 2u);
        if (requests.size() < 2) return {-1, -1};
        const auto &fifo = requests[requests.size() - 2].setup, &mode = requests.back().setup;
        EXPECT_EQ(fifo.bRequest, 15);
        EXPECT_EQ(mode.bRequest, 16);
        return {fifo.wValue, mode.wValue};
    }
    // Waits on another thread; returns its result once it ended.
    struct Waiter {
        std::atomic<DWORD> result{kNotYet};
        DWORD events = kNotYet;
        std::thread thread;
    };
    void StartWait(Waiter &w, int port) {
        w.thread = std::thread([this, &w, port] { w.result = WaitComPortEvent(fps_, port, &w.events); });
        ASSERT_TRUE(qsxtest::WaitUntil([&] { return standin::WaitingThreadCount(Port(port).CommEvent) == 1; }));
    }
};

TEST_F(PortCtlTest, OpenAppliesTheRegistrySettingsToTheAdapter) {
    struct Case {
        WORD pid;
        DWORD interfaceValue, fifoValue;
        bool fifoPresent;
        int fifoRequest, mode;
    } cases[] = {
        {0x7045, 2, 1, true, 0, 2},       {0x7040, 2, 1, true, 0, 0},  // RS-232 only
        {0x7045, 7, 0, true, 1, 0},       {0x7045, 0x10002, 0x10000, true, 1, 2},
        {0x7045, 3, 0, false, 1, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pid << " " << c.interfaceValue);
        standin::ClearRegistry();
        standin::ClearConsole();
        Store(u"Interface", c.interfaceValue);
        if (c.fifoPresent) Store(u"FIFO", c.fifoValue);
        fps_->ProductId = c.pid;
        EXPECT_EQ(ComOpen(fps_, 1, kKey), 1u);
        EXPECT_EQ(OpenRequests(), std::make_pair(c.fifoRequest, c.mode));
        EXPECT_EQ(Port(1).InterfaceMode, c.mode);
        EXPECT_EQ(Port(1).FifoEnabled, c.fifoRequest == 0 ? 1 : 0);
        EXPECT_EQ(standin::ConsoleMessages().size(), c.fifoPresent ? 0u : 1u);
        if (!c.fifoPresent) {
            EXPECT_EQ(standin::ConsoleMessages()[0], "Get KeyValues failed!\n");
        }
        ComClose(fps_, 1);
    }
}

TEST_F(PortCtlTest, OpenResetsThePortAndCloseWakesEveryone) {
    Parse(Chunk(2, {1, 2, 3}));
    FpsPort &p = Port(2);
    p.Errors = CE_FRAME;
    p.EventMask = EV_RXCHAR;
    p.TxReady = 0;
    p.TxWindowBytes = 100;
    EXPECT_EQ(ComOpen(fps_, 2, kKey), 1u);  // no key: both values count as 0
    EXPECT_EQ(OpenRequests(), std::make_pair(1, 0));
    EXPECT_EQ(USBPortSatus(fps_, 3, 2), 0u);
    EXPECT_EQ(p.Errors, 0u);
    EXPECT_EQ(p.EventMask, 0u);
    EXPECT_EQ(p.TxReady, 1u);
    EXPECT_EQ(p.TxWindowBytes, 0u);
    EXPECT_EQ(p.IsOpen, 1u);
    ASSERT_NE(p.CloseEvent, nullptr);
    // Opening again replaces the close event without leaking the old one.
    size_t handles = standin::OpenHandleCount();
    ComOpen(fps_, 2, kKey);
    EXPECT_EQ(standin::OpenHandleCount(), handles);

    ComClose(fps_, 2);
    EXPECT_EQ(p.IsOpen, 0u);
    EXPECT_EQ(p.TxReady, 0u);
    EXPECT_EQ(p.CloseEvent, nullptr);
    EXPECT_EQ(standin::OpenHandleCount(), handles - 1);
    EXPECT_EQ(WaitForSingleObject(p.TxReadyEvent, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(TakeRxEvent(2));
    EXPECT_TRUE(CommEventSet(2));
}

TEST_F(PortCtlTest, WaitWithoutOpenPortOrMaskReturnsAtOnce) {
    DWORD events = kNotYet;
    Port(0).EventMask = EV_RXCHAR;
    EXPECT_EQ(WaitComPortEvent(fps_, 0, &events), 0u);  // not open
    EXPECT_EQ(Port(0).EventMask, 0u);
    ComOpen(fps_, 0, kKey);
    EXPECT_EQ(WaitComPortEvent(fps_, 0, &events), 0u);  // empty mask
    EXPECT_EQ(events, kNotYet);
    EXPECT_EQ(WaitComPortEvent(fps_, 7, &events), 0u);  // no such port
}

TEST_F(PortCtlTest, EventsBeforeAndDuringAWaitAreReported) {
    ComOpen(fps_, 0, kKey);
    EXPECT_EQ(Set_MaskEvent(fps_, 0, EV_RXCHAR | EV_CTS, TRUE), 0u);
    EXPECT_EQ(Set_MaskEvent(fps_, 0, 0, FALSE), static_cast<DWORD>(EV_RXCHAR | EV_CTS));
    Parse(Chunk(0, {1}) + Chunk(0, {2}));
    DWORD events = 0;
    EXPECT_EQ(WaitComPortEvent(fps_, 0, &events), 1u);
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));

    // The next wait blocks until something new happens, then reports it together with
    // what is still pending.
    Waiter w;
    StartWait(w, 0);
    EXPECT_EQ(w.result.load(), kNotYet);
    ParseStatus(Record(0, 3, 0, 0, 0x10));  // CTS came up
    w.thread.join();
    EXPECT_EQ(w.result.load(), 1u);
    EXPECT_EQ(w.events, static_cast<DWORD>(EV_RXCHAR | EV_CTS));
}

TEST_F(PortCtlTest, NewMaskEndsAPendingWaitAndLeavesTheMaskEmpty) {
    ComOpen(fps_, 1, kKey);
    Set_MaskEvent(fps_, 1, EV_RXCHAR, TRUE);
    Waiter w;
    StartWait(w, 1);
    // Reading the mask does not disturb the wait.
    EXPECT_EQ(Set_MaskEvent(fps_, 1, 0, FALSE), static_cast<DWORD>(EV_RXCHAR));
    EXPECT_EQ(w.result.load(), kNotYet);
    Set_MaskEvent(fps_, 1, EV_RXCHAR, TRUE);
    w.thread.join();
    EXPECT_EQ(w.result.load(), 1u);
    EXPECT_EQ(w.events, kNotYet);  // the events word is not written
    EXPECT_EQ(Port(1).EventMask, 0u);
    DWORD events = kNotYet;
    EXPECT_EQ(WaitComPortEvent(fps_, 1, &events), 0u);
}

TEST_F(PortCtlTest, CloseEndsAPendingWait) {
    ComOpen(fps_, 3, kKey);
    Set_MaskEvent(fps_, 3, EV_BREAK, TRUE);
    Waiter w;
    StartWait(w, 3);
    ComClose(fps_, 3);
    w.thread.join();
    EXPECT_EQ(w.result.load(), 0u);
    EXPECT_EQ(Port(3).EventMask, 0u);
}

// The close lands in the gap between the waiter's first look at IsOpen and its reset of
// CommEvent, so the reset takes the close's wake-up away; the wait must still end.
TEST_F(PortCtlTest, CloseJustBeforeTheWaitersResetStillEndsTheWait) {
    ComOpen(fps_, 2, kKey);
    Set_MaskEvent(fps_, 2, EV_BREAK, TRUE);
    struct Gap {
        UsbFps *fps;
        HANDLE commEvent;
        std::atomic<bool> done{false};
    } gap{fps_, Port(2).CommEvent};
    standin::SetEventModifyHook(
        [](HANDLE event, DWORD func, void *context) {
            auto *g = static_cast<Gap *>(context);
            if (func == EVENT_RESET && event == g->commEvent && !g->done.exchange(true)) ComClose(g->fps, 2);
        },
        &gap);
    Waiter w;
    w.thread = std::thread([this, &w] { w.result = WaitComPortEvent(fps_, 2, &w.events); });
    const bool ended = qsxtest::WaitUntil([&] { return w.result.load() != kNotYet; });
    if (!ended) SetEvent(Port(2).CommEvent);  // let the thread go so the test can report
    w.thread.join();
    standin::SetEventModifyHook(nullptr, nullptr);
    EXPECT_TRUE(gap.done);
    EXPECT_TRUE(ended);
    EXPECT_EQ(w.result.load(), 0u);
    EXPECT_EQ(Port(2).EventMask, 0u);
}

TEST_F(PortCtlTest, SettingsCopyTheWholeRecord) {
    DCB dcb;
    memset(&dcb, 0xA5, sizeof dcb);
    SetDBC(fps_, &dcb, 2);
    EXPECT_EQ(memcmp(&Port(2).Dcb, &dcb, sizeof dcb), 0);
    SetEventCHAR(fps_, 'Z', 2);
    EXPECT_EQ(Port(2).EventChar, 'Z');
    SetDBC(fps_, &dcb, 6);  // no such port: nothing happens
    SetEventCHAR(fps_, 'Z', 6);
}

}  // namespace
