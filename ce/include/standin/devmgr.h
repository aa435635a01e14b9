// The stand-in's device manager, as drivers and tests see it: a driver registers a stream
// device under a name ("COM11"), and applications reach it with CreateFileW on
// "$device\COM11" (or the legacy "COM11:" when the driver asked for one), then ReadFile,
// WriteFile, DeviceIoControl and CloseHandle, each of which lands in the device's entry
// points below. FindFirstDevice lists the registered devices.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

namespace standin {

// A stream driver's entry points for one device. Every call runs on the application's
// thread, so a driver reports failure through SetLastError. Calls on different handles,
// and on one handle from several threads, may run at the same time.
class StreamDevice {
public:
    virtual ~StreamDevice() = default;

    // An open by CreateFileW with the caller's access and share mode (after the device
    // manager's own share check). Returns the open context, or 0 with the last error set
    // to refuse the open.
    virtual DWORD_PTR Open(DWORD access, DWORD share) = 0;
    // The handle is being closed: wake the context's calls that wait. Called before the
    // device manager waits for every call in progress on the context to return.
    virtual void PreClose(DWORD_PTR context) { (void)context; }
    // Last call on the context, once no other call on it is in progress.
    virtual void Close(DWORD_PTR context) = 0;
    // Bytes read or written, or (DWORD)-1 with the last error set.
    virtual DWORD Read(DWORD_PTR context, void *buffer, DWORD count) = 0;
    virtual DWORD Write(DWORD_PTR context, const void *data, DWORD count) = 0;
    // A device-control request with the caller's buffers, sizes and count pointer exactly
    // as given to DeviceIoControl: a buffer may be null whatever its size says, and
    // `actual` (where the driver stores the output bytes written) may be null too.
    virtual BOOL IOControl(DWORD_PTR context, DWORD code, const void *in, DWORD inSize, void *out,
                           DWORD outSize, DWORD *actual) = 0;
};

// Registers `device` as "$device\<name>" and, with `legacyName`, as "<name>:" too (the
// stand-in accepts a legacy name for any index; the device search reports it only when
// it fits the platform's 5 characters). `deviceKey` is the driver's registry key as the
// device search reports it. The device manager holds a reference on `owner` (may be null)
// from here until the device is deregistered and its last open handle is closed, and
// drops its reference to `device` just before it releases the module.
// Returns the device handle, or null (last error: ERROR_INVALID_PARAMETER for an empty
// name or no device, ERROR_ALREADY_EXISTS for a name in use, ERROR_MOD_NOT_FOUND for an
// owner that is not a loaded module).
HANDLE RegisterStreamDevice(std::u16string name, bool legacyName, std::u16string deviceKey,
                            std::shared_ptr<StreamDevice> device, HMODULE owner);
// Removes the device from the namespace: new opens fail with ERROR_FILE_NOT_FOUND, calls on
// handles already open fail with ERROR_DEVICE_NOT_CONNECTED without reaching the device,
// and CloseHandle on them still runs PreClose and Close. Calls already inside the device
// are not waited for. False for a handle that is not registered.
bool DeregisterStreamDevice(HANDLE device);

// Devices registered now.
size_t StreamDeviceCount();
// Calls (ReadFile, WriteFile, DeviceIoControl) inside the registered device of this name
// right now, on all its handles: lets a test know its threads reached the driver.
size_t StreamDeviceCallsInProgress(std::u16string_view name);

}  // namespace standin
