// The simulated CE device that qsxsim runs: the stand-in platform with its registry, the
// host stack with QSXPDD installed as a USB client, and simulated adapters to plug in.
#pragma once

#include <windows.h>
#include <usbdi.h>

#include <memory>
#include <string>
#include <vector>

#include "adapter.h"

namespace qsxsim {

struct PluggedAdapter {
    std::shared_ptr<Adapter> adapter;
    USB_HANDLE handle = nullptr;
};

class Device {
public:
    // Boots: loads the registry file and installs QSXPDD. False with `error` set when
    // either fails.
    bool Boot(const std::string &registryFile, std::string *error);
    // Plugs a new adapter; its handle is null when no client took it.
    PluggedAdapter Plug(WORD productId, bool highSpeed);
    void Unplug(PluggedAdapter &plugged);

    // The adapter ports' active-driver entries: (entry key, port name).
    static std::vector<std::pair<std::string, std::string>> PortEntries();
};

// The folder of the running program, where the libraries' folder lies beside it.
std::string ProgramFolder();

}  // namespace qsxsim
