// The strict COM driver double: its two exports, the record of what they were given, and
// the port exports resolved by name.
#include "strict_comdriver.h"

#include <kfuncs.h>
#include <standin/kernel.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string_view>

namespace qsxtest {

namespace {

struct State {
    std::mutex lock;
    std::condition_variable detached;
    // A deque keeps every binding where it is, so a handle is an index that stays valid.
    std::deque<StrictBinding> bindings;
    std::vector<std::string> violations;
    size_t detachCalls = 0;
};

State &TheState() {
    static State *state = new State;  // never destroyed: a late detach may come at exit
    return *state;
}

// Handles are 1 + the binding's index: never 0, which would stop the binding.
HANDLE WINAPI StrictAttach(LPVOID record, DWORD port, DWORD productId) {
    State &s = TheState();
    std::lock_guard g(s.lock);
    // Port 0 starts an adapter; every later port follows the one before it on the same record.
    if (port != 0 && (s.bindings.empty() || s.bindings.back().record != record || s.bindings.back().port + 1 != port))
        s.violations.push_back("attach of port " + std::to_string(port) + " out of order");
    s.bindings.push_back(StrictBinding{record, port, productId, 0, 0});
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(s.bindings.size()));
}

// Records the call and returns at once: it neither closes the port nor waits for anyone.
BOOL WINAPI StrictDetach(HANDLE handle) {
    State &s = TheState();
    {
        std::lock_guard g(s.lock);
        const auto index = reinterpret_cast<ULONG_PTR>(handle);
        s.detachCalls++;
        if (index == 0 || index > s.bindings.size()) {
            s.violations.push_back("detach with a handle never handed out");
        } else {
            StrictBinding &b = s.bindings[index - 1];
            if (b.detachCalls++ == 0)
                b.detachOrder = s.detachCalls;
            else
                s.violations.push_back("port " + std::to_string(b.port) + " detached twice");
        }
    }
    s.detached.notify_all();
    return TRUE;
}

void *Lookup(std::string_view name) {
    if (name == "UsbComAttach") return reinterpret_cast<void *>(StrictAttach);
    if (name == "UsbComDetach") return reinterpret_cast<void *>(StrictDetach);
    return nullptr;
}

}  // namespace

void StrictComDriver::Install() {
    State &s = TheState();
    {
        std::lock_guard g(s.lock);
        s.bindings.clear();
        s.violations.clear();
        s.detachCalls = 0;
    }
    standin::RegisterBuiltinModule(kFileName, Lookup);
    HKEY key;
    DWORD disposition;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\USB\\ClientDrivers\\QSX_PORT", 0, nullptr, 0, 0, nullptr,
                        &key, &disposition) != ERROR_SUCCESS)
        return;
    const std::u16string name(kFileName);
    RegSetValueExW(key, u"Dll", 0, REG_SZ, reinterpret_cast<const BYTE *>(name.c_str()),
                   static_cast<DWORD>((name.size() + 1) * sizeof(char16_t)));
    RegCloseKey(key);
}

void StrictComDriver::Uninstall() { standin::UnregisterBuiltinModule(kFileName); }

std::vector<StrictBinding> StrictComDriver::Bindings() {
    State &s = TheState();
    std::lock_guard g(s.lock);
    return {s.bindings.begin(), s.bindings.end()};
}

std::vector<std::string> StrictComDriver::Violations() {
    State &s = TheState();
    std::lock_guard g(s.lock);
    return s.violations;
}

bool StrictComDriver::WaitDetachCalls(size_t count, std::chrono::milliseconds bound) {
    State &s = TheState();
    std::unique_lock g(s.lock);
    return s.detached.wait_for(g, bound, [&] { return s.detachCalls >= count; });
}

bool StrictPortExports::Load(HMODULE driver) {
    if (!driver) return false;
    // Through a generic function pointer: FARPROC's own type says nothing of the export's.
    auto find = [&](const char16_t *name) { return reinterpret_cast<void (*)()>(GetProcAddressW(driver, name)); };
    ComOpen = reinterpret_cast<PFN_COMOPEN>(find(u"ComOpen"));
    ComClose = reinterpret_cast<PFN_COMCLOSE>(find(u"ComClose"));
    Set_MaskEvent = reinterpret_cast<PFN_SET_MASKEVENT>(find(u"Set_MaskEvent"));
    WaitComPortEvent = reinterpret_cast<PFN_WAITCOMPORTEVENT>(find(u"WaitComPortEvent"));
    ReadUsb = reinterpret_cast<PFN_READUSB>(find(u"ReadUsb"));
    WriteUsb = reinterpret_cast<PFN_WRITEUSB>(find(u"WriteUsb"));
    WaitDataEvent = reinterpret_cast<PFN_WAITDATAEVENT>(find(u"WaitDataEvent"));
    USBPortSatus = reinterpret_cast<PFN_USBPORTSATUS>(find(u"USBPortSatus"));
    return ComOpen && ComClose && Set_MaskEvent && WaitComPortEvent && ReadUsb && WriteUsb && WaitDataEvent &&
           USBPortSatus;
}

}  // namespace qsxtest
