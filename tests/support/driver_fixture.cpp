// Device-record fixture for the driver's unit suites.
#include "driver_fixture.h"

#include <standin/kernel.h>

namespace qsxtest {

void DriverFixture::SetUp() {
    standin::ClearConsole();
    standin::ClearTimedCalls();
}

void DriverFixture::Attach(std::shared_ptr<ScriptDevice> device, WORD portCount) {
    device_ = device ? std::move(device) : std::make_shared<ScriptDevice>();
    hDevice_ = standin::UsbAddDevice(device_);
    fps_ = static_cast<PUSBFPS>(LocalAlloc(LPTR, sizeof(UsbFps)));
    ASSERT_NE(fps_, nullptr);
    fps_->Sig = USBFPS_SIG;
    InitializeCriticalSection(&fps_->StateLock);
    InitializeCriticalSection(&fps_->BulkOutLock);
    InitializeCriticalSection(&fps_->VendorLock);
    fps_->hDevice = hDevice_;
    fps_->UsbFuncs = standin::UsbFunctionTable();
    fps_->Flags = FPS_ACTIVE;
    fps_->VendorEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    fps_->PortCount = portCount;
    ASSERT_NE(fps_->VendorEvent, nullptr);
}

void DriverFixture::TearDown() {
    if (fps_) {
        CloseHandle(fps_->VendorEvent);
        DeleteCriticalSection(&fps_->StateLock);
        DeleteCriticalSection(&fps_->BulkOutLock);
        DeleteCriticalSection(&fps_->VendorLock);
        LocalFree(fps_);
    }
    if (hDevice_) {
        EXPECT_TRUE(RemoveAndWait(hDevice_));
    }
    EXPECT_EQ(standin::UsbOpenTransferCount(), 0u) << "a transfer was never closed";
}

ScopedTimeScale::ScopedTimeScale(double scale) { standin::SetTimeScale(scale); }
ScopedTimeScale::~ScopedTimeScale() { standin::SetTimeScale(1.0); }

}  // namespace qsxtest

#include <chrono>
#include <thread>

namespace qsxtest {
bool WaitUntil(const std::function<bool()> &condition, int boundMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}
}  // namespace qsxtest

namespace qsxtest {

namespace {
// Real milliseconds: an attach or a removal at the slowest time scale the suites use, on a
// loaded machine, with room to spare.
constexpr DWORD kHostStackBound = 120000;
}  // namespace

USB_HANDLE PlugAndWait(std::shared_ptr<standin::UsbDevice> device) {
    USB_HANDLE handle = standin::UsbPlug(std::move(device));
    EXPECT_TRUE(standin::UsbWaitHostStack(handle, kHostStackBound)) << "the attach never ended";
    return handle;
}

bool UnplugAndWait(USB_HANDLE device) {
    return standin::UsbUnplug(device) && standin::UsbWaitHostStack(device, kHostStackBound);
}

bool RemoveAndWait(USB_HANDLE device) {
    return standin::UsbRemoveDevice(device) && standin::UsbWaitHostStack(device, kHostStackBound);
}

}  // namespace qsxtest
