// The driver's transfer wrappers against the simulated bus: every outcome they fold into
// one platform error code, and what they leave in the out-values and the last error.
#include <gtest/gtest.h>

#include <standin/kernel.h>

#include <thread>

#include "driver_fixture.h"
#include "transfer.h"

using qsxtest::kUntouched;
using qsxtest::Outcome;

namespace {

class TransferTest : public qsxtest::DriverFixture {
protected:
    void SetUp() override {
        DriverFixture::SetUp();
        Attach();
        LPCUSB_INTERFACE itf =
            fps_->UsbFuncs->lpFindInterface(fps_->UsbFuncs->lpGetDeviceInfo(hDevice_), 0, 0);
        ASSERT_NE(itf, nullptr);
        out_ = fps_->UsbFuncs->lpOpenPipe(hDevice_, &itf->lpEndpoints[0].Descriptor);
        in_ = fps_->UsbFuncs->lpOpenPipe(hDevice_, &itf->lpEndpoints[1].Descriptor);
        event_ = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        ASSERT_TRUE(out_ && in_ && event_);
    }
    void TearDown() override {
        fps_->UsbFuncs->lpClosePipe(out_);
        fps_->UsbFuncs->lpClosePipe(in_);
        CloseHandle(event_);
        DriverFixture::TearDown();
    }
    DWORD SendOut(DWORD timeout = 2000) {
        bytes_ = kUntouched;
        usbError_ = kUntouched;
        return UsbBulkTransfer(fps_->UsbFuncs, out_, UsbTransferNotify, event_, USB_OUT_TRANSFER,
                               frame_, 0, sizeof frame_, &bytes_, timeout, &usbError_);
    }

    USB_PIPE out_ = nullptr, in_ = nullptr;
    HANDLE event_ = nullptr;
    BYTE frame_[20] = {0, 1, 0, 16};
    DWORD bytes_ = 0, usbError_ = 0;
};

TEST_F(TransferTest, CompletedTransferYieldsZeroWithTheReportedCount) {
    SetLastError(kUntouched);
    EXPECT_EQ(SendOut(), 0u);
    EXPECT_EQ(bytes_, sizeof frame_);
    EXPECT_EQ(usbError_, 0u);
    EXPECT_EQ(GetLastError(), kUntouched);  // success leaves the last error alone
    ASSERT_EQ(device_->BulkOutFrames().size(), 1u);
    EXPECT_EQ(device_->BulkOutFrames()[0], std::vector<BYTE>(frame_, frame_ + sizeof frame_));
}

TEST_F(TransferTest, TransferThatNeverCompletesTimesOutAfterItsLimit) {
    qsxtest::ScopedTimeScale fast(0.001);
    device_->SetBulkOutOutcome(Outcome::kNeverAnswer);
    DWORD start = GetTickCount();
    EXPECT_EQ(SendOut(2000), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_GE(GetTickCount() - start, 2000u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(bytes_, 0u);
    EXPECT_EQ(usbError_, static_cast<DWORD>(USB_NOT_COMPLETE_ERROR));  // as the status said
    bool waited = false;
    for (const standin::TimedCall &c : standin::TimedCalls())
        waited |= c.kind == standin::TimedCall::kWait && c.ms == 2000 && c.result == WAIT_TIMEOUT;
    EXPECT_TRUE(waited);
    EXPECT_EQ(standin::UsbOpenTransferCount(), 0u);  // the timed-out transfer was closed
}

TEST_F(TransferTest, UsbErrorTurnsASuccessfulWaitIntoGeneralFailure) {
    device_->SetBulkOutOutcome(Outcome::kStall);
    EXPECT_EQ(SendOut(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(usbError_, static_cast<DWORD>(USB_STALL_ERROR));
    EXPECT_EQ(bytes_, 0u);
}

TEST_F(TransferTest, MissingRequiredArgumentIsRefusedWithOutValuesUntouched) {
    struct Case {
        const char *name;
        bool funcs, pipe, bytes, error;
    } cases[] = {{"funcs", false, true, true, true},
                 {"pipe", true, false, true, true},
                 {"bytes", true, true, false, true},
                 {"usb error", true, true, true, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DWORD bytes = kUntouched, error = kUntouched;
        SetLastError(kUntouched);
        DWORD result = UsbBulkTransfer(c.funcs ? fps_->UsbFuncs : nullptr, c.pipe ? out_ : nullptr,
                                       UsbTransferNotify, event_, 0, frame_, 0, sizeof frame_,
                                       c.bytes ? &bytes : nullptr, 2000, c.error ? &error : nullptr);
        EXPECT_EQ(result, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(bytes, kUntouched);
        EXPECT_EQ(error, kUntouched);
    }
    EXPECT_TRUE(device_->BulkOutFrames().empty());

    USB_DEVICE_REQUEST request{0x40, 9, 1, 0, 0};
    DWORD bytes = kUntouched, error = kUntouched;
    EXPECT_EQ(UsbVendorTransfer(fps_->UsbFuncs, hDevice_, UsbTransferNotify, event_, 0, nullptr,
                                nullptr, 0, &bytes, 4000, &error),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(UsbVendorTransfer(fps_->UsbFuncs, nullptr, UsbTransferNotify, event_, 0, &request,
                                nullptr, 0, &bytes, 4000, &error),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(bytes, kUntouched);
    EXPECT_EQ(error, kUntouched);
    EXPECT_TRUE(device_->Requests().empty());
}

TEST_F(TransferTest, VendorTransferThatCannotBeIssuedIsGeneralFailure) {
    USB_DEVICE_REQUEST request{0x40, 9, 1, 0, 0};
    DWORD bytes = kUntouched, error = kUntouched;
    USB_HANDLE stale = reinterpret_cast<USB_HANDLE>(0x7fff0001);  // never handed out
    EXPECT_EQ(UsbVendorTransfer(fps_->UsbFuncs, stale, UsbTransferNotify, event_, 0, &request,
                                nullptr, 0, &bytes, 4000, &error),
              static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(error, 0u);
}

// A table whose IssueBulkTransfer refuses after setting a chosen last error, and whose
// GetTransferStatus can be made to fail.
DWORD gIssueError;
bool gStatusFails;
USB_TRANSFER WINAPI RefusingIssue(USB_PIPE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, DWORD,
                                  LPVOID, ULONG) {
    SetLastError(gIssueError);
    return nullptr;
}
BOOL WINAPI FailingStatus(USB_TRANSFER t, LPDWORD bytes, LPDWORD error) {
    if (gStatusFails) return FALSE;
    return standin::UsbFunctionTable()->lpGetTransferStatus(t, bytes, error);
}

TEST_F(TransferTest, BulkTransferThatCannotBeIssuedReportsTheLastErrorOfThatMoment) {
    USB_FUNCS refusing = *fps_->UsbFuncs;
    refusing.lpIssueBulkTransfer = RefusingIssue;
    for (DWORD lastError : {static_cast<DWORD>(ERROR_INVALID_HANDLE), DWORD{0}}) {
        SCOPED_TRACE(lastError);
        gIssueError = lastError;
        DWORD bytes = kUntouched, error = kUntouched;
        EXPECT_EQ(UsbBulkTransfer(&refusing, out_, UsbTransferNotify, event_, 0, frame_, 0,
                                  sizeof frame_, &bytes, 2000, &error),
                  lastError);  // 0 then counts as success with nothing sent
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(error, 0u);
    }
}

TEST_F(TransferTest, StatusThatCannotBeReadIsCancelledErrorAndGeneralFailure) {
    USB_FUNCS table = *fps_->UsbFuncs;
    table.lpGetTransferStatus = FailingStatus;
    gStatusFails = true;
    DWORD bytes = kUntouched, error = kUntouched;
    EXPECT_EQ(UsbBulkTransfer(&table, out_, UsbTransferNotify, event_, 0, frame_, 0, sizeof frame_,
                              &bytes, 2000, &error),
              static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(error, static_cast<DWORD>(USB_CANCELED_ERROR));

    // After a timed-out wait the time-out stays the result.
    qsxtest::ScopedTimeScale fast(0.001);
    device_->SetBulkOutOutcome(Outcome::kNeverAnswer);
    EXPECT_EQ(UsbBulkTransfer(&table, out_, UsbTransferNotify, event_, 0, frame_, 0, sizeof frame_,
                              &bytes, 2000, &error),
              static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(error, static_cast<DWORD>(USB_CANCELED_ERROR));
    gStatusFails = false;
}

TEST_F(TransferTest, FailedWaitIsGeneralFailureWithoutReadingStatus) {
    HANDLE dead = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(dead);
    DWORD bytes = kUntouched, error = kUntouched;
    EXPECT_EQ(UsbBulkTransfer(fps_->UsbFuncs, out_, UsbTransferNotify, dead, 0, frame_, 0,
                              sizeof frame_, &bytes, 2000, &error),
              static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(standin::UsbOpenTransferCount(), 0u);
}

TEST_F(TransferTest, InTransferWithoutEventReturnsOnlyOnceCompleted) {
    // A time limit of 1 ms has no effect without notify routine and event.
    BYTE buffer[64];
    DWORD bytes = kUntouched, error = kUntouched, result = kUntouched;
    std::thread reader([&] {
        result = UsbBulkTransfer(fps_->UsbFuncs, in_, nullptr, nullptr,
                                 USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, buffer, 0, sizeof buffer,
                                 &bytes, 1, &error);
    });
    ASSERT_TRUE(qsxtest::WaitUntil([] { return standin::UsbOpenTransferCount() > 0; }));
    device_->QueueIn(0x82, std::vector<BYTE>(10, 0x5A));
    reader.join();
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(bytes, 10u);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(buffer[9], 0x5A);
}

TEST_F(TransferTest, ZeroTimeoutWithEventHandsTheTransferToTheCaller) {
    DWORD bytes = kUntouched, error = kUntouched;
    SetLastError(kUntouched);
    EXPECT_EQ(UsbBulkTransfer(fps_->UsbFuncs, out_, UsbTransferNotify, event_, 0, frame_, 0,
                              sizeof frame_, &bytes, 0, &error),
              0u);
    EXPECT_EQ(GetLastError(), kUntouched);
    USB_TRANSFER transfer = reinterpret_cast<USB_TRANSFER>(static_cast<ULONG_PTR>(error));
    EXPECT_EQ(WaitForSingleObject(event_, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(fps_->UsbFuncs->lpIsTransferComplete(transfer));
    EXPECT_TRUE(fps_->UsbFuncs->lpCloseTransfer(transfer));
}

TEST(TransferNotify, SetsItsEventOrRefusesANullOne) {
    HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(UsbTransferNotify(event), 0u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(UsbResetEvent(event), static_cast<DWORD>(TRUE));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
    EXPECT_EQ(UsbTransferNotify(event), static_cast<DWORD>(ERROR_INVALID_HANDLE));  // closed
    SetLastError(0);
    EXPECT_EQ(UsbTransferNotify(nullptr), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
