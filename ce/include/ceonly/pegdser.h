// Serial device-control codes of Windows CE and the records they carry, shared by the
// platform's communication functions and by serial drivers. Every code is
// CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS):
//
//   function  code                          input                output
//    1  IOCTL_SERIAL_SET_BREAK_ON          -                    -
//    2  IOCTL_SERIAL_SET_BREAK_OFF         -                    -
//    3  IOCTL_SERIAL_SET_DTR               -                    -
//    4  IOCTL_SERIAL_CLR_DTR               -                    -
//    5  IOCTL_SERIAL_SET_RTS               -                    -
//    6  IOCTL_SERIAL_CLR_RTS               -                    -
//    7  IOCTL_SERIAL_SET_XOFF              -                    -
//    8  IOCTL_SERIAL_SET_XON               -                    -
//    9  IOCTL_SERIAL_GET_WAIT_MASK         -                    DWORD event mask
//   10  IOCTL_SERIAL_SET_WAIT_MASK         DWORD event mask     -
//   11  IOCTL_SERIAL_WAIT_ON_MASK          -                    DWORD events
//   12  IOCTL_SERIAL_GET_COMMSTATUS        -                    SERIAL_DEV_STATUS
//   13  IOCTL_SERIAL_GET_MODEMSTATUS       -                    DWORD MS_ bits
//   14  IOCTL_SERIAL_GET_PROPERTIES        -                    COMMPROP
//   15  IOCTL_SERIAL_SET_TIMEOUTS          COMMTIMEOUTS         -
//   16  IOCTL_SERIAL_GET_TIMEOUTS          -                    COMMTIMEOUTS
//   17  IOCTL_SERIAL_PURGE                 DWORD PURGE_ flags   -
//   18  IOCTL_SERIAL_SET_QUEUE_SIZE        SERIAL_QUEUE_SIZE    -
//   19  IOCTL_SERIAL_IMMEDIATE_CHAR        UCHAR                -
//   20  IOCTL_SERIAL_GET_DCB               -                    DCB
//   21  IOCTL_SERIAL_SET_DCB               DCB                  -
//   22  IOCTL_SERIAL_ENABLE_IR             -                    -
//   23  IOCTL_SERIAL_DISABLE_IR            -                    -
//
// Unlike the desktop's serial codes, the whole DCB travels in one request.
#pragma once

#include <windows.h>
#include <winioctl.h>

#define SERIAL_IOCTL_(function) \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_SERIAL_SET_BREAK_ON SERIAL_IOCTL_(1)
#define IOCTL_SERIAL_SET_BREAK_OFF SERIAL_IOCTL_(2)
#define IOCTL_SERIAL_SET_DTR SERIAL_IOCTL_(3)
#define IOCTL_SERIAL_CLR_DTR SERIAL_IOCTL_(4)
#define IOCTL_SERIAL_SET_RTS SERIAL_IOCTL_(5)
#define IOCTL_SERIAL_CLR_RTS SERIAL_IOCTL_(6)
#define IOCTL_SERIAL_SET_XOFF SERIAL_IOCTL_(7)
#define IOCTL_SERIAL_SET_XON SERIAL_IOCTL_(8)
#define IOCTL_SERIAL_GET_WAIT_MASK SERIAL_IOCTL_(9)
#define IOCTL_SERIAL_SET_WAIT_MASK SERIAL_IOCTL_(10)
#define IOCTL_SERIAL_WAIT_ON_MASK SERIAL_IOCTL_(11)
#define IOCTL_SERIAL_GET_COMMSTATUS SERIAL_IOCTL_(12)
#define IOCTL_SERIAL_GET_MODEMSTATUS SERIAL_IOCTL_(13)
#define IOCTL_SERIAL_GET_PROPERTIES SERIAL_IOCTL_(14)
#define IOCTL_SERIAL_SET_TIMEOUTS SERIAL_IOCTL_(15)
#define IOCTL_SERIAL_GET_TIMEOUTS SERIAL_IOCTL_(16)
#define IOCTL_SERIAL_PURGE SERIAL_IOCTL_(17)
#define IOCTL_SERIAL_SET_QUEUE_SIZE SERIAL_IOCTL_(18)
#define IOCTL_SERIAL_IMMEDIATE_CHAR SERIAL_IOCTL_(19)
#define IOCTL_SERIAL_GET_DCB SERIAL_IOCTL_(20)
#define IOCTL_SERIAL_SET_DCB SERIAL_IOCTL_(21)
#define IOCTL_SERIAL_ENABLE_IR SERIAL_IOCTL_(22)
#define IOCTL_SERIAL_DISABLE_IR SERIAL_IOCTL_(23)

// Output of IOCTL_SERIAL_GET_COMMSTATUS (ClearCommError): the CE_ error bits, which the
// request clears, and the port's COMSTAT.
typedef struct _SERIAL_DEV_STATUS {
    DWORD Errors;
    COMSTAT ComStat;
} SERIAL_DEV_STATUS, *PSERIAL_DEV_STATUS;

// Input of IOCTL_SERIAL_SET_QUEUE_SIZE (SetupComm).
typedef struct _SERIAL_QUEUE_SIZE {
    DWORD InSize;
    DWORD OutSize;
} SERIAL_QUEUE_SIZE, *PSERIAL_QUEUE_SIZE;
