// The host stack's client side: registration of client drivers in the registry, and the
// search for a client when a device is plugged. Attaches run on the host stack's worker
// thread, in line with removals (usbhost.cpp).
//
// A registered client id is its key HKLM\Drivers\USB\ClientDrivers\<id>, where the client
// keeps its own configuration; unregistering the id deletes that key with everything
// below it, as the platform's helpers do.
//
// A client is found under HKLM\Drivers\USB\LoadClients\<G1>\<G2>\<G3>\<DriverId> with a
// "Dll" value. Each group is "Default" or decimal numbers joined by '_': G1 vendor[_product
// [_release]], G2 device class[_subclass[_protocol]], G3 interface class[_subclass
// [_protocol]].
#include <kfuncs.h>
#include <standin/kernel.h>
#include <standin/usbbus.h>

#include "usbhost_internal.h"

#include <map>
#include <mutex>
#include <string>

namespace standin {
namespace {

const std::u16string kLoadClients = u"Drivers\\USB\\LoadClients\\";
const std::u16string kClientDrivers = u"Drivers\\USB\\ClientDrivers\\";

struct Clients {
    std::mutex lock;
    std::map<USB_HANDLE, HMODULE> attached;    // device -> library of the client that took it
};
Clients *const gClients = new Clients;

std::u16string Number(DWORD n) { return FromUtf8(std::to_string(n)); }

// "Default" or the given numbers joined by '_', stopping at the first one that is "any".
std::u16string Group(DWORD a, DWORD b, DWORD c) {
    if (a == USB_NO_INFO) return u"Default";
    std::u16string g = Number(a);
    if (b == USB_NO_INFO) return g;
    g += u"_" + Number(b);
    if (c == USB_NO_INFO) return g;
    return g + u"_" + Number(c);
}

// The candidates of one group for a device, most specific first.
std::vector<std::u16string> Candidates(DWORD a, DWORD b, DWORD c) {
    return {Group(a, b, c), Group(a, b, USB_NO_INFO), Group(a, USB_NO_INFO, USB_NO_INFO),
            u"Default"};
}

std::u16string SettingsKey(LPCUSB_DRIVER_SETTINGS s, LPCWSTR id) {
    return kLoadClients + Group(s->dwVendorId, s->dwProductId, s->dwReleaseNumber) + u"\\" +
           Group(s->dwDeviceClass, s->dwDeviceSubClass, s->dwDeviceProtocol) + u"\\" +
           Group(s->dwInterfaceClass, s->dwInterfaceSubClass, s->dwInterfaceProtocol) + u"\\" + id;
}

std::vector<std::u16string> SubKeys(const std::u16string &path) {
    std::vector<std::u16string> names;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; i++) {
        WCHAR name[256];
        DWORD cch = 256;
        if (RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, cch);
    }
    RegCloseKey(key);
    return names;
}

std::u16string ReadString(const std::u16string &path, LPCWSTR name) {
    HKEY key;
    std::u16string out;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) != ERROR_SUCCESS) return out;
    WCHAR buffer[MAX_PATH] = {};
    DWORD type = 0, cb = sizeof(buffer) - sizeof(WCHAR);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &cb) ==
            ERROR_SUCCESS &&
        type == REG_SZ)
        out = buffer;
    RegCloseKey(key);
    return out;
}

bool ValidId(LPCWSTR id) { return id && id[0] && lstrlenW(id) < 128; }

}  // namespace

bool UsbInstallClient(std::u16string_view libraryFileName) {
    std::u16string name(libraryFileName);
    HMODULE module = LoadDriver(name.c_str());
    if (!module) return false;
    // Through a function type that casts to any other without complaint.
    auto install = reinterpret_cast<LPUSB_INSTALL_DRIVER>(
        reinterpret_cast<void (*)()>(GetProcAddressW(module, u"USBInstallDriver")));
    bool ok = install && install(name.c_str());
    FreeLibrary(module);
    return ok;
}

namespace {

// Offers the device to the registered clients, most specific group first; the first one
// whose USBDeviceAttach takes it keeps it.
void Attach(USB_HANDLE handle, const std::shared_ptr<UsbDevice> &device) {
    LPCUSB_DEVICE info = device->DeviceInfo();
    LPCUSB_FUNCS funcs = UsbFunctionTable();
    LPCUSB_INTERFACE itf = funcs->lpFindInterface(info, 0, 0);
    const USB_DEVICE_DESCRIPTOR &d = info->Descriptor;
    DWORD ic = itf ? itf->Descriptor.bInterfaceClass : USB_NO_INFO;
    DWORD is = itf ? itf->Descriptor.bInterfaceSubClass : USB_NO_INFO;
    DWORD ip = itf ? itf->Descriptor.bInterfaceProtocol : USB_NO_INFO;

    for (const auto &g1 : Candidates(d.idVendor, d.idProduct, d.bcdDevice))
        for (const auto &g2 : Candidates(d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol))
            for (const auto &g3 : Candidates(ic, is, ip)) {
                std::u16string path = kLoadClients + g1 + u"\\" + g2 + u"\\" + g3;
                for (const auto &id : SubKeys(path)) {
                    std::u16string dll = ReadString(path + u"\\" + id, u"Dll");
                    if (dll.empty()) continue;
                    HMODULE module = LoadDriver(dll.c_str());
                    if (!module) continue;
                    auto attach = reinterpret_cast<LPUSB_DEVICE_ATTACH>(
                        reinterpret_cast<void (*)()>(GetProcAddressW(module, u"USBDeviceAttach")));
                    BOOL accept = FALSE;
                    if (attach && attach(handle, funcs, itf, id.c_str(), &accept, nullptr, 0) &&
                        accept) {
                        std::lock_guard g(gClients->lock);
                        gClients->attached[handle] = module;
                        return;
                    }
                    FreeLibrary(module);
                }
            }
}

}  // namespace

USB_HANDLE UsbPlug(std::shared_ptr<UsbDevice> device) {
    USB_HANDLE handle = UsbAddDevice(device);
    internal::RunOnHostThread(handle, [handle, device] { Attach(handle, device); });
    return handle;
}

bool UsbHasClient(USB_HANDLE device) {
    std::lock_guard g(gClients->lock);
    return gClients->attached.count(device) != 0;
}

bool UsbUnplug(USB_HANDLE device) {
    if (!UsbRemoveDevice(device)) return false;
    // After the client's notification routine, which is queued before this.
    internal::RunOnHostThread(device, [device] {
        HMODULE module = nullptr;
        {
            std::lock_guard g(gClients->lock);
            auto it = gClients->attached.find(device);
            if (it != gClients->attached.end()) {
                module = it->second;
                gClients->attached.erase(it);
            }
        }
        if (module) FreeLibrary(module);
    });
    return true;
}

}  // namespace standin

extern "C" BOOL WINAPI RegisterClientDriverID(LPCWSTR szUniqueDriverId) {
    using namespace standin;
    if (!ValidId(szUniqueDriverId)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // An existing key keeps what it holds.
    HKEY key;
    DWORD disposition;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kClientDrivers + szUniqueDriverId).c_str(), 0, nullptr, 0,
                                  0, nullptr, &key, &disposition);
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return FALSE;
    }
    RegCloseKey(key);
    return TRUE;
}

extern "C" BOOL WINAPI UnRegisterClientDriverID(LPCWSTR szUniqueDriverId) {
    using namespace standin;
    if (!ValidId(szUniqueDriverId)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The client's configuration below the key goes with it.
    LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kClientDrivers + szUniqueDriverId).c_str());
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI RegisterClientSettings(LPCWSTR szDriverLibFile, LPCWSTR szUniqueDriverId,
                                              LPCWSTR szReserved,
                                              LPCUSB_DRIVER_SETTINGS lpDriverSettings) {
    using namespace standin;
    (void)szReserved;
    if (!szDriverLibFile || !szDriverLibFile[0] || !ValidId(szUniqueDriverId) || !lpDriverSettings ||
        lpDriverSettings->dwCount != sizeof(USB_DRIVER_SETTINGS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string path = SettingsKey(lpDriverSettings, szUniqueDriverId);
    HKEY key;
    DWORD disposition;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0, nullptr, &key,
                        &disposition) != ERROR_SUCCESS)
        return FALSE;
    LONG result = RegSetValueExW(key, u"DLL", 0, REG_SZ, reinterpret_cast<const BYTE *>(szDriverLibFile),
                                 static_cast<DWORD>((lstrlenW(szDriverLibFile) + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

extern "C" BOOL WINAPI UnRegisterClientSettings(LPCWSTR szUniqueDriverId, LPCWSTR szReserved,
                                                LPCUSB_DRIVER_SETTINGS lpDriverSettings) {
    using namespace standin;
    (void)szReserved;
    if (!ValidId(szUniqueDriverId) || !lpDriverSettings ||
        lpDriverSettings->dwCount != sizeof(USB_DRIVER_SETTINGS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string path = SettingsKey(lpDriverSettings, szUniqueDriverId);
    LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    if (result != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(result));
    return result == ERROR_SUCCESS;
}
