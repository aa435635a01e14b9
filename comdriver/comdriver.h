// The stand-in COM driver's own interface: the device-control code of the adapter family
// for the electrical interface of a port, and the test knobs, looked up by name like its
// other exports.
#pragma once

#include <windows.h>
#include <winioctl.h>

// Input: a 4-byte interface code, 0 RS-232, 1 RS-485 2-wire, 2 RS-422, 3 RS-485 4-wire;
// no output. Sent to the adapter at once. A code above 3, a short input, or a nonzero
// code on a model with RS-232 ports only is refused with ERROR_INVALID_PARAMETER.
#define IOCTL_SET_INTERFACE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 180, METHOD_BUFFERED, FILE_ANY_ACCESS)

#ifdef __cplusplus
extern "C" {
#endif
// UsbComAttach refuses this port index (returns 0); 0xFFFFFFFF refuses none.
void WINAPI QsxComSetRefusePort(DWORD dwPort);
// Active-driver entries are made without a "Name" value and the ports get no legacy
// device name, as the platform leaves ports whose number does not fit one.
void WINAPI QsxComSetOmitName(BOOL bOmit);
#ifdef __cplusplus
}
#endif
typedef void (WINAPI *PFN_QSXCOM_SET_REFUSE_PORT)(DWORD);
typedef void (WINAPI *PFN_QSXCOM_SET_OMIT_NAME)(BOOL);
