// Runs QSXPORT's entry on the calling thread: the device's own QSXPORT.exe, loaded by the
// stand-in, where the build runs the suites against the device images
// (QSX_RUN_DEVICE_IMAGES); else the Linux build's WinMain linked into the test program.
// A test runs it inside standin::RunProgram, as one program.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <standin/gwes.h>
#include <standin/kernel.h>

namespace qsxtest {

inline int RunQsxport(LPWSTR commandLine) {
#if QSX_RUN_DEVICE_IMAGES
    // Loaded once and kept, as the device keeps a program's image mapped while it runs.
    static const HMODULE program = LoadLibraryW(u"QSXPORT.exe");
    static const DWORD loadError = program ? 0 : GetLastError();
    EXPECT_NE(program, nullptr) << "QSXPORT.exe not loaded, error " << loadError;
    return program ? standin::RunDeviceProgram(program, commandLine, SW_SHOW) : -1;
#else
    return WinMain(standin::gwes::ProgramInstance(), nullptr, commandLine, SW_SHOW);
#endif
}

}  // namespace qsxtest
