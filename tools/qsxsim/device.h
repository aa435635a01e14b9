// The simulated CE device that qsxsim runs: the stand-in platform with its registry, the
// host stack with QSXPDD installed as a USB client, and simulated adapters to plug in; plus
// the adapter family's model names, as people type them.
#pragma once

#include <windows.h>
#include <usbdi.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapter.h"

namespace qsxsim {

// One model of the family: its product id, its name ("7020I", "7160-16") and port count.
struct ModelName {
    WORD productId;
    const char *name;
};
std::vector<ModelName> ModelNames();
// The model's name, or its product id in hex for a product outside the family.
std::string ModelLabel(WORD productId);

// What `--adapter` and `plug` take: a name or a hex product id ("7045", "0x7193", "7020I"),
// optionally followed by ":hs" (high speed, the default) or ":fs" (full speed).
struct AdapterChoice {
    WORD productId = 0;
    bool highSpeed = true;
};
// The choice, or nullopt with `error` saying what is wrong.
std::optional<AdapterChoice> ParseAdapterChoice(const std::string &text, std::string *error);

// A port's active-driver entry, as the COM driver made it.
struct PortEntry {
    std::string entry;     // "Drivers\Active\03"
    std::string name;      // legacy name "COM11:", empty when the entry has none
    std::string device;    // "COM11": the stream device, opened as "$device\COM11"
    DWORD comNumber = 0;
    DWORD productId = 0;
};

struct PluggedAdapter {
    std::shared_ptr<Adapter> adapter;
    USB_HANDLE handle = nullptr;    // null when no client driver took the adapter
    std::vector<PortEntry> ports;   // bound ports, in port order (port 0 first)
};

class Device {
public:
    // Boots: loads the registry and installs QSXPDD. The registry comes from `platformReg`
    // (the shipped platform.reg or another in its form) or, when `savedHive` names a file
    // that exists, from that saved registry; the active-driver entries always come from
    // `platformReg`, since the device manager rebuilds them at every boot (a saved hive
    // may still list ports of an adapter that was plugged when the last run ended).
    // False with `error` set when a file cannot be loaded (nothing is written then) or
    // QSXPDD cannot be installed. A saved registry must be whole (see
    // standin::LoadSavedRegFile); one from before saved files carried their end line is
    // taken as it is and kept beside as SAVEDHIVE.unsealed, which `note` then says.
    bool Boot(const std::string &platformReg, const std::string &savedHive, std::string *error,
              std::string *note = nullptr);
    // Plugs a new adapter; its ports are those the COM driver bound during the attach.
    // `created`, when given, gets the adapter before it is plugged (to watch its bring-up).
    // The host stack attaches on its own thread, after any removal still in progress; this
    // returns once the attach has run.
    PluggedAdapter Plug(WORD productId, bool highSpeed,
                        const std::function<void(std::shared_ptr<Adapter>)> &created = nullptr);
    // Pulls the adapter and returns once the host stack has finished its removal, which
    // waits for the adapter's open ports to be closed. `stillPending`, when given, is
    // called once if the removal is still going on after a moment (kRemovalMomentMs).
    void Unplug(PluggedAdapter &plugged, const std::function<void()> &stillPending = nullptr);
    // Real milliseconds: longer than the driver's own pause at removal, so a removal still
    // going on after it is waiting for something.
    static constexpr DWORD kRemovalMomentMs = 2000;

    // The adapter ports' active-driver entries, in entry order.
    static std::vector<PortEntry> PortEntries();

    // Before Boot: QSXPDD.dll and QSXPORT.exe come from `folder`, the device's own PE
    // images, instead of the Linux builds of the deliverables. Only a 32-bit build can run
    // them. False with `error` saying why when this build cannot, or the folder lacks
    // either image.
    static bool UseDeviceImages(const std::string &folder, std::string *error);
    // The folder UseDeviceImages took, or empty for the Linux builds.
    static std::string DeviceImageFolder();
    // The file the module `name` ("QSXPDD.dll") is loaded from (loaded for the question
    // if it was not), or empty when it cannot be loaded.
    static std::string LoadedFrom(const char16_t *name);
};

// The folder of the running program, where the libraries' folder lies beside it.
std::string ProgramFolder();

}  // namespace qsxsim
