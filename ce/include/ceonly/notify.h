// Application notification calls that Windows CE has and the desktop Windows headers
// lack. Included by the deliverables on every build, beside the platform's windows.h.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Marks the notifications pending for the program `appName` (its module path, or the
// name it registered them under) as handled, so the platform stops starting it for them.
BOOL WINAPI CeHandleAppNotifications(TCHAR *appName);

#ifdef __cplusplus
}
#endif
