// The platform's serial communication functions. As in the device's coredll, each is one
// serial device-control request to the port's driver (pegdser.h); the driver's result and
// last error are the caller's. No overlapped I/O.
#include <windows.h>

#include <pegdser.h>

namespace {

BOOL SerialRequest(HANDLE hFile, DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize) {
    DWORD actual = 0;
    return DeviceIoControl(hFile, code, const_cast<void *>(in), inSize, out, outSize, &actual, nullptr);
}

BOOL InvalidParameter() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

}  // namespace

extern "C" {

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (!lpDCB) return InvalidParameter();
    return SerialRequest(hFile, IOCTL_SERIAL_GET_DCB, nullptr, 0, lpDCB, sizeof(DCB));
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (!lpDCB) return InvalidParameter();
    return SerialRequest(hFile, IOCTL_SERIAL_SET_DCB, lpDCB, sizeof(DCB), nullptr, 0);
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpCommTimeouts) return InvalidParameter();
    return SerialRequest(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts, sizeof(COMMTIMEOUTS));
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpCommTimeouts) return InvalidParameter();
    return SerialRequest(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS), nullptr, 0);
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    return SerialRequest(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof dwEvtMask, nullptr, 0);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    if (!lpEvtMask) return InvalidParameter();
    return SerialRequest(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    if (!lpEvtMask || lpOverlapped) return InvalidParameter();
    return SerialRequest(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    SERIAL_DEV_STATUS status = {};
    if (!SerialRequest(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status)) return FALSE;
    if (lpErrors) *lpErrors = status.Errors;
    if (lpStat) *lpStat = status.ComStat;
    return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    return SerialRequest(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof dwFlags, nullptr, 0);
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    if (!lpModemStat) return InvalidParameter();
    return SerialRequest(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, sizeof(DWORD));
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    DWORD code;
    switch (dwFunc) {
    case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: code = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
    case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
    default: return InvalidParameter();
    }
    return SerialRequest(hFile, code, nullptr, 0, nullptr, 0);
}

BOOL WINAPI SetCommBreak(HANDLE hFile) {
    return SerialRequest(hFile, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0);
}

BOOL WINAPI ClearCommBreak(HANDLE hFile) {
    return SerialRequest(hFile, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, nullptr, 0);
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    const SERIAL_QUEUE_SIZE sizes = {dwInQueue, dwOutQueue};
    return SerialRequest(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof sizes, nullptr, 0);
}

}  // extern "C"
