// qsxsim: a simulated Windows CE device with QSXPDD installed. `qsxsim demo` (the default)
// plugs an adapter, shows its bring-up on the debug console, checks what reached the
// adapter and unplugs it again; it exits 0 only if every check held.
#include <standin/kernel.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "device.h"

namespace {

int failures = 0;

void Check(bool ok, const char *what) {
    std::printf("  [%s] %s\n", ok ? " ok " : "FAIL", what);
    if (!ok) failures++;
}

const char *RequestName(BYTE code) {
    switch (code) {
    case 0x0C: return "begin firmware download";
    case 0x20: return "firmware block";
    case 0x0D: return "end of image";
    case 0x0E: return "start firmware";
    case 0x0F: return "receive FIFO";
    case 0x10: return "interface mode";
    case 0x09: return "purge";
    default: return "vendor request";
    }
}

int Demo(const std::string &registry) {
    qsxsim::Device device;
    std::string error;
    std::printf("qsxsim: booting the simulated CE device\n");
    if (!device.Boot(registry, &error)) {
        std::fprintf(stderr, "qsxsim: %s\n", error.c_str());
        return 1;
    }
    standin::SetConsoleListener([](const std::string &m) { std::printf("  console| %s", m.c_str()); });

    const WORD productId = 0x7045;
    std::printf("\nqsxsim: plugging a 4-port high-speed adapter (product 0x%04X)\n", productId);
    DWORD start = GetTickCount();
    qsxsim::PluggedAdapter plugged = device.Plug(productId, true);
    std::printf("  attached in %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));

    std::printf("\nqsxsim: what the adapter received\n");
    std::map<BYTE, int> counts;
    std::vector<qsxsim::VendorRecord> log = plugged.adapter->VendorLog();
    size_t blockBytes = 0;
    for (const auto &r : log) {
        counts[r.setup.bRequest]++;
        if (r.setup.bRequest == 0x20) blockBytes += r.data.size();
        else
            std::printf("  t=%6lu ms  request 0x%02X %-24s value %u index %u\n",
                        static_cast<unsigned long>(r.tick - log.front().tick), r.setup.bRequest,
                        RequestName(r.setup.bRequest), r.setup.wValue, r.setup.wIndex);
    }
    std::printf("  %d firmware blocks, %zu bytes\n", counts[0x20], blockBytes);

    std::printf("\nqsxsim: ports bound to the COM driver\n");
    auto ports = device.PortEntries();
    for (const auto &[key, name] : ports) std::printf("  %s  %s\n", key.c_str(), name.c_str());

    std::printf("\nqsxsim: checks\n");
    Check(plugged.handle != nullptr, "QSXPDD took the adapter");
    Check(plugged.adapter->Usable(), "the firmware image arrived whole and the adapter runs it");
    Check(counts[0x20] == 522, "the 33392-byte image went out as 522 blocks");
    Check(ports.size() == 4, "all four ports are bound");
    Check(counts[0x10] == 4, "every port was sent its interface mode");

    std::printf("\nqsxsim: unplugging\n");
    start = GetTickCount();
    device.Unplug(plugged);
    std::printf("  detached in %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));
    Check(device.PortEntries().empty(), "the ports are gone");
    Check(standin::RunningThreadCount() == 0, "no driver thread is left running");
    standin::SetConsoleListener(nullptr);

    std::printf("\nqsxsim: %s\n", failures ? "some checks FAILED" : "all checks held");
    return failures ? 1 : 0;
}

void Usage() {
    std::printf("usage: qsxsim [demo] [--registry FILE]\n"
                "  demo             plug a simulated adapter, show its bring-up, unplug it (default)\n"
                "  --registry FILE  the device's registry (.reg); default: the shipped platform.reg\n");
}

}  // namespace

int main(int argc, char **argv) {
    std::string registry = QSX_DEFAULT_PLATFORM_REG;
    std::string command = "demo";
    for (int i = 1; i < argc; i++) {
        if (!std::strcmp(argv[i], "--registry") && i + 1 < argc) {
            registry = argv[++i];
        } else if (!std::strcmp(argv[i], "demo")) {
            command = "demo";
        } else if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "qsxsim: unknown argument '%s'\n", argv[i]);
            Usage();
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return Demo(registry);
}
