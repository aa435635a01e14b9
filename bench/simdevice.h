// The simulated CE device for the whole-stack benchmarks (bench_endtoend, bench_linerate):
// the registry, QSXPDD installed as the host stack's client and the COM driver loaded
// (booted once a process), and one simulated adapter plugged with its COM ports open.
#pragma once

#include <windows.h>

#include <kfuncs.h>
#include <standin/kernel.h>
#include <standin/registry.h>
#include <standin/usbbus.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "adapter.h"

namespace benchsim {

constexpr DWORD kSixteenPorts = 0x7193;  // high speed, 16 ports
constexpr DWORD kFourPorts = 0x7045;     // full speed, 4 ports
constexpr DWORD kFirstComNumber = 11;

inline std::string ProgramFolder() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = 0;
    std::string s(path);
    return s.substr(0, s.rfind('/'));
}

// The simulated device: registry, QSXPDD installed as the host stack's client, the COM
// driver loaded. Booted once for the whole run.
inline bool Boot(std::string *error) {
    static bool booted = false;
    static std::string failure;
    if (booted || !failure.empty()) {
        *error = failure;
        return failure.empty();
    }
    standin::SetLibrarySearchPath({ProgramFolder() + "/../lib"});
    if (!standin::LoadRegFile(QSX_SOURCE_DIR "/tools/platform.reg", &failure)) {
    } else if (!standin::UsbInstallClient(u"QSXPDD.dll")) {
        failure = "QSXPDD could not be installed";
    } else if (!LoadDriver(u"QSXCOM.dll")) {
        failure = "the COM driver could not be loaded";
    }
    booted = failure.empty();
    *error = failure;
    return booted;
}

// One adapter plugged for one benchmark, with its ports open; unplugged at the end.
struct Plugged {
    std::shared_ptr<qsxsim::Adapter> adapter;
    USB_HANDLE device = nullptr;
    std::vector<HANDLE> ports;

    bool Plug(DWORD productId, std::string *error) {
        // The attach pauses for seconds of the device's time; a hundredth of real time
        // keeps the set-up short. Time-outs below are in the same virtual milliseconds.
        standin::SetTimeScale(0.01);
        adapter = qsxsim::Adapter::Create(static_cast<WORD>(productId), true);
        device = standin::UsbPlug(adapter);
        standin::UsbWaitHostStack(device);
        standin::SetTimeScale(1.0);
        if (!device || !standin::UsbHasClient(device)) {
            *error = "the adapter was not attached";
            return false;
        }
        for (int i = 0; i < adapter->PortCount(); i++) {
            std::u16string name = u"$device\\COM" + standin::FromUtf8(std::to_string(kFirstComNumber + i));
            HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
            if (h == INVALID_HANDLE_VALUE) {
                *error = "a port could not be opened";
                return false;
            }
            ports.push_back(h);
        }
        return true;
    }

    ~Plugged() {
        for (HANDLE h : ports) CloseHandle(h);
        standin::SetTimeScale(0.01);
        if (device && standin::UsbUnplug(device)) standin::UsbWaitHostStack(device);
        standin::SetTimeScale(1.0);
    }
};

// The byte a port sends at `offset` of its stream.
inline BYTE Pattern(int port, size_t offset) { return static_cast<BYTE>(offset * 7 + port * 31 + (offset >> 8)); }

}  // namespace benchsim
