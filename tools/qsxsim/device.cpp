// Booting the simulated device, plugging adapters into it and finding the ports they bring.
#include "device.h"

#include <standin/kernel.h>
#include <standin/registry.h>
#include <standin/usbbus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>
#include <sys/stat.h>

namespace qsxsim {

namespace {

const char16_t kPortDriverKey[] = u"Drivers\\USB\\ClientDrivers\\QSX_PORT";

std::string Lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool FileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::u16string QueryString(HKEY key, LPCWSTR name) {
    WCHAR text[260] = {};
    DWORD type = 0, cb = sizeof text - sizeof(WCHAR);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(text), &cb) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return text;
}

DWORD QueryDword(HKEY key, LPCWSTR name) {
    DWORD value = 0, type = 0, cb = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &cb) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return 0;
    return value;
}

}  // namespace

std::vector<ModelName> ModelNames() {
    // The names the configuration utility shows for each product.
    return {{0x7020, "7020"},    {0x7021, "7020I"},   {0x7040, "7040"},
            {0x7045, "7045"},    {0x7046, "7045I"},   {0x7168, "7160-8"},
            {0x7163, "7160-16"}, {0x7198, "7190-8"},  {0x7193, "7190-16"}};
}

std::string ModelLabel(WORD productId) {
    for (const ModelName &m : ModelNames())
        if (m.productId == productId) return m.name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", productId);
    return text;
}

std::optional<AdapterChoice> ParseAdapterChoice(const std::string &text, std::string *error) {
    AdapterChoice choice;
    std::string model = text;
    if (size_t colon = text.rfind(':'); colon != std::string::npos) {
        std::string speed = Lower(text.substr(colon + 1));
        model = text.substr(0, colon);
        if (speed == "hs") {
            choice.highSpeed = true;
        } else if (speed == "fs") {
            choice.highSpeed = false;
        } else {
            *error = "unknown speed '" + text.substr(colon + 1) + "' in '" + text + "' (use :hs or :fs)";
            return std::nullopt;
        }
    }
    for (const ModelName &m : ModelNames()) {
        if (Lower(model) == Lower(m.name)) {
            choice.productId = m.productId;
            return choice;
        }
    }
    std::string digits = Lower(model);
    if (digits.rfind("0x", 0) == 0) digits = digits.substr(2);
    if (!digits.empty() && digits.size() <= 4 &&
        std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
        choice.productId = static_cast<WORD>(std::stoul(digits, nullptr, 16));
        if (choice.productId != 0) return choice;
    }
    std::string known;
    for (const ModelName &m : ModelNames()) known += std::string(known.empty() ? "" : ", ") + m.name;
    *error = "unknown model '" + model + "': give a product id in hex (7045, 0x7193) or a name (" + known + ")";
    return std::nullopt;
}

std::string ProgramFolder() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string s(path, static_cast<size_t>(n));
    return s.substr(0, s.find_last_of('/'));
}

namespace {
std::string &ImageFolder() {
    static std::string folder;
    return folder;
}
}  // namespace

bool Device::UseDeviceImages(const std::string &folder, std::string *error) {
    if (sizeof(void *) != 4) {
        *error = "the device's images run only in the 32-bit build of qsxsim (make demo-i386 builds and runs it)";
        return false;
    }
    for (const char *name : {"QSXPDD.dll", "QSXPORT.exe"}) {
        const std::string path = folder + "/" + name;
        std::ifstream in(path, std::ios::binary);
        char magic[2] = {};
        if (!in.read(magic, 2) || magic[0] != 'M' || magic[1] != 'Z') {
            *error = path + (in.is_open() ? " is no device image" : " is missing") +
                     ": give the folder the device build makes (make device builds build/device)";
            return false;
        }
    }
    standin::SetDeviceImageFolder(folder);
    ImageFolder() = folder;
    return true;
}

std::string Device::DeviceImageFolder() { return ImageFolder(); }

std::string Device::LoadedFrom(const char16_t *name) {
    // A module already loaded comes back with one more reference, given back at once.
    HMODULE module = LoadLibraryW(name);
    if (!module) return {};
    WCHAR path[1024];
    const DWORD n = GetModuleFileNameW(module, path, 1024);
    FreeLibrary(module);
    return n ? standin::ToUtf8(std::u16string(path, n)) : std::string();
}

bool Device::Boot(const std::string &platformReg, const std::string &savedHive, std::string *error,
                  std::string *note) {
    standin::SetLibrarySearchPath({ProgramFolder() + "/../lib", ProgramFolder()});
    standin::ClearRegistry();
    if (!standin::LoadRegFile(platformReg, error)) return false;
    if (!savedHive.empty() && FileExists(savedHive)) {
        const std::string active = standin::DumpRegistry(HKEY_LOCAL_MACHINE, u"Drivers\\Active");
        standin::ClearRegistry();
        std::string why;
        standin::SavedForm form = standin::SavedForm::kSealed;
        if (!standin::LoadSavedRegFile(savedHive, &why, &form)) {
            *error = "the saved registry cannot be loaded, so it is left as it is: " + why;
            return false;
        }
        if (form == standin::SavedForm::kUnsealed) {
            // Saved before files were sealed (or written by hand): taken as it is, but
            // whether it is whole cannot be told, so the file itself is kept beside the
            // next save, which replaces it.
            std::string kept;
            for (int n = 0; n < 100 && kept.empty(); n++) {
                std::string name = savedHive + ".unsealed";
                if (n) name.append(".").append(std::to_string(n));
                if (link(savedHive.c_str(), name.c_str()) == 0) kept = name;
                else if (errno != EEXIST) break;
            }
            if (kept.empty()) {
                *error = "the saved registry " + savedHive +
                         " has no end line (saved by an earlier qsxsim, or by hand) and no copy of it can be "
                         "kept beside it, so it is left as it is: " + std::strerror(errno);
                return false;
            }
            if (note)
                *note = "the saved registry " + savedHive +
                        " has no end line (saved by an earlier qsxsim, or by hand): it is read as it is, saved "
                        "with an end line from now on, and the file as it was is kept as " + kept;
        }
        if (!standin::LoadRegText("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\Drivers\\Active]\n", &why) ||
            (!active.empty() && !standin::LoadRegText(active, &why))) {
            *error = "the active-driver entries cannot be rebuilt: " + why;
            return false;
        }
    }
    if (!standin::UsbInstallClient(u"QSXPDD.dll")) {
        *error = "QSXPDD.dll could not be installed as a USB client";
        return false;
    }
    return true;
}

PluggedAdapter Device::Plug(WORD productId, bool highSpeed,
                            const std::function<void(std::shared_ptr<Adapter>)> &created) {
    std::set<std::string> before;
    for (const PortEntry &e : PortEntries()) before.insert(e.entry);

    PluggedAdapter p;
    p.adapter = Adapter::Create(productId, highSpeed);
    if (created) created(p.adapter);
    p.handle = standin::UsbPlug(p.adapter);
    standin::UsbWaitHostStack(p.handle);
    if (!standin::UsbHasClient(p.handle)) {
        standin::UsbUnplug(p.handle);
        standin::UsbWaitHostStack(p.handle);
        p.handle = nullptr;
        return p;
    }
    // The driver binds port 0 first and the COM driver hands out the lowest free number
    // each time, so among this attach's entries the COM numbers run in port order.
    for (const PortEntry &e : PortEntries())
        if (!before.count(e.entry)) p.ports.push_back(e);
    std::sort(p.ports.begin(), p.ports.end(),
              [](const PortEntry &a, const PortEntry &b) { return a.comNumber < b.comNumber; });
    return p;
}

void Device::Unplug(PluggedAdapter &plugged, const std::function<void()> &stillPending) {
    if (plugged.handle && standin::UsbUnplug(plugged.handle)) {
        if (!standin::UsbWaitHostStack(plugged.handle, stillPending ? kRemovalMomentMs : INFINITE)) {
            stillPending();
            standin::UsbWaitHostStack(plugged.handle);
        }
    }
    plugged.handle = nullptr;
    plugged.ports.clear();
}

std::vector<PortEntry> Device::PortEntries() {
    std::vector<PortEntry> out;
    HKEY active;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, 0, &active) != ERROR_SUCCESS) return out;
    for (DWORD i = 0;; i++) {
        WCHAR name[64];
        DWORD cch = 64;
        if (RegEnumKeyExW(active, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY entry;
        if (RegOpenKeyExW(active, name, 0, 0, &entry) != ERROR_SUCCESS) continue;
        if (QueryString(entry, u"Key") == kPortDriverKey) {
            PortEntry e;
            e.entry = "Drivers\\Active\\" + standin::ToUtf8(name);
            e.name = standin::ToUtf8(QueryString(entry, u"Name"));
            std::string full = standin::ToUtf8(QueryString(entry, u"FullName"));
            e.device = full.substr(full.find_last_of("\\/") + 1);
            e.comNumber = QueryDword(entry, u"COMNum");
            e.productId = QueryDword(entry, u"USBPID");
            out.push_back(e);
        }
        RegCloseKey(entry);
    }
    RegCloseKey(active);
    return out;
}

}  // namespace qsxsim
