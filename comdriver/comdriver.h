// Test knobs of the stand-in COM driver, looked up by name like its other exports.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif
// UsbComAttach refuses this port index (returns 0); 0xFFFFFFFF refuses none.
void WINAPI QsxComSetRefusePort(DWORD dwPort);
// Active-driver entries are made without a "Name" value, as the platform leaves ports
// that have no legacy device name.
void WINAPI QsxComSetOmitName(BOOL bOmit);
#ifdef __cplusplus
}
#endif
typedef void (WINAPI *PFN_QSXCOM_SET_REFUSE_PORT)(DWORD);
typedef void (WINAPI *PFN_QSXCOM_SET_OMIT_NAME)(BOOL);
