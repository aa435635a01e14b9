// qsxsim: a simulated Windows CE device with QSXPDD installed.
//   qsxsim [demo]   plugs an adapter, shows its bring-up, moves data through its ports and
//                   unplugs it; exits 0 only if every check held (the default).
//   qsxsim run      the device with a console: plug adapters, wire and watch their ports,
//                   reach them from Linux programs through PTYs, keep the registry.
//   --device-images [FOLDER]  either on the device's own PE images (32-bit build only).
#include <clocale>
#include <CLI/CLI.hpp>

#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "demo.h"
#include "device.h"
#include "session.h"

int main(int argc, char **argv) {
    // The terminal front end draws in the user's character set.
    std::setlocale(LC_CTYPE, "");
    CLI::App app{"qsxsim: a simulated Windows CE device with the QSX USB serial driver installed"};
    app.fallthrough();
    std::string registry = QSX_DEFAULT_PLATFORM_REG;
    app.add_option("--registry", registry, "the device's registry when no saved one is kept (a .reg file)")
        ->check(CLI::ExistingFile)
        ->capture_default_str();

    std::string images;
    app.add_option("--device-images", images,
                   "run the device's own images (QSXPDD.dll, QSXPORT.exe) from this folder instead of the "
                   "Linux builds; the 32-bit build only")
        ->expected(0, 1)
        ->type_name("[FOLDER]")
        ->default_str(QSX_DEFAULT_DEVICE_IMAGES);

    app.add_subcommand("demo", "plug a 4-port adapter, show its bring-up, move data through every port, "
                               "unplug it; exit 0 only if every check held (the default)");
    CLI::App *run = app.add_subcommand("run", "boot the device and take commands on a console "
                                              "(a terminal, or lines on standard input)");
    qsxsim::RunOptions options;
    run->add_option("--state", options.stateDir,
                    "the state folder: the saved registry (registry.reg, saved whenever it changes), "
                    "console history and the PTY links (dev/COM11, ...); without it a temporary folder "
                    "holds the links and the registry is not kept");
    std::vector<std::string> adapters;
    run->add_option("--adapter", adapters,
                    "plug this adapter at start: MODEL[:hs|:fs], MODEL a product id in hex (7045) or a name "
                    "(7020I, 7160-16, ...); may be given again")
        ->type_name("MODEL[:hs|:fs]")
        ->check(CLI::Validator(
            [](std::string &text) {
                std::string error;
                return qsxsim::ParseAdapterChoice(text, &error) ? std::string() : error;
            },
            "", "adapter"));
    app.require_subcommand(0, 1);
    CLI11_PARSE(app, argc, argv);

    if (app.count("--device-images")) {
        std::string error;
        if (!qsxsim::Device::UseDeviceImages(images, &error)) {
            std::fprintf(stderr, "qsxsim: %s\n", error.c_str());
            return 2;
        }
    }

    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Output goes to whoever reads it; one that left must not end the run half-way.
    signal(SIGPIPE, SIG_IGN);

    if (run->parsed()) {
        options.platformReg = registry;
        for (const std::string &text : adapters) {
            std::string error;
            options.adapters.push_back(*qsxsim::ParseAdapterChoice(text, &error));
        }
        return qsxsim::RunSimulator(options);
    }
    return qsxsim::RunDemo(registry);
}
