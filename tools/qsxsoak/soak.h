// The soak run: cycle after cycle, a 16-port high-speed and a 4-port full-speed adapter
// are plugged, every port streams full duplex under check, and the adapters are pulled out
// at random moments (one, the other, or both; now and then while a port is being closed)
// and plugged back. After each cycle nothing of the adapters may be left: no stream
// device, no thread, no kernel handle, no USB pipe or transfer.
#pragma once

#include <cstdint>
#include <string>

#include "load.h"

namespace qsxsoak {

struct Options {
    int cycles = 1000;
    uint64_t seed = 0;
    std::string platformReg;  // the device's registry
    std::string reportPath;   // also write the report here, when not empty
    double timeScale = 0.02;  // real milliseconds per virtual millisecond
    // Bytes each port streams in a cycle: over half of it up to the checkpoint, the rest at
    // each later step (so the adapter plugged back, or the one left, stream on).
    uint64_t bytesPerPort = 16 * 1024;
    double hangSeconds = 120;           // a step that has not ended by then is a hang
    int progressEvery = 100;            // cycles between progress lines (0: none)
    bool trace = false;                 // every step of every cycle on stderr, with its time
    LoadSettings load;
};

// Runs the soak and prints its report. Exit status: 0 when every cycle survived with no
// loss and no fault, 1 otherwise, 2 when the device could not boot (or, from main, the
// options do not fit together). A hang ends the process from the watchdog with status 3.
int RunSoak(const Options &options);

}  // namespace qsxsoak
