// The process entry of a program built for the device without the platform's C runtime:
// the loader calls it with WinMain's arguments (the command line without the program's
// name) and hands what it returns to ExitThread. Nothing runs before it, so the programs
// keep no global objects that need constructing.
#include <windows.h>

extern "C" int WINAPI WinMainCRTStartup(HINSTANCE hInstance, HINSTANCE hPrevInstance,
                                        LPWSTR lpCmdLine, int nShowCmd)
{
    return WinMain(hInstance, hPrevInstance, lpCmdLine, nShowCmd);
}
