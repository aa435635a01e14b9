// Failing transfers on the three bulk pipes of a plugged adapter: transfers that end with a
// USB error (with or without bytes in the buffer), transfers the host stack refuses to
// issue, stalls that last for many transfers, and a transmit frame that never completes.
// The readers must take nothing from a failed transfer and go on; the writer must report
// the failure, keep its transmit window count, and work again once the pipe does.
#include <gtest/gtest.h>

#include <windows.h>

#include <kfuncs.h>
#include <standin/kernel.h>
#include <standin/usbbus.h>
#include <sys/resource.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "adapter.h"
#include "attach_fixture.h"
#include "driver_fixture.h"
#include "qsxpdd.h"
#include "strict_comdriver.h"

namespace {

using qsxsim::kPersistent;
using qsxsim::Pipe;
using qsxsim::PipeFault;
using qsxtest::StrictComDriver;

using Step = qsxsim::PipeFaultStep;

// An empty transfer ends the IN transfer that already waits, so that the ones after it are
// issued into the refusals queued behind.
constexpr Step kEmptyTransfer{PipeFault::kError, 1, USB_NO_ERROR};

std::vector<BYTE> Pattern(size_t n, BYTE seed) {
    std::vector<BYTE> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<BYTE>(seed + i * 7);
    return v;
}

class PipeFaultTest : public qsxtest::AttachFixture {
protected:
    static constexpr int kPort = 1;  // the port the cases use

    void SetUp() override {
        AttachFixture::SetUp();
        StrictComDriver::Install();
    }
    void TearDown() override {
        if (device_) {
            adapter_->ClearPipeFaults();
            // The removal waits for open ports to be closed.
            if (x_.ComClose)
                for (int p = 0; p < adapter_->PortCount(); p++) x_.ComClose(fps_, p);
            EXPECT_TRUE(qsxtest::UnplugAndWait(device_));
        }
        if (driver_) FreeLibrary(driver_);
        StrictComDriver::Uninstall();
        AttachFixture::TearDown();
    }

    // Plugs a 4-port high-speed adapter and opens every port, each wired to an external end.
    void Start() {
        device_ = Plug(0x7045, true);
        ASSERT_TRUE(standin::UsbHasClient(device_));
        fps_ = static_cast<PUSBFPS>(StrictComDriver::Bindings().back().record);
        driver_ = LoadDriver(u"QSXPDD.dll");
        ASSERT_TRUE(x_.Load(driver_));
        for (int p = 0; p < adapter_->PortCount(); p++) {
            ASSERT_TRUE(adapter_->WireExternal(p));
            ASSERT_EQ(x_.ComOpen(fps_, p, kPortKey), 1u);
        }
    }

    void Inject(Pipe pipe, const std::vector<Step> &steps) { adapter_->InjectPipeFaults(pipe, steps); }
    // Waits until the pipe's faults are spent and its reader waits in its next transfer: by
    // then the reader has dealt with every transfer before that one.
    bool Settled(Pipe pipe) {
        return qsxtest::WaitUntil(
            [&] { return adapter_->PipeFaultsLeft(pipe) == 0 && adapter_->WaitingTransfers(pipe) == 1; });
    }
    DWORD Unread(int port) { return x_.USBPortSatus(fps_, 3, port); }
    std::vector<BYTE> ReadAll(int port) {
        std::vector<BYTE> out(RX_RING_SIZE);
        out.resize(x_.ReadUsb(fps_, out.data(), static_cast<DWORD>(out.size()), port));
        return out;
    }
    // Whether the port's auto-reset receive event is signalled, taking the signal.
    bool TakeRxEvent(int port) { return WaitForSingleObject(fps_->Ports[port].RxEvent, 0) == WAIT_OBJECT_0; }

    static constexpr LPCWSTR kPortKey = u"Drivers\\USB\\ClientDrivers\\QSX_PORT\\PORT0";
    USB_HANDLE device_ = nullptr;
    PUSBFPS fps_ = nullptr;
    HMODULE driver_ = nullptr;
    qsxtest::StrictPortExports x_;
};

TEST_F(PipeFaultTest, ReceiveThreadTakesNothingFromFailedTransfersAndGoesOn) {
    struct Case {
        const char *name;
        std::vector<Step> faults;
        bool dataFirst;   // the data waits before the faults are spent: they hit the transfers carrying it
        bool drainFirst;  // the port's ring is read empty before the faults
        bool rewakes;     // the port's receive event is set again after the faults
    } cases[] = {
        {"stall", {{PipeFault::kError, 1, USB_STALL_ERROR}}, false, false, true},
        {"device not responding three times", {{PipeFault::kError, 3, USB_DEVICE_NOT_RESPONDING_ERROR}}, false,
         false, true},
        {"stall for 500 transfers", {{PipeFault::kError, 500, USB_STALL_ERROR}}, false, false, true},
        {"stall with the ring read empty", {{PipeFault::kError, 1, USB_STALL_ERROR}}, false, true, false},
        {"error after the chunks reached the buffer",
         {{PipeFault::kErrorAfterData, 2, USB_DATA_TOGGLE_MISMATCH_ERROR}}, true, false, false},
        // A refused transfer counts as 0 bytes received: nothing to take, and no wake-up.
        {"refused with an error code", {kEmptyTransfer, {PipeFault::kRefuse, 3, ERROR_GEN_FAILURE}}, false, false,
         false},
        {"refused without an error code", {kEmptyTransfer, {PipeFault::kRefuse, 3, 0}}, false, false, false},
    };
    Start();
    BYTE seed = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Bytes the reader has not taken, in the chunk the thread parsed last.
        const std::vector<BYTE> first = Pattern(3, seed += 40);
        ASSERT_TRUE(adapter_->FeedExternal(kPort, first));
        ASSERT_TRUE(qsxtest::WaitUntil([&] { return Unread(kPort) == 3; }));
        ASSERT_TRUE(Settled(Pipe::kData));
        ASSERT_TRUE(TakeRxEvent(kPort));
        std::vector<BYTE> expected = first;
        if (c.drainFirst) {
            ASSERT_EQ(ReadAll(kPort), first);
            TakeRxEvent(kPort);  // the read sets it for its own reasons
            expected.clear();
        }

        const std::vector<BYTE> data = Pattern(200, seed + 5);
        Inject(Pipe::kData, c.faults);
        if (c.dataFirst) {
            ASSERT_TRUE(adapter_->FeedExternal(kPort, data));
        }
        ASSERT_TRUE(Settled(Pipe::kData));
        if (!c.dataFirst) {
            EXPECT_EQ(TakeRxEvent(kPort), c.rewakes);
            ASSERT_TRUE(adapter_->FeedExternal(kPort, data));
        }
        // Byte-exact: nothing taken from a failed transfer, nothing lost to one.
        expected.insert(expected.end(), data.begin(), data.end());
        ASSERT_TRUE(qsxtest::WaitUntil([&] { return Unread(kPort) >= expected.size(); }));
        ASSERT_TRUE(Settled(Pipe::kData));
        EXPECT_EQ(ReadAll(kPort), expected);
    }
}

TEST_F(PipeFaultTest, StatusThreadTakesNothingFromFailedTransfersAndGoesOn) {
    struct Case {
        const char *name;
        std::vector<Step> faults;
        bool recordFirst;  // the record waits before the faults are spent
    } cases[] = {
        {"stall", {{PipeFault::kError, 1, USB_STALL_ERROR}}, false},
        {"device not responding three times", {{PipeFault::kError, 3, USB_DEVICE_NOT_RESPONDING_ERROR}}, false},
        {"stall for 500 transfers", {{PipeFault::kError, 500, USB_STALL_ERROR}}, false},
        {"error after the records reached the buffer", {{PipeFault::kErrorAfterData, 2, USB_CRC_ERROR}}, true},
        {"refused with an error code", {kEmptyTransfer, {PipeFault::kRefuse, 3, ERROR_GEN_FAILURE}}, false},
        {"refused without an error code", {kEmptyTransfer, {PipeFault::kRefuse, 3, 0}}, false},
    };
    Start();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        standin::ClearConsole();
        x_.USBPortSatus(fps_, 2, kPort);  // clears the error bits
        // A framing error: each record applied prints one line, so a record taken from a
        // failed transfer would show as a second one.
        Inject(Pipe::kStatus, c.faults);
        if (c.recordFirst) {
            ASSERT_TRUE(adapter_->InjectLineStatus(kPort, 0x08, false));
        }
        ASSERT_TRUE(Settled(Pipe::kStatus));
        if (!c.recordFirst) {
            ASSERT_TRUE(adapter_->InjectLineStatus(kPort, 0x08, false));
        }
        ASSERT_TRUE(qsxtest::WaitUntil([&] { return CountMessages("Frame Error:8 \n") >= 1; }));
        ASSERT_TRUE(Settled(Pipe::kStatus));
        EXPECT_EQ(CountMessages("Frame Error:8 \n"), 1u);
        EXPECT_EQ(x_.USBPortSatus(fps_, 2, kPort), static_cast<DWORD>(CE_FRAME));
    }
}

TEST_F(PipeFaultTest, FailedWriteReportsItKeepsTheWindowCountAndTheNextWriteWorks) {
    struct Case {
        const char *name;
        PipeFault fault;
        DWORD code;
        size_t failures;      // writes that fail in a row
        DWORD length;         // what each failing write offers
        const char *message;  // the line each failing write prints, if any
    } cases[] = {
        {"stall, whole length in the frame", PipeFault::kError, USB_STALL_ERROR, 1, 100, "Bulk Error 1\n"},
        {"device not responding, length cut", PipeFault::kError, USB_DEVICE_NOT_RESPONDING_ERROR, 1, 300,
         "Bulk Error 2\n"},
        {"stall for three writes", PipeFault::kError, USB_STALL_ERROR, 3, 252, "Bulk Error 1\n"},
        {"refused with an error code", PipeFault::kRefuse, ERROR_GEN_FAILURE, 1, 253, "Bulk Error 2\n"},
        // No error code, no bytes: nothing went out, and that is a failure like the others.
        {"refused without an error code", PipeFault::kRefuse, 0, 1, 100, "Bulk Error 1\n"},
        // Times out after 2000 ms.
        {"never completes", PipeFault::kNeverComplete, 0, 1, 100, "Bulk Error 1\n"},
    };
    Start();
    const std::vector<BYTE> full = Pattern(252, 9);
    const std::vector<BYTE> offered = Pattern(300, 77);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh window: the 16th full frame after the open fills its 4096 bytes.
        ASSERT_EQ(x_.ComOpen(fps_, kPort, kPortKey), 1u);
        adapter_->ClearOutFrames();
        adapter_->DrainExternal(kPort);
        for (int i = 0; i < 5; i++) ASSERT_EQ(x_.WriteUsb(fps_, full.data(), 252, kPort), 252u);

        // A frame that failed is no transmit-empty event.
        x_.Set_MaskEvent(fps_, kPort, EV_TXEMPTY, 1);
        adapter_->InjectPipeFault(Pipe::kOut, c.fault, c.failures, c.code);
        for (size_t i = 0; i < c.failures; i++) {
            standin::ClearConsole();
            const DWORD start = GetTickCount();
            EXPECT_EQ(x_.WriteUsb(fps_, offered.data(), c.length, kPort), 0u);
            const DWORD took = GetTickCount() - start;
            EXPECT_EQ(standin::ConsoleMessages(),
                      c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
            if (c.fault == PipeFault::kNeverComplete)
                EXPECT_GE(took, 2000u);
            else
                EXPECT_LT(took, 2000u);
        }
        EXPECT_EQ(adapter_->PipeFaultsLeft(Pipe::kOut), 0u);
        EXPECT_EQ(x_.Set_MaskEvent(fps_, kPort, 0, 0), EV_TXEMPTY);
        EXPECT_EQ(static_cast<PUSBFPS>(fps_)->Ports[kPort].EventsPending & EV_TXEMPTY, 0u);

        for (int i = 5; i < 16; i++) ASSERT_EQ(x_.WriteUsb(fps_, full.data(), 252, kPort), 252u) << i;
        // Only the frames that were sent count against the window: the 16th closes it.
        const std::vector<std::vector<BYTE>> frames = adapter_->OutFrames();
        ASSERT_EQ(frames.size(), 16u);
        for (size_t i = 0; i < frames.size(); i++) EXPECT_EQ(frames[i][0], i == 15 ? 0x80 : 0x00) << i;
        std::vector<BYTE> expected;
        for (int i = 0; i < 16; i++) expected.insert(expected.end(), full.begin(), full.end());
        EXPECT_EQ(adapter_->DrainExternal(kPort), expected);
        EXPECT_TRUE(adapter_->ProtocolViolations().empty());
        // The adapter reopens the window once it passed the bytes on.
        ASSERT_TRUE(qsxtest::WaitUntil([&] { return x_.WaitDataEvent(fps_, kPort, 0) == 3; }));
    }
    // The frame that never completed was closed: only the two readers' transfers are left.
    EXPECT_TRUE(qsxtest::WaitUntil([&] { return adapter_->HeldTransfers() == 2; }));
}

// What a pipe that keeps failing costs: a reader retries a single failed transfer at once,
// but pauses between failures in a row, so a stall that does not end does not keep a
// thread spinning for as long as it lasts (a millisecond a transfer at least is the bound).
TEST_F(PipeFaultTest, PersistentFaultDoesNotKeepAReaderSpinning) {
    struct Case {
        const char *name;
        Pipe pipe;
        std::vector<Step> faults;
    } cases[] = {
        {"data pipe stalled", Pipe::kData, {{PipeFault::kError, kPersistent, USB_STALL_ERROR}}},
        {"data pipe refused", Pipe::kData, {kEmptyTransfer, {PipeFault::kRefuse, kPersistent, ERROR_GEN_FAILURE}}},
        {"status pipe stalled", Pipe::kStatus, {{PipeFault::kError, kPersistent, USB_STALL_ERROR}}},
        {"status pipe refused", Pipe::kStatus,
         {kEmptyTransfer, {PipeFault::kRefuse, kPersistent, ERROR_GEN_FAILURE}}},
    };
    constexpr double kMaxPerVirtualSecond = 1000;
    auto cpuMs = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
    };
    Start();
    std::ostringstream figures;
    std::vector<double> rates;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t before = adapter_->PipeTransfers(c.pipe);
        const DWORD start = GetTickCount();
        const double cpuStart = cpuMs();
        const auto realStart = std::chrono::steady_clock::now();
        Inject(c.pipe, c.faults);
        ASSERT_TRUE(qsxtest::WaitUntil([&] { return GetTickCount() - start >= 1000; }));
        const uint64_t transfers = adapter_->PipeTransfers(c.pipe) - before;
        const DWORD virtualMs = GetTickCount() - start;
        const double realMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - realStart).count();
        const double cpu = cpuMs() - cpuStart;
        adapter_->ClearPipeFaults();
        ASSERT_TRUE(Settled(c.pipe));
        rates.push_back(transfers * 1000.0 / virtualMs);
        figures << "; " << c.name << ": " << static_cast<uint64_t>(rates.back()) << " transfers per virtual second ("
                << static_cast<uint64_t>(transfers * 1000.0 / realMs) << " per real second, CPU "
                << static_cast<int>(100 * cpu / realMs) << "% of one core)";
    }
    for (double rate : rates) EXPECT_LE(rate, kMaxPerVirtualSecond) << figures.str();
}

}  // namespace
