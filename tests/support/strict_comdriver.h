// A COM driver as strict as its contract allows, for tests of removal under load: its
// UsbComAttach hands out one handle per port and its UsbComDetach only records the call and
// returns TRUE at once. It closes no port, waits for nothing and serialises nobody: the
// applications (a test's own threads) call the port exports straight away, through
// StrictPortExports, and close each port themselves whenever they like.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "qsxport.h"

namespace qsxtest {

// One port as UsbComAttach was given it, and what became of its handle.
struct StrictBinding {
    void *record = nullptr;  // the device record, opaque here
    DWORD port = 0;
    DWORD productId = 0;
    size_t detachCalls = 0;  // UsbComDetach calls with this binding's handle
    size_t detachOrder = 0;  // 1 + the number of detach calls before its first one; 0 if none
};

class StrictComDriver {
public:
    static constexpr const char16_t *kFileName = u"StrictCom.dll";

    // Registers the library under kFileName, names it in the "Dll" value of the driver's
    // COM driver key and forgets earlier bindings. Uninstall takes the library away again
    // (the key keeps naming it; a test fixture rebuilds the registry anyway).
    static void Install();
    static void Uninstall();

    // Every binding since Install, in attach order.
    static std::vector<StrictBinding> Bindings();
    // What the contract forbids and the double saw: a detach with a handle it never handed
    // out or one already detached, an attach of a port index out of order.
    static std::vector<std::string> Violations();
    // Waits until `count` detach calls came in; false when `bound` (real time) ran out.
    static bool WaitDetachCalls(size_t count, std::chrono::milliseconds bound);
};

// The port exports as a COM driver finds them: by name in the loaded driver library.
struct StrictPortExports {
    PFN_COMOPEN ComOpen = nullptr;
    PFN_COMCLOSE ComClose = nullptr;
    PFN_SET_MASKEVENT Set_MaskEvent = nullptr;
    PFN_WAITCOMPORTEVENT WaitComPortEvent = nullptr;
    PFN_READUSB ReadUsb = nullptr;
    PFN_WRITEUSB WriteUsb = nullptr;
    PFN_WAITDATAEVENT WaitDataEvent = nullptr;
    PFN_USBPORTSATUS USBPortSatus = nullptr;
    // False when any is missing.
    bool Load(HMODULE driver);
};

}  // namespace qsxtest
