// The host stack's worker thread, shared by its two halves: the bus (usbhost.cpp) queues
// removals on it, the client side (usbclients.cpp) attaches and unloads.
#pragma once

#include <usbdi.h>

#include <functional>

namespace standin::internal {

// Runs `job` on the host stack's worker thread once every job queued before it has run.
// The job counts as work for `device` until it has run (see UsbWaitHostStack).
void RunOnHostThread(USB_HANDLE device, std::function<void()> job);

}  // namespace standin::internal
