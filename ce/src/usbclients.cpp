// The host stack's client side: the search for a client driver when a device is plugged
// (the registry layout is in loadclients.h), its attach and its unload. Attaches run on
// the host stack's worker thread, in line with removals (usbhost.cpp). The registration
// helpers that write the layout live in the usbd library (ce/usbd/), as on the device.
#include <kfuncs.h>
#include <standin/kernel.h>
#include <standin/usbbus.h>

#include "loadclients.h"
#include "usbhost_internal.h"

#include <map>
#include <mutex>
#include <string>

namespace standin {
namespace {

using loadclients::Group;
using loadclients::kLoadClients;

struct Clients {
    std::mutex lock;
    std::map<USB_HANDLE, HMODULE> attached;    // device -> library of the client that took it
};
Clients *const gClients = new Clients;

// The candidates of one group for a device, most specific first.
std::vector<std::u16string> Candidates(DWORD a, DWORD b, DWORD c) {
    return {Group(a, b, c), Group(a, b, USB_NO_INFO), Group(a, USB_NO_INFO, USB_NO_INFO),
            u"Default"};
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
