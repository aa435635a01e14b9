// The stand-in host stack's transfer machinery, driven through the client function table
// the way a client driver uses it.
#include <gtest/gtest.h>

#include <standin/kernel.h>
#include <standin/usbbus.h>

#include <atomic>
#include <thread>

#include "driver_fixture.h"
#include "script_device.h"

using qsxtest::Outcome;
using qsxtest::ScriptDevice;

namespace {

class UsbHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        device_ = std::make_shared<ScriptDevice>();
        hDevice_ = standin::UsbAddDevice(device_);
        funcs_ = standin::UsbFunctionTable();
    }
    void TearDown() override {
        if (hDevice_) standin::UsbRemoveDevice(hDevice_);
        EXPECT_EQ(standin::UsbOpenTransferCount(), 0u);
        EXPECT_EQ(standin::UsbOpenPipeCount(), 0u);
    }
    USB_PIPE Open(UCHAR address) {
        LPCUSB_DEVICE info = funcs_->lpGetDeviceInfo(hDevice_);
        LPCUSB_INTERFACE itf = funcs_->lpFindInterface(info, 0, 0);
        for (DWORD i = 0; i < itf->Descriptor.bNumEndpoints; i++)
            if (itf->lpEndpoints[i].Descriptor.bEndpointAddress == address)
                return funcs_->lpOpenPipe(hDevice_, &itf->lpEndpoints[i].Descriptor);
        return nullptr;
    }

    std::shared_ptr<ScriptDevice> device_;
    USB_HANDLE hDevice_ = nullptr;
    LPCUSB_FUNCS funcs_ = nullptr;
};

std::atomic<DWORD> gNotifyThread{0};
DWORD WINAPI RecordingNotify(LPVOID event) {
    gNotifyThread = GetCurrentThreadId();
    SetEvent(static_cast<HANDLE>(event));
    return 0;
}

TEST_F(UsbHostTest, TableKeepsThePlatformOrderAndFindsInterfaceZero) {
    EXPECT_EQ(funcs_->dwCount, sizeof(USB_FUNCS));
    // Entries nobody in this system calls may stay null, but the order is the platform's.
    EXPECT_EQ(offsetof(USB_FUNCS, lpGetDeviceInfo), offsetof(USB_FUNCS, lpGetUSBDVersion) + 12 * sizeof(void *));
    EXPECT_EQ(offsetof(USB_FUNCS, lpCloseTransfer), offsetof(USB_FUNCS, lpGetUSBDVersion) + 35 * sizeof(void *));
    LPCUSB_DEVICE info = funcs_->lpGetDeviceInfo(hDevice_);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->Descriptor.idVendor, 7733);
    EXPECT_NE(funcs_->lpFindInterface(info, 0, 0), nullptr);
    EXPECT_EQ(funcs_->lpFindInterface(info, 1, 0), nullptr);
    EXPECT_EQ(funcs_->lpFindInterface(info, 0, 1), nullptr);
}

TEST_F(UsbHostTest, SynchronousInWaitsForDataThenReportsIt) {
    USB_PIPE pipe = Open(0x82);
    ASSERT_NE(pipe, nullptr);
    BYTE buffer[16] = {};
    std::atomic<bool> returned{false};
    USB_TRANSFER transfer = nullptr;
    std::thread reader([&] {
        transfer = funcs_->lpIssueBulkTransfer(pipe, nullptr, nullptr,
                                               USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK,
                                               sizeof buffer, buffer, 0);
        returned = true;
    });
    // A long IN transfer must still be waiting: give the reader ample time to be inside.
    Sleep(20);
    EXPECT_FALSE(returned);
    device_->QueueIn(0x82, {1, 2, 3});
    reader.join();
    ASSERT_NE(transfer, nullptr);
    DWORD bytes = qsxtest::kUntouched, error = qsxtest::kUntouched;
    ASSERT_TRUE(funcs_->lpGetTransferStatus(transfer, &bytes, &error));
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(error, USB_NO_ERROR);
    EXPECT_EQ(buffer[2], 3);
    EXPECT_TRUE(funcs_->lpCloseTransfer(transfer));
    EXPECT_TRUE(funcs_->lpClosePipe(pipe));
}

TEST_F(UsbHostTest, ClosePipeEndsAWaitingInTransferWithAnError) {
    USB_PIPE pipe = Open(0x83);
    ASSERT_NE(pipe, nullptr);
    BYTE buffer[8];
    USB_TRANSFER transfer = nullptr;
    std::thread reader([&] {
        transfer = funcs_->lpIssueBulkTransfer(pipe, nullptr, nullptr, USB_IN_TRANSFER,
                                               sizeof buffer, buffer, 0);
    });
    // Wait until the device holds the transfer, then close the pipe under it.
    ASSERT_TRUE(qsxtest::WaitUntil([] { return standin::UsbOpenTransferCount() > 0; }));
    EXPECT_TRUE(funcs_->lpClosePipe(pipe));
    reader.join();  // ClosePipe returned only after the reader left the host stack
    DWORD bytes = 0, error = 0;
    ASSERT_TRUE(funcs_->lpGetTransferStatus(transfer, &bytes, &error));
    EXPECT_EQ(error, USB_CANCELED_ERROR);
    EXPECT_EQ(bytes, 0u);
    EXPECT_TRUE(funcs_->lpCloseTransfer(transfer));
    // The pipe is gone for good.
    EXPECT_EQ(funcs_->lpIssueBulkTransfer(pipe, nullptr, nullptr, USB_IN_TRANSFER, sizeof buffer,
                                          buffer, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(funcs_->lpClosePipe(pipe));
}

TEST_F(UsbHostTest, NotifyRoutineRunsOnAHostStackThread) {
    HANDLE done = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    USB_DEVICE_REQUEST request{0x40, 0x10, 1, 0, 0};
    DWORD bytes = 0, error = 0;
    gNotifyThread = 0;
    USB_TRANSFER transfer =
        funcs_->lpIssueVendorTransfer(hDevice_, RecordingNotify, done, 0, &request, nullptr, 0);
    ASSERT_NE(transfer, nullptr);
    ASSERT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
    EXPECT_NE(gNotifyThread.load(), 0u);
    EXPECT_NE(gNotifyThread.load(), GetCurrentThreadId());
    ASSERT_TRUE(funcs_->lpGetTransferStatus(transfer, &bytes, &error));
    EXPECT_EQ(error, USB_NO_ERROR);
    EXPECT_TRUE(funcs_->lpCloseTransfer(transfer));
    CloseHandle(done);
}

TEST_F(UsbHostTest, ClosingAPendingTransferAbortsItAndForgetsTheHandle) {
    device_->Expect({std::nullopt, Outcome::kNeverAnswer});
    USB_DEVICE_REQUEST request{0x40, 0x20, 0, 0, 4};
    BYTE data[4] = {1, 2, 3, 4};
    HANDLE done = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    USB_TRANSFER transfer =
        funcs_->lpIssueVendorTransfer(hDevice_, RecordingNotify, done, 0, &request, data, 0);
    ASSERT_NE(transfer, nullptr);
    DWORD bytes = qsxtest::kUntouched, error = qsxtest::kUntouched;
    ASSERT_TRUE(funcs_->lpGetTransferStatus(transfer, &bytes, &error));
    EXPECT_EQ(error, USB_NOT_COMPLETE_ERROR);
    EXPECT_FALSE(funcs_->lpIsTransferComplete(transfer));
    EXPECT_TRUE(funcs_->lpCloseTransfer(transfer));
    EXPECT_FALSE(funcs_->lpGetTransferStatus(transfer, &bytes, &error));
    EXPECT_FALSE(funcs_->lpCloseTransfer(transfer));
    // The client closed it itself, so its routine is not called.
    EXPECT_EQ(WaitForSingleObject(done, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_EQ(device_->Requests().size(), 1u);
    EXPECT_EQ(device_->Requests()[0].data, (std::vector<BYTE>{1, 2, 3, 4}));
    CloseHandle(done);
}

BOOL WINAPI CountingDeviceNotify(LPVOID counter, DWORD code, LPDWORD *, LPDWORD *, LPDWORD *,
                                 LPDWORD *) {
    if (code == USB_CLOSE_DEVICE) ++*static_cast<std::atomic<int> *>(counter);
    return TRUE;
}

TEST_F(UsbHostTest, RemovalFailsPendingTransfersThenNotifiesTheClient) {
    std::atomic<int> closes{0};
    ASSERT_TRUE(funcs_->lpRegisterNotificationRoutine(hDevice_, CountingDeviceNotify, &closes));
    USB_PIPE pipe = Open(0x82);
    BYTE buffer[8];
    USB_TRANSFER transfer = nullptr;
    std::thread reader([&] {
        transfer = funcs_->lpIssueBulkTransfer(pipe, nullptr, nullptr, USB_IN_TRANSFER,
                                               sizeof buffer, buffer, 0);
    });
    ASSERT_TRUE(qsxtest::WaitUntil([] { return standin::UsbOpenTransferCount() > 0; }));
    EXPECT_TRUE(standin::UsbRemoveDevice(hDevice_));
    reader.join();
    EXPECT_EQ(closes.load(), 1);
    DWORD bytes = 0, error = 0;
    ASSERT_TRUE(funcs_->lpGetTransferStatus(transfer, &bytes, &error));
    EXPECT_EQ(error, USB_DEVICE_NOT_RESPONDING_ERROR);
    EXPECT_TRUE(funcs_->lpCloseTransfer(transfer));
    // Nothing new can be issued on a removed device, and it is removed only once.
    EXPECT_EQ(funcs_->lpIssueBulkTransfer(pipe, nullptr, nullptr, USB_IN_TRANSFER, sizeof buffer,
                                          buffer, 0),
              nullptr);
    EXPECT_FALSE(standin::UsbRemoveDevice(hDevice_));
    EXPECT_EQ(funcs_->lpGetDeviceInfo(hDevice_), nullptr);
    EXPECT_TRUE(funcs_->lpClosePipe(pipe));
    hDevice_ = nullptr;
}

}  // namespace
