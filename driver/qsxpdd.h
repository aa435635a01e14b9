// QSXPDD device and port records.
//
// One UsbFps record describes one attached adapter and holds the blocks of its serial
// ports. It is allocated zero-filled in one piece at attach and freed by the teardown; the
// COM driver gets its address at bind time and passes it back, uninterpreted, with a port
// index on every port call.
//
// Sharing rules, field by field, are noted on the fields. Lock order: BulkOutLock before a
// port's TxLock (WriteUsb); VendorLock is taken alone; no path holds two ports' locks.
// Words marked "atomic" are read and written only through the helpers of atomics.h.
//
// Lifetime: a port block is usable once attach has made all its objects (Ready). Every
// export runs inside a call reference (CallRef of the port, or of the record for vendor
// requests, see rundown.h); detach, once a port is closed, starts its rundown (no new call
// gets in) and releases the port's objects, and at last the record, only after the last
// call inside has left, so a thread that ComClose woke never meets a freed record.
#pragma once

#include <windows.h>
#include <usbdi.h>

#define USBFPS_SIG 0x46505323  // "#SPF" in memory order
#define FPS_ACTIVE 0x01        // Flags: the adapter is attached

#define QSX_MAX_PORTS 16
#define RX_RING_SIZE 16384
#define RX_RING_MASK (RX_RING_SIZE - 1)
#define TX_WINDOW_SIZE 4096

// DcbShadow: the readers take these from one word instead of the whole Dcb, which
// SetDBC may be rewriting at that moment.
#define DCB_SHADOW_EVTCHAR 0x000000FF
#define DCB_SHADOW_NULL 0x00000100   // fNull: drop received NUL bytes
#define DCB_SHADOW_OUTX 0x00000200   // fOutX
#define DCB_SHADOW_INX 0x00000400    // fInX

typedef struct FpsPort {
    BYTE RxRing[RX_RING_SIZE];  // contents guarded by RxLock
    DWORD RxHead;               // atomic; moved by ReceiveThread under RxLock, 0 at attach/ComOpen
    DWORD RxTail;               // atomic; moved by ReadUsb under RxLock, 0 at attach/ComOpen
    DWORD TxWindowBytes;        // TxLock; bytes sent since the transmit window opened
    HANDLE TxReadyEvent;        // manual reset; set whenever TxReady becomes 1
    HANDLE RxEvent;             // auto reset; data stored or taken, port closed
    HANDLE CommEvent;           // manual reset; selected event raised, mask set, port closed
    DWORD TxReady;              // atomic; changed under TxLock; 1 while the window is open
    DWORD EventsPending;        // atomic bit word: EV_ bits that occurred
    DWORD LastMsr;              // atomic; modem status of the last record (MS_ bits)
    DWORD Errors;               // atomic bit word: CE_ bits, read and cleared by USBPortSatus
    DWORD HoldFlags;            // atomic bit word: COMSTAT hold bits, 0x20 break state
    DWORD EventMask;            // atomic; EV_ bits the COM driver waits for
    DWORD IsOpen;               // atomic; 1 between ComOpen and ComClose
    DWORD WaitAbort;            // atomic; Set_MaskEvent ends a pending WaitComPortEvent
    DWORD EventFired;           // atomic; a selected event was raised and not yet reported
    BYTE EventChar;             // COM driver threads only
    HANDLE CloseEvent;          // auto reset; present only while the port is open
    CRITICAL_SECTION RxLock;    // ring and its indices
    CRITICAL_SECTION TxLock;    // TxReady, TxWindowBytes, TxReadyEvent
    DWORD RxOverflow;           // atomic; while set every received chunk adds CE_RXOVER
    DCB Dcb;                    // copied in under the device's StateLock
    DWORD DcbShadow;            // atomic; what the reader threads need of Dcb (DCB_SHADOW_*)
    BYTE InterfaceMode;         // 0 RS-232, 1 RS-485 2-wire, 2 RS-422, 3 RS-485 4-wire
    BYTE FifoEnabled;           // 1 when the receive FIFO is to be on
    BYTE LocksReady;            // attach: RxLock and TxLock were initialised
    DWORD Ready;                // 1 once every object of the port exists; written once by
                                // attach before the readers start and before the COM driver
                                // gets the record: until then readers and exports leave the
                                // port alone. Calls end with the port's rundown (CallRef).
    DWORD CallRef;              // atomic; calls inside the port's exports, PORT_RUNDOWN bit
} FpsPort, *PFPSPORT;

typedef struct UsbFps {
    DWORD Sig;                    // USBFPS_SIG once set up; checked by detach and teardown
    DWORD Flags;                  // atomic; FPS_ACTIVE, cleared under StateLock at detach
    CRITICAL_SECTION StateLock;   // Flags at detach; the ports' Dcb copies
    CRITICAL_SECTION BulkOutLock; // one transmit frame at a time on BulkOutPipe
    CRITICAL_SECTION VendorLock;  // one vendor request at a time: they share VendorEvent
    USB_HANDLE hDevice;           // set at attach, then read-only
    LPCUSB_FUNCS UsbFuncs;        // set at attach, then read-only
    USB_PIPE BulkOutPipe;         // all ports' output; used under BulkOutLock
    HANDLE BulkOutEvent;          // manual reset; completion of bulk OUT transfers
    USB_PIPE DataInPipe;          // read by ReceiveThread only
    USB_PIPE StatusInPipe;        // read by StatusThread only
    HANDLE VendorEvent;           // manual reset; completion of vendor requests
    HANDLE DetachEvent;           // auto reset; ComClose wakes detach waiting for a close
    HANDLE RundownEvent;          // auto reset; the last call leaving a port in rundown
    DWORD CallRef;                // atomic; calls inside the device-wide exports (vendor
                                  // requests), PORT_RUNDOWN bit once detach ran them down
    FARPROC ComDetach;            // the COM driver's UsbComDetach
    HMODULE ComDriver;            // the loaded COM driver library
    HANDLE ComHandles[QSX_MAX_PORTS];  // what UsbComAttach returned; 0 = port not bound
    HANDLE hReceiveThread;
    HANDLE hStatusThread;
    WORD PortCount;               // 2, 4, 8 or 16; 0 for an unsupported product
    WORD ProductId;               // the adapter's USB product id
    DWORD MaxPacket;              // 64 (full speed) or 512 (high speed)
    FpsPort Ports[QSX_MAX_PORTS];
} UsbFps, *PUSBFPS;
