// The driver's identity towards the USB host stack and its install-time registration.
#pragma once

#include <windows.h>
#include <usbdi.h>

#define QSX_DRIVER_ID TEXT("QSX_PORT")
#define QSX_VENDOR_ID 7733
#define QSX_LOADCLIENTS_KEY TEXT("Drivers\\USB\\LoadClients\\7733\\Default\\Default\\QSX_PORT")
#define QSX_CLIENT_KEY TEXT("Drivers\\USB\\ClientDrivers\\QSX_PORT")
#define QSX_PORT_KEY_FORMAT TEXT("Drivers\\USB\\ClientDrivers\\QSX_PORT\\PORT%d")

#ifdef __cplusplus
extern "C" {
#endif
BOOL WINAPI USBInstallDriver(LPCWSTR szDriverLibFile);
BOOL WINAPI USBUnInstallDriver(void);
#ifdef __cplusplus
}
#endif
