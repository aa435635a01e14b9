// The vendor command channel: every command to the adapter travels as one host-to-device
// vendor control request (bmRequestType 0x40) on the default pipe.
#pragma once

#include "qsxpdd.h"

// Request codes the driver issues itself.
#define VREQ_PURGE 0x09           // wValue: one PURGE_ flag; wIndex: port
#define VREQ_DOWNLOAD_BEGIN 0x0C  // firmware download
#define VREQ_DOWNLOAD_END 0x0D
#define VREQ_DOWNLOAD_START 0x0E
#define VREQ_FIRMWARE_BLOCK 0x20  // one block of the image, 1 to 64 bytes
#define VREQ_SET_FIFO 0x0F        // wValue 0 FIFO on, 1 FIFO off
#define VREQ_SET_INTERFACE 0x10   // wValue: interface mode code
// Codes with a rule of their own, sent only on behalf of the COM driver.
#define VREQ_RX_OVERFLOW 0x07     // wValue 0 marks the port's receive overflow, 1 clears it
#define VREQ_ALIAS_30 0x30        // goes out as 0x85
#define VREQ_ALIAS_30_WIRE 0x85

#define VENDOR_TIMEOUT_MS 4000
#define VENDOR_MAX_DATA 127  // larger lengths would announce a 16-bit sign-extended data phase

// Builds and issues one request; returns 1 when it failed, 0 when it completed.
DWORD SendVendorCommand(PUSBFPS pUsbFps, DWORD dwCode, DWORD dwValue, DWORD dwPort,
                        DWORD dwLength, LPVOID lpData);
