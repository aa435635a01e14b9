// Runs the configuration utility QSXPORT inside the simulated device as one program: the
// device's own QSXPORT.exe when the device was told to use its images, else the Linux
// build's code linked into qsxsim.
#pragma once

#include <windows.h>

#include <string>

namespace qsxsim {

// Runs QSXPORT with `commandLine` on the calling thread until it ends (its windows are the
// dialog manager's, for a front end or a script to drive); what its entry returned, or -1
// with `error` set when the image cannot be loaded.
int RunQsxport(std::u16string commandLine, std::string *error);

}  // namespace qsxsim
