// Library entry point of QSXPDD.
#include <windows.h>

// Every build of the library checks here, at compile time, that the records it shares with
// the platform have the device's layout.
#include <recordlayout.h>

// The driver keeps no per-thread state, so thread notifications are turned off.
extern "C" BOOL WINAPI DllMain(HANDLE hInstDll, DWORD dwReason, LPVOID lpvReserved)
{
    (void)lpvReserved;
    if (dwReason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls((HMODULE)hInstDll);
    return TRUE;
}
