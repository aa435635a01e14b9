// Booting the simulated device and plugging adapters into it.
#include "device.h"

#include <standin/kernel.h>
#include <standin/registry.h>
#include <standin/usbbus.h>
#include <unistd.h>

namespace qsxsim {

std::string ProgramFolder() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string s(path, static_cast<size_t>(n));
    return s.substr(0, s.find_last_of('/'));
}

bool Device::Boot(const std::string &registryFile, std::string *error) {
    standin::SetLibrarySearchPath({ProgramFolder() + "/../lib", ProgramFolder()});
    if (!standin::LoadRegFile(registryFile, error)) return false;
    if (!standin::UsbInstallClient(u"QSXPDD.dll")) {
        *error = "QSXPDD.dll could not be installed as a USB client";
        return false;
    }
    return true;
}

PluggedAdapter Device::Plug(WORD productId, bool highSpeed) {
    PluggedAdapter p;
    p.adapter = Adapter::Create(productId, highSpeed);
    p.handle = standin::UsbPlug(p.adapter);
    if (!standin::UsbHasClient(p.handle)) {
        standin::UsbUnplug(p.handle);
        p.handle = nullptr;
    }
    return p;
}

void Device::Unplug(PluggedAdapter &plugged) {
    if (plugged.handle) standin::UsbUnplug(plugged.handle);
    plugged.handle = nullptr;
}

std::vector<std::pair<std::string, std::string>> Device::PortEntries() {
    std::vector<std::pair<std::string, std::string>> out;
    HKEY active;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, 0, &active) != ERROR_SUCCESS) return out;
    for (DWORD i = 0;; i++) {
        WCHAR name[64];
        DWORD cch = 64;
        if (RegEnumKeyExW(active, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY entry;
        if (RegOpenKeyExW(active, name, 0, 0, &entry) != ERROR_SUCCESS) continue;
        WCHAR key[128] = {}, port[128] = {};
        DWORD cb = sizeof key - 2;
        RegQueryValueExW(entry, u"Key", nullptr, nullptr, reinterpret_cast<LPBYTE>(key), &cb);
        cb = sizeof port - 2;
        RegQueryValueExW(entry, u"Name", nullptr, nullptr, reinterpret_cast<LPBYTE>(port), &cb);
        if (std::u16string(key) == u"Drivers\\USB\\ClientDrivers\\QSX_PORT")
            out.emplace_back("Drivers\\Active\\" + standin::ToUtf8(name), standin::ToUtf8(port));
        RegCloseKey(entry);
    }
    RegCloseKey(active);
    return out;
}

}  // namespace qsxsim
