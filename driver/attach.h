// Device attach and detach: building the device record, binding the ports to the COM
// driver, starting the reader threads, and undoing all of it when the adapter goes.
#pragma once

#include "qsxpdd.h"

#ifdef __cplusplus
extern "C" {
#endif
BOOL WINAPI USBDeviceAttach(USB_HANDLE hDevice, LPCUSB_FUNCS lpUsbFuncs,
                            LPCUSB_INTERFACE lpInterface, LPCWSTR szUniqueDriverId,
                            LPBOOL fAcceptControl, LPCUSB_DRIVER_SETTINGS lpDriverSettings,
                            DWORD dwUnused);
#ifdef __cplusplus
}
#endif

BOOL WINAPI DeviceNotify(LPVOID lpvNotifyParameter, DWORD dwCode, LPDWORD *dwInfo1,
                         LPDWORD *dwInfo2, LPDWORD *dwInfo3, LPDWORD *dwInfo4);
void FreeUsbFps(PUSBFPS pUsbFps);

#define DETACH_PAUSE_MS 1000
// How often detach repeats its abort while a reader thread has not ended yet.
#define READER_ABORT_RETRY_MS 100
#define COM_DRIVER_NAME_BYTES 64
