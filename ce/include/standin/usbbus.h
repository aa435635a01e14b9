// The simulated USB bus of the stand-in host stack: what a device model implements, how
// it sees and ends transfers, and how tests and the simulator plug and unplug devices.
//
// A device model meets its client driver only through this bus, as hardware would: the
// client issues transfers through the USB_FUNCS table, the host stack hands each one to
// the device model, and the model ends it (at once or later, from any thread).
#pragma once

#include <windows.h>
#include <usbdi.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace standin {

// One transfer as the device model sees it. Shared between the host stack and the model;
// ending it after the client has aborted or closed it is harmless (the call returns false
// and nothing reaches the client's buffer).
class UsbTransfer {
public:
    virtual ~UsbTransfer() = default;
    virtual bool IsControl() const = 0;
    virtual const USB_DEVICE_REQUEST &Setup() const = 0;  // control transfers only
    virtual UCHAR Endpoint() const = 0;                    // endpoint address; 0 for control
    virtual bool IsIn() const = 0;
    virtual DWORD Length() const = 0;                      // bytes asked for or offered
    virtual std::span<const BYTE> OutData() const = 0;     // OUT data, copied at issue
    virtual bool IsPending() const = 0;
    // Ends an IN transfer with `data` (at most Length() bytes are taken).
    virtual bool CompleteIn(std::span<const BYTE> data, DWORD usbError = USB_NO_ERROR) = 0;
    // Ends an OUT transfer, `bytes` of OutData() having been taken.
    virtual bool CompleteOut(DWORD bytes, DWORD usbError = USB_NO_ERROR) = 0;
    // Ends the transfer with no data and a USB error (a stall, say).
    virtual bool Fail(DWORD usbError) = 0;
};
using UsbTransferPtr = std::shared_ptr<UsbTransfer>;

// What a device on the bus implements. Calls come from client threads (submissions) and
// from the host stack's own threads (cancellation, unplug); implementations lock.
class UsbDevice {
public:
    virtual ~UsbDevice() = default;
    // The descriptors GetDeviceInfo reports. The record may change over the device's life
    // (a firmware download may change what it offers); every record handed out must stay
    // valid until the device is destroyed.
    virtual LPCUSB_DEVICE DeviceInfo() = 0;
    // A control request on the default pipe.
    virtual void SubmitControl(UsbTransferPtr transfer) = 0;
    // A bulk or interrupt transfer on an open pipe (transfer->Endpoint() names it).
    virtual void SubmitBulk(UsbTransferPtr transfer) = 0;
    // The client aborted or closed a transfer the device still holds, or its pipe closed,
    // or the device was unplugged. The transfer has already ended; drop it.
    virtual void Cancelled(const UsbTransferPtr &transfer) { (void)transfer; }
    // Whether a pipe may be opened on this endpoint (a refused pipe makes OpenPipe fail).
    virtual bool AcceptPipe(const USB_ENDPOINT_DESCRIPTOR &endpoint) {
        (void)endpoint;
        return true;
    }
    // The device left the bus; no more transfers will come.
    virtual void Unplugged() {}
    // A fault for tests: a last-error code makes IssueBulkTransfer on this endpoint refuse
    // the transfer (no handle, that code as the last error, 0 included) before it reaches
    // SubmitBulk; nothing issues it as usual.
    virtual std::optional<DWORD> RefuseBulk(UCHAR endpoint) {
        (void)endpoint;
        return std::nullopt;
    }
};

// The function table the host stack hands to client drivers.
LPCUSB_FUNCS UsbFunctionTable();

// Puts a device on the bus without looking for a client driver: the caller acts as the
// client (tests of the transfer machinery). Returns the device handle.
USB_HANDLE UsbAddDevice(std::shared_ptr<UsbDevice> device);

// Takes a device off the bus, as pulling its cable does: before this returns, its pending
// transfers end with an error and new ones cannot be issued. Then, on the host stack's
// worker thread (see UsbWaitHostStack), once the completion routines of those transfers
// have run, every notification routine registered for it is called with USB_CLOSE_DEVICE
// and the device is forgotten. Returns at once; false for an unknown or removed handle.
bool UsbRemoveDevice(USB_HANDLE device);

// The host stack runs attaches (UsbPlug) and removals (UsbRemoveDevice, UsbUnplug) on one
// worker thread of its own, one after the other in the order they were asked for, so a
// client whose notification routine blocks (a driver waiting for its open ports to be
// closed) holds up every later attach and removal too. This waits until the worker has
// done everything asked for `device` so far: its attach after UsbPlug, its removal with
// the client unloaded after UsbUnplug. True once that is done; false when `boundMs` real
// milliseconds pass first (INFINITE: no bound). A handle with nothing pending is done.
bool UsbWaitHostStack(USB_HANDLE device, DWORD boundMs = INFINITE);

// Counters for leak checks: devices on the bus, open pipes, transfers not yet closed.
size_t UsbDeviceCount();
size_t UsbOpenPipeCount();
size_t UsbOpenTransferCount();

// For measurement only, never what the platform does: completion routines run on the
// thread that ends the transfer (for a device model that ends it inside the submission,
// the client's own thread) instead of the host stack's completion thread. Benchmarks use
// it to show what the thread hand-offs of the real model cost.
void UsbSetInlineCompletion(bool inlineCompletion);

}  // namespace standin

namespace standin {

// Installs a USB client driver the way the platform does: loads the library, calls its
// USBInstallDriver with the library's file name, and unloads it again. False when the
// library or the export is missing or the export fails.
bool UsbInstallClient(std::u16string_view libraryFileName);

// Plugs a device the way the host stack does on a real attach: puts it on the bus and
// returns its handle at once; then, on the host stack's worker thread, looks for a client
// under HKLM\Drivers\USB\LoadClients (most specific group first, Default\Default\Default
// last), loads the library named by "Dll" with LoadDriver and calls its USBDeviceAttach;
// the first client that takes the device keeps it. UsbWaitHostStack waits for the attach.
USB_HANDLE UsbPlug(std::shared_ptr<UsbDevice> device);
// Whether a client driver took the device (false until its attach has run).
bool UsbHasClient(USB_HANDLE device);
// Unplugs: UsbRemoveDevice, then, on the worker once the client's notification routine
// has returned, unloads the client library. Returns at once; UsbWaitHostStack waits for
// the whole removal.
bool UsbUnplug(USB_HANDLE device);

}  // namespace standin
