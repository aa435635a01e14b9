// Call references and rundown: how the exports and detach agree on when a port's objects,
// and at last the record, may be released.
//
// Every port export enters the port first (EnterPort) and leaves it as its very last touch
// of the record (LeavePort); the vendor exports, whose index need not name a port, do the
// same with the record's own reference (EnterDevice, LeaveDevice). Detach, once a port is
// closed, runs it down (RundownPort): from then on entering is refused and detach goes on
// only when the last call inside has left. RundownDevice does the same for the record.
#pragma once

#include "qsxpdd.h"

#define PORT_RUNDOWN 0x80000000UL  // CallRef: the rundown began, no call gets in
#define PORT_CALLS 0x7FFFFFFFUL     // CallRef: calls inside

// The port an export's argument names, with a call reference taken; NULL when the record
// has no such port, the port was never set up, or its rundown began (the export then gives
// the closed-port result).
FpsPort *EnterPort(struct UsbFps *pUsbFps, DWORD dwPort);
void LeavePort(struct UsbFps *pUsbFps, FpsPort *pPort);
// The record's own reference, for exports that do not need a port; FALSE once detach ran
// the record down.
BOOL EnterDevice(struct UsbFps *pUsbFps);
void LeaveDevice(struct UsbFps *pUsbFps);
// TRUE once the port's rundown began: a thread waiting inside an export stops waiting.
BOOL PortRundown(FpsPort *pPort);
// Refuse new calls, wake every thread waiting inside (ports) and wait until the last one
// has left. Detach only; a port must be closed already.
void RundownPort(struct UsbFps *pUsbFps, FpsPort *pPort);
void RundownDevice(struct UsbFps *pUsbFps);
