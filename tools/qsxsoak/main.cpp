// qsxsoak: adapters pulled out and plugged back at random moments while every port streams
// full duplex under check; reports cycles survived, bytes verified and any loss outside
// the moments an unplug was in progress.
#include <CLI/CLI.hpp>

#include <signal.h>

#include <cstdio>
#include <random>

#include "soak.h"

int main(int argc, char **argv) {
    qsxsoak::Options options;
    options.platformReg = QSX_DEFAULT_PLATFORM_REG;
    options.seed = std::random_device{}();
    size_t window = options.load.window;

    CLI::App app{"qsxsoak: a 16-port high-speed and a 4-port full-speed adapter streaming full duplex on "
                 "every port, unplugged and plugged back at random moments, cycle after cycle"};
    app.add_option("--cycles", options.cycles, "plug-stream-unplug cycles to run")
        ->check(CLI::Range(1, 100000000))
        ->capture_default_str();
    app.add_option("--seed", options.seed, "seed of every random choice (default: a new one, shown in the report)");
    app.add_option("--report", options.reportPath, "also write the report to this file");
    app.add_option("--registry", options.platformReg, "the device's registry (a .reg file)")
        ->check(CLI::ExistingFile)
        ->capture_default_str();
    app.add_option("--time-scale", options.timeScale,
                   "real milliseconds per millisecond the platform asks for (1 is real time)")
        ->check(CLI::Range(0.0001, 10.0))
        ->capture_default_str();
    app.add_option("--bytes-per-port", options.bytesPerPort, "bytes each port is given to stream in a cycle (more when an adapter is plugged back)")
        ->check(CLI::Range(uint64_t{64}, uint64_t{1} << 30))
        ->capture_default_str();
    app.add_option("--window", window,
                   "bytes a writer may be ahead of its reader; 0 lets writers outrun slow readers, so that "
                   "the driver's ring drops data (to see the loss check fire)")
        ->check(CLI::Range(size_t{0}, size_t{12 * 1024}))
        ->capture_default_str();
    app.add_option("--reader-pause-us", options.load.readerPauseUs,
                   "microseconds a reader pauses after each read (a slow application)")
        ->check(CLI::Range(0u, 1000000u))
        ->capture_default_str();
    app.add_option("--stall-seconds", options.load.stallSeconds,
                   "how long data that should be moving may stand still before it counts as lost")
        ->check(CLI::Range(0.1, 3600.0))
        ->capture_default_str();
    app.add_option("--hang-seconds", options.hangSeconds,
                   "how long one step of a cycle may take before the run stops as hung (exit status 3)")
        ->check(CLI::Range(1.0, 36000.0))
        ->capture_default_str();
    app.add_option("--progress-every", options.progressEvery, "cycles between progress lines on stderr (0: none)")
        ->check(CLI::Range(0, 100000000))
        ->capture_default_str();
    app.add_flag("--trace", options.trace, "show every step of every cycle on stderr, with its time");
    CLI11_PARSE(app, argc, argv);
    options.load.window = window;
    // One step of a cycle waits for data up to five times in a row.
    if (options.hangSeconds < 6 * options.load.stallSeconds) {
        std::fprintf(stderr, "qsxsoak: --hang-seconds must be at least six times --stall-seconds, so that a "
                             "stall is reported as such before the watchdog takes it for a hang\n");
        return 2;
    }

    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    return qsxsoak::RunSoak(options);
}
