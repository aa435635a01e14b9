// A device record on a scripted device, set up the way attach leaves it before any port
// is bound, so the transfer and vendor-channel routines can be driven directly.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "qsxpdd.h"
#include "script_device.h"

namespace qsxtest {

// Pre-set value that shows whether a call left an out-parameter or the last error alone.
constexpr DWORD kUntouched = 0xdeadbeef;

class DriverFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Builds the record on `device` (the default device when null).
    void Attach(std::shared_ptr<ScriptDevice> device = nullptr, WORD portCount = 4);

    std::shared_ptr<ScriptDevice> device_;
    USB_HANDLE hDevice_ = nullptr;
    PUSBFPS fps_ = nullptr;
};

// Runs `body` at a time scale where one virtual millisecond lasts `scale` real ones, and
// restores real time afterwards.
class ScopedTimeScale {
public:
    explicit ScopedTimeScale(double scale);
    ~ScopedTimeScale();
};

}  // namespace qsxtest

namespace qsxtest {
// Polls `condition` until it holds or `boundMs` real milliseconds pass; returns whether it held.
bool WaitUntil(const std::function<bool()> &condition, int boundMs = 10000);

// The host stack attaches and removes devices on its own thread; these ask for it and wait
// (a generous bound) until it is done: false when the bound passed or the handle was
// unknown. Plugging returns the device handle; whether a client took it is UsbHasClient.
USB_HANDLE PlugAndWait(std::shared_ptr<standin::UsbDevice> device);
bool UnplugAndWait(USB_HANDLE device);  // UsbUnplug: the client is unloaded too
bool RemoveAndWait(USB_HANDLE device);  // UsbRemoveDevice
}  // namespace qsxtest
