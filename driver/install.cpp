// Registration with the USB host stack: the driver asks to be offered every device of its
// vendor, whatever the product; attach sorts out the models it supports.
#include "install.h"

#include <dbgapi.h>

#include "keyvalues.h"

static void FillDriverSettings(USB_DRIVER_SETTINGS *pSettings)
{
    pSettings->dwCount = sizeof(USB_DRIVER_SETTINGS);
    pSettings->dwVendorId = QSX_VENDOR_ID;
    pSettings->dwProductId = USB_NO_INFO;
    pSettings->dwReleaseNumber = USB_NO_INFO;
    pSettings->dwDeviceClass = USB_NO_INFO;
    pSettings->dwDeviceSubClass = USB_NO_INFO;
    pSettings->dwDeviceProtocol = USB_NO_INFO;
    pSettings->dwInterfaceClass = USB_NO_INFO;
    pSettings->dwInterfaceSubClass = USB_NO_INFO;
    pSettings->dwInterfaceProtocol = USB_NO_INFO;
}

extern "C" BOOL WINAPI USBInstallDriver(LPCWSTR szDriverLibFile)
{
    USB_DRIVER_SETTINGS settings;
    WCHAR szPrefix[] = TEXT("COM");
    KeyValue table[3] = {
        {TEXT("Dll"), REG_SZ, 0, (LPVOID)szDriverLibFile},
        {TEXT("Prefix"), REG_SZ, 0, szPrefix},
        {NULL, 0, 0, NULL},
    };
    DWORD dwFirst = szDriverLibFile ? szDriverLibFile[0] : 0;
    BOOL bResult;

    NKDbgPrintfW(TEXT("=>USBInstallDriver:%x\n"), dwFirst);
    if (!RegisterClientDriverID(QSX_DRIVER_ID)) {
        NKDbgPrintfW(TEXT("RegisterClientDriverID Fail\n"));
        return FALSE;
    }
    GetSetKeyValues(QSX_LOADCLIENTS_KEY, table, 1, 1);

    FillDriverSettings(&settings);
    bResult = RegisterClientSettings(szDriverLibFile, QSX_DRIVER_ID, NULL, &settings);
    if (bResult)
        NKDbgPrintfW(TEXT("<=USBInstallDriver:%x ok\n"), dwFirst);
    else
        NKDbgPrintfW(TEXT("<=USBInstallDriver:%x fail\n"), dwFirst);
    return bResult ? TRUE : FALSE;
}

extern "C" BOOL WINAPI USBUnInstallDriver(void)
{
    USB_DRIVER_SETTINGS settings;
    BOOL bSettings;
    BOOL bId;

    FillDriverSettings(&settings);
    bSettings = UnRegisterClientSettings(QSX_DRIVER_ID, NULL, &settings);
    bId = UnRegisterClientDriverID(QSX_DRIVER_ID);
    return bSettings & bId;
}
