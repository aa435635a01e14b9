// The stand-in COM driver. For every port QSXPDD binds, it registers the port with the
// platform: an active-driver entry "Drivers\Active\NN" whose "Key" names QSXPDD's driver
// key, with the port's "Name" ("COMn:"), "FullName", "COMNum" and the adapter's "USBPID",
// and a stream device "COMn" that applications open as "$device\COMn" (or "COMn:").
// Application reads, writes and serial device-control requests become calls of QSXPDD's
// port exports. Unbinding closes the port on the application's behalf, waits until no
// thread is inside QSXPDD for the port, and removes the device and the entry.
//
// Locks of one port, taken in this order: openLock_ (the open slot, ComOpen, ComClose),
// readLock_ or writeLock_ (one reader and one writer at a time), settings_ (DCB and
// time-outs), state_ (gone_ and the count of calls inside QSXPDD).
#include <windows.h>

#include <kfuncs.h>
#include <pegdser.h>
#include <standin/devmgr.h>
#include <standin/kernel.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "comdriver.h"
#include "qsxport.h"

namespace {

const char16_t kDriverKey[] = u"Drivers\\USB\\ClientDrivers\\QSX_PORT";
constexpr DWORD kFirstComNumber = 11;

// Vendor requests this driver sends through QSXPort_Vender.
constexpr DWORD kReqDtr = 0x11;           // wValue 1 on, 0 off
constexpr DWORD kReqRts = 0x12;           // wValue 1 on, 0 off
constexpr DWORD kReqBreak = 0x13;         // wValue 1 on, 0 off
constexpr DWORD kReqLineSettings = 0x14;  // 8 data bytes, see LineSettings()
constexpr DWORD kReqFlowControl = 0x15;   // wValue: FlowBits(); 2 data bytes, XON and XOFF
constexpr DWORD kReqFifoOff = 15;         // wValue 1 turns the receive FIFO off, 0 on
constexpr DWORD kReqInterfaceMode = 16;   // wValue: interface code
constexpr DWORD kMaxInterfaceCode = 3;
constexpr DWORD kMaxDword = 0xFFFFFFFF;  // the time-out fields' "endless" value

// USBPortSatus selectors.
constexpr BYTE kStatusHold = 1;
constexpr BYTE kStatusErrors = 2;
constexpr BYTE kStatusInQueue = 3;
constexpr BYTE kStatusModem = 4;

HMODULE gSelf;  // this library, as the loader named it to DllMain

std::mutex gLock;  // entry numbers and COM numbers are handed out one at a time
std::atomic<DWORD> gRefusePort{0xFFFFFFFF};
std::atomic<bool> gOmitName{false};

std::u16string ActiveKey(DWORD n) {
    char text[32];
    snprintf(text, sizeof text, "Drivers\\Active\\%02u", n);
    return standin::FromUtf8(text);
}

bool KeyExists(const std::u16string &path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// COM numbers already held by active entries.
bool ComNumberUsed(DWORD number) {
    for (DWORD n = 1; n < 1000; n++) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ActiveKey(n).c_str(), 0, 0, &key) != ERROR_SUCCESS)
            continue;
        DWORD value = 0, type = 0, cb = sizeof value;
        bool used = RegQueryValueExW(key, u"COMNum", nullptr, &type, reinterpret_cast<LPBYTE>(&value),
                                     &cb) == ERROR_SUCCESS &&
                    type == REG_DWORD && value == number;
        RegCloseKey(key);
        if (used) return true;
    }
    return false;
}

void SetString(HKEY key, LPCWSTR name, const std::u16string &value) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
}

void SetDword(HKEY key, LPCWSTR name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

bool QueryDword(HKEY key, LPCWSTR name, DWORD *value) {
    DWORD type = 0, cb = sizeof *value;
    return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(value), &cb) == ERROR_SUCCESS &&
           type == REG_DWORD && cb == sizeof *value;
}

// A port's settings as the configuration utility stored them for its COM name, in the
// port's configuration key "Drivers\USB\ClientDrivers\QSX_PORT\CONFIG\COMn:".
struct StoredSettings {
    bool haveInterface = false, haveFifo = false;
    DWORD interfaceCode = 0, fifo = 0;
};

StoredSettings ReadStoredSettings(const std::u16string &comName) {
    StoredSettings stored;
    HKEY key;
    const std::u16string path = std::u16string(kDriverKey) + u"\\CONFIG\\" + comName + u":";
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) != ERROR_SUCCESS) return stored;
    stored.haveInterface = QueryDword(key, u"Interface", &stored.interfaceCode);
    stored.haveFifo = QueryDword(key, u"FIFO", &stored.fifo);
    RegCloseKey(key);
    return stored;
}

// QSXPDD's port exports, found by name.
struct PortExports {
    PFN_COMOPEN ComOpen;
    PFN_COMCLOSE ComClose;
    PFN_SETDBC SetDBC;
    PFN_SETEVENTCHAR SetEventCHAR;
    PFN_SET_MASKEVENT Set_MaskEvent;
    PFN_WAITCOMPORTEVENT WaitComPortEvent;
    PFN_READUSB ReadUsb;
    PFN_WRITEUSB WriteUsb;
    PFN_WAITDATAEVENT WaitDataEvent;
    PFN_USBPORTSATUS USBPortSatus;
    PFN_QSXPORT_VENDER QSXPort_Vender;
    PFN_SERIAL_PURGE Serial_PURGE;

    bool Load(HMODULE module) {
        bool all = true;
        auto find = [&](auto &fn, LPCWSTR name) {
            // Through a generic function pointer: FARPROC's own type says nothing of the export's.
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(
                reinterpret_cast<void (*)()>(GetProcAddressW(module, name)));
            all = all && fn != nullptr;
        };
        find(ComOpen, u"ComOpen");
        find(ComClose, u"ComClose");
        find(SetDBC, u"SetDBC");
        find(SetEventCHAR, u"SetEventCHAR");
        find(Set_MaskEvent, u"Set_MaskEvent");
        find(WaitComPortEvent, u"WaitComPortEvent");
        find(ReadUsb, u"ReadUsb");
        find(WriteUsb, u"WriteUsb");
        find(WaitDataEvent, u"WaitDataEvent");
        find(USBPortSatus, u"USBPortSatus");
        find(QSXPort_Vender, u"QSXPort_Vender");
        find(Serial_PURGE, u"Serial_PURGE");
        return all;
    }
};

bool IsRs232OnlyModel(DWORD productId) {
    return productId == 0x7040 || productId == 0x7168 || productId == 0x7163;
}

DCB DefaultDcb() {
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fTXContinueOnXoff = 1;
    dcb.XonLim = 512;
    dcb.XoffLim = 128;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

bool ValidDcb(const DCB &dcb) {
    return dcb.BaudRate != 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= SPACEPARITY &&
           dcb.StopBits <= TWOSTOPBITS;
}

// The adapter's line-settings record: baud rate big-endian, data bits, parity, stop bits
// (the platform's codes), one zero byte.
void LineSettings(const DCB &dcb, BYTE out[8]) {
    out[0] = static_cast<BYTE>(dcb.BaudRate >> 24);
    out[1] = static_cast<BYTE>(dcb.BaudRate >> 16);
    out[2] = static_cast<BYTE>(dcb.BaudRate >> 8);
    out[3] = static_cast<BYTE>(dcb.BaudRate);
    out[4] = dcb.ByteSize;
    out[5] = dcb.Parity;
    out[6] = dcb.StopBits;
    out[7] = 0;
}

// The DCB's flow control as the adapter's flow bits: which inputs hold its transmitter
// (CTS, DSR, a received XOFF) and how its receiver asks the far end to wait (RTS, XOFF).
DWORD FlowBits(const DCB &dcb) {
    DWORD bits = 0;
    if (dcb.fOutxCtsFlow) bits |= 0x01;
    if (dcb.fOutxDsrFlow) bits |= 0x02;
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) bits |= 0x04;
    if (dcb.fOutX) bits |= 0x08;
    if (dcb.fInX) bits |= 0x10;
    return bits;
}

// Time-outs a port starts each open with: a read returns what came once the line has
// been quiet for 250 ms, or after 10 ms a byte plus 100 ms; writes never time out.
constexpr COMMTIMEOUTS kDefaultTimeouts = {250, 10, 100, 0, 0};

// One application open of a port.
struct OpenContext {
    std::atomic<bool> closing{false};  // the handle is being closed
    bool portOpen = false;             // between ComOpen and ComClose; openLock_
    COMMTIMEOUTS timeouts = kDefaultTimeouts;  // settings_
};

class ComPort final : public standin::StreamDevice {
public:
    ComPort(struct UsbFps *fps, DWORD port, DWORD productId, std::u16string activeKey, HMODULE pdd,
            const PortExports &x)
        : fps_(fps), port_(port), productId_(productId), activeKey_(std::move(activeKey)), pdd_(pdd), x_(x) {}

    void SetDevice(HANDLE device) { device_ = device; }

    // Unbinding: afterwards nothing here touches QSXPDD's port again.
    void Detach() {
        {
            std::lock_guard open(openLock_);
            {
                std::lock_guard state(state_);
                gone_ = true;
            }
            // Wakes every thread waiting inside QSXPDD for the port, and lets QSXPDD's own
            // removal, which waits for open ports to close, go on.
            if (open_ && open_->portOpen) {
                x_.ComClose(fps_, port_);
                open_->portOpen = false;
            }
        }
        {
            std::unique_lock state(state_);
            idle_.wait(state, [this] { return inside_ == 0; });
        }
        standin::DeregisterStreamDevice(device_);
        {
            std::lock_guard g(gLock);
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, activeKey_.c_str());
        }
        FreeLibrary(pdd_);
    }

    // ---- stream device -------------------------------------------------------------------
    DWORD_PTR Open(DWORD access, DWORD share) override {
        (void)access;
        (void)share;
        std::lock_guard open(openLock_);
        if (open_) {
            SetLastError(ERROR_ACCESS_DENIED);  // one open at a time, as serial ports are
            return 0;
        }
        auto context = std::make_unique<OpenContext>();
        if (!Call([&] { x_.ComOpen(fps_, port_, activeKey_.c_str()); })) return 0;
        context->portOpen = true;
        open_ = context.release();
        return reinterpret_cast<DWORD_PTR>(open_);
    }

    void PreClose(DWORD_PTR ctx) override {
        auto *context = reinterpret_cast<OpenContext *>(ctx);
        context->closing = true;
        std::lock_guard open(openLock_);
        ClosePort(context);
    }

    void Close(DWORD_PTR ctx) override {
        auto *context = reinterpret_cast<OpenContext *>(ctx);
        context->closing = true;
        std::lock_guard open(openLock_);
        ClosePort(context);
        if (open_ == context) open_ = nullptr;
        delete context;
    }

    DWORD Read(DWORD_PTR ctx, void *buffer, DWORD count) override {
        auto *context = reinterpret_cast<OpenContext *>(ctx);
        if (count == 0) return 0;
        auto *bytes = static_cast<BYTE *>(buffer);
        std::lock_guard reader(readLock_);
        COMMTIMEOUTS t;
        {
            std::lock_guard settings(settings_);
            t = context->timeouts;
        }
        // An endless interval with no totals: what is there, at once. Endless interval and
        // multiplier with a constant: wait up to the constant for the first byte.
        const bool atOnce = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                            t.ReadTotalTimeoutConstant == 0;
        const bool firstByte = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
                               t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
        DWORD total = INFINITE;
        DWORD interval = 0;
        if (firstByte) {
            total = t.ReadTotalTimeoutConstant;
        } else if (!atOnce) {
            const unsigned long long ms = static_cast<unsigned long long>(t.ReadTotalTimeoutMultiplier) * count +
                                          t.ReadTotalTimeoutConstant;
            if (ms != 0) total = static_cast<DWORD>(std::min<unsigned long long>(ms, INFINITE - 1));
            if (t.ReadIntervalTimeout != kMaxDword) interval = t.ReadIntervalTimeout;
        }

        DWORD got = 0;
        const DWORD start = GetTickCount();
        DWORD lastByte = start;
        while (!context->closing) {
            DWORD n = 0;
            if (!Call([&] { n = x_.ReadUsb(fps_, bytes + got, count - got, port_); })) break;
            if (n > 0) {
                got += n;
                lastByte = GetTickCount();
            }
            if (got == count || atOnce || (firstByte && got > 0)) break;
            const DWORD now = GetTickCount();
            DWORD wait = INFINITE;
            if (total != INFINITE) {
                if (now - start >= total) break;
                wait = total - (now - start);
            }
            if (interval != 0 && got > 0) {
                if (now - lastByte >= interval) break;
                wait = std::min(wait, interval - (now - lastByte));
            }
            // Data, ComClose (ours or the removal's) and ReadUsb leaving bytes behind all
            // signal this wait; one reader at a time, so no signal goes to another.
            if (!Call([&] { x_.WaitDataEvent(fps_, port_, wait); })) break;
        }
        if (got > 0) return got;
        if (Failed(context)) return static_cast<DWORD>(-1);
        return 0;
    }

    DWORD Write(DWORD_PTR ctx, const void *data, DWORD count) override {
        auto *context = reinterpret_cast<OpenContext *>(ctx);
        if (count == 0) return 0;
        const auto *bytes = static_cast<const BYTE *>(data);
        std::lock_guard writer(writeLock_);
        DWORD sent = 0;
        // Each WriteUsb sends at most one frame; 0 means the port closed or the transfer
        // failed.
        while (sent < count && !context->closing) {
            DWORD n = 0;
            if (!Call([&] { n = x_.WriteUsb(fps_, bytes + sent, count - sent, port_); }) || n == 0) break;
            sent += std::min(n, count - sent);
        }
        if (sent > 0) return sent;
        if (!Failed(context)) SetLastError(ERROR_GEN_FAILURE);
        return static_cast<DWORD>(-1);
    }

    BOOL IOControl(DWORD_PTR ctx, DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize,
                   DWORD *actual) override {
        auto *context = reinterpret_cast<OpenContext *>(ctx);
        // The count is the caller's own pointer, and may be null; no output until some is made.
        if (actual) *actual = 0;
        if (context->closing) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        }
        auto input = [&](auto &value) {
            if (!in || inSize < sizeof value) return false;
            std::memcpy(&value, in, sizeof value);
            return true;
        };
        auto output = [&](const auto &value) {
            if (!out || outSize < sizeof value) return false;
            std::memcpy(out, &value, sizeof value);
            if (actual) *actual = sizeof value;
            return true;
        };
        auto invalid = [] {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        };
        auto vendor = [&](DWORD request, DWORD value) {
            return Done(Call([&] { x_.QSXPort_Vender(fps_, request, value, port_, 0, nullptr); }));
        };

        switch (code) {
        case IOCTL_SERIAL_SET_DCB: {
            DCB dcb;
            if (!input(dcb) || !ValidDcb(dcb)) return invalid();
            {
                std::lock_guard settings(settings_);
                dcb_ = dcb;
            }
            // The adapter runs its line at the rate and framing it is told, and holds its
            // transmitter as the flow control says.
            BYTE line[8];
            LineSettings(dcb, line);
            BYTE flowChars[2] = {static_cast<BYTE>(dcb.XonChar), static_cast<BYTE>(dcb.XoffChar)};
            return Done(Call([&] {
                x_.SetDBC(fps_, &dcb, port_);
                x_.SetEventCHAR(fps_, static_cast<BYTE>(dcb.EvtChar), port_);
                x_.QSXPort_Vender(fps_, kReqLineSettings, 0, port_, sizeof line, line);
                x_.QSXPort_Vender(fps_, kReqFlowControl, FlowBits(dcb), port_, sizeof flowChars, flowChars);
            }));
        }
        case IOCTL_SERIAL_GET_DCB: {
            DCB dcb;
            {
                std::lock_guard settings(settings_);
                dcb = dcb_;
            }
            return output(dcb) ? TRUE : invalid();
        }
        case IOCTL_SERIAL_SET_TIMEOUTS: {
            COMMTIMEOUTS t;
            if (!input(t)) return invalid();
            std::lock_guard settings(settings_);
            context->timeouts = t;
            return TRUE;
        }
        case IOCTL_SERIAL_GET_TIMEOUTS: {
            COMMTIMEOUTS t;
            {
                std::lock_guard settings(settings_);
                t = context->timeouts;
            }
            return output(t) ? TRUE : invalid();
        }
        case IOCTL_SERIAL_SET_WAIT_MASK: {
            DWORD mask;
            if (!input(mask)) return invalid();
            return Done(Call([&] { x_.Set_MaskEvent(fps_, port_, mask, 1); }));
        }
        case IOCTL_SERIAL_GET_WAIT_MASK: {
            if (!out || outSize < sizeof(DWORD)) return invalid();
            DWORD mask = 0;
            if (!Done(Call([&] { mask = x_.Set_MaskEvent(fps_, port_, 0, 0); }))) return FALSE;
            return output(mask);
        }
        case IOCTL_SERIAL_WAIT_ON_MASK: {
            if (!out || outSize < sizeof(DWORD)) return invalid();
            // A wait ended by a new mask reports no events.
            DWORD events = 0, result = 0;
            if (!Call([&] { result = x_.WaitComPortEvent(fps_, port_, &events); })) return FALSE;
            if (result == 0) {
                // Ended by a close or a removal, or there was no mask to wait for.
                if (Failed(context)) return FALSE;
                return invalid();
            }
            return output(events);
        }
        case IOCTL_SERIAL_GET_COMMSTATUS: {
            if (!out || outSize < sizeof(SERIAL_DEV_STATUS)) return invalid();
            SERIAL_DEV_STATUS status = {};
            DWORD hold = 0;
            if (!Done(Call([&] {
                    status.Errors = x_.USBPortSatus(fps_, kStatusErrors, port_);
                    hold = x_.USBPortSatus(fps_, kStatusHold, port_);
                    status.ComStat.cbInQue = x_.USBPortSatus(fps_, kStatusInQueue, port_);
                })))
                return FALSE;
            status.ComStat.fCtsHold = (hold >> 0) & 1;
            status.ComStat.fDsrHold = (hold >> 1) & 1;
            status.ComStat.fRlsdHold = (hold >> 2) & 1;
            status.ComStat.fXoffHold = (hold >> 3) & 1;
            status.ComStat.fXoffSent = (hold >> 4) & 1;
            return output(status);
        }
        case IOCTL_SERIAL_GET_MODEMSTATUS: {
            if (!out || outSize < sizeof(DWORD)) return invalid();
            DWORD modem = 0;
            if (!Done(Call([&] { modem = x_.USBPortSatus(fps_, kStatusModem, port_); }))) return FALSE;
            return output(modem);
        }
        case IOCTL_SERIAL_PURGE: {
            DWORD flags;
            if (!input(flags) || (flags & ~DWORD{PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR}))
                return invalid();
            return Done(Call([&] { Purge(flags); }));
        }
        case IOCTL_SERIAL_SET_DTR: return vendor(kReqDtr, 1);
        case IOCTL_SERIAL_CLR_DTR: return vendor(kReqDtr, 0);
        case IOCTL_SERIAL_SET_RTS: return vendor(kReqRts, 1);
        case IOCTL_SERIAL_CLR_RTS: return vendor(kReqRts, 0);
        case IOCTL_SERIAL_SET_BREAK_ON: return vendor(kReqBreak, 1);
        case IOCTL_SERIAL_SET_BREAK_OFF: return vendor(kReqBreak, 0);
        case IOCTL_SERIAL_SET_QUEUE_SIZE: {
            // The driver's ring and the adapter's buffers have fixed sizes.
            SERIAL_QUEUE_SIZE sizes;
            return input(sizes) ? TRUE : invalid();
        }
        case IOCTL_SET_INTERFACE: {
            DWORD mode;
            if (!input(mode) || mode > kMaxInterfaceCode || (mode != 0 && IsRs232OnlyModel(productId_)))
                return invalid();
            return vendor(kReqInterfaceMode, mode);
        }
        default:
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
    }

private:
    // Runs `call`, which calls into QSXPDD for this port, unless the port is gone; counted
    // so that removal can wait until no thread is inside QSXPDD for it.
    template <class F>
    bool Call(F &&call) {
        {
            std::lock_guard state(state_);
            if (gone_) {
                SetLastError(ERROR_DEVICE_NOT_CONNECTED);
                return false;
            }
            ++inside_;
        }
        call();
        std::lock_guard state(state_);
        if (--inside_ == 0) idle_.notify_all();
        return true;
    }

    static BOOL Done(bool called) { return called ? TRUE : FALSE; }

    // Why an operation ended early, as the last error; false when it did not.
    bool Failed(const OpenContext *context) {
        {
            std::lock_guard state(state_);
            if (gone_) {
                SetLastError(ERROR_DEVICE_NOT_CONNECTED);
                return true;
            }
        }
        if (context->closing) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return true;
        }
        return false;
    }

    // With openLock_ held. After a removal the port is QSXPDD's no more: nothing to close.
    void ClosePort(OpenContext *context) {
        if (!context->portOpen) return;
        context->portOpen = false;
        Call([&] { x_.ComClose(fps_, port_); });
    }

    // QSXPDD takes one purge flag per call. Receive purges also empty QSXPDD's ring, up to
    // what it held when the purge began (data keeps arriving meanwhile).
    void Purge(DWORD flags) {
        for (DWORD flag : {PURGE_TXABORT, PURGE_RXABORT, PURGE_TXCLEAR, PURGE_RXCLEAR}) {
            if (flags & flag) x_.Serial_PURGE(fps_, flag, port_);
        }
        if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) {
            DWORD left = x_.USBPortSatus(fps_, kStatusInQueue, port_);
            BYTE scratch[256];
            while (left > 0) {
                const DWORD n = x_.ReadUsb(fps_, scratch, std::min<DWORD>(left, sizeof scratch), port_);
                if (n == 0) break;
                left -= std::min(n, left);
            }
        }
    }

    struct UsbFps *const fps_;
    const DWORD port_;
    const DWORD productId_;
    const std::u16string activeKey_;
    const HMODULE pdd_;  // our reference on QSXPDD
    const PortExports x_;
    HANDLE device_ = nullptr;  // set once, right after registration

    std::mutex openLock_;
    OpenContext *open_ = nullptr;  // openLock_

    std::mutex readLock_;
    std::mutex writeLock_;

    std::mutex settings_;
    DCB dcb_ = DefaultDcb();  // settings_; what GetCommState reports

    std::mutex state_;
    std::condition_variable idle_;  // inside_ reached 0
    bool gone_ = false;             // state_
    int inside_ = 0;                // state_: threads inside QSXPDD for this port
};

// What UsbComAttach hands QSXPDD: the port keeps living after UsbComDetach for as long as
// the device manager holds it (an application may not have closed its handle yet).
struct Binding {
    std::shared_ptr<ComPort> port;
};

}  // namespace

extern "C" BOOL WINAPI DllMain(HANDLE hInstDll, DWORD dwReason, LPVOID lpvReserved) {
    (void)lpvReserved;
    if (dwReason == DLL_PROCESS_ATTACH) gSelf = reinterpret_cast<HMODULE>(hInstDll);
    return TRUE;
}

extern "C" HANDLE WINAPI UsbComAttach(LPVOID pUsbFps, DWORD dwPort, DWORD dwProductId) {
    if (dwPort == gRefusePort.load()) return nullptr;
    // A reference of our own: QSXPDD's code must stay while we may call it.
    HMODULE pdd = LoadDriver(u"QSXPDD.dll");
    PortExports exports;
    if (!pdd || !exports.Load(pdd)) {
        if (pdd) FreeLibrary(pdd);
        return nullptr;
    }

    std::unique_lock g(gLock);
    DWORD entry = 1;
    while (KeyExists(ActiveKey(entry))) entry++;
    DWORD number = kFirstComNumber;
    while (ComNumberUsed(number)) number++;
    const std::u16string activeKey = ActiveKey(entry);
    const std::u16string name = u"COM" + standin::FromUtf8(std::to_string(number));
    const bool legacy = !gOmitName.load();

    HKEY key;
    DWORD disposition;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, activeKey.c_str(), 0, nullptr, 0, 0, nullptr, &key,
                        &disposition) != ERROR_SUCCESS) {
        FreeLibrary(pdd);
        return nullptr;
    }
    SetString(key, u"Key", kDriverKey);
    if (legacy) SetString(key, u"Name", name + u":");
    SetString(key, u"FullName", u"$device\\" + name);
    SetDword(key, u"COMNum", number);
    SetDword(key, u"USBPID", dwProductId);
    // The active entry is made anew at every bind, so what the utility saved for this
    // COM name (in the configuration key, which stays) comes back into it: the driver's
    // ComOpen and the utility both read the port's settings from the active entry.
    const StoredSettings stored = ReadStoredSettings(name);
    if (stored.haveInterface) SetDword(key, u"Interface", stored.interfaceCode);
    if (stored.haveFifo) SetDword(key, u"FIFO", stored.fifo);
    RegCloseKey(key);

    auto port = std::make_shared<ComPort>(static_cast<struct UsbFps *>(pUsbFps), dwPort, dwProductId,
                                          activeKey, pdd, exports);
    HANDLE device = standin::RegisterStreamDevice(name, legacy, kDriverKey, port, gSelf);
    if (!device) {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, activeKey.c_str());
        FreeLibrary(pdd);
        return nullptr;
    }
    port->SetDevice(device);
    g.unlock();
    // And the adapter runs them from now on, not only from the port's next open. Mapped
    // as the driver maps the entry's values when it opens the port.
    if (stored.haveInterface) {
        const DWORD low = stored.interfaceCode & 0xFFFF;
        const DWORD mode = IsRs232OnlyModel(dwProductId) || low > kMaxInterfaceCode ? 0 : low;
        exports.QSXPort_Vender(static_cast<struct UsbFps *>(pUsbFps), kReqInterfaceMode, mode, dwPort, 0, nullptr);
    }
    if (stored.haveFifo) {
        const DWORD off = (stored.fifo & 0xFFFF) == 0 ? 1 : 0;
        exports.QSXPort_Vender(static_cast<struct UsbFps *>(pUsbFps), kReqFifoOff, off, dwPort, 0, nullptr);
    }
    return new Binding{std::move(port)};
}

extern "C" BOOL WINAPI UsbComDetach(HANDLE hComPort) {
    auto *binding = static_cast<Binding *>(hComPort);
    if (!binding) return FALSE;
    binding->port->Detach();
    delete binding;
    return TRUE;
}

extern "C" void WINAPI QsxComSetRefusePort(DWORD dwPort) { gRefusePort = dwPort; }
extern "C" void WINAPI QsxComSetOmitName(BOOL bOmit) { gOmitName = bOmit != 0; }
