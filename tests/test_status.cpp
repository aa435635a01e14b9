// The status channel: each record type's effect on the port's bits and events.
#include <gtest/gtest.h>

#include <standin/kernel.h>

#include "port_fixture.h"

using qsxtest::operator+;

namespace {

constexpr DWORD kCtsHold = 0x01, kDsrHold = 0x02, kRlsdHold = 0x04, kXoffHold = 0x08, kXoffSent = 0x10,
                kBreakState = 0x20;

class StatusTest : public qsxtest::PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        SetUpPorts(4);
    }
};

TEST_F(StatusTest, RecordsAreAppliedUntilABadPortOrTheEnd) {
    Port(0).TxReady = 0;
    ParseStatus(Record(0, 2) + Record(1, 3, 0, 0, 0x30));
    EXPECT_EQ(Port(0).TxReady, 1u);
    EXPECT_EQ(WaitForSingleObject(Port(0).TxReadyEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Port(1).LastMsr, 0x30u);

    struct Case {
        const char *name;
        std::vector<BYTE> transfer;
        DWORD msr0, msr2;
    } cases[] = {
        {"12 bytes", Record(0, 3, 0, 0, 0x10) + std::vector<BYTE>(4, 0), 0x10, 0},
        {"7 bytes", std::vector<BYTE>{0, 0, 0, 3, 0, 0, 0x10}, 0, 0},
        {"bad port first", Record(4, 3, 0, 0, 0x10) + Record(0, 3, 0, 0, 0x10), 0, 0},
        {"bad port second", Record(0, 3, 0, 0, 0x10) + Record(4, 2) + Record(2, 3, 0, 0, 0x10), 0x10, 0},
        {"unknown type skipped", Record(0, 9, 0, 0, 0x10) + Record(2, 3, 0, 0, 0x20), 0, 0x20},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Port(0).LastMsr = Port(2).LastMsr = 0;
        ParseStatus(c.transfer);
        EXPECT_EQ(Port(0).LastMsr, c.msr0);
        EXPECT_EQ(Port(2).LastMsr, c.msr2);
    }
}

TEST_F(StatusTest, ModemStatusRaisesChangeEventsAndHoldBits) {
    struct Case {
        DWORD last, eventWord;
        BYTE msr;
        DWORD mask, events, holdsBefore, holdsAfter;
        bool signalled;
    } cases[] = {
        // DCD came up: EV_RLSD; CTS present leaves its hold bit alone.
        {0x30, 0, 0xB0, EV_RLSD, EV_RLSD, kCtsHold | kDsrHold | kRlsdHold, kCtsHold, true},
        // Everything dropped.
        {0xF0, 0, 0x00, 0, EV_RLSD | EV_CTS | EV_DSR, 0, kCtsHold | kDsrHold | kRlsdHold, false},
        // Only the ring indicator changed: no event of its own.
        {0x00, 0, 0x40, EV_RING, 0, 0, kCtsHold | kDsrHold | kRlsdHold, false},
        // The ring event comes in the record's own word.
        {0xB0, EV_RING, 0xB0, EV_RING, EV_RING, 0, 0, true},
        // Lower bits of the modem status are ignored.
        {0xB0, 0, 0xBF, EV_CTS, 0, 0, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.last << "->" << int(c.msr));
        FpsPort &p = Port(1);
        p.LastMsr = c.last;
        p.HoldFlags = c.holdsBefore;
        p.EventsPending = 0;
        p.EventFired = 0;
        p.EventMask = c.mask;
        ResetEvent(p.CommEvent);
        ParseStatus(Record(1, 3, static_cast<BYTE>(c.eventWord >> 8), static_cast<BYTE>(c.eventWord), c.msr));
        EXPECT_EQ(p.EventsPending, c.events);
        EXPECT_EQ(p.HoldFlags, c.holdsAfter);
        EXPECT_EQ(p.LastMsr, static_cast<DWORD>(c.msr & 0xF0));
        EXPECT_EQ(CommEventSet(1), c.signalled);
        EXPECT_EQ(p.EventFired, c.signalled ? 1u : 0u);
    }
}

TEST_F(StatusTest, LineStatusSetsErrorsAndBreak) {
    FpsPort &p = Port(2);
    p.EventMask = EV_ERR;
    ParseStatus(Record(2, 4, 0, 0, 0x0A));
    EXPECT_EQ(p.Errors, static_cast<DWORD>(CE_FRAME | CE_OVERRUN));
    EXPECT_EQ(standin::ConsoleMessages(),
              (std::vector<std::string>{"Frame Error:a \n", "Over Run ReadUsb:2 \n"}));
    EXPECT_EQ(p.EventsPending, static_cast<DWORD>(EV_ERR));
    EXPECT_TRUE(CommEventSet(2));

    // Errors still unread raise EV_ERR again with a clean line status.
    p.EventsPending = 0;
    ResetEvent(p.CommEvent);
    ParseStatus(Record(2, 4));
    EXPECT_EQ(p.EventsPending, static_cast<DWORD>(EV_ERR));
    // ... but not without the bit in the mask.
    p.EventsPending = 0;
    p.EventMask = 0;
    ParseStatus(Record(2, 4, 0, 0, 0x04));
    EXPECT_EQ(p.EventsPending, 0u);
    EXPECT_EQ(p.Errors, static_cast<DWORD>(CE_FRAME | CE_OVERRUN | CE_RXPARITY));

    // A break without EV_BREAK in the mask is only recorded.
    ResetEvent(p.CommEvent);
    ParseStatus(Record(2, 4, 0, 0x40, 0x10));
    EXPECT_EQ(p.EventsPending, static_cast<DWORD>(EV_BREAK));
    EXPECT_EQ(p.HoldFlags & kBreakState, 0u);
    EXPECT_FALSE(CommEventSet(2));
    EXPECT_TRUE(p.Errors & CE_BREAK);
    // With it, the break state is held and the waiter signalled; a record without the
    // break bit ends the state.
    p.EventMask = EV_BREAK;
    ParseStatus(Record(2, 4, 0, 0x40, 0));
    EXPECT_EQ(p.HoldFlags & kBreakState, kBreakState);
    EXPECT_TRUE(CommEventSet(2));
    ParseStatus(Record(2, 4));
    EXPECT_EQ(p.HoldFlags & kBreakState, 0u);
}

TEST_F(StatusTest, FlowStateFollowsTheSoftwareFlowSettings) {
    struct Case {
        bool outX, inX;
        BYTE flow;
        DWORD holds;
    } cases[] = {{true, true, 0x00, kXoffHold | kXoffSent}, {true, true, 0x48, 0}, {true, false, 0x08, kXoffHold},
                 {false, true, 0x40, kXoffSent}, {false, false, 0x00, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.outX << c.inX << std::hex << int(c.flow));
        DCB dcb{};
        dcb.fOutX = c.outX;
        dcb.fInX = c.inX;
        SetDBC(fps_, &dcb, 3);
        Port(3).HoldFlags = 0;
        ParseStatus(Record(3, 5, c.flow));
        EXPECT_EQ(Port(3).HoldFlags, c.holds);
    }
}

}  // namespace
