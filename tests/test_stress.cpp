// Load with removal: every port of a 16-port adapter streams full duplex with a reader, a
// writer and an event waiter on it while masks change, a port is closed under its waiter
// and the adapter is unplugged in the middle of it all, again and again. Every blocked
// call must return, every thread end, and nothing be touched after it was released.
#include <gtest/gtest.h>

#include <windows.h>

#include <standin/devmgr.h>
#include <standin/kernel.h>
#include <standin/usbbus.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "attach_fixture.h"
#include "driver_fixture.h"

namespace {

class Stress : public qsxtest::AttachFixture {};

struct PortLoad {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::atomic<size_t> read{0}, written{0}, events{0};
};

TEST_F(Stress, UnplugUnderFullDuplexLoadEndsEveryCall) {
    const int cycles = 50;
    for (int cycle = 0; cycle < cycles; cycle++) {
        SCOPED_TRACE(cycle);
        USB_HANDLE device = Plug(0x7193, true);
        ASSERT_TRUE(standin::UsbHasClient(device));
        const int ports = adapter_->PortCount();
        std::vector<PortLoad> load(ports);
        for (int i = 0; i < ports; i++) {
            ASSERT_TRUE(adapter_->WireLoopback(i));
            std::u16string name = u"$device\\COM" + standin::FromUtf8(std::to_string(11 + i));
            load[i].handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         0, nullptr);
            ASSERT_NE(load[i].handle, INVALID_HANDLE_VALUE);
            COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 50, 0, 0};
            SetCommTimeouts(load[i].handle, &t);
            SetCommMask(load[i].handle, EV_RXCHAR | EV_TXEMPTY | EV_CTS);
        }

        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < ports; i++) {
            PortLoad &p = load[i];
            threads.emplace_back([&p, i] {
                std::vector<BYTE> data(700, static_cast<BYTE>(i));
                DWORD wrote;
                while (WriteFile(p.handle, data.data(), static_cast<DWORD>(data.size()), &wrote, nullptr))
                    p.written += wrote;
            });
            threads.emplace_back([&p, &stop] {
                BYTE buffer[2048];
                DWORD got;
                while (ReadFile(p.handle, buffer, sizeof buffer, &got, nullptr) && !(stop && got == 0))
                    p.read += got;
            });
            threads.emplace_back([&p] {
                DWORD events;
                for (;;) {
                    if (WaitCommEvent(p.handle, &events, nullptr)) {
                        p.events++;
                    } else {
                        DWORD error = GetLastError();
                        // An empty mask (a mask change ended the last wait) is set again;
                        // any other failure means the port is gone.
                        if (error != ERROR_INVALID_PARAMETER ||
                            !SetCommMask(p.handle, EV_RXCHAR | EV_TXEMPTY | EV_CTS))
                            return;
                    }
                }
            });
        }
        threads.emplace_back([&] {
            std::mt19937 rng(cycle);
            while (!stop) {
                SetCommMask(load[rng() % ports].handle, EV_RXCHAR | (rng() % 2 ? EV_TXEMPTY : 0));
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });

        // Let bytes flow on every port, then close one port under its waiter and pull the
        // adapter out from under the rest.
        ASSERT_TRUE(qsxtest::WaitUntil([&] {
            for (auto &p : load)
                if (p.read < 1000) return false;
            return true;
        }, 60000));
        std::thread closer([&] { CloseHandle(load[cycle % ports].handle); });
        ASSERT_TRUE(qsxtest::UnplugAndWait(device));
        stop = true;
        closer.join();
        for (auto &t : threads) t.join();
        for (int i = 0; i < ports; i++)
            if (i != cycle % ports) CloseHandle(load[i].handle);
        ASSERT_EQ(standin::RunningThreadCount(), 0u);
        ASSERT_EQ(standin::StreamDeviceCount(), 0u);
    }
}

}  // namespace
