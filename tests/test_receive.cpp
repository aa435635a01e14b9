// The receive demultiplexer: how one data transfer is split into the ports' rings, and the
// events, bits and messages that come with it.
#include <gtest/gtest.h>

#include <kfuncs.h>
#include <standin/kernel.h>

#include "port_fixture.h"

using qsxtest::operator+;

namespace {

class ReceiveTest : public qsxtest::PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        SetUpPorts(4);
    }
    static std::vector<BYTE> Bytes(size_t n, BYTE first = 1) {
        std::vector<BYTE> v(n);
        for (size_t i = 0; i < n; i++) v[i] = static_cast<BYTE>(first + i);
        return v;
    }
    void SetDcb(int port, bool fNull, char evtChar) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        dcb.fNull = fNull;
        dcb.EvtChar = evtChar;
        SetDBC(fps_, &dcb, port);
    }
};

TEST_F(ReceiveTest, ChunksOfOneTransferLandInTheirOwnPorts) {
    auto a = Bytes(10, 0x10), b = Bytes(46, 0x80);
    auto transfer = Chunk(0, a) + Chunk(1, b);
    ASSERT_EQ(transfer.size(), 64u);
    Parse(transfer);
    EXPECT_EQ(RingBytes(0), a);
    EXPECT_EQ(RingBytes(1), b);
    EXPECT_TRUE(TakeRxEvent(0));
    EXPECT_TRUE(TakeRxEvent(1));
    EXPECT_FALSE(TakeRxEvent(2));
    EXPECT_EQ(lastPort_, 1u);
}

// A COM driver that refused port 2 of 4 stops the binding there: ports 2 and 3 have no
// lock and no event. Input for them is dropped without touching them (an uninitialised
// section stops the program), input for the bound ports around it still arrives, and the
// exports refuse those ports.
class UnboundPortsTest : public qsxtest::PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        SetUpPorts(4, 512, 2);
        for (int i = 0; i < 2; i++) Port(i).EventMask = EV_RXCHAR | EV_CTS;
    }
};

TEST_F(UnboundPortsTest, ReadersAndExportsLeaveThemAlone) {
    Parse(Chunk(0, {1, 2}) + Chunk(2, {3, 4}) + Chunk(3, {5}) + Chunk(1, {6}));
    EXPECT_EQ(RingBytes(0), (std::vector<BYTE>{1, 2}));
    EXPECT_EQ(RingBytes(1), (std::vector<BYTE>{6}));
    EXPECT_EQ(lastPort_, 1u);

    ParseStatus(Record(2, 3, 0, 0x08, 0x10) + Record(3, 2) + Record(0, 3, 0, 0x08, 0x10));
    EXPECT_EQ(Port(0).LastMsr, 0x10u);
    EXPECT_NE(Port(0).EventsPending & EV_CTS, 0u);
    for (int i = 2; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Port(i).RxHead, 0u);
        EXPECT_EQ(Port(i).LastMsr, 0u);
        EXPECT_EQ(Port(i).TxReady, 0u);
    }

    BYTE buffer[8] = {};
    DWORD events = 0;
    DCB dcb{};
    EXPECT_EQ(ComOpen(fps_, 2, u"Drivers\\Active\\None"), 0u);
    EXPECT_EQ(ReadUsb(fps_, buffer, sizeof buffer, 2), 0u);
    EXPECT_EQ(WriteUsb(fps_, buffer, sizeof buffer, 3), 0u);
    EXPECT_EQ(WaitComPortEvent(fps_, 2, &events), 0u);
    EXPECT_EQ(Set_MaskEvent(fps_, 3, EV_RXCHAR, 1), 0u);
    EXPECT_EQ(WaitDataEvent(fps_, 2, INFINITE), 2u);
    EXPECT_EQ(USBPortSatus(fps_, 3, 3), 0u);
    SetDBC(fps_, &dcb, 2);
    SetEventCHAR(fps_, 'x', 2);
    ComClose(fps_, 3);
    EXPECT_EQ(Port(3).EventMask, 0u);
    EXPECT_EQ(device_->Requests().size(), 0u) << "nothing goes to the adapter for them";
}

TEST_F(ReceiveTest, EventsComeOnlyOnceTheChunkIsInTheRing) {
    // A waiter woken by EV_RXCHAR or EV_RXFLAG that asks how much is waiting must find the
    // chunk that raised it; the hook runs at the very moment CommEvent is set.
    struct Seen {
        PUSBFPS fps;
        HANDLE commEvent;
        std::vector<DWORD> waiting;
    } seen{fps_, Port(0).CommEvent, {}};
    Port(0).EventMask = EV_RXCHAR | EV_RXFLAG;
    SetDcb(0, false, '!');
    standin::SetEventModifyHook(
        [](HANDLE event, DWORD func, void *context) {
            auto *s = static_cast<Seen *>(context);
            if (event == s->commEvent && func == EVENT_SET) s->waiting.push_back(USBPortSatus(s->fps, 3, 0));
        },
        &seen);
    Parse(Chunk(0, {'a', '!', 'b'}));
    standin::SetEventModifyHook(nullptr, nullptr);
    EXPECT_EQ(seen.waiting, (std::vector<DWORD>{3, 3})) << "EV_RXCHAR, then EV_RXFLAG";
}

TEST_F(ReceiveTest, BadHeaderDropsTheRestOfTheTransfer) {
    struct Case {
        const char *name;
        std::vector<BYTE> transfer;
        size_t kept0, kept2;
    } cases[] = {
        {"port beyond the adapter", Chunk(0, Bytes(3)) + Chunk(5, Bytes(2)) + Chunk(2, Bytes(2)), 3, 0},
        {"largest length", Chunk(0, Bytes(512)) + Chunk(2, Bytes(1)), 512, 1},
        {"length over 512", Chunk(0, Bytes(2)) + Chunk(2, Bytes(513)) + Chunk(2, Bytes(1)), 2, 0},
        {"length past the received bytes", Chunk(0, Bytes(2)) + Chunk(2, Bytes(5), 9), 2, 0},
        {"three trailing bytes", Chunk(0, Bytes(2)) + std::vector<BYTE>{0, 2, 0}, 2, 0},
        {"transfer of three bytes", std::vector<BYTE>{0, 0, 0}, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Port(0).RxHead = Port(0).RxTail = 0;
        Port(2).RxHead = Port(2).RxTail = 0;
        Parse(c.transfer);
        EXPECT_EQ(RingBytes(0).size(), c.kept0);
        EXPECT_EQ(RingBytes(2).size(), c.kept2);
    }
}

TEST_F(ReceiveTest, EmptyChunkStillRaisesReceiveEvents) {
    Set_MaskEvent(fps_, 3, EV_RXCHAR, TRUE);
    ResetEvent(Port(3).CommEvent);
    Parse(Chunk(3, {}));
    EXPECT_TRUE(TakeRxEvent(3));
    EXPECT_TRUE(CommEventSet(3));
    EXPECT_EQ(Port(3).EventsPending, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_EQ(Port(3).EventFired, 1u);
    // Without the bit in the mask nothing is recorded.
    Parse(Chunk(2, Bytes(4)));
    EXPECT_EQ(Port(2).EventsPending, 0u);
    EXPECT_FALSE(CommEventSet(2));
}

TEST_F(ReceiveTest, NulBytesAreDroppedWhenTheSettingsAskForIt) {
    SetDcb(1, true, 0);
    Set_MaskEvent(fps_, 1, EV_RXCHAR, TRUE);
    Parse(Chunk(1, {0x41, 0x00, 0x42}) + Chunk(1, {0x43}) + Chunk(1, {0, 0, 0}));
    EXPECT_EQ(RingBytes(1), (std::vector<BYTE>{0x41, 0x42, 0x43}));
    EXPECT_EQ(Port(1).EventsPending, static_cast<DWORD>(EV_RXCHAR));
    SetDcb(1, false, 0);
    Parse(Chunk(1, {0x00}));
    EXPECT_EQ(RingBytes(1).size(), 4u);
}

TEST_F(ReceiveTest, EventCharacterRaisesItsEventOncePerChunk) {
    SetDcb(2, false, '\r');
    Set_MaskEvent(fps_, 2, EV_RXFLAG, TRUE);
    Parse(Chunk(2, {'a', '\r', 'b', '\r', 'c'}));
    EXPECT_EQ(Port(2).EventsPending, static_cast<DWORD>(EV_RXFLAG));
    Parse(Chunk(2, {'x'}));
    std::vector<std::string> messages = standin::ConsoleMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Break Event .....Port 2 Len =5 \n");
    // The character stored by SetEventCHAR is not the one searched for.
    Set_MaskEvent(fps_, 2, EV_RXFLAG, TRUE);
    SetEventCHAR(fps_, 'x', 2);
    Parse(Chunk(2, {'x'}));
    EXPECT_EQ(Port(2).EventsPending, 0u);
}

TEST_F(ReceiveTest, ChunkAcrossTheRingEndWrapsToItsStart) {
    struct Case {
        size_t length;
        DWORD head;
    } cases[] = {{10, 6}, {4, 0}, {3, 16383}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        Port(0).RxHead = Port(0).RxTail = RX_RING_SIZE - 4;
        auto data = Bytes(c.length, 0x20);
        Parse(Chunk(0, data));
        EXPECT_EQ(Port(0).RxHead, c.head);
        EXPECT_EQ(RingBytes(0), data);
    }
}

TEST_F(ReceiveTest, OverflowMarkFlagsEveryChunkButKeepsTheData) {
    Port(1).RxOverflow = 1;
    Parse(Chunk(1, Bytes(5)));
    EXPECT_EQ(Port(1).Errors, static_cast<DWORD>(CE_RXOVER));
    EXPECT_EQ(RingBytes(1).size(), 5u);
    EXPECT_EQ(Port(0).Errors, 0u);
}

TEST_F(ReceiveTest, FullRingKeepsUnreadBytesAndDropsTheExcess) {
    // 16383 bytes fit; fill to 10 short of that.
    for (int i = 0; i < 31; i++) Parse(Chunk(0, Bytes(512, static_cast<BYTE>(i))));
    Parse(Chunk(0, Bytes(16383 - 10 - 31 * 512, 7)));
    auto before = RingBytes(0);
    ASSERT_EQ(before.size(), 16373u);
    Parse(Chunk(0, Bytes(20, 0xA0)) + Chunk(1, Bytes(3)));
    auto after = RingBytes(0);
    ASSERT_EQ(after.size(), 16383u);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    EXPECT_EQ(after.back(), 0xA0 + 9);
    EXPECT_EQ(Port(0).Errors, static_cast<DWORD>(CE_RXOVER));
    EXPECT_EQ(RingBytes(1).size(), 3u);  // other ports go on as before
    EXPECT_EQ(Port(1).Errors, 0u);
}

}  // namespace
