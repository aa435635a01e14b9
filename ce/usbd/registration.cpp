// The stand-in's usbd library: the registration helpers a USB client driver calls when it
// installs or removes itself, exported under the names the device's USBD.DLL has (the
// list is ce/lib/usbd.def). They write the registry layout through which the host stack
// finds clients (ce/src/loadclients.h) and nothing else; the host stack itself is part of
// the stand-in's coredll.
//
// A registered client id is its key HKLM\Drivers\USB\ClientDrivers\<id>, where the client
// keeps its own configuration; unregistering the id deletes that key with everything below
// it, as the platform's helpers do.
#include <windows.h>

#include <usbdi.h>

#include <string>

#include "loadclients.h"

namespace {

using standin::loadclients::Group;
using standin::loadclients::kClientDrivers;
using standin::loadclients::kLoadClients;

std::u16string SettingsKey(LPCUSB_DRIVER_SETTINGS s, LPCWSTR id) {
    return kLoadClients + Group(s->dwVendorId, s->dwProductId, s->dwReleaseNumber) + u"\\" +
           Group(s->dwDeviceClass, s->dwDeviceSubClass, s->dwDeviceProtocol) + u"\\" +
           Group(s->dwInterfaceClass, s->dwInterfaceSubClass, s->dwInterfaceProtocol) + u"\\" + id;
}

std::u16string ClientKey(LPCWSTR id) { return kClientDrivers + std::u16string(id); }

bool ValidId(LPCWSTR id) { return id && id[0] && lstrlenW(id) < 128; }

}  // namespace

extern "C" BOOL WINAPI RegisterClientDriverID(LPCWSTR szUniqueDriverId) {
    if (!ValidId(szUniqueDriverId)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // An existing key keeps what it holds.
    HKEY key;
    DWORD disposition;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ClientKey(szUniqueDriverId).c_str(), 0, nullptr,
                                  0, 0, nullptr, &key, &disposition);
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return FALSE;
    }
    RegCloseKey(key);
    return TRUE;
}

extern "C" BOOL WINAPI UnRegisterClientDriverID(LPCWSTR szUniqueDriverId) {
    if (!ValidId(szUniqueDriverId)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The client's configuration below the key goes with it.
    LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, ClientKey(szUniqueDriverId).c_str());
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI RegisterClientSettings(LPCWSTR szDriverLibFile, LPCWSTR szUniqueDriverId,
                                              LPCWSTR szReserved,
                                              LPCUSB_DRIVER_SETTINGS lpDriverSettings) {
    (void)szReserved;
    if (!szDriverLibFile || !szDriverLibFile[0] || !ValidId(szUniqueDriverId) || !lpDriverSettings ||
        lpDriverSettings->dwCount != sizeof(USB_DRIVER_SETTINGS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string path = SettingsKey(lpDriverSettings, szUniqueDriverId);
    HKEY key;
    DWORD disposition;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0, nullptr, &key,
                        &disposition) != ERROR_SUCCESS)
        return FALSE;
    LONG result = RegSetValueExW(key, u"DLL", 0, REG_SZ, reinterpret_cast<const BYTE *>(szDriverLibFile),
                                 static_cast<DWORD>((lstrlenW(szDriverLibFile) + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

extern "C" BOOL WINAPI UnRegisterClientSettings(LPCWSTR szUniqueDriverId, LPCWSTR szReserved,
                                                LPCUSB_DRIVER_SETTINGS lpDriverSettings) {
    (void)szReserved;
    if (!ValidId(szUniqueDriverId) || !lpDriverSettings ||
        lpDriverSettings->dwCount != sizeof(USB_DRIVER_SETTINGS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string path = SettingsKey(lpDriverSettings, szUniqueDriverId);
    LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    if (result != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(result));
    return result == ERROR_SUCCESS;
}
