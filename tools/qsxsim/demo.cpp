// The demo: one 4-port adapter is plugged, its bring-up shown from the debug console and
// the adapter's request log, every port (wired as a loopback) is opened through the
// platform's serial API and moves data both ways at once, byte-exact, with a live
// throughput line; then the adapter is unplugged. Every step adds checks; the demo exits
// 0 only if all held.
#include "demo.h"

#include <standin/gwes.h>
#include <standin/kernel.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "qsxport_run.h"
#include "resource.h"

namespace qsxsim {

namespace {

int failures = 0;

void Check(bool ok, const char *what) {
    std::printf("  [%s] %s\n", ok ? " ok " : "FAIL", what);
    if (!ok) failures++;
}

// With the device's images: the module `name` that runs is the image file of that name in
// the folder given, not the Linux build.
void CheckRunsImage(const char16_t *name) {
    const std::string folder = Device::DeviceImageFolder();
    if (folder.empty()) return;
    const std::string file = standin::ToUtf8(name);
    const std::string loaded = Device::LoadedFrom(name);
    std::error_code ec;
    const bool image = !loaded.empty() && std::filesystem::equivalent(loaded, folder + "/" + file, ec);
    std::printf("  %s runs from %s\n", file.c_str(), loaded.empty() ? "(not loaded)" : loaded.c_str());
    Check(image, (file + " is the device's own image").c_str());
}

const char *RequestName(BYTE code) {
    switch (code) {
    case 0x0C: return "begin firmware download";
    case 0x20: return "firmware block";
    case 0x0D: return "end of image";
    case 0x0E: return "start firmware";
    case 0x0F: return "receive FIFO";
    case 0x10: return "interface mode";
    case 0x09: return "purge";
    default: return "vendor request";
    }
}

void ShowBringUp(Device &device, const PluggedAdapter &plugged) {
    std::printf("\nqsxsim: what the adapter received\n");
    std::map<BYTE, int> counts;
    std::vector<VendorRecord> log = plugged.adapter->VendorLog();
    size_t blockBytes = 0;
    for (const auto &r : log) {
        counts[r.setup.bRequest]++;
        if (r.setup.bRequest == 0x20) blockBytes += r.data.size();
        else
            std::printf("  t=%6lu ms  request 0x%02X %-24s value %u index %u\n",
                        static_cast<unsigned long>(r.tick - log.front().tick), r.setup.bRequest,
                        RequestName(r.setup.bRequest), r.setup.wValue, r.setup.wIndex);
    }
    std::printf("  %d firmware blocks, %zu bytes\n", counts[0x20], blockBytes);

    std::printf("\nqsxsim: ports bound to the COM driver\n");
    auto ports = device.PortEntries();
    for (const PortEntry &e : ports) std::printf("  %s  %s\n", e.entry.c_str(), e.name.c_str());

    std::printf("\nqsxsim: checks\n");
    Check(plugged.handle != nullptr, "QSXPDD took the adapter");
    CheckRunsImage(u"QSXPDD.dll");
    Check(plugged.adapter->Usable(), "the firmware image arrived whole and the adapter runs it");
    Check(counts[0x20] == 522, "the 33392-byte image went out as 522 blocks");
    Check(ports.size() == 4, "all four ports are bound");
    Check(counts[0x10] == 4, "every port was sent its interface mode");
}

// Every port, wired as a loopback, sends kVolume bytes and reads them back, all ports at
// once, through CreateFileW / WriteFile / ReadFile on "$device\COMn".
void MoveData(const PluggedAdapter &plugged) {
    // The line runs at its baud rate: at the family's top rate these take about 0.4 s.
    constexpr size_t kVolume = 32 * 1024;
    constexpr DWORD kBaud = 921600;
    // Nothing pushes back on a sender whose receiver falls behind (a line without flow
    // control), so a sender stays at most this far ahead of its own reader, well inside
    // the driver's receive ring.
    constexpr size_t kAhead = 8192;

    std::printf("\nqsxsim: moving %zu KiB through each port (loopback at %lu baud 8N1, all ports at once)\n",
                kVolume / 1024, static_cast<unsigned long>(kBaud));
    const size_t n = plugged.ports.size();
    std::vector<HANDLE> handles;
    bool opened = n > 0;
    for (size_t i = 0; i < n; i++) {
        plugged.adapter->WireLoopback(static_cast<int>(i));
        std::u16string name = u"$device\\" + standin::FromUtf8(plugged.ports[i].device);
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            std::printf("  %s cannot be opened (error %lu)\n", plugged.ports[i].device.c_str(),
                        static_cast<unsigned long>(GetLastError()));
            opened = false;
            break;
        }
        handles.push_back(h);
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(h, &dcb);
        dcb.BaudRate = kBaud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        opened = opened && SetCommState(h, &dcb);
        // A read takes what has come, waiting up to a second for the first byte.
        COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 1000, 0, 0};
        opened = opened && SetCommTimeouts(h, &t);
    }
    Check(opened, "every port opens through the platform's serial API");
    if (!opened) {
        for (HANDLE h : handles) CloseHandle(h);
        return;
    }

    std::vector<std::vector<BYTE>> sent(n), received(n);
    for (size_t i = 0; i < n; i++) {
        sent[i].resize(kVolume);
        std::mt19937 rng(static_cast<unsigned>(i + 1));
        for (BYTE &b : sent[i]) b = static_cast<BYTE>(rng());
        received[i].reserve(kVolume);
    }
    std::mutex lock;
    std::condition_variable progress;
    std::vector<size_t> consumed(n, 0);  // lock: bytes port i has read back
    bool stop = false;                   // lock: a reader gave up
    std::vector<DWORD> errors(n, 0);
    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < n; i++) {
        threads.emplace_back([&, i] {
            size_t done = 0;
            while (done < kVolume) {
                {
                    std::unique_lock g(lock);
                    progress.wait(g, [&] { return stop || done - consumed[i] <= kAhead; });
                    if (stop) return;
                }
                DWORD wrote = 0;
                DWORD chunk = static_cast<DWORD>(std::min<size_t>(4096, kVolume - done));
                if (!WriteFile(handles[i], sent[i].data() + done, chunk, &wrote, nullptr) || wrote == 0) {
                    std::lock_guard g(lock);
                    errors[i] = GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
                    return;
                }
                done += wrote;
            }
        });
        threads.emplace_back([&, i] {
            BYTE buffer[8192];
            int idle = 0;
            while (received[i].size() < kVolume && idle < 5) {
                DWORD got = 0;
                if (!ReadFile(handles[i], buffer, sizeof buffer, &got, nullptr)) {
                    std::lock_guard g(lock);
                    errors[i] = GetLastError();
                    break;
                }
                idle = got ? 0 : idle + 1;  // five quiet seconds: the bytes are not coming
                received[i].insert(received[i].end(), buffer, buffer + got);
                std::lock_guard g(lock);
                consumed[i] = received[i].size();
                progress.notify_all();
            }
            std::lock_guard g(lock);
            if (received[i].size() < kVolume) stop = true;
            consumed[i] = received[i].size();
            progress.notify_all();
        });
    }

    // The live line: redrawn in place on a terminal, printed once at the end otherwise.
    const bool live = isatty(STDOUT_FILENO);
    auto line = [&](bool last) {
        size_t total = 0;
        {
            std::lock_guard g(lock);
            for (size_t c : consumed) total += c;
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%s  %4zu of %zu KiB back, %7.0f KiB/s", live ? "\r" : "", total / 1024, n * kVolume / 1024,
                    seconds > 0 ? total / 1024.0 / seconds : 0.0);
        if (last) std::printf("\n");
        std::fflush(stdout);
    };
    {
        std::unique_lock g(lock);
        auto finished = [&] {
            if (stop) return true;
            for (size_t c : consumed)
                if (c < kVolume) return false;
            return true;
        };
        while (!progress.wait_for(g, std::chrono::milliseconds(200), finished)) {
            if (live) {
                g.unlock();
                line(false);
                g.lock();
            }
        }
    }
    for (auto &t : threads) t.join();
    line(true);

    bool exact = true, clean = true;
    for (size_t i = 0; i < n; i++) {
        exact = exact && errors[i] == 0 && received[i] == sent[i];
        DWORD lineErrors = 0;
        COMSTAT stat{};
        clean = clean && ClearCommError(handles[i], &lineErrors, &stat) && lineErrors == 0;
        CloseHandle(handles[i]);
    }
    Check(exact, "every port read back exactly the bytes it sent");
    Check(clean, "no line or overflow errors on any port");
    Check(plugged.adapter->FrameErrors().empty(), "the adapter took every transmit frame");
}

}  // namespace


// Reads a DWORD value of an HKLM key; -1 when it cannot be read.
static long long RegistryNumber(const std::u16string &key, const char16_t *name) {
    HKEY h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &h) != ERROR_SUCCESS) return -1;
    DWORD value = 0, cb = sizeof value, type = 0;
    LONG r = RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &cb);
    RegCloseKey(h);
    return r == ERROR_SUCCESS && type == REG_DWORD ? static_cast<long long>(value) : -1;
}

// Runs QSXPORT as a user would (through the dialog manager's headless view): COM12: is set
// to RS-422 with its FIFO on and saved; the adapter's port changes mode at once and the
// port's next open applies the stored values.
static void ConfigurePort(PluggedAdapter &plugged) {
    namespace gwes = standin::gwes;
    using namespace std::chrono_literals;
    std::printf("\nqsxsim: running QSXPORT: COM12: to RS-422, FIFO on, Save\n");
    gwes::ClearRecords();
    std::u16string commandLine;
    std::string runError;
    std::thread program([&] {
        if (RunQsxport(commandLine, &runError) < 0 && !runError.empty())
            std::printf("  qsxsim: %s\n", runError.c_str());
    });
    HWND dlg = gwes::WaitForWindow(u"Velmir Configuration Utility", 20s);
    CheckRunsImage(u"QSXPORT.exe");
    bool saved = false;
    if (dlg && gwes::SelectComboItem(dlg, IDC_PORTS, u"COM12:") &&
        gwes::SelectComboItem(dlg, IDC_INTERFACE, u"RS-422") &&
        gwes::SelectComboItem(dlg, IDC_FIFO, u"FIFO Enable") && gwes::Click(dlg, IDC_SAVE)) {
        for (int i = 0; i < 400 && gwes::MessageBoxes().empty(); i++) std::this_thread::sleep_for(25ms);
        auto boxes = gwes::MessageBoxes();
        if (!boxes.empty()) {
            std::printf("  QSXPORT says \"%s\" (%s)\n", standin::ToUtf8(boxes[0].text).c_str(),
                        standin::ToUtf8(boxes[0].title).c_str());
            saved = boxes[0].text == u"Saved Ok!!";
            gwes::AnswerMessageBox(IDOK, boxes[0].box);
            gwes::WaitClosed(boxes[0].box, 10s);
        }
    }
    // Leave the program whatever happened above.
    while (gwes::WaitForWindow(u"Velmir Configuration Utility", 100ms)) {
        gwes::AnswerMessageBox(IDCANCEL);
        if (HWND d = gwes::WaitForWindow(u"Velmir Configuration Utility", 100ms)) gwes::Click(d, IDC_EXIT);
        gwes::WaitClosed(dlg, 1s);
    }
    program.join();
    Check(saved, "QSXPORT saved the port's settings");

    std::u16string entry;
    for (const auto &p : Device::PortEntries())
        if (p.name == "COM12:") entry = standin::FromUtf8(p.entry);
    long long iface = RegistryNumber(entry, u"Interface"), fifo = RegistryNumber(entry, u"FIFO");
    std::printf("  registry %s: Interface=%lld FIFO=%lld\n", standin::ToUtf8(entry).c_str(), iface, fifo);
    std::printf("  adapter port 1 (COM12:) now in interface mode %d\n", plugged.adapter->InterfaceMode(1));
    Check(plugged.adapter->InterfaceMode(1) == 2, "the adapter's port switched to RS-422 at once");
    Check(iface == 2 && fifo == 1, "Interface and FIFO are stored in the port's active-driver entry");

    plugged.adapter->ClearVendorLog();
    HANDLE port = CreateFileW(u"$device\\COM12", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    auto log = plugged.adapter->VendorLog();
    for (const auto &r : log)
        std::printf("  reopened: request 0x%02X %-16s value %u index %u\n", r.setup.bRequest, RequestName(r.setup.bRequest),
                    r.setup.wValue, r.setup.wIndex);
    Check(port != INVALID_HANDLE_VALUE && log.size() >= 2 && log[0].setup.bRequest == 0x0F &&
              log[0].setup.wValue == 0 && log[1].setup.bRequest == 0x10 && log[1].setup.wValue == 2,
          "the port's next open sends FIFO on (15) and RS-422 (16)");
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
}

int RunDemo(const std::string &platformReg) {
    Device device;
    std::string error;
    std::printf("qsxsim: booting the simulated CE device\n");
    if (!device.Boot(platformReg, "", &error)) {
        std::fprintf(stderr, "qsxsim: %s\n", error.c_str());
        return 1;
    }
    // The firmware bar is redrawn in place; a console line printed meanwhile first ends the
    // bar's line, and the bar is drawn again below it.
    struct Screen {
        std::mutex lock;
        bool barOpen = false;  // the cursor sits at the end of a drawn bar
    };
    static Screen screen;
    standin::SetConsoleListener([](const std::string &m) {
        std::lock_guard g(screen.lock);
        if (screen.barOpen) std::printf("\n");
        screen.barOpen = false;
        std::printf("  console| %s", m.c_str());
    });

    const WORD productId = 0x7045;
    std::printf("\nqsxsim: plugging a 4-port high-speed adapter (product 0x%04X)\n", productId);
    DWORD start = GetTickCount();
    // A progress bar over the firmware download: 522 blocks and the requests 12, 13, 14.
    std::atomic<bool> attaching{true};
    std::thread progress;
    PluggedAdapter plugged = device.Plug(productId, true, [&](std::shared_ptr<Adapter> adapter) {
        progress = std::thread([adapter, &attaching] {
            const size_t total = 525;
            const bool live = isatty(STDOUT_FILENO);  // a redrawn line only on a terminal
            size_t shown = 0;
            while (attaching && shown < total) {
                size_t done = std::min(adapter->RequestCount(), total);
                if (done != shown && (live || done == total)) {
                    shown = done;
                    std::lock_guard g(screen.lock);
                    std::printf("\r  firmware [%-40s] %3zu%%%s", std::string(done * 40 / total, '#').c_str(),
                                done * 100 / total, done == total ? "\n" : "");
                    std::fflush(stdout);
                    screen.barOpen = done != total;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::lock_guard g(screen.lock);
            if (screen.barOpen) std::printf("\n");
            screen.barOpen = false;
        });
    });
    attaching = false;
    if (progress.joinable()) progress.join();
    std::printf("  attached in %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));
    ShowBringUp(device, plugged);
    if (plugged.handle) MoveData(plugged);

    if (plugged.handle) ConfigurePort(plugged);

    std::printf("\nqsxsim: unplugging\n");
    start = GetTickCount();
    device.Unplug(plugged);
    std::printf("  detached in %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));
    Check(device.PortEntries().empty(), "the ports are gone");
    Check(standin::RunningThreadCount() == 0, "no driver thread is left running");
    standin::SetConsoleListener(nullptr);

    std::printf("\nqsxsim: %s\n", failures ? "some checks FAILED" : "all checks held");
    return failures ? 1 : 0;
}

}  // namespace qsxsim
