// The stand-in COM driver. For every port QSXPDD binds, it registers the port with the
// platform: an active-driver entry "Drivers\Active\NN" whose "Key" names QSXPDD's driver
// key, with the port's "Name" ("COMn:"), "COMNum" and the adapter's "USBPID". Unbinding
// removes the entry.
#include <windows.h>

#include <standin/kernel.h>

#include <atomic>
#include <mutex>
#include <string>

#include "comdriver.h"
#include "qsxport.h"

namespace {

const char16_t kDriverKey[] = u"Drivers\\USB\\ClientDrivers\\QSX_PORT";
constexpr DWORD kFirstComNumber = 11;

struct ComPort {
    LPVOID usbFps;
    DWORD port;
    DWORD comNumber;
    std::u16string activeKey;
};

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

}  // namespace

extern "C" HANDLE WINAPI UsbComAttach(LPVOID pUsbFps, DWORD dwPort, DWORD dwProductId) {
    if (dwPort == gRefusePort.load()) return nullptr;
    std::lock_guard g(gLock);
    DWORD entry = 1;
    while (KeyExists(ActiveKey(entry))) entry++;
    DWORD number = kFirstComNumber;
    while (ComNumberUsed(number)) number++;

    auto *port = new ComPort{pUsbFps, dwPort, number, ActiveKey(entry)};
    HKEY key;
    DWORD disposition;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, port->activeKey.c_str(), 0, nullptr, 0, 0, nullptr,
                        &key, &disposition) != ERROR_SUCCESS) {
        delete port;
        return nullptr;
    }
    std::u16string name = u"COM" + standin::FromUtf8(std::to_string(number));
    SetString(key, u"Key", kDriverKey);
    if (!gOmitName.load()) SetString(key, u"Name", name + u":");
    SetString(key, u"FullName", u"$device\\" + name);
    SetDword(key, u"COMNum", number);
    SetDword(key, u"USBPID", dwProductId);
    RegCloseKey(key);
    return port;
}

extern "C" BOOL WINAPI UsbComDetach(HANDLE hComPort) {
    auto *port = static_cast<ComPort *>(hComPort);
    if (!port) return FALSE;
    {
        std::lock_guard g(gLock);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, port->activeKey.c_str());
    }
    delete port;
    return TRUE;
}

extern "C" void WINAPI QsxComSetRefusePort(DWORD dwPort) { gRefusePort = dwPort; }
extern "C" void WINAPI QsxComSetOmitName(BOOL bOmit) { gOmitName = bOmit != 0; }
