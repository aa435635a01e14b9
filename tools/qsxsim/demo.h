// `qsxsim demo`: plug a 4-port adapter, show its bring-up, move data through every port
// and unplug it, with a list of checks.
#pragma once

#include <string>

namespace qsxsim {

// Runs the demo on a device booted from `platformReg`; 0 only if every check held. With
// Device::UseDeviceImages called first, on the device's own images.
int RunDemo(const std::string &platformReg);

}  // namespace qsxsim
