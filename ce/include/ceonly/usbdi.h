// The platform's USB client interface: the function table handed to a client at
// attach, the client's exports, and the host stack's registration helpers.
//
// Contract of the entries the stand-in implements:
// - IssueBulkTransfer / IssueVendorTransfer: with a notify routine they return at once
//   and the routine runs later on a host-stack thread with its parameter; without one
//   they return only after the transfer ended (an IN transfer waits for data, or for its
//   pipe to close or its device to go, and then ends with an error). Null when the
//   transfer cannot be issued.
// - GetTransferStatus: byte count and USB error so far; USB_NOT_COMPLETE_ERROR while
//   the transfer is pending. CloseTransfer aborts a pending transfer and frees it.
// - ClosePipe: aborts the pipe's pending transfers and returns once they are gone.
#pragma once

#include <windows.h>

#include "usbtypes.h"

typedef DWORD (WINAPI *LPTRANSFER_NOTIFY_ROUTINE)(LPVOID lpvNotifyParameter);
typedef BOOL (WINAPI *LPDEVICE_NOTIFY_ROUTINE)(LPVOID lpvNotifyParameter, DWORD dwCode,
                                               LPDWORD *dwInfo1, LPDWORD *dwInfo2,
                                               LPDWORD *dwInfo3, LPDWORD *dwInfo4);

typedef void (WINAPI *LPGET_VERSION)(LPDWORD lpdwMajor, LPDWORD lpdwMinor);
typedef HKEY (WINAPI *LPOPEN_CLIENT_REGISTRY_KEY)(LPCWSTR szUniqueDriverId);
typedef BOOL (WINAPI *LPREGISTER_NOTIFICATION_ROUTINE)(USB_HANDLE hDevice,
                                                       LPDEVICE_NOTIFY_ROUTINE lpNotifyRoutine,
                                                       LPVOID lpvNotifyParameter);
typedef BOOL (WINAPI *LPUN_REGISTER_NOTIFICATION_ROUTINE)(USB_HANDLE hDevice,
                                                          LPDEVICE_NOTIFY_ROUTINE lpNotifyRoutine,
                                                          LPVOID lpvNotifyParameter);
typedef BOOL (WINAPI *LPLOAD_GENERIC_INTERFACE_DRIVER)(USB_HANDLE hDevice,
                                                       LPCUSB_INTERFACE lpInterface);
typedef DWORD (WINAPI *LPTRANSLATE_STRING_DESCR)(LPCVOID lpStringDescr, LPWSTR szString,
                                                DWORD cchStringLength);
typedef LPCUSB_INTERFACE (WINAPI *LPFIND_INTERFACE)(LPCUSB_DEVICE lpDeviceInfo,
                                                   UCHAR bInterfaceNumber,
                                                   UCHAR bAlternateSetting);
typedef BOOL (WINAPI *LPGET_FRAME_NUMBER)(USB_HANDLE hDevice, LPDWORD lpdwFrameNumber);
typedef BOOL (WINAPI *LPGET_FRAME_LENGTH)(USB_HANDLE hDevice, USHORT *lpuFrameLength);
typedef BOOL (WINAPI *LPTAKE_FRAME_LENGTH_CONTROL)(USB_HANDLE hDevice);
typedef BOOL (WINAPI *LPRELEASE_FRAME_LENGTH_CONTROL)(USB_HANDLE hDevice);
typedef BOOL (WINAPI *LPSET_FRAME_LENGTH)(USB_HANDLE hDevice, HANDLE hEvent, USHORT uFrameLength);
typedef LPCUSB_DEVICE (WINAPI *LPGET_DEVICE_INFO)(USB_HANDLE hDevice);
typedef USB_TRANSFER (WINAPI *LPISSUE_VENDOR_TRANSFER)(USB_HANDLE hDevice,
                                                      LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                                      LPVOID lpvNotifyParameter, DWORD dwFlags,
                                                      LPCUSB_DEVICE_REQUEST lpControlHeader,
                                                      LPVOID lpvBuffer,
                                                      ULONG uBufferPhysicalAddress);
typedef USB_TRANSFER (WINAPI *LPGET_INTERFACE)(USB_HANDLE hDevice,
                                              LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                              LPVOID lpvNotifyParameter, DWORD dwFlags,
                                              UCHAR bInterfaceNumber, PUCHAR lpbAlternateSetting);
typedef USB_TRANSFER (WINAPI *LPSET_INTERFACE)(USB_HANDLE hDevice,
                                              LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                              LPVOID lpvNotifyParameter, DWORD dwFlags,
                                              UCHAR bInterfaceNumber, UCHAR bAlternateSetting);
typedef USB_TRANSFER (WINAPI *LPGET_DESCRIPTOR)(USB_HANDLE hDevice,
                                               LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                               LPVOID lpvNotifyParameter, DWORD dwFlags,
                                               UCHAR bType, UCHAR bIndex, WORD wLanguage,
                                               WORD wLength, LPVOID lpvBuffer);
typedef USB_TRANSFER (WINAPI *LPSET_DESCRIPTOR)(USB_HANDLE hDevice,
                                               LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                               LPVOID lpvNotifyParameter, DWORD dwFlags,
                                               UCHAR bType, UCHAR bIndex, WORD wLanguage,
                                               WORD wLength, LPVOID lpvBuffer);
typedef USB_TRANSFER (WINAPI *LPSET_FEATURE)(USB_HANDLE hDevice,
                                            LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                            LPVOID lpvNotifyParameter, DWORD dwFlags,
                                            WORD wFeature, UCHAR bIndex);
typedef USB_TRANSFER (WINAPI *LPCLEAR_FEATURE)(USB_HANDLE hDevice,
                                              LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                              LPVOID lpvNotifyParameter, DWORD dwFlags,
                                              WORD wFeature, UCHAR bIndex);
typedef USB_TRANSFER (WINAPI *LPGET_STATUS)(USB_HANDLE hDevice,
                                           LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                           LPVOID lpvNotifyParameter, DWORD dwFlags,
                                           UCHAR bIndex, LPWORD lpwStatus);
typedef USB_TRANSFER (WINAPI *LPSYNC_FRAME)(USB_HANDLE hDevice,
                                           LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                           LPVOID lpvNotifyParameter, DWORD dwFlags,
                                           UCHAR bEndpoint, LPWORD lpwFrame);
typedef USB_PIPE (WINAPI *LPOPEN_PIPE)(USB_HANDLE hDevice,
                                      LPCUSB_ENDPOINT_DESCRIPTOR lpEndpointDescriptor);
typedef BOOL (WINAPI *LPABORT_PIPE_TRANSFERS)(USB_PIPE hPipe, DWORD dwFlags);
typedef BOOL (WINAPI *LPRESET_PIPE)(USB_PIPE hPipe);
typedef BOOL (WINAPI *LPCLOSE_PIPE)(USB_PIPE hPipe);
typedef BOOL (WINAPI *LPIS_PIPE_HALTED)(USB_PIPE hPipe, LPBOOL lpbHalted);
typedef USB_TRANSFER (WINAPI *LPISSUE_CONTROL_TRANSFER)(USB_PIPE hPipe,
                                                       LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                                       LPVOID lpvNotifyParameter, DWORD dwFlags,
                                                       LPCVOID lpvControlHeader,
                                                       DWORD dwBufferSize, LPVOID lpvBuffer,
                                                       ULONG uBufferPhysicalAddress);
typedef USB_TRANSFER (WINAPI *LPISSUE_BULK_TRANSFER)(USB_PIPE hPipe,
                                                    LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                                    LPVOID lpvNotifyParameter, DWORD dwFlags,
                                                    DWORD dwBufferSize, LPVOID lpvBuffer,
                                                    ULONG uBufferPhysicalAddress);
typedef USB_TRANSFER (WINAPI *LPISSUE_INTERRUPT_TRANSFER)(USB_PIPE hPipe,
                                                         LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                                         LPVOID lpvNotifyParameter, DWORD dwFlags,
                                                         DWORD dwBufferSize, LPVOID lpvBuffer,
                                                         ULONG uBufferPhysicalAddress);
typedef USB_TRANSFER (WINAPI *LPISSUE_ISOCH_TRANSFER)(USB_PIPE hPipe,
                                                     LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                                     LPVOID lpvNotifyParameter, DWORD dwFlags,
                                                     DWORD dwStartingFrame, DWORD dwFrames,
                                                     const DWORD *lpdwLengths, LPVOID lpvBuffer,
                                                     ULONG uBufferPhysicalAddress);
typedef BOOL (WINAPI *LPIS_TRANSFER_COMPLETE)(USB_TRANSFER hTransfer);
typedef BOOL (WINAPI *LPGET_TRANSFER_STATUS)(USB_TRANSFER hTransfer,
                                             LPDWORD lpdwBytesTransferred, LPDWORD lpdwError);
typedef BOOL (WINAPI *LPGET_ISOCH_RESULTS)(USB_TRANSFER hTransfer, DWORD cFrames,
                                           LPDWORD lpdwBytesTransferred, LPDWORD lpdwErrors);
typedef BOOL (WINAPI *LPABORT_TRANSFER)(USB_TRANSFER hTransfer, DWORD dwFlags);
typedef BOOL (WINAPI *LPCLOSE_TRANSFER)(USB_TRANSFER hTransfer);

typedef struct _USB_FUNCS {
    DWORD dwCount;
    LPGET_VERSION lpGetUSBDVersion;
    LPOPEN_CLIENT_REGISTRY_KEY lpOpenClientRegistyKey;
    LPREGISTER_NOTIFICATION_ROUTINE lpRegisterNotificationRoutine;
    LPUN_REGISTER_NOTIFICATION_ROUTINE lpUnRegisterNotificationRoutine;
    LPLOAD_GENERIC_INTERFACE_DRIVER lpLoadGenericInterfaceDriver;
    LPTRANSLATE_STRING_DESCR lpTranslateStringDesc;
    LPFIND_INTERFACE lpFindInterface;
    LPGET_FRAME_NUMBER lpGetFrameNumber;
    LPGET_FRAME_LENGTH lpGetFrameLength;
    LPTAKE_FRAME_LENGTH_CONTROL lpTakeFrameLengthControl;
    LPRELEASE_FRAME_LENGTH_CONTROL lpReleaseFrameLengthControl;
    LPSET_FRAME_LENGTH lpSetFrameLength;
    LPGET_DEVICE_INFO lpGetDeviceInfo;
    LPISSUE_VENDOR_TRANSFER lpIssueVendorTransfer;
    LPGET_INTERFACE lpGetInterface;
    LPSET_INTERFACE lpSetInterface;
    LPGET_DESCRIPTOR lpGetDescriptor;
    LPSET_DESCRIPTOR lpSetDescriptor;
    LPSET_FEATURE lpSetFeature;
    LPCLEAR_FEATURE lpClearFeature;
    LPGET_STATUS lpGetStatus;
    LPSYNC_FRAME lpSyncFrame;
    LPOPEN_PIPE lpOpenPipe;
    LPABORT_PIPE_TRANSFERS lpAbortPipeTransfers;
    LPRESET_PIPE lpResetPipe;
    LPCLOSE_PIPE lpClosePipe;
    LPIS_PIPE_HALTED lpIsPipeHalted;
    LPISSUE_CONTROL_TRANSFER lpIssueControlTransfer;
    LPISSUE_BULK_TRANSFER lpIssueBulkTransfer;
    LPISSUE_INTERRUPT_TRANSFER lpIssueInterruptTransfer;
    LPISSUE_ISOCH_TRANSFER lpIssueIsochTransfer;
    LPIS_TRANSFER_COMPLETE lpIsTransferComplete;
    LPGET_TRANSFER_STATUS lpGetTransferStatus;
    LPGET_ISOCH_RESULTS lpGetIsochResults;
    LPABORT_TRANSFER lpAbortTransfer;
    LPCLOSE_TRANSFER lpCloseTransfer;
} USB_FUNCS, *PUSB_FUNCS, *LPUSB_FUNCS;
typedef const USB_FUNCS *PCUSB_FUNCS, *LPCUSB_FUNCS;

#ifdef __cplusplus
extern "C" {
#endif

// Exported by the host stack's usbd.dll (on Linux the stand-in's usbd library) for client
// drivers that install themselves.
BOOL WINAPI RegisterClientDriverID(LPCWSTR szUniqueDriverId);
BOOL WINAPI UnRegisterClientDriverID(LPCWSTR szUniqueDriverId);
BOOL WINAPI RegisterClientSettings(LPCWSTR szDriverLibFile, LPCWSTR szUniqueDriverId,
                                   LPCWSTR szReserved, LPCUSB_DRIVER_SETTINGS lpDriverSettings);
BOOL WINAPI UnRegisterClientSettings(LPCWSTR szUniqueDriverId, LPCWSTR szReserved,
                                     LPCUSB_DRIVER_SETTINGS lpDriverSettings);

#ifdef __cplusplus
}
#endif

// Exports a client driver provides; the host stack looks them up by name.
typedef BOOL (WINAPI *LPUSB_DEVICE_ATTACH)(USB_HANDLE hDevice, LPCUSB_FUNCS lpUsbFuncs,
                                           LPCUSB_INTERFACE lpInterface,
                                           LPCWSTR szUniqueDriverId, LPBOOL fAcceptControl,
                                           LPCUSB_DRIVER_SETTINGS lpDriverSettings,
                                           DWORD dwUnused);
typedef BOOL (WINAPI *LPUSB_INSTALL_DRIVER)(LPCWSTR szDriverLibFile);
typedef BOOL (WINAPI *LPUSB_UNINSTALL_DRIVER)(void);
