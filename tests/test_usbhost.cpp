// The stand-in host stack's transfer machinery, driven through the client function table
// the way a client driver uses it.
#include <gtest/gtest.h>

#include <standin/kernel.h>
#include <standin/registry.h>
#include <standin/usbbus.h>

#include <atomic>
#include <functional>
#include <future>
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
        if (hDevice_) {
            EXPECT_TRUE(qsxtest::RemoveAndWait(hDevice_));
        }
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
    EXPECT_TRUE(standin::UsbWaitHostStack(hDevice_, 10000));
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

// A client whose notification routine blocks until the test lets it go.
struct BlockingClient {
    HANDLE entered = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> thread{0};
    ~BlockingClient() {
        CloseHandle(entered);
        CloseHandle(release);
    }
};
BOOL WINAPI BlockingDeviceNotify(LPVOID context, DWORD code, LPDWORD *, LPDWORD *, LPDWORD *, LPDWORD *) {
    auto *client = static_cast<BlockingClient *>(context);
    if (code != USB_CLOSE_DEVICE) return FALSE;
    client->thread = GetCurrentThreadId();
    SetEvent(client->entered);
    WaitForSingleObject(client->release, 10000);
    return TRUE;
}

// The host stack notifies a removal on its own worker thread, not on the thread that
// reported it; while the routine blocks, later removals and attaches wait their turn.
TEST_F(UsbHostTest, RemovalNotifiesOnTheHostStackThreadAndLaterWorkWaitsForIt) {
    BlockingClient client;
    ASSERT_TRUE(funcs_->lpRegisterNotificationRoutine(hDevice_, BlockingDeviceNotify, &client));
    USB_HANDLE other = standin::UsbAddDevice(std::make_shared<ScriptDevice>());
    std::atomic<int> closes{0};
    ASSERT_TRUE(funcs_->lpRegisterNotificationRoutine(other, CountingDeviceNotify, &closes));

    EXPECT_TRUE(standin::UsbRemoveDevice(hDevice_));
    ASSERT_EQ(WaitForSingleObject(client.entered, 10000), WAIT_OBJECT_0);
    EXPECT_NE(client.thread.load(), GetCurrentThreadId());
    EXPECT_TRUE(standin::UsbRemoveDevice(other));
    USB_HANDLE plugged = standin::UsbPlug(std::make_shared<ScriptDevice>());
    EXPECT_FALSE(standin::UsbWaitHostStack(hDevice_, 0));
    EXPECT_FALSE(standin::UsbWaitHostStack(other, 0));
    EXPECT_FALSE(standin::UsbWaitHostStack(plugged, 0));
    EXPECT_EQ(closes.load(), 0);

    SetEvent(client.release);
    // One after the other, in the order they were asked for.
    EXPECT_TRUE(standin::UsbWaitHostStack(plugged, 10000));
    EXPECT_TRUE(standin::UsbWaitHostStack(other, 0));
    EXPECT_TRUE(standin::UsbWaitHostStack(hDevice_, 0));
    EXPECT_EQ(closes.load(), 1);
    EXPECT_EQ(standin::UsbDeviceCount(), 1u);  // the one just plugged
    EXPECT_TRUE(qsxtest::RemoveAndWait(plugged));
    hDevice_ = nullptr;
}

// On the device a closed pipe or transfer is freed memory: every later use of its handle
// stops the program, naming the call and the handle. A value that never was a handle of
// that kind is refused cleanly.
class UsbHostDeathTest : public UsbHostTest {};

TEST_F(UsbHostDeathTest, UsingAClosedPipeOrTransferStopsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    USB_PIPE pipe = Open(0x82);
    ASSERT_NE(pipe, nullptr);
    ASSERT_TRUE(funcs_->lpClosePipe(pipe));
    USB_DEVICE_REQUEST request{0x40, 0x10, 1, 0, 0};
    USB_TRANSFER transfer = funcs_->lpIssueVendorTransfer(hDevice_, nullptr, nullptr, 0, &request, nullptr, 0);
    ASSERT_NE(transfer, nullptr);
    ASSERT_TRUE(funcs_->lpCloseTransfer(transfer));

    BYTE buffer[8];
    BOOL halted = FALSE;
    DWORD bytes = 0, error = 0;
    const struct {
        const char *message;
        std::function<void()> use;
    } cases[] = {
        {"IssueBulkTransfer on pipe",
         [&] { funcs_->lpIssueBulkTransfer(pipe, nullptr, nullptr, USB_IN_TRANSFER, sizeof buffer, buffer, 0); }},
        {"IssueInterruptTransfer on pipe",
         [&] { funcs_->lpIssueInterruptTransfer(pipe, nullptr, nullptr, USB_IN_TRANSFER, sizeof buffer, buffer, 0); }},
        {"AbortPipeTransfers on pipe", [&] { funcs_->lpAbortPipeTransfers(pipe, 0); }},
        {"ResetPipe on pipe", [&] { funcs_->lpResetPipe(pipe); }},
        {"IsPipeHalted on pipe", [&] { funcs_->lpIsPipeHalted(pipe, &halted); }},
        {"ClosePipe on pipe", [&] { funcs_->lpClosePipe(pipe); }},
        {"GetTransferStatus on transfer", [&] { funcs_->lpGetTransferStatus(transfer, &bytes, &error); }},
        {"IsTransferComplete on transfer", [&] { funcs_->lpIsTransferComplete(transfer); }},
        {"AbortTransfer on transfer", [&] { funcs_->lpAbortTransfer(transfer, 0); }},
        {"CloseTransfer on transfer", [&] { funcs_->lpCloseTransfer(transfer); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_DEATH(c.use(), std::string(c.message) + " 0x[0-9a-f]+, which was closed");
    }

    // Never a pipe, never a transfer: a clean failure.
    SetLastError(qsxtest::kUntouched);
    EXPECT_FALSE(funcs_->lpClosePipe(reinterpret_cast<USB_PIPE>(transfer)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(funcs_->lpGetTransferStatus(reinterpret_cast<USB_TRANSFER>(pipe), &bytes, &error));
    EXPECT_EQ(funcs_->lpIssueBulkTransfer(nullptr, nullptr, nullptr, 0, 0, nullptr, 0), nullptr);
}

// A completion routine that holds the completion thread until the test lets it go.
struct Gate {
    HANDLE entered = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    HANDLE open = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    ~Gate() {
        CloseHandle(entered);
        CloseHandle(open);
    }
};
DWORD WINAPI GateRoutine(LPVOID gate) {
    SetEvent(static_cast<Gate *>(gate)->entered);
    WaitForSingleObject(static_cast<Gate *>(gate)->open, INFINITE);
    return 0;
}
DWORD WINAPI CountingRoutine(LPVOID counter) {
    ++*static_cast<std::atomic<int> *>(counter);
    return 0;
}

// Each abort returns only after the completion routine of the transfer it ended has run,
// even while that routine waits in line behind another one; with USB_NO_WAIT it returns
// at once.
TEST_F(UsbHostTest, AbortsReturnOnlyAfterTheRoutinesOfWhatTheyEndedRan) {
    enum class Call { kAbortTransfer, kAbortPipeTransfers, kClosePipe, kAbortTransferNoWait };
    for (Call call : {Call::kAbortTransfer, Call::kAbortPipeTransfers, Call::kClosePipe, Call::kAbortTransferNoWait}) {
        SCOPED_TRACE(static_cast<int>(call));
        USB_PIPE pipe = Open(0x82);
        ASSERT_NE(pipe, nullptr);
        std::atomic<int> ran{0};
        BYTE buffer[8];
        USB_TRANSFER waiting = funcs_->lpIssueBulkTransfer(pipe, CountingRoutine, &ran,
                                                           USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK,
                                                           sizeof buffer, buffer, 0);
        ASSERT_NE(waiting, nullptr);
        // Hold the completion thread inside another transfer's routine.
        Gate gate;
        USB_DEVICE_REQUEST request{0x40, 0x10, 1, 0, 0};
        USB_TRANSFER holder = funcs_->lpIssueVendorTransfer(hDevice_, GateRoutine, &gate, 0, &request, nullptr, 0);
        ASSERT_NE(holder, nullptr);
        ASSERT_EQ(WaitForSingleObject(gate.entered, 10000), WAIT_OBJECT_0);

        auto aborted = std::async(std::launch::async, [&] {
            switch (call) {
            case Call::kAbortTransfer: funcs_->lpAbortTransfer(waiting, 0); break;
            case Call::kAbortTransferNoWait: funcs_->lpAbortTransfer(waiting, USB_NO_WAIT); break;
            case Call::kAbortPipeTransfers: funcs_->lpAbortPipeTransfers(pipe, 0); break;
            case Call::kClosePipe: funcs_->lpClosePipe(pipe); break;
            }
            return ran.load();
        });
        if (call == Call::kAbortTransferNoWait) {
            ASSERT_EQ(aborted.wait_for(std::chrono::seconds(10)), std::future_status::ready);
            EXPECT_EQ(aborted.get(), 0);  // its routine still waits behind the held one
            SetEvent(gate.open);
        } else {
            ASSERT_TRUE(qsxtest::WaitUntil([&] { return funcs_->lpIsTransferComplete(waiting) != FALSE; }));
            SetEvent(gate.open);
            EXPECT_EQ(aborted.get(), 1);
        }
        ASSERT_TRUE(qsxtest::WaitUntil([&] { return ran.load() == 1; }));
        EXPECT_TRUE(funcs_->lpCloseTransfer(waiting));
        EXPECT_TRUE(funcs_->lpCloseTransfer(holder));
        if (call != Call::kClosePipe) {
            EXPECT_TRUE(funcs_->lpClosePipe(pipe));
        }
    }
}

// An abort made inside a completion routine cannot wait for the completion thread, which
// is running it: the routines it ends run there and then, and its own is not waited for.
struct InsideRoutine {
    LPCUSB_FUNCS funcs;
    USB_PIPE pipe;
    USB_TRANSFER self = nullptr;
    std::atomic<int> ran{0};  // the routine of the transfer on `pipe`
    int ranWhenAbortReturned = -1;
    HANDLE done = CreateEvent(nullptr, TRUE, FALSE, nullptr);
};
DWORD WINAPI AbortingRoutine(LPVOID context) {
    auto *c = static_cast<InsideRoutine *>(context);
    c->funcs->lpAbortPipeTransfers(c->pipe, 0);
    c->ranWhenAbortReturned = c->ran.load();
    c->funcs->lpAbortTransfer(c->self, 0);  // already complete, its routine is this one
    SetEvent(c->done);
    return 0;
}

TEST_F(UsbHostTest, AbortInsideACompletionRoutineDoesNotWaitForItself) {
    InsideRoutine c;
    c.funcs = funcs_;
    c.pipe = Open(0x82);
    ASSERT_NE(c.pipe, nullptr);
    BYTE buffer[8];
    USB_TRANSFER waiting = funcs_->lpIssueBulkTransfer(c.pipe, CountingRoutine, &c.ran, USB_IN_TRANSFER,
                                                       sizeof buffer, buffer, 0);
    ASSERT_NE(waiting, nullptr);
    // The aborting transfer waits for data on another pipe, so that its handle is known to
    // the routine before the routine can run.
    USB_PIPE trigger = Open(0x83);
    BYTE other[8];
    c.self = funcs_->lpIssueBulkTransfer(trigger, AbortingRoutine, &c, USB_IN_TRANSFER, sizeof other, other, 0);
    ASSERT_NE(c.self, nullptr);
    device_->QueueIn(0x83, {1});
    ASSERT_EQ(WaitForSingleObject(c.done, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(c.ranWhenAbortReturned, 1);
    EXPECT_EQ(c.ran.load(), 1);
    EXPECT_TRUE(funcs_->lpCloseTransfer(waiting));
    EXPECT_TRUE(funcs_->lpCloseTransfer(c.self));
    EXPECT_TRUE(funcs_->lpClosePipe(c.pipe));
    EXPECT_TRUE(funcs_->lpClosePipe(trigger));
    CloseHandle(c.done);
}

// A client id is registered as its key under Drivers\USB\ClientDrivers, where the client
// keeps its configuration; unregistering deletes that key with everything below it.
TEST(UsbClientRegistration, IdIsTheClientKeyAndUnregisteringDeletesItWithItsSubkeys) {
    standin::ClearRegistry();
    const std::u16string mine = u"Drivers\\USB\\ClientDrivers\\Mine";
    const std::u16string kept = u"Drivers\\USB\\ClientDrivers\\Kept";
    ASSERT_TRUE(standin::LoadRegText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Drivers\\USB\\ClientDrivers\\Kept]\n"
                                     "\"Dll\"=\"kept.dll\"\n"));
    EXPECT_TRUE(RegisterClientDriverID(u"Mine"));
    EXPECT_NE(standin::DumpRegistry(HKEY_LOCAL_MACHINE, mine), "");
    EXPECT_TRUE(RegisterClientDriverID(u"Kept"));
    EXPECT_NE(standin::DumpRegistry(HKEY_LOCAL_MACHINE, kept).find("\"Dll\"=\"kept.dll\""), std::string::npos);

    ASSERT_TRUE(standin::LoadRegText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Drivers\\USB\\ClientDrivers\\Mine\\PORT0]\n"
                                     "\"Interface\"=dword:00000002\n"));
    EXPECT_TRUE(UnRegisterClientDriverID(u"MINE"));  // key names ignore case
    EXPECT_EQ(standin::DumpRegistry(HKEY_LOCAL_MACHINE, mine), "");
    SetLastError(qsxtest::kUntouched);
    EXPECT_FALSE(UnRegisterClientDriverID(u"Mine"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_NE(standin::DumpRegistry(HKEY_LOCAL_MACHINE, kept), "");  // another client's key stays
    EXPECT_FALSE(RegisterClientDriverID(u""));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    standin::ClearRegistry();
}

}  // namespace
