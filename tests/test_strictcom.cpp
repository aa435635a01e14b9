// Removal under load behind a COM driver that leaves everything to the driver: its detach
// closes nothing and waits for nothing, nobody serialises the writers, and every port is
// closed by its application at a moment of its own choosing while the adapter is going and
// while the port's other threads may be blocked inside the exports. Whatever the order,
// every call must return, every thread end, and no call touch the record once it is freed.
#include <gtest/gtest.h>

#include <windows.h>

#include <kfuncs.h>
#include <standin/kernel.h>
#include <standin/usbbus.h>

#include <atomic>
#include <cstdlib>
#include <latch>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "attach_fixture.h"
#include "driver_fixture.h"
#include "strict_comdriver.h"

namespace {

using qsxtest::StrictBinding;
using qsxtest::StrictComDriver;

constexpr WORD kSixteenPorts = 0x7193;
constexpr DWORD kMask = EV_RXCHAR | EV_TXEMPTY;
constexpr DWORD kLatestClose = 1500;  // virtual ms after the unplug began; past the detach pause

// QSX_STRICTCOM_CYCLES raises the count for longer runs.
int Cycles() {
    const char *text = std::getenv("QSX_STRICTCOM_CYCLES");
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : 24;
}

// One port as its applications see it.
struct App {
    std::atomic<bool> closed{false};  // set by the port's closer just before ComClose
    std::atomic<uint64_t> read{0}, written{0}, events{0};
    std::atomic<uint64_t> foreign{0};  // bytes read that no writer of this port sent
};

class StrictComTest : public qsxtest::AttachFixture {
protected:
    void SetUp() override {
        AttachFixture::SetUp();
        StrictComDriver::Install();
    }
    void TearDown() override {
        StrictComDriver::Uninstall();
        AttachFixture::TearDown();
    }
};

TEST_F(StrictComTest, PortsClosedAtRandomDuringRemovalUnderLoad) {
    for (int cycle = 0; cycle < Cycles(); cycle++) {
        SCOPED_TRACE(testing::Message() << "cycle " << cycle);
        standin::ClearConsole();
        const size_t bound = StrictComDriver::Bindings().size();
        USB_HANDLE device = Plug(kSixteenPorts, true);
        ASSERT_TRUE(standin::UsbHasClient(device));
        const int ports = adapter_->PortCount();
        std::vector<StrictBinding> bindings = StrictComDriver::Bindings();
        ASSERT_EQ(bindings.size(), bound + ports);
        bindings.erase(bindings.begin(), bindings.begin() + static_cast<std::ptrdiff_t>(bound));
        auto *fps = static_cast<UsbFps *>(bindings[0].record);

        // The applications' own reference to the driver's code, as a COM driver keeps one.
        HMODULE driver = LoadDriver(u"QSXPDD.dll");
        qsxtest::StrictPortExports x;
        ASSERT_TRUE(x.Load(driver));
        std::vector<App> apps(ports);
        for (int p = 0; p < ports; p++) {
            ASSERT_TRUE(adapter_->WireLoopback(p));
            ASSERT_EQ(x.ComOpen(fps, p, u"Drivers\\USB\\ClientDrivers\\QSX_PORT\\PORT0"), 1u);
            x.Set_MaskEvent(fps, p, kMask, TRUE);
        }

        // Every thread tests its port's flag right before each call, so no call starts once
        // the closer has set it; one already past the test may still arrive after ComClose,
        // and the driver must give it the closed-port result.
        std::latch unplugging(1);
        std::vector<std::thread> threads;
        for (int p = 0; p < ports; p++) {
            App &a = apps[p];
            threads.emplace_back([&x, &a, fps, p] {  // reader
                std::vector<BYTE> buffer(2048);
                while (!a.closed) {
                    x.WaitDataEvent(fps, p, 50);
                    if (a.closed) break;
                    if (x.USBPortSatus(fps, 3, p) == 0) continue;
                    if (a.closed) break;
                    const DWORD n = x.ReadUsb(fps, buffer.data(), static_cast<DWORD>(buffer.size()), p);
                    for (DWORD i = 0; i < n; i++) a.foreign += (buffer[i] >> 1) != p;
                    a.read += n;
                }
            });
            // Two writers on every other port: nothing in front of the driver keeps them apart.
            for (int w = 0; w < (p % 2 ? 2 : 1); w++)
                threads.emplace_back([&x, &a, fps, p, w] {
                    const std::vector<BYTE> data(300, static_cast<BYTE>(2 * p + w));
                    while (!a.closed) {
                        const DWORD sent = x.WriteUsb(fps, data.data(), static_cast<DWORD>(data.size()), p);
                        a.written += sent;
                        if (sent == 0) Sleep(20);  // the adapter is going: retry, but not in a spin
                    }
                });
            threads.emplace_back([&x, &a, fps, p] {  // event waiter
                while (!a.closed) {
                    DWORD events = 0;
                    if (x.WaitComPortEvent(fps, p, &events)) {
                        a.events++;
                        continue;
                    }
                    // The mask was changed or emptied under the wait: set it again.
                    if (a.closed) break;
                    x.Set_MaskEvent(fps, p, kMask, TRUE);
                }
            });
            threads.emplace_back([&x, &a, &unplugging, fps, p, cycle] {  // closer
                unplugging.wait();
                std::mt19937 rng(static_cast<unsigned>(cycle * 131 + p));
                Sleep(std::uniform_int_distribution<DWORD>(0, kLatestClose)(rng));
                a.closed = true;
                x.ComClose(fps, p);
            });
        }

        const bool flowing = qsxtest::WaitUntil([&] {
            for (const App &a : apps)
                if (a.read < 2000) return false;
            return true;
        }, 60000);
        std::thread unplug([&] {
            unplugging.count_down();
            EXPECT_TRUE(qsxtest::UnplugAndWait(device));
        });
        unplug.join();
        for (auto &t : threads) t.join();
        FreeLibrary(driver);

        EXPECT_TRUE(flowing) << "data did not flow on every port before the unplug";
        EXPECT_TRUE(StrictComDriver::Violations().empty()) << StrictComDriver::Violations().front();
        bindings = StrictComDriver::Bindings();
        // Frames go out one at a time per adapter, so at most one can have reached the
        // adapter while the removal ended its transfer with an error: its bytes may come
        // back although its write reported nothing sent. Any more would be bytes made up.
        const uint64_t inFlight = adapter_->HighSpeed() ? 252 : 60;
        uint64_t read = 0, written = 0;
        for (int p = 0; p < ports; p++) {
            const StrictBinding &b = bindings[bound + p];
            EXPECT_EQ(b.detachCalls, 1u) << "port " << p;
            if (p > 0) {
                EXPECT_GT(b.detachOrder, bindings[bound + p - 1].detachOrder) << "port " << p;
            }
            EXPECT_EQ(apps[p].foreign, 0u) << "port " << p;
            read += apps[p].read;
            written += apps[p].written;
        }
        EXPECT_LE(read, written + inFlight);
        EXPECT_EQ(adapter_->HeldTransfers(), 0u);
        ASSERT_EQ(standin::RunningThreadCount(), 0u) << "a driver thread outlived the removal";
        if (HasFailure()) break;
    }
}

}  // namespace
