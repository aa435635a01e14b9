// The device manager's device search, which Windows CE has and the desktop lacks:
// FindFirstDevice / FindNextDevice fill a DEVMGR_DEVICE_INFORMATION per device, and the
// search ends with FindClose (winbase.h). Included beside the platform's windows.h on
// every build.
#pragma once

#include <windows.h>

typedef enum _DeviceSearchType {
    DeviceSearchByLegacyName,  // pattern over the legacy name, "COM1:"
    DeviceSearchByDeviceName,  // pattern over the device name, "COM11" ("$device\COM11")
    DeviceSearchByBusName,
    DeviceSearchByGuid,
    DeviceSearchByParent
} DeviceSearchType;

// dwSize must be set to the record's size before the call (1584 bytes on the device).
typedef struct _DEVMGR_DEVICE_INFORMATION {
    DWORD dwSize;
    HANDLE hDevice;
    HANDLE hParentDevice;
    WCHAR szLegacyName[6];  // "COM1:"; empty when the device has no legacy name that fits
    WCHAR szDeviceKey[MAX_PATH];
    WCHAR szDeviceName[MAX_PATH];  // "$device\COM11"
    WCHAR szBusName[MAX_PATH];
} DEVMGR_DEVICE_INFORMATION, *PDEVMGR_DEVICE_INFORMATION;

#ifdef __cplusplus
static_assert(sizeof(void *) != 4 || sizeof(DEVMGR_DEVICE_INFORMATION) == 1584,
              "the device's record layout");
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The first device whose name matches pvSearchParam (a wide pattern; '*' and '?' are
// wildcards, letter case is ignored) for search types 0 and 1. Returns a search handle
// for FindNextDevice and FindClose, or INVALID_HANDLE_VALUE when nothing matches.
HANDLE WINAPI FindFirstDevice(DeviceSearchType searchType, LPCVOID pvSearchParam,
                              PDEVMGR_DEVICE_INFORMATION pdi);
// The next matching device; FALSE (ERROR_NO_MORE_ITEMS) after the last.
BOOL WINAPI FindNextDevice(HANDLE h, PDEVMGR_DEVICE_INFORMATION pdi);

#ifdef __cplusplus
}
#endif
