#include "qsxport_run.h"

#include <standin/gwes.h>
#include <standin/kernel.h>

#include "device.h"

namespace qsxsim {

int RunQsxport(std::u16string commandLine, std::string *error) {
    namespace gwes = standin::gwes;
    if (Device::DeviceImageFolder().empty())
        return standin::RunProgram(
            [&] { return WinMain(gwes::ProgramInstance(), nullptr, commandLine.data(), SW_SHOW); });
    // The image stays loaded for the whole run, as the device keeps a process's EXE mapped.
    HMODULE program = LoadLibraryW(u"QSXPORT.exe");
    if (!program) {
        *error = "QSXPORT.exe could not be loaded (error " + std::to_string(GetLastError()) + ")";
        return -1;
    }
    const int result =
        standin::RunProgram([&] { return standin::RunDeviceProgram(program, commandLine.c_str(), SW_SHOW); });
    FreeLibrary(program);
    return result;
}

}  // namespace qsxsim
