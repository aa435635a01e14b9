// The driver's port lifetime and serial events under every interleaving: small scenarios of
// a few threads (COM driver threads, the reader threads' parsing, detach) run by the
// stand-in's schedule explorer, every schedule up to two preemptions. Each scenario states
// what must hold whatever the order: no event lost, no byte lost or doubled, no call into a
// freed record, no wait left hanging, no handle used after it was closed.
//
// The USB host stack is a fake of this file: transfers complete on the thread that issues
// them (or, for vendor requests, on a controlled "host" thread), so every step is a
// platform call the explorer schedules. QSX_EXPLORE_LONG=1 explores one preemption bound
// higher and adds random (PCT) schedules (make soak).
#include <gtest/gtest.h>

#include <windows.h>

#include <kfuncs.h>
#include <standin/explore.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "attach.h"
#include "port_fixture.h"
#include "qsxpdd.h"
#include "qsxport.h"
#include "readers.h"

namespace {

namespace ex = standin::explore;
using qsxtest::operator+;

// ---- the fake host stack -------------------------------------------------------------
struct FakeTransfer {
    bool used = false;
    bool done = false;
    DWORD bytes = 0;
    LPTRANSFER_NOTIFY_ROUTINE notify = nullptr;
    LPVOID parameter = nullptr;
};

struct FakeHost {
    std::vector<std::vector<BYTE>> frames;  // bulk OUT frames, in the order sent
    std::vector<BYTE> vendorRequests;       // bRequest of every vendor request issued
    bool asyncVendor = false;               // vendor requests complete on the host thread
    FakeTransfer transfers[64];
    HANDLE vendorQueued = nullptr;          // auto reset: a vendor request waits for the host
    LONG pendingVendor = 0;
    HANDLE windowClosed = nullptr;          // manual reset: a frame closed a transmit window
} gHost;

FakeTransfer *NewTransfer() {
    for (FakeTransfer &t : gHost.transfers)
        if (!t.used) {
            t = FakeTransfer{};
            t.used = true;
            return &t;
        }
    ex::Fail("fake host: out of transfers");
    return nullptr;
}

void Complete(FakeTransfer *t, DWORD bytes) {
    t->bytes = bytes;
    t->done = true;
    if (t->notify) t->notify(t->parameter);
}

USB_TRANSFER WINAPI FakeIssueBulk(USB_PIPE, LPTRANSFER_NOTIFY_ROUTINE notify, LPVOID parameter, DWORD flags,
                                  DWORD size, LPVOID buffer, ULONG) {
    FakeTransfer *t = NewTransfer();
    t->notify = notify;
    t->parameter = parameter;
    if (flags & USB_IN_TRANSFER) {
        Complete(t, 0);  // the readers do not run in these scenarios
    } else {
        const BYTE *b = static_cast<const BYTE *>(buffer);
        gHost.frames.emplace_back(b, b + size);
        Complete(t, size);
        // The adapter reports it can take more only after the window was closed.
        if ((b[0] & 0x80) && gHost.windowClosed) SetEvent(gHost.windowClosed);
    }
    return reinterpret_cast<USB_TRANSFER>(t);
}

USB_TRANSFER WINAPI FakeIssueVendor(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE notify, LPVOID parameter, DWORD,
                                    LPCUSB_DEVICE_REQUEST request, LPVOID, ULONG) {
    FakeTransfer *t = NewTransfer();
    t->notify = notify;
    t->parameter = parameter;
    gHost.vendorRequests.push_back(request->bRequest);
    if (gHost.asyncVendor) {
        InterlockedIncrement(&gHost.pendingVendor);
        SetEvent(gHost.vendorQueued);
    } else {
        Complete(t, 0);
    }
    return reinterpret_cast<USB_TRANSFER>(t);
}

BOOL WINAPI FakeStatus(USB_TRANSFER h, LPDWORD bytes, LPDWORD error) {
    auto *t = reinterpret_cast<FakeTransfer *>(h);
    *bytes = t->bytes;
    *error = t->done ? USB_NO_ERROR : USB_NOT_COMPLETE_ERROR;
    return TRUE;
}

BOOL WINAPI FakeClose(USB_TRANSFER h) {
    reinterpret_cast<FakeTransfer *>(h)->used = false;
    return TRUE;
}

BOOL WINAPI FakePipeOp(USB_PIPE) { return TRUE; }
BOOL WINAPI FakeAbortPipe(USB_PIPE, DWORD) { return TRUE; }

USB_FUNCS MakeFuncs() {
    USB_FUNCS f{};
    f.dwCount = sizeof f;
    f.lpIssueBulkTransfer = FakeIssueBulk;
    f.lpIssueVendorTransfer = FakeIssueVendor;
    f.lpGetTransferStatus = FakeStatus;
    f.lpCloseTransfer = FakeClose;
    f.lpClosePipe = FakePipeOp;
    f.lpAbortPipeTransfers = FakeAbortPipe;
    return f;
}
const USB_FUNCS kFuncs = MakeFuncs();

// ---- a record as attach leaves it ---------------------------------------------------------
constexpr WORD kPorts = 2;

PUSBFPS gFps = nullptr;
bool gDetachStarted = false;  // from then on the record is detach's to free

void BuildRecord() {
    gHost = FakeHost{};
    gDetachStarted = false;
    gFps = static_cast<PUSBFPS>(LocalAlloc(LPTR, sizeof(UsbFps)));
    gFps->Sig = USBFPS_SIG;
    InitializeCriticalSection(&gFps->StateLock);
    InitializeCriticalSection(&gFps->BulkOutLock);
    InitializeCriticalSection(&gFps->VendorLock);
    gFps->UsbFuncs = &kFuncs;
    gFps->hDevice = reinterpret_cast<USB_HANDLE>(1);
    gFps->BulkOutPipe = reinterpret_cast<USB_PIPE>(2);
    gFps->Flags = FPS_ACTIVE;
    gFps->VendorEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    gFps->BulkOutEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    gFps->DetachEvent = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    gFps->RundownEvent = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    gFps->PortCount = kPorts;
    gFps->MaxPacket = 512;
    gFps->ProductId = 0x7020;
    for (int i = 0; i < kPorts; i++) {
        FpsPort &p = gFps->Ports[i];
        qsxtest::InitPortObjects(p);
        std::string n = "port" + std::to_string(i) + ".";
        ex::Name(p.CommEvent, n + "CommEvent");
        ex::Name(p.RxEvent, n + "RxEvent");
        ex::Name(p.TxReadyEvent, n + "TxReadyEvent");
        ex::Name(&p.RxLock, n + "RxLock");
        ex::Name(&p.TxLock, n + "TxLock");
        ex::Name(&p.EventFired, n + "EventFired");
        ex::Name(&p.EventsPending, n + "EventsPending");
        ex::Name(&p.WaitAbort, n + "WaitAbort");
        ex::Name(&p.EventMask, n + "EventMask");
        ex::Name(&p.IsOpen, n + "IsOpen");
        ex::Name(&p.CallRef, n + "CallRef");
        ex::Name(&p.CloseEvent, n + "CloseEvent (field)");
        ex::Name(&p.TxReady, n + "TxReady");
    }
    ex::Name(&gFps->BulkOutLock, "BulkOutLock");
    ex::Name(&gFps->VendorLock, "VendorLock");
    ex::Name(&gFps->StateLock, "StateLock");
    ex::Name(gFps->VendorEvent, "VendorEvent");
    ex::Name(gFps->BulkOutEvent, "BulkOutEvent");
    ex::Name(gFps->DetachEvent, "DetachEvent");
    ex::Name(gFps->RundownEvent, "RundownEvent");
    ex::Name(&gFps->CallRef, "device.CallRef");
    ex::Name(&gFps->Flags, "Flags");
}

// What detach would release, for scenarios that end without detach.
void FreeRecord() {
    if (gFps == nullptr) return;
    for (int i = 0; i < kPorts; i++) qsxtest::FreePortObjects(gFps->Ports[i]);
    CloseHandle(gFps->VendorEvent);
    CloseHandle(gFps->BulkOutEvent);
    CloseHandle(gFps->DetachEvent);
    CloseHandle(gFps->RundownEvent);
    DeleteCriticalSection(&gFps->StateLock);
    DeleteCriticalSection(&gFps->BulkOutLock);
    DeleteCriticalSection(&gFps->VendorLock);
    LocalFree(gFps);
    gFps = nullptr;
}

// Opens a port outside the exploration, as the COM driver would before the scenario.
void OpenPort(int port, DWORD mask) {
    ComOpen(gFps, port, u"Drivers\\Active\\None");
    ex::Name(gFps->Ports[port].CloseEvent, "port" + std::to_string(port) + ".CloseEvent");
    Set_MaskEvent(gFps, port, mask, 1);
    gHost.vendorRequests.clear();
}

std::vector<BYTE> Chunk(BYTE port, std::vector<BYTE> data) {
    std::vector<BYTE> out(4 + data.size());  // byte 0 stays 0
    out[1] = port;
    out[2] = static_cast<BYTE>(data.size() >> 8);
    out[3] = static_cast<BYTE>(data.size());
    std::ranges::copy(data, out.begin() + 4);
    return out;
}

std::vector<BYTE> ModemRecord(BYTE port, BYTE msr) { return {0, port, 0, 3, 0, 0, msr, 0}; }


void ParseData(const std::vector<BYTE> &transfer) {
    DWORD last = 0xFFFFFFFF;
    ParseDataTransfer(gFps, transfer.data(), static_cast<DWORD>(transfer.size()), &last);
}

void ParseStatus(const std::vector<BYTE> &transfer) {
    ParseStatusTransfer(gFps, transfer.data(), static_cast<DWORD>(transfer.size()));
}

// Runs `fn` on a new controlled thread.
template <class Fn>
HANDLE Start(Fn *fn) {
    return CreateThread(nullptr, 0, [](LPVOID p) -> DWORD { return (*static_cast<Fn *>(p))(), 0; }, fn, 0,
                        nullptr);
}

void Join(std::initializer_list<HANDLE> threads) {
    for (HANDLE h : threads) {
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
    }
}

// ---- exploring -------------------------------------------------------------------------
bool LongRun() {
    const char *v = std::getenv("QSX_EXPLORE_LONG");
    return v != nullptr && *v == '1';
}

// Every schedule up to the preemption bound, then (long runs) random ones on top. The
// scenarios with the most threads take bound 1 in the test command, to keep it short; the
// long run takes every scenario one bound higher (QSX_EXPLORE_BOUND sets it for all).
void ExpectNoFailingSchedule(const ex::Scenario &scenario, int bound = 2) {
    ex::Options o;
    o.preemptionBound = LongRun() ? bound + 1 : bound;
    if (const char *b = std::getenv("QSX_EXPLORE_BOUND")) o.preemptionBound = std::atoi(b);
    o.maxSchedules = 300000;
    ex::Result r = ex::Explore(o, scenario);
    EXPECT_FALSE(r.failed) << r.reason << "\n" << r.schedule << "\nreplay: " << r.replayId
                           << "\nfirst failure at schedule " << r.firstFailureAt;
    std::printf("  bound %d: %llu schedules%s\n", o.preemptionBound,
                static_cast<unsigned long long>(r.schedulesExplored),
                r.complete ? ", every one within the bound" : " (cap reached)");
    if (LongRun() && !r.failed) {
        ex::Options p;
        p.strategy = ex::Strategy::kPct;
        p.maxSchedules = 5000;
        r = ex::Explore(p, scenario);
        EXPECT_FALSE(r.failed) << r.reason << "\n" << r.schedule << "\nreplay: " << r.replayId;
    }
}

ex::Scenario WithRecord(std::function<void()> body, std::function<std::string()> check,
                        std::function<void()> setup = nullptr) {
    ex::Scenario s;
    s.setup = [setup] {
        BuildRecord();
        if (setup) setup();
    };
    s.body = std::move(body);
    s.check = std::move(check);
    s.teardown = [] {
        for (HANDLE *h : {&gHost.vendorQueued, &gHost.windowClosed})
            if (*h) {
                CloseHandle(*h);
                *h = nullptr;
            }
        // Once detach began the record is its own (a failed schedule may leak it).
        if (!gDetachStarted) FreeRecord();
        gFps = nullptr;
    };
    return s;
}

// ---- scenarios ----------------------------------------------------------------------------

// Receive events and the ring: a COM driver thread woken by EV_RXCHAR asks how much is
// waiting and reads it; it must find the bytes of the chunk that woke it, and all bytes of
// both chunks must arrive without another event.
TEST(Schedules, ReceiveEventFindsItsBytes) {
    static std::string problem;
    ExpectNoFailingSchedule(WithRecord(
        [] {
            auto producer = [] {
                ParseData(Chunk(0, {1, 2, 3}));
                ParseData(Chunk(0, {4, 5}));
            };
            auto waiter = [] {
                BYTE buffer[16];
                DWORD got = 0, events = 0;
                while (got < 5) {
                    if (WaitComPortEvent(gFps, 0, &events) != 1) {
                        problem = "wait ended without an event";
                        return;
                    }
                    if (USBPortSatus(gFps, 3, 0) == 0 && got < 5) ex::Fail("EV_RXCHAR came before its bytes");
                    got += ReadUsb(gFps, buffer + got, sizeof buffer - got, 0);
                }
            };
            HANDLE a = Start(&producer), b = Start(&waiter);
            Join({a, b});
        },
        [] { return problem; }, [] {
            problem.clear();
            OpenPort(0, EV_RXCHAR);
        }));
}

// Input for a port where binding stopped (no lock, no event) while a COM driver thread
// reads the bound port: the reader drops it without touching the port and goes on.
TEST(Schedules, InputForAPortWhereBindingStopped) {
    static DWORD got;
    ExpectNoFailingSchedule(WithRecord(
        [] {
            auto reader = [] {
                ParseData(Chunk(1, {1, 2}) + Chunk(0, {3, 4}));
                ParseStatus(ModemRecord(1, 0x10) + ModemRecord(0, 0x10));
            };
            auto com = [] {
                BYTE buffer[4];
                while (got < 2) {
                    WaitDataEvent(gFps, 0, INFINITE);
                    got += ReadUsb(gFps, buffer, sizeof buffer, 0);
                }
            };
            HANDLE a = Start(&reader), b = Start(&com);
            Join({a, b});
        },
        [] { return gFps->Ports[0].LastMsr == 0x10 ? std::string() : std::string("record for port 0 lost"); },
        [] {
            got = 0;
            OpenPort(0, 0);
            FpsPort &p = gFps->Ports[1];
            qsxtest::FreePortObjects(p);
            p = FpsPort{};  // as attach leaves a port it never reached
        }));
}

// Status events racing the waiter's report: the producer raises EV_CTS, EV_DSR and EV_RLSD
// one after the other; the waiter waits until it has been told of all three. An event raised
// between the waiter reading the bits and clearing EventFired, and then never reported,
// leaves it waiting for ever (a deadlock).
TEST(Schedules, NoEventLostBetweenReportAndClear) {
    ExpectNoFailingSchedule(WithRecord(
        [] {
            auto producer = [] {
                ParseStatus(ModemRecord(0, 0x10));  // CTS
                ParseStatus(ModemRecord(0, 0x30));  // DSR
                ParseStatus(ModemRecord(0, 0xB0));  // DCD
            };
            auto waiter = [] {
                DWORD seen = 0, events = 0;
                while (seen != (EV_CTS | EV_DSR | EV_RLSD)) {
                    if (WaitComPortEvent(gFps, 0, &events) != 1) ex::Fail("wait ended without an event");
                    seen |= events;
                }
            };
            HANDLE a = Start(&producer), b = Start(&waiter);
            Join({a, b});
        },
        [] { return std::string(); }, [] { OpenPort(0, EV_CTS | EV_DSR | EV_RLSD); }));
}

// A modem event and the status it reports: a COM driver thread woken by EV_CTS or EV_DSR
// asks for the modem status at once, as a program following its lines does, and must find
// the change that woke it. A thread that reads the old status there keeps it until the next
// change, which may never come.
TEST(Schedules, ModemEventFindsItsStatus) {
    ExpectNoFailingSchedule(WithRecord(
        [] {
            auto producer = [] {
                ParseStatus(ModemRecord(0, 0x10));  // CTS up
                ParseStatus(ModemRecord(0, 0x30));  // DSR up
            };
            auto waiter = [] {
                DWORD seen = 0, events = 0;
                while (seen != (EV_CTS | EV_DSR)) {
                    if (WaitComPortEvent(gFps, 0, &events) != 1) ex::Fail("wait ended without an event");
                    const DWORD msr = USBPortSatus(gFps, 4, 0);
                    if ((events & EV_CTS) && !(msr & MS_CTS_ON)) ex::Fail("EV_CTS came before its status");
                    if ((events & EV_DSR) && !(msr & MS_DSR_ON)) ex::Fail("EV_DSR came before its status");
                    seen |= events;
                }
            };
            HANDLE a = Start(&producer), b = Start(&waiter);
            Join({a, b});
        },
        [] { return std::string(); }, [] { OpenPort(0, EV_CTS | EV_DSR); }));
}

// A mask change racing the start of a wait: either the change came first (the wait uses the
// new mask and ends on its event) or during the wait (the wait ends at once, the events
// word untouched). A wait that reports an empty events word, or bits of neither mask, is
// neither.
TEST(Schedules, MaskChangeRacingTheWaitIsBeforeOrDuring) {
    static DWORD result, events;
    constexpr DWORD kUntouched = 0xDEADBEEF;
    ExpectNoFailingSchedule(WithRecord(
        [] {
            auto waiter = [] { result = WaitComPortEvent(gFps, 0, &events); };
            auto changer = [] {
                Set_MaskEvent(gFps, 0, EV_RXCHAR, 1);
                ParseData(Chunk(0, {7}));  // ends a wait that took the new mask
            };
            HANDLE a = Start(&waiter), b = Start(&changer);
            Join({a, b});
        },
        [] {
            if (result != 1) return "the wait ended with " + std::to_string(result);
            if (events != kUntouched && events != EV_CTS && events != EV_RXCHAR)
                return "the wait reported events " + std::to_string(events);
            return std::string();
        },
        [] {
            result = 7;
            events = kUntouched;
            OpenPort(0, EV_CTS);
            ParseStatus(ModemRecord(0, 0x10));  // an EV_CTS event is pending as the wait starts
        }));
}

// Removal while COM driver threads are blocked inside the exports of an open port, with a
// COM driver that does not drain: ComClose wakes them, detach runs to the end and frees
// the record. No thread may touch the record after that (AddressSanitizer stops the
// schedule), and detach must not wait on a handle ComClose has closed.
TEST(Schedules, RemovalWaitsForEveryCallInside) {
    ExpectNoFailingSchedule(WithRecord(
        [] {
            auto eventWaiter = [] {
                DWORD events = 0;
                WaitComPortEvent(gFps, 0, &events);
            };
            auto dataWaiter = [] { WaitDataEvent(gFps, 0, INFINITE); };
            auto closer = [] { ComClose(gFps, 0); };
            auto host = [] {
                gDetachStarted = true;
                DeviceNotify(gFps, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr);
            };
            HANDLE a = Start(&eventWaiter), b = Start(&dataWaiter);
            // Virtual time moves only when no thread can go on: both are blocked inside the
            // exports once this returns. (A call that would only begin after its port was
            // closed and detached is the COM driver's fault, not a case to explore.)
            Sleep(1);
            HANDLE d = Start(&host);
            // Ends at the same tick as detach's pause: the close then races every step of
            // detach after it (a close during the pause would only ever come first).
            Sleep(DETACH_PAUSE_MS);
            HANDLE c = Start(&closer);
            Join({a, b, c, d});
        },
        [] { return std::string(); }, [] { OpenPort(0, EV_RXCHAR); }),
        1);
}

// The close and detach's wait for it, alone: whoever takes the close event out of the port
// is the only one to touch it again, so detach never waits on (or closes) a handle that
// ComClose closed. The stand-in fails a schedule that uses a closed handle.
TEST(Schedules, CloseRacesDetachForTheCloseEvent) {
    ExpectNoFailingSchedule(WithRecord(
        [] {
            auto closer = [] { ComClose(gFps, 0); };
            auto host = [] {
                gDetachStarted = true;
                DeviceNotify(gFps, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr);
            };
            HANDLE d = Start(&host);
            Sleep(DETACH_PAUSE_MS);  // see RemovalWaitsForEveryCallInside
            HANDLE c = Start(&closer);
            Join({c, d});
        },
        [] { return std::string(); }, [] { OpenPort(0, 0); }));
}

// Removal against a writer blocked on a closed transmit window and a close that comes while
// detach is already waiting for it.
TEST(Schedules, RemovalEndsABlockedWriter) {
    ExpectNoFailingSchedule(WithRecord(
        [] {
            auto writer = [] {
                BYTE b[4] = {1, 2, 3, 4};
                if (WriteUsb(gFps, b, sizeof b, 0) != 0) ex::Fail("a write on a closed window went out");
            };
            auto closer = [] { ComClose(gFps, 0); };
            auto host = [] {
                gDetachStarted = true;
                DeviceNotify(gFps, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr);
            };
            HANDLE a = Start(&writer);
            Sleep(1);  // the writer is blocked on the window now
            HANDLE c = Start(&host);
            Sleep(DETACH_PAUSE_MS);  // see RemovalWaitsForEveryCallInside
            HANDLE b = Start(&closer);
            Join({a, b, c});
        },
        [] { return std::string(); },
        [] {
            OpenPort(0, 0);
            gFps->Ports[0].TxReady = 0;  // the window is closed: the writer waits for it
        }));
}

// Two writers on one port at the end of the transmit window, and the adapter's transmit-ready
// record: every byte goes out exactly once, in frames that never overrun the window.
TEST(Schedules, TwoWritersShareTheTransmitWindow) {
    static DWORD sent[2];
    ExpectNoFailingSchedule(WithRecord(
        [] {
            auto w0 = [] {
                std::vector<BYTE> b(8, 0xA0);
                sent[0] = WriteUsb(gFps, b.data(), 8, 0);
            };
            auto w1 = [] {
                std::vector<BYTE> b(8, 0xB0);
                sent[1] = WriteUsb(gFps, b.data(), 8, 0);
            };
            auto status = [] {
                WaitForSingleObject(gHost.windowClosed, INFINITE);
                ParseStatus({0, 0, 0, 2, 0, 0, 0, 0});
            };
            HANDLE a = Start(&w0), b = Start(&w1), c = Start(&status);
            Join({a, b, c});
        },
        [] {
            if (sent[0] != 8 || sent[1] != 8)
                return "writes returned " + std::to_string(sent[0]) + " and " + std::to_string(sent[1]);
            if (gHost.frames.size() != 2) return "frames sent: " + std::to_string(gHost.frames.size());
            // The first frame closes the window (4084 + 12 = 4096); the second may go only
            // after the adapter reopened it.
            if (gHost.frames[0][0] != 0x80 || gHost.frames[1][0] != 0x00)
                return std::string("window flags wrong");
            return std::string();
        },
        [] {
            sent[0] = sent[1] = 0;
            OpenPort(0, 0);
            gFps->Ports[0].TxWindowBytes = 4084;
            gHost.windowClosed = CreateEvent(nullptr, TRUE, FALSE, nullptr);
            ex::Name(gHost.windowClosed, "adapter.WindowClosed");
        }),
        1);
}

// Data and status records arriving while the COM driver opens the port: the open empties
// the ring and the bits without tearing a chunk (the ring holds the chunk whole or not at
// all) and the records are applied before or after it, never half.
TEST(Schedules, InputRacingComOpen) {
    static DWORD count;
    static BYTE ring[8];
    ExpectNoFailingSchedule(WithRecord(
        [] {
            auto reader = [] {
                ParseData(Chunk(1, {9, 8, 7}));
                ParseStatus(ModemRecord(1, 0x30));
            };
            auto opener = [] { ComOpen(gFps, 1, u"Drivers\\Active\\None"); };
            HANDLE a = Start(&reader), b = Start(&opener);
            Join({a, b});
            count = USBPortSatus(gFps, 3, 1);
            ReadUsb(gFps, ring, sizeof ring, 1);
        },
        [] {
            if (count != 0 && !(count == 3 && ring[0] == 9 && ring[1] == 8 && ring[2] == 7))
                return "ring after the open holds " + std::to_string(count) + " bytes";
            DWORD msr = gFps->Ports[1].LastMsr;
            if (msr != 0 && msr != 0x30) return "modem status torn: " + std::to_string(msr);
            return std::string();
        },
        [] { count = 0; }));
}

// Vendor requests from two COM driver threads while the host completes them on its own
// thread: each request's wait ends on its own completion, both succeed, none is lost.
TEST(Schedules, VendorRequestsFromTwoThreads) {
    ExpectNoFailingSchedule(WithRecord(
        [] {
            auto host = [] {
                for (int done = 0; done < 2;) {
                    WaitForSingleObject(gHost.vendorQueued, INFINITE);
                    for (FakeTransfer &t : gHost.transfers)
                        if (t.used && !t.done) {
                            Complete(&t, 0);
                            done++;
                        }
                }
            };
            auto c0 = [] { QSXPort_Vender(gFps, 0x10, 1, 0, 0, nullptr); };
            auto c1 = [] { Serial_PURGE(gFps, PURGE_RXCLEAR, 1); };
            HANDLE h = Start(&host), a = Start(&c0), b = Start(&c1);
            Join({a, b, h});
        },
        [] {
            if (gHost.vendorRequests.size() != 2) return std::string("requests lost");
            return std::string();
        },
        [] {
            gHost.asyncVendor = true;
            gHost.vendorQueued = CreateEvent(nullptr, FALSE, FALSE, nullptr);
            ex::Name(gHost.vendorQueued, "host.Queued");
        }),
        1);
}

}  // namespace
