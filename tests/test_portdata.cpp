// Port data exports: transmit frames and the transmit window, reading the ring, waiting
// for data and status queries.
#include <gtest/gtest.h>

#include <standin/kernel.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "port_fixture.h"

using qsxtest::operator+;
using qsxtest::Outcome;

namespace {

class PortDataTest : public qsxtest::PortFixture {
protected:
    static constexpr DWORD kNotYet = 0xFFFFFFFF;
    void Open(int port) {
        Port(port).IsOpen = 1;
        Port(port).TxReady = 1;
    }
    std::vector<BYTE> Frame(size_t i) { return device_->BulkOutFrames().at(i); }
};

TEST_F(PortDataTest, OneWriteSendsOneFrameOfAtMostThePayloadLimit) {
    struct Case {
        DWORD maxPacket, result, frame;
    } cases[] = {{512, 252, 256}, {64, 60, 64}};
    std::vector<BYTE> data(1000);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<BYTE>(i * 3);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.maxPacket);
        SetUpPorts(4, c.maxPacket);
        Open(2);
        EXPECT_EQ(WriteUsb(fps_, data.data(), 1000, 2), c.result);
        ASSERT_EQ(device_->BulkOutFrames().size(), 1u);
        std::vector<BYTE> frame = Frame(0);
        ASSERT_EQ(frame.size(), c.frame);
        EXPECT_EQ(frame[0], 0);
        EXPECT_EQ(frame[1], 2);
        EXPECT_EQ(frame[2] * 256 + frame[3], static_cast<int>(c.result));
        EXPECT_TRUE(std::equal(frame.begin() + 4, frame.end(), data.begin()));
        EXPECT_EQ(Port(2).TxWindowBytes, c.frame);
        TearDown();
        fps_ = nullptr;
        hDevice_ = nullptr;
    }
}

TEST_F(PortDataTest, FrameThatFillsTheWindowClosesIt) {
    struct Case {
        DWORD maxPacket, flaggedFrame;
    } cases[] = {{512, 16}, {64, 64}};
    std::vector<BYTE> data(300, 0x55);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.maxPacket);
        SetUpPorts(4, c.maxPacket);
        Open(0);
        for (DWORD i = 1; i <= c.flaggedFrame; i++) {
            EXPECT_NE(WriteUsb(fps_, data.data(), 300, 0), 0u);
            EXPECT_EQ(Frame(i - 1)[0], i == c.flaggedFrame ? 0x80 : 0x00) << i;
        }
        EXPECT_EQ(Port(0).TxReady, 0u);
        EXPECT_EQ(Port(0).TxWindowBytes, 0u);
        EXPECT_EQ(WaitDataEvent(fps_, 0, 0), 2u);

        // The next write waits for the adapter's transmit-ready record.
        std::atomic<DWORD> sent{kNotYet};
        std::thread writer([&] { sent = WriteUsb(fps_, data.data(), 10, 0); });
        ASSERT_TRUE(qsxtest::WaitUntil([&] { return standin::WaitingThreadCount(Port(0).TxReadyEvent) == 1; }));
        EXPECT_EQ(sent.load(), kNotYet);
        ParseStatus(Record(0, 2));
        writer.join();
        EXPECT_EQ(sent.load(), 10u);
        EXPECT_EQ(device_->BulkOutFrames().size(), c.flaggedFrame + 1);
        TearDown();
        fps_ = nullptr;
        hDevice_ = nullptr;
    }
}

TEST_F(PortDataTest, FlagDependsOnTheBytesAlreadyInTheWindow) {
    SetUpPorts(4);
    Open(1);
    BYTE three[3] = {1, 2, 3};
    Port(1).TxWindowBytes = 4088;
    EXPECT_EQ(WriteUsb(fps_, three, 3, 1), 3u);
    EXPECT_EQ(Frame(0)[0], 0x00);
    EXPECT_EQ(Port(1).TxReady, 1u);
    EXPECT_EQ(Port(1).TxWindowBytes, 4095u);
    Port(1).TxWindowBytes = 4089;
    EXPECT_EQ(WriteUsb(fps_, three, 3, 1), 3u);
    EXPECT_EQ(Frame(1)[0], 0x80);
    EXPECT_EQ(Port(1).TxReady, 0u);
}

TEST_F(PortDataTest, WriteIsRefusedOnClosedOrUnknownPortsAndOnTransferFailure) {
    SetUpPorts(4);
    BYTE data[300] = {};
    EXPECT_EQ(WriteUsb(fps_, data, 10, 0), 0u);
    EXPECT_EQ(standin::ConsoleMessages(), std::vector<std::string>{"Devie has been close!! \n"});
    Open(0);
    EXPECT_EQ(WriteUsb(fps_, data, 10, 4), 0u);
    EXPECT_EQ(WriteUsb(fps_, nullptr, 10, 0), 0u);
    EXPECT_EQ(WriteUsb(fps_, data, 0, 0), 0u);
    EXPECT_TRUE(device_->BulkOutFrames().empty());

    device_->SetBulkOutOutcome(Outcome::kStall);
    standin::ClearConsole();
    EXPECT_EQ(WriteUsb(fps_, data, 252, 0), 0u);
    EXPECT_EQ(WriteUsb(fps_, data, 253, 0), 0u);
    EXPECT_EQ(standin::ConsoleMessages(), (std::vector<std::string>{"Bulk Error 1\n", "Bulk Error 2\n"}));
    EXPECT_EQ(Port(0).TxWindowBytes, 0u);
    // Both locks were released: the next write goes through.
    device_->SetBulkOutOutcome(Outcome::kComplete);
    EXPECT_EQ(WriteUsb(fps_, data, 5, 0), 5u);
}

// The adapter takes the frame at once, but its completion routine runs only after the
// write's time limit, because the host stack's completion thread is busy with another
// transfer's routine. The frame was delivered: it must count as sent, or the caller would
// send the same bytes again.
TEST_F(PortDataTest, FrameDeliveredButNotifiedLateCountsAsSent) {
    SetUpPorts(4);
    Open(0);
    qsxtest::ScopedTimeScale fast(0.005);  // the 2000 ms limit passes in 10 ms
    struct Blocker {
        std::mutex lock;
        std::condition_variable cv;
        bool running = false, release = false;
    } blocker;
    auto blockingNotify = [](LPVOID p) -> DWORD {
        auto *b = static_cast<Blocker *>(p);
        std::unique_lock g(b->lock);
        b->running = true;
        b->cv.notify_all();
        b->cv.wait(g, [&] { return b->release; });
        return 0;
    };
    USB_DEVICE_REQUEST request{0x40, 0x10, 0, 0, 0};
    USB_TRANSFER busy = fps_->UsbFuncs->lpIssueVendorTransfer(fps_->hDevice, blockingNotify, &blocker, 0,
                                                              &request, nullptr, 0);
    ASSERT_NE(busy, nullptr);
    {
        std::unique_lock g(blocker.lock);
        ASSERT_TRUE(blocker.cv.wait_for(g, std::chrono::seconds(10), [&] { return blocker.running; }));
    }
    BYTE data[100];
    for (int i = 0; i < 100; i++) data[i] = static_cast<BYTE>(i);
    standin::ClearConsole();
    const DWORD sent = WriteUsb(fps_, data, sizeof data, 0);
    {
        std::lock_guard g(blocker.lock);
        blocker.release = true;
    }
    blocker.cv.notify_all();
    EXPECT_EQ(sent, 100u);
    EXPECT_TRUE(standin::ConsoleMessages().empty());
    ASSERT_EQ(device_->BulkOutFrames().size(), 1u);
    EXPECT_EQ(Port(0).TxWindowBytes, 104u);
    EXPECT_TRUE(fps_->UsbFuncs->lpCloseTransfer(busy));
}

TEST_F(PortDataTest, WriterWaitingForTheWindowEndsWhenThePortCloses) {
    SetUpPorts(4);
    Open(3);
    Port(3).TxReady = 0;
    BYTE data[4] = {};
    std::atomic<DWORD> sent{kNotYet};
    std::thread writer([&] { sent = WriteUsb(fps_, data, 4, 3); });
    ComClose(fps_, 3);
    writer.join();
    EXPECT_EQ(sent.load(), 0u);
    EXPECT_TRUE(device_->BulkOutFrames().empty());
}

TEST_F(PortDataTest, ReadTakesRingBytesInOrderAcrossItsEnd) {
    SetUpPorts(4);
    FpsPort &p = Port(0);
    for (DWORD i = 0; i < 30; i++) p.RxRing[(RX_RING_SIZE - 10 + i) & RX_RING_MASK] = static_cast<BYTE>(i);
    p.RxTail = RX_RING_SIZE - 10;
    p.RxHead = 20;
    BYTE out[100] = {};
    EXPECT_EQ(USBPortSatus(fps_, 3, 0), 30u);
    EXPECT_EQ(ReadUsb(fps_, out, 100, 0), 30u);
    for (int i = 0; i < 30; i++) EXPECT_EQ(out[i], i);
    EXPECT_EQ(p.RxTail, 20u);
    EXPECT_TRUE(TakeRxEvent(0));
    // An empty ring gives nothing and leaves the event alone.
    EXPECT_EQ(ReadUsb(fps_, out, 100, 0), 0u);
    EXPECT_FALSE(TakeRxEvent(0));
    // A short read leaves the rest for later.
    p.RxHead = 25;
    EXPECT_EQ(ReadUsb(fps_, out, 2, 0), 2u);
    EXPECT_EQ(USBPortSatus(fps_, 3, 0), 3u);
    EXPECT_EQ(ReadUsb(nullptr, out, 2, 0), 0u);
    EXPECT_EQ(ReadUsb(fps_, out, 2, 9), 0u);
}

TEST_F(PortDataTest, StatusSelectorsReadAndClearTheRightWords) {
    SetUpPorts(4);
    FpsPort &p = Port(1);
    p.HoldFlags = 0x21;
    p.Errors = CE_FRAME | CE_RXOVER;
    p.LastMsr = 0xF0;
    EXPECT_EQ(USBPortSatus(fps_, 1, 1), 0x21u);
    EXPECT_EQ(USBPortSatus(fps_, 1, 1), 0u);
    EXPECT_EQ(USBPortSatus(fps_, 2, 1), static_cast<DWORD>(CE_FRAME | CE_RXOVER));
    EXPECT_EQ(USBPortSatus(fps_, 2, 1), 0u);
    EXPECT_EQ(USBPortSatus(fps_, 4, 1), 0xB0u);  // the ring indicator is not reported
    EXPECT_EQ(USBPortSatus(fps_, 4, 1), 0xB0u);
    EXPECT_EQ(USBPortSatus(fps_, 5, 1), 0u);
    EXPECT_EQ(USBPortSatus(fps_, 0, 1), 0u);
}

TEST_F(PortDataTest, WaitForDataReportsTheTransmitWindow) {
    SetUpPorts(4);
    Port(0).TxReady = 1;
    EXPECT_EQ(WaitDataEvent(fps_, 0, 0), 3u);
    Port(0).TxReady = 0;
    EXPECT_EQ(WaitDataEvent(fps_, 0, 0), 2u);
    // Data arriving ends a long wait.
    std::thread producer([&] { Parse(Chunk(0, {1, 2, 3})); });
    EXPECT_EQ(WaitDataEvent(fps_, 0, INFINITE), 2u);
    producer.join();
    EXPECT_EQ(USBPortSatus(fps_, 3, 0), 3u);
}

}  // namespace
