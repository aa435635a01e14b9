// The vendor command channel: setup-packet encoding, the receive-overflow mark, purge,
// time-outs and the rule that one adapter has one request in flight at a time.
#include <gtest/gtest.h>

#include <standin/kernel.h>

#include <thread>

#include "driver_fixture.h"
#include "qsxport.h"
#include "vendor.h"

using qsxtest::kUntouched;
using qsxtest::Outcome;

namespace {

class VendorTest : public qsxtest::DriverFixture {
protected:
    void SetUp() override {
        DriverFixture::SetUp();
        Attach();
    }
    USB_DEVICE_REQUEST Last() {
        auto requests = device_->Requests();
        EXPECT_FALSE(requests.empty());
        return requests.empty() ? USB_DEVICE_REQUEST{} : requests.back().setup;
    }
};

TEST_F(VendorTest, SetupPacketCarriesCodeAndSignExtendedArguments) {
    struct Case {
        DWORD code, value, port;
        UCHAR bRequest;
        USHORT wValue, wIndex;
    } cases[] = {
        {0x30, 1, 2, 0x85, 0x0001, 0x0002},     // the one renamed code
        {0x85, 0, 0, 0x85, 0x0000, 0x0000},     // given directly, unchanged
        {0x10, 3, 1, 0x10, 0x0003, 0x0001},     // interface mode
        {0x0F, 0x7F, 0, 0x0F, 0x007F, 0x0000},  // largest value kept as is
        {0x0F, 0x80, 0, 0x0F, 0xFF80, 0x0000},  // sign extension
        {0x12, 0x1FF, 0x190, 0x12, 0xFFFF, 0xFF90},  // only the low 8 bits count
        {0x130, 0, 0, 0x85, 0x0000, 0x0000},    // low byte 0x30
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << std::hex << c.code);
        EXPECT_EQ(QSXPort_Vender(fps_, c.code, c.value, c.port, 0, nullptr), 1u);
        USB_DEVICE_REQUEST r = Last();
        EXPECT_EQ(r.bmRequestType, 0x40);
        EXPECT_EQ(r.bRequest, c.bRequest);
        EXPECT_EQ(r.wValue, c.wValue);
        EXPECT_EQ(r.wIndex, c.wIndex);
        EXPECT_EQ(r.wLength, 0);
    }
}

TEST_F(VendorTest, DataPhaseCarriesExactlyTheGivenBytes) {
    BYTE block[64];
    for (int i = 0; i < 64; i++) block[i] = static_cast<BYTE>(i * 7);
    EXPECT_EQ(SendVendorCommand(fps_, VREQ_FIRMWARE_BLOCK, 0, 0, 64, block), 0u);
    auto requests = device_->Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].setup.wLength, 64);
    EXPECT_EQ(requests[0].data, std::vector<BYTE>(block, block + 64));
}

TEST_F(VendorTest, LengthOf128OrMoreIsRefusedWithoutSendingAnything) {
    BYTE data[200] = {};
    SetLastError(kUntouched);
    EXPECT_EQ(SendVendorCommand(fps_, 0x20, 0, 0, 128, data), 1u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(QSXPort_Vender(fps_, 0x20, 0, 0, 0xFF, data), 1u);
    EXPECT_TRUE(device_->Requests().empty());
    EXPECT_EQ(SendVendorCommand(fps_, 0x20, 0, 0, 127, data), 0u);  // the largest allowed
    EXPECT_EQ(Last().wLength, 127);
}

TEST_F(VendorTest, CodeSevenMarksAndClearsTheReceiveOverflowOfItsPort) {
    struct Step {
        DWORD value, port, expected2;
    } steps[] = {{0, 2, 1}, {2, 2, 1}, {1, 2, 0}, {2, 2, 0}, {0, 2, 1}};
    for (const Step &s : steps) {
        SCOPED_TRACE(s.value);
        QSXPort_Vender(fps_, VREQ_RX_OVERFLOW, s.value, s.port, 0, nullptr);
        EXPECT_EQ(fps_->Ports[2].RxOverflow, s.expected2);
        EXPECT_EQ(Last().bRequest, 7);
        EXPECT_EQ(Last().wValue, s.value);
    }
    EXPECT_EQ(fps_->Ports[1].RxOverflow, 0u);
    EXPECT_EQ(device_->Requests().size(), 5u);  // every one of them was sent

    // A port beyond the adapter's four has no block to mark; the request still goes out.
    QSXPort_Vender(fps_, VREQ_RX_OVERFLOW, 0, 9, 0, nullptr);
    EXPECT_EQ(fps_->Ports[9].RxOverflow, 0u);
    EXPECT_EQ(Last().wIndex, 9);

    // The mark stands even when the adapter refuses the request.
    device_->SetDefaultOutcome(Outcome::kStall);
    QSXPort_Vender(fps_, VREQ_RX_OVERFLOW, 0, 3, 0, nullptr);
    EXPECT_EQ(fps_->Ports[3].RxOverflow, 1u);
}

TEST_F(VendorTest, PurgeSendsExactlyOneAcceptedFlag) {
    fps_->Ports[1].RxHead = 10;  // bytes waiting in the ring stay there
    struct Case {
        DWORD mask;
        bool sent;
        USHORT wValue;
    } cases[] = {{PURGE_TXABORT, true, 1}, {PURGE_RXABORT, true, 2}, {PURGE_TXCLEAR, true, 4},
                 {PURGE_RXCLEAR, true, 8}, {0x104, true, 4},          {0, false, 0},
                 {0x0C, false, 0},         {0x03, false, 0},          {0x10, false, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mask);
        size_t before = device_->Requests().size();
        DWORD result = Serial_PURGE(fps_, c.mask, 1);
        EXPECT_NE(result, 0u);
        if (!c.sent) {
            EXPECT_EQ(device_->Requests().size(), before);
            continue;
        }
        EXPECT_EQ(result, 1u);
        ASSERT_EQ(device_->Requests().size(), before + 1);
        USB_DEVICE_REQUEST r = Last();
        EXPECT_EQ(r.bRequest, VREQ_PURGE);
        EXPECT_EQ(r.wValue, c.wValue);
        EXPECT_EQ(r.wIndex, 1);
    }
    EXPECT_EQ(fps_->Ports[1].RxHead, 10u);
    EXPECT_EQ(fps_->Ports[1].RxTail, 0u);
}

TEST_F(VendorTest, OutcomeReachesOnlyTheFailureFlagAndTheLastError) {
    SetLastError(kUntouched);
    EXPECT_EQ(SendVendorCommand(fps_, 0x10, 0, 0, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), kUntouched);  // success leaves the last error alone

    device_->SetDefaultOutcome(Outcome::kStall);
    EXPECT_EQ(SendVendorCommand(fps_, 0x10, 0, 0, 0, nullptr), 1u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    SetLastError(kUntouched);
    EXPECT_EQ(QSXPort_Vender(fps_, 0x10, 0, 0, 0, nullptr), 1u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

TEST_F(VendorTest, UnansweredRequestTimesOutAfterFourSeconds) {
    {
        qsxtest::ScopedTimeScale fast(0.001);
        device_->SetDefaultOutcome(Outcome::kNeverAnswer);
        SetLastError(kUntouched);
        DWORD start = GetTickCount();
        EXPECT_EQ(QSXPort_Vender(fps_, 0x10, 1, 0, 0, nullptr), 1u);
        EXPECT_GE(GetTickCount() - start, 4000u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
        std::vector<standin::TimedCall> waits;
        for (const standin::TimedCall &c : standin::TimedCalls())
            if (c.kind == standin::TimedCall::kWait) waits.push_back(c);
        ASSERT_EQ(waits.size(), 1u);
        EXPECT_EQ(waits[0].ms, 4000u);
        EXPECT_EQ(waits[0].result, static_cast<DWORD>(WAIT_TIMEOUT));
    }

    // The next request is not disturbed by the abandoned one. It runs at real time: at a
    // thousandth its 4000 ms limit would be 4 ms, which a sanitizer build may miss.
    device_->SetDefaultOutcome(Outcome::kComplete);
    EXPECT_EQ(SendVendorCommand(fps_, 0x10, 2, 0, 0, nullptr), 0u);
}

TEST_F(VendorTest, RequestsFromManyThreadsNeverOverlapOnTheBus) {
    device_->SetAnswerDelayMicros(50);
    constexpr int kThreads = 6, kEach = 40;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++)
                if (SendVendorCommand(fps_, 0x10, i & 3, t, 0, nullptr) != 0) failures++;
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(device_->Requests().size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(device_->MaxInFlight(), 1);
}

}  // namespace
