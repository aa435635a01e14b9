// Sizes and member offsets of the records the driver and the utility hand to the platform
// (or get from it) by pointer, and of the dialog templates the platform reads from the
// utility's resources, as the device lays them out: 32-bit x86 with the platform
// compiler's rules (4-byte pointers and handles, natural alignment, the USB descriptors
// packed). A build for the device and a 32-bit build of the stand-in both compile these
// checks, so code built for one can run against the other and a drift in either fails
// the build. A 64-bit build checks the records without pointers only.
//
// Bit-fields are not reachable by offsetof; both compilers give a run of DWORD bit-fields
// one DWORD, filled from bit 0 in declaration order, and the sizes below would catch a
// field that spilled into another one.
#pragma once

#include <windows.h>

#include <devmgr.h>
#include <pegdser.h>
#include <usbdi.h>

#include <stddef.h>

#define QSX_RECORD_SIZE(type, size) \
    static_assert(sizeof(type) == (size), "size of " #type " differs from the device's")
#define QSX_RECORD_AT(type, member, offset) \
    static_assert(offsetof(type, member) == (offset), "offset of " #type "." #member " differs from the device's")
// Records holding pointers or handles have the device's layout only where pointers have
// its size: the device itself and the 32-bit stand-in.
#define QSX_RECORD_SIZE32(type, size) \
    static_assert(sizeof(void *) != 4 || sizeof(type) == (size), "size of " #type " differs from the device's")
#define QSX_RECORD_AT32(type, member, offset)                  \
    static_assert(sizeof(void *) != 4 || offsetof(type, member) == (offset), \
                  "offset of " #type "." #member " differs from the device's")

// ---- kernel -----------------------------------------------------------------
// The desktop's windows.h (the cross compiler's syntax check) has a critical section of its
// own shape; the device's is five 32-bit words.
#if !defined(_WIN32) || defined(_WIN32_WCE)
QSX_RECORD_SIZE32(CRITICAL_SECTION, 20);
QSX_RECORD_AT32(CRITICAL_SECTION, LockCount, 0);
QSX_RECORD_AT32(CRITICAL_SECTION, OwnerThread, 4);
QSX_RECORD_AT32(CRITICAL_SECTION, hCrit, 8);
QSX_RECORD_AT32(CRITICAL_SECTION, needtrap, 12);
QSX_RECORD_AT32(CRITICAL_SECTION, dwContentions, 16);
#endif

QSX_RECORD_SIZE32(SECURITY_ATTRIBUTES, 12);
QSX_RECORD_AT32(SECURITY_ATTRIBUTES, lpSecurityDescriptor, 4);
QSX_RECORD_AT32(SECURITY_ATTRIBUTES, bInheritHandle, 8);

// ---- serial -----------------------------------------------------------------
QSX_RECORD_SIZE(DCB, 28);
QSX_RECORD_AT(DCB, DCBlength, 0);
QSX_RECORD_AT(DCB, BaudRate, 4);
QSX_RECORD_AT(DCB, wReserved, 12);
QSX_RECORD_AT(DCB, XonLim, 14);
QSX_RECORD_AT(DCB, XoffLim, 16);
QSX_RECORD_AT(DCB, ByteSize, 18);
QSX_RECORD_AT(DCB, Parity, 19);
QSX_RECORD_AT(DCB, StopBits, 20);
QSX_RECORD_AT(DCB, XonChar, 21);
QSX_RECORD_AT(DCB, XoffChar, 22);
QSX_RECORD_AT(DCB, ErrorChar, 23);
QSX_RECORD_AT(DCB, EofChar, 24);
QSX_RECORD_AT(DCB, EvtChar, 25);
QSX_RECORD_AT(DCB, wReserved1, 26);

QSX_RECORD_SIZE(COMSTAT, 12);
QSX_RECORD_AT(COMSTAT, cbInQue, 4);
QSX_RECORD_AT(COMSTAT, cbOutQue, 8);

QSX_RECORD_SIZE(COMMTIMEOUTS, 20);
QSX_RECORD_AT(COMMTIMEOUTS, ReadTotalTimeoutConstant, 8);
QSX_RECORD_AT(COMMTIMEOUTS, WriteTotalTimeoutConstant, 16);

QSX_RECORD_SIZE32(OVERLAPPED, 20);
QSX_RECORD_AT32(OVERLAPPED, Offset, 8);
QSX_RECORD_AT32(OVERLAPPED, hEvent, 16);

QSX_RECORD_SIZE(SERIAL_DEV_STATUS, 16);
QSX_RECORD_AT(SERIAL_DEV_STATUS, ComStat, 4);
QSX_RECORD_SIZE(SERIAL_QUEUE_SIZE, 8);

// ---- dialogs: the templates the dialog manager reads from a program's resources ----
QSX_RECORD_SIZE(DLGTEMPLATE, 18);
QSX_RECORD_AT(DLGTEMPLATE, dwExtendedStyle, 4);
QSX_RECORD_AT(DLGTEMPLATE, cdit, 8);
QSX_RECORD_AT(DLGTEMPLATE, x, 10);
QSX_RECORD_AT(DLGTEMPLATE, cy, 16);
QSX_RECORD_SIZE(DLGITEMTEMPLATE, 18);
QSX_RECORD_AT(DLGITEMTEMPLATE, x, 8);
QSX_RECORD_AT(DLGITEMTEMPLATE, cy, 14);
QSX_RECORD_AT(DLGITEMTEMPLATE, id, 16);

// ---- device manager ---------------------------------------------------------
QSX_RECORD_SIZE32(DEVMGR_DEVICE_INFORMATION, 1584);
QSX_RECORD_AT32(DEVMGR_DEVICE_INFORMATION, hDevice, 4);
QSX_RECORD_AT32(DEVMGR_DEVICE_INFORMATION, hParentDevice, 8);
QSX_RECORD_AT32(DEVMGR_DEVICE_INFORMATION, szLegacyName, 12);
QSX_RECORD_AT32(DEVMGR_DEVICE_INFORMATION, szDeviceKey, 24);
QSX_RECORD_AT32(DEVMGR_DEVICE_INFORMATION, szDeviceName, 544);
QSX_RECORD_AT32(DEVMGR_DEVICE_INFORMATION, szBusName, 1064);

// ---- USB: descriptors and the setup packet, packed --------------------------
QSX_RECORD_SIZE(USB_DEVICE_REQUEST, 8);
QSX_RECORD_AT(USB_DEVICE_REQUEST, bRequest, 1);
QSX_RECORD_AT(USB_DEVICE_REQUEST, wValue, 2);
QSX_RECORD_AT(USB_DEVICE_REQUEST, wIndex, 4);
QSX_RECORD_AT(USB_DEVICE_REQUEST, wLength, 6);

QSX_RECORD_SIZE(USB_DEVICE_DESCRIPTOR, 18);
QSX_RECORD_AT(USB_DEVICE_DESCRIPTOR, bcdUSB, 2);
QSX_RECORD_AT(USB_DEVICE_DESCRIPTOR, bMaxPacketSize0, 7);
QSX_RECORD_AT(USB_DEVICE_DESCRIPTOR, idVendor, 8);
QSX_RECORD_AT(USB_DEVICE_DESCRIPTOR, idProduct, 10);
QSX_RECORD_AT(USB_DEVICE_DESCRIPTOR, bcdDevice, 12);
QSX_RECORD_AT(USB_DEVICE_DESCRIPTOR, bNumConfigurations, 17);

QSX_RECORD_SIZE(USB_CONFIGURATION_DESCRIPTOR, 9);
QSX_RECORD_AT(USB_CONFIGURATION_DESCRIPTOR, wTotalLength, 2);
QSX_RECORD_AT(USB_CONFIGURATION_DESCRIPTOR, MaxPower, 8);

QSX_RECORD_SIZE(USB_INTERFACE_DESCRIPTOR, 9);
QSX_RECORD_AT(USB_INTERFACE_DESCRIPTOR, bInterfaceNumber, 2);
QSX_RECORD_AT(USB_INTERFACE_DESCRIPTOR, bNumEndpoints, 4);
QSX_RECORD_AT(USB_INTERFACE_DESCRIPTOR, bInterfaceClass, 5);

QSX_RECORD_SIZE(USB_ENDPOINT_DESCRIPTOR, 7);
QSX_RECORD_AT(USB_ENDPOINT_DESCRIPTOR, bEndpointAddress, 2);
QSX_RECORD_AT(USB_ENDPOINT_DESCRIPTOR, bmAttributes, 3);
QSX_RECORD_AT(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize, 4);
QSX_RECORD_AT(USB_ENDPOINT_DESCRIPTOR, bInterval, 6);

QSX_RECORD_SIZE(USB_DRIVER_SETTINGS, 40);
QSX_RECORD_AT(USB_DRIVER_SETTINGS, dwVendorId, 4);
QSX_RECORD_AT(USB_DRIVER_SETTINGS, dwProductId, 8);
QSX_RECORD_AT(USB_DRIVER_SETTINGS, dwInterfaceProtocol, 36);

// ---- USB: the host stack's records, natural alignment after the descriptor --
QSX_RECORD_SIZE32(USB_ENDPOINT, 16);
QSX_RECORD_AT32(USB_ENDPOINT, Descriptor, 4);
QSX_RECORD_AT32(USB_ENDPOINT, lpvExtended, 12);

QSX_RECORD_SIZE32(USB_INTERFACE, 24);
QSX_RECORD_AT32(USB_INTERFACE, Descriptor, 4);
QSX_RECORD_AT32(USB_INTERFACE, lpvExtended, 16);
QSX_RECORD_AT32(USB_INTERFACE, lpEndpoints, 20);

QSX_RECORD_SIZE32(USB_CONFIGURATION, 28);
QSX_RECORD_AT32(USB_CONFIGURATION, Descriptor, 4);
QSX_RECORD_AT32(USB_CONFIGURATION, lpvExtended, 16);
QSX_RECORD_AT32(USB_CONFIGURATION, dwNumInterfaces, 20);
QSX_RECORD_AT32(USB_CONFIGURATION, lpInterfaces, 24);

QSX_RECORD_SIZE32(USB_DEVICE, 32);
QSX_RECORD_AT32(USB_DEVICE, Descriptor, 4);
QSX_RECORD_AT32(USB_DEVICE, lpConfigs, 24);
QSX_RECORD_AT32(USB_DEVICE, lpActiveConfig, 28);

// The client's function table: its size, then 36 entry points in the platform's order.
QSX_RECORD_SIZE32(USB_FUNCS, 148);
QSX_RECORD_AT32(USB_FUNCS, lpGetUSBDVersion, 4);
QSX_RECORD_AT32(USB_FUNCS, lpRegisterNotificationRoutine, 12);
QSX_RECORD_AT32(USB_FUNCS, lpFindInterface, 28);
QSX_RECORD_AT32(USB_FUNCS, lpGetDeviceInfo, 52);
QSX_RECORD_AT32(USB_FUNCS, lpIssueVendorTransfer, 56);
QSX_RECORD_AT32(USB_FUNCS, lpOpenPipe, 92);
QSX_RECORD_AT32(USB_FUNCS, lpAbortPipeTransfers, 96);
QSX_RECORD_AT32(USB_FUNCS, lpResetPipe, 100);
QSX_RECORD_AT32(USB_FUNCS, lpClosePipe, 104);
QSX_RECORD_AT32(USB_FUNCS, lpIsPipeHalted, 108);
QSX_RECORD_AT32(USB_FUNCS, lpIssueControlTransfer, 112);
QSX_RECORD_AT32(USB_FUNCS, lpIssueBulkTransfer, 116);
QSX_RECORD_AT32(USB_FUNCS, lpIssueInterruptTransfer, 120);
QSX_RECORD_AT32(USB_FUNCS, lpIsTransferComplete, 128);
QSX_RECORD_AT32(USB_FUNCS, lpGetTransferStatus, 132);
QSX_RECORD_AT32(USB_FUNCS, lpAbortTransfer, 140);
QSX_RECORD_AT32(USB_FUNCS, lpCloseTransfer, 144);

#undef QSX_RECORD_SIZE
#undef QSX_RECORD_AT
#undef QSX_RECORD_SIZE32
#undef QSX_RECORD_AT32
