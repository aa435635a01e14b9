// Bring-up of a simulated adapter through the host stack and the real QSXPDD and COM
// driver libraries: model identification, firmware download, pipe discovery, port
// binding, the reader threads, and removal.
#include <gtest/gtest.h>

#include <firmware.h>
#include <kfuncs.h>
#include <standin/kernel.h>
#include <standin/registry.h>

#include <atomic>
#include <map>

#include "attach.h"
#include "attach_fixture.h"
#include "comdriver.h"
#include "driver_fixture.h"
#include "model.h"
#include "qsxport.h"

using qsxtest::AttachFixture;

namespace {

const std::u16string kPort0 = u"Drivers\\USB\\ClientDrivers\\QSX_PORT\\PORT0";

TEST(ModelTable, ListsTheNineProductsWithTheirPortsImagesAndInterfaces) {
    struct Row {
        WORD pid, ports;
        DWORD length;
        BOOL rs232Only;
    } rows[] = {{0x7020, 2, 33552, FALSE}, {0x7021, 2, 33556, FALSE}, {0x7040, 4, 33392, TRUE},
                {0x7045, 4, 33392, FALSE}, {0x7046, 4, 33396, FALSE}, {0x7168, 8, 33396, TRUE},
                {0x7198, 8, 33396, FALSE}, {0x7163, 16, 33400, TRUE}, {0x7193, 16, 33400, FALSE}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.pid);
        const QsxModel *m = FindModel(r.pid);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->PortCount, r.ports);
        EXPECT_EQ(m->ImageLength, r.length);
        EXPECT_EQ(m->Rs232Only, r.rs232Only);
        EXPECT_EQ(IsRs232OnlyModel(r.pid), r.rs232Only);
    }
    EXPECT_EQ(FindModel(0x7041), nullptr);
    EXPECT_EQ(FindModel(0), nullptr);
}

TEST_F(AttachFixture, PlugBindsEveryPortAndUnplugUndoesItAll) {
    USB_HANDLE device = Plug(0x7045);
    ASSERT_TRUE(standin::UsbHasClient(device));
    EXPECT_TRUE(adapter_->Usable());
    // The receive thread says which controller it found when it starts.
    EXPECT_TRUE(qsxtest::WaitUntil([] { return CountMessages("== Attached to 2.0 Controller ==\n") == 1; }));
    auto entries = PortEntries();
    ASSERT_EQ(entries.size(), 4u);
    for (int i = 0; i < 4; i++) EXPECT_EQ(entries[i].second, "COM" + std::to_string(11 + i) + ":");
    EXPECT_EQ(standin::RunningThreadCount(), 2u);  // the two reader threads
    EXPECT_EQ(standin::UsbOpenPipeCount(), 3u);

    standin::ClearTimedCalls();
    DWORD start = GetTickCount();
    ASSERT_TRUE(qsxtest::UnplugAndWait(device));
    // No port was open, so removal takes the one-second pause and no more.
    EXPECT_GE(GetTickCount() - start, 1000u);
    bool paused = false;
    for (const auto &c : standin::TimedCalls()) paused |= c.kind == standin::TimedCall::kSleep && c.ms == 1000;
    EXPECT_TRUE(paused);
    EXPECT_TRUE(PortEntries().empty());
    EXPECT_EQ(CountMessages("Deteched Error 4 \n"), 0u);
}

TEST_F(AttachFixture, FullSpeedAdapterIsReadInSmallTransfers) {
    USB_HANDLE device = Plug(0x7020, false);
    ASSERT_TRUE(standin::UsbHasClient(device));
    EXPECT_TRUE(qsxtest::WaitUntil([] { return CountMessages("== Attached to 1.1 Controller ==\n") == 1; }));
    qsxtest::UnplugAndWait(device);
}

TEST_F(AttachFixture, DownloadSendsTheWholeImageInPacedBlocks) {
    struct Case {
        WORD pid;
        size_t blocks, last;
        const BYTE *image;
        size_t length;
    } cases[] = {{0x7020, 525, 16, Firmware7020, sizeof Firmware7020},
                 {0x7021, 525, 20, Firmware7021, sizeof Firmware7021},
                 {0x7040, 522, 48, Firmware7040, sizeof Firmware7040},
                 {0x7046, 522, 52, Firmware7046, sizeof Firmware7046},
                 {0x7163, 522, 56, Firmware7163, sizeof Firmware7163}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pid);
        standin::ClearTimedCalls();
        USB_HANDLE device = Plug(c.pid);
        auto log = adapter_->VendorLog();
        ASSERT_GE(log.size(), c.blocks + 3);
        EXPECT_EQ(log[0].setup.bRequest, 0x0C);
        std::vector<BYTE> sent;
        for (size_t i = 1; i <= c.blocks; i++) {
            ASSERT_EQ(log[i].setup.bRequest, 0x20);
            EXPECT_EQ(log[i].setup.wLength, i == c.blocks ? c.last : 64);
            sent.insert(sent.end(), log[i].data.begin(), log[i].data.end());
        }
        EXPECT_EQ(sent, std::vector<BYTE>(c.image, c.image + c.length));
        const auto &end = log[c.blocks + 1], &start = log[c.blocks + 2];
        EXPECT_EQ(end.setup.bRequest, 0x0D);
        EXPECT_EQ(start.setup.bRequest, 0x0E);
        EXPECT_GE(end.tick - log[c.blocks].tick, 1000u);
        EXPECT_GE(start.tick - end.tick, 1000u);
        // A 1 ms pause after every block, then the two one-second pauses.
        std::vector<DWORD> sleeps;
        for (const auto &t : standin::TimedCalls())
            if (t.kind == standin::TimedCall::kSleep) sleeps.push_back(t.ms);
        ASSERT_GE(sleeps.size(), c.blocks + 2);
        EXPECT_EQ(std::count(sleeps.begin(), sleeps.begin() + c.blocks, 1), static_cast<long>(c.blocks));
        EXPECT_EQ(sleeps[c.blocks], 1000u);
        EXPECT_EQ(sleeps[c.blocks + 1], 1000u);
        qsxtest::UnplugAndWait(device);
    }
}

TEST_F(AttachFixture, UnsupportedProductIsGivenUpWithoutARequest) {
    USB_HANDLE device = Plug(0x7041);
    EXPECT_FALSE(standin::UsbHasClient(device));
    EXPECT_EQ(CountMessages("SetUsbInterface failed!\n"), 1u);
    EXPECT_TRUE(adapter_->VendorLog().empty());
    EXPECT_EQ(standin::RunningThreadCount(), 0u);
    EXPECT_TRUE(PortEntries().empty());
    qsxtest::UnplugAndWait(device);
}

TEST_F(AttachFixture, MissingComDriverNameFailsTheAttach) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\USB\\ClientDrivers\\QSX_PORT", 0, 0, &key), 0);
    RegDeleteValueW(key, u"Dll");
    RegCloseKey(key);
    USB_HANDLE device = Plug(0x7045);
    EXPECT_FALSE(standin::UsbHasClient(device));
    for (const char *m : {"SetKeyValues failed!\n", "pUsbFps->ComDriver NULL\n", "GetProcAddress failed!\n"})
        EXPECT_EQ(CountMessages(m), 1u) << m;
    EXPECT_EQ(standin::RunningThreadCount(), 0u);
    qsxtest::UnplugAndWait(device);
}

void *HalfComLookup(std::string_view name) {
    // A COM driver that can bind ports but has no way to unbind them.
    return name == "UsbComAttach"
               ? reinterpret_cast<void *>(GetProcAddressW(LoadDriver(u"QSXCOM.dll"), u"UsbComAttach"))
               : nullptr;
}

TEST_F(AttachFixture, ComDriverWithoutDetachFailsTheAttach) {
    standin::RegisterBuiltinModule(u"HalfCom.dll", HalfComLookup);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\USB\\ClientDrivers\\QSX_PORT", 0, 0, &key), 0);
    RegSetValueExW(key, u"Dll", 0, REG_SZ, reinterpret_cast<const BYTE *>(u"HalfCom.dll"), 24);
    RegCloseKey(key);
    USB_HANDLE device = Plug(0x7045);
    EXPECT_FALSE(standin::UsbHasClient(device));
    EXPECT_EQ(CountMessages("GetProcAddress ComDetach failed!\n"), 1u);
    EXPECT_TRUE(PortEntries().empty());  // nothing was bound
    qsxtest::UnplugAndWait(device);
    FreeLibrary(comDriver_);  // the reference HalfComLookup took
    standin::UnregisterBuiltinModule(u"HalfCom.dll");
}

TEST_F(AttachFixture, RefusedPortStopsBindingAndIsReportedAtRemoval) {
    reinterpret_cast<PFN_QSXCOM_SET_REFUSE_PORT>(
        reinterpret_cast<void (*)()>(GetProcAddressW(comDriver_, u"QsxComSetRefusePort")))(2);
    USB_HANDLE device = Plug(0x7045);
    ASSERT_TRUE(standin::UsbHasClient(device));
    EXPECT_EQ(PortEntries().size(), 2u);
    qsxtest::UnplugAndWait(device);
    EXPECT_EQ(CountMessages("Deteched Error 4 \n"), 2u);
}

TEST_F(AttachFixture, InterfaceModesFollowTheRegistryAndTheModel) {
    struct Case {
        WORD pid;
        DWORD port0Interface;
        BYTE expected;  // every port: the port-0 value carries over to ports without a key
    } cases[] = {{0x7045, 3, 3}, {0x7045, 0x10002, 2}, {0x7045, 7, 0}, {0x7040, 2, 0}, {0x7163, 1, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.pid << " " << c.port0Interface);
        SetDword(kPort0, u"Interface", c.port0Interface);
        USB_HANDLE device = Plug(c.pid);
        ASSERT_TRUE(standin::UsbHasClient(device));
        for (int p = 0; p < adapter_->PortCount(); p++) EXPECT_EQ(adapter_->InterfaceMode(p), c.expected) << p;
        // Only the RS-232-only models send 0 whatever the key says; the request is sent
        // for each port in order before it is bound.
        std::vector<int> ports;
        for (const auto &r : adapter_->VendorLog())
            if (r.setup.bRequest == 0x10) ports.push_back(r.setup.wIndex);
        EXPECT_EQ(ports.size(), static_cast<size_t>(adapter_->PortCount()));
        EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end()));
        qsxtest::UnplugAndWait(device);
    }
}

BOOL WINAPI RefuseNotification(USB_HANDLE, LPDEVICE_NOTIFY_ROUTINE, LPVOID) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

TEST_F(AttachFixture, FailureAfterBindingUndoesTheBinding) {
    adapter_ = qsxsim::Adapter::Create(0x7045, true);
    USB_HANDLE device = standin::UsbAddDevice(adapter_);
    USB_FUNCS funcs = *standin::UsbFunctionTable();
    funcs.lpRegisterNotificationRoutine = RefuseNotification;
    BOOL accept = TRUE;
    qsxtest::LoadedDriver driver;
    const auto attach = driver.Export<decltype(&USBDeviceAttach)>(u"USBDeviceAttach");
    ASSERT_NE(attach, nullptr);
    EXPECT_FALSE(attach(device, &funcs, nullptr, u"QSX_PORT", &accept, nullptr, 0));
    EXPECT_FALSE(accept);
    EXPECT_EQ(CountMessages("RegisterNotificationRoutine error:8\n"), 1u);
    EXPECT_TRUE(PortEntries().empty());
    EXPECT_EQ(standin::RunningThreadCount(), 0u);
    EXPECT_EQ(standin::UsbOpenPipeCount(), 0u);
    qsxtest::RemoveAndWait(device);
}

TEST_F(AttachFixture, PlugAndUnplugManyTimesLeavesNothingBehind) {
    const WORD models[] = {0x7020, 0x7021, 0x7040, 0x7045, 0x7046, 0x7168, 0x7198, 0x7163, 0x7193};
    size_t handles = standin::OpenHandleCount();
    int cycles = std::getenv("QSX_SHORT") ? 36 : 200;
    for (int i = 0; i < cycles; i++) {
        WORD pid = models[i % 9];
        bool highSpeed = (i / 9) % 2 == 0;
        USB_HANDLE device = Plug(pid, highSpeed);
        ASSERT_TRUE(standin::UsbHasClient(device)) << i;
        ASSERT_EQ(PortEntries().size(), static_cast<size_t>(adapter_->PortCount())) << i;
        ASSERT_TRUE(qsxtest::UnplugAndWait(device));
        ASSERT_TRUE(PortEntries().empty()) << i;
        ASSERT_EQ(standin::RunningThreadCount(), 0u) << i;
        ASSERT_EQ(standin::OpenHandleCount(), handles) << i;
    }
}

// Pipe discovery over interfaces of different shapes, against a scripted device.
class PipeDiscoveryTest : public qsxtest::DriverFixture {
    qsxtest::ScopedTimeScale fast_{0.01};  // the download's pauses
};

TEST_F(PipeDiscoveryTest, WalksOnlyTheExaminedEndpointsInOrder) {
    using Ep = qsxtest::ScriptDevice::Endpoint;
    const Ep extra[] = {{0x84, 3, 64}, {0x05, 2, 512}, {0x86, 2, 512}};
    struct Case {
        const char *name;
        std::vector<Ep> endpoints;
        DWORD result, maxPacket;
        std::vector<UCHAR> opened;
        bool status;
    } cases[] = {
        {"six", {{0x01, 2, 512}, {0x82, 2, 512}, {0x83, 2, 512}, extra[0], extra[1], extra[2]}, 1, 512,
         {0x01, 0x82, 0x83}, true},
        {"full speed", {{0x01, 2, 64}, {0x82, 2, 64}, {0x83, 2, 64}, extra[0], extra[1], extra[2]}, 1, 64,
         {0x01, 0x82, 0x83}, true},
        {"odd size", {{0x01, 2, 32}, {0x82, 2, 64}, {0x83, 2, 64}, extra[0], extra[1], extra[2]}, 1, 512,
         {0x01, 0x82, 0x83}, true},
        {"three", {{0x01, 2, 512}, {0x82, 2, 512}, {0x83, 2, 512}}, 0, 0, {}, false},
        {"interrupt first",
         {{0x01, 2, 512}, {0x84, 3, 64}, {0x82, 2, 512}, {0x83, 2, 512}, extra[1], extra[2], {0x87, 2, 512}},
         1, 512, {0x01, 0x82, 0x83}, true},
        {"one input", {{0x01, 2, 512}, {0x82, 2, 512}, {0x05, 2, 512}, extra[0], extra[1], extra[2]}, 0, 512,
         {0x01, 0x82}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Attach(std::make_shared<qsxtest::ScriptDevice>(0x7020, c.endpoints), 0);
        fps_->PortCount = 0;
        EXPECT_EQ(SetUsbInterface(fps_), c.result);
        EXPECT_EQ(fps_->PortCount, 2);
        EXPECT_EQ(fps_->MaxPacket, c.maxPacket);
        EXPECT_EQ(device_->OpenedPipes(), c.opened);
        EXPECT_EQ(fps_->StatusInPipe != nullptr, c.status);
        EXPECT_EQ(fps_->BulkOutEvent != nullptr, !c.opened.empty());
        fps_->Flags = 0;
        FreeUsbFps(fps_);  // closes whatever was opened
        fps_ = nullptr;
        qsxtest::RemoveAndWait(hDevice_);
        hDevice_ = nullptr;
    }
}

TEST_F(PipeDiscoveryTest, UnsupportedProductSendsNothing) {
    Attach(std::make_shared<qsxtest::ScriptDevice>(0x7041), 7);
    EXPECT_EQ(SetUsbInterface(fps_), 0u);
    EXPECT_EQ(fps_->ProductId, 0x7041);
    EXPECT_EQ(fps_->PortCount, 0);
    EXPECT_TRUE(device_->Requests().empty());
}

}  // namespace

namespace {

// A COM driver that only remembers what it was given, so a test can use the ports itself.
std::atomic<PUSBFPS> gBoundRecord{nullptr};
HANDLE WINAPI RecordingAttach(LPVOID fps, DWORD port, DWORD) {
    gBoundRecord = static_cast<PUSBFPS>(fps);
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(port + 1));
}
BOOL WINAPI RecordingDetach(HANDLE) { return TRUE; }
void *RecordingComLookup(std::string_view name) {
    if (name == "UsbComAttach") return reinterpret_cast<void *>(RecordingAttach);
    if (name == "UsbComDetach") return reinterpret_cast<void *>(RecordingDetach);
    return nullptr;
}

// The removal runs on the host stack's worker and waits there for the open port to be
// closed; an adapter plugged meanwhile is attached only after that.
TEST_F(AttachFixture, RemovalWaitsForOpenPortsToBeClosedAndHoldsUpLaterAttaches) {
    standin::RegisterBuiltinModule(u"RecCom.dll", RecordingComLookup);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\USB\\ClientDrivers\\QSX_PORT", 0, 0, &key), 0);
    RegSetValueExW(key, u"Dll", 0, REG_SZ, reinterpret_cast<const BYTE *>(u"RecCom.dll"), 22);
    RegCloseKey(key);
    USB_HANDLE device = Plug(0x7020);
    ASSERT_TRUE(standin::UsbHasClient(device));
    PUSBFPS fps = gBoundRecord.load();
    ASSERT_NE(fps, nullptr);
    qsxtest::LoadedDriver driver;
    const auto comOpen = driver.Export<decltype(&ComOpen)>(u"ComOpen");
    const auto comClose = driver.Export<decltype(&ComClose)>(u"ComClose");
    ASSERT_TRUE(comOpen && comClose);
    comOpen(fps, 1, u"Drivers\\Active\\None");
    ASSERT_NE(fps->Ports[1].CloseEvent, nullptr);

    ASSERT_TRUE(standin::UsbUnplug(device));
    // The removal pauses, then waits for the open port to be closed.
    ASSERT_TRUE(qsxtest::WaitUntil([&] { return standin::WaitingThreadCount(fps->DetachEvent) == 1; }));
    auto second = qsxsim::Adapter::Create(0x7045, true);
    USB_HANDLE secondDevice = standin::UsbPlug(second);
    EXPECT_FALSE(standin::UsbWaitHostStack(device, 0));
    EXPECT_FALSE(standin::UsbWaitHostStack(secondDevice, 0));
    EXPECT_FALSE(standin::UsbHasClient(secondDevice));
    EXPECT_TRUE(second->VendorLog().empty());

    comClose(fps, 1);
    EXPECT_TRUE(standin::UsbWaitHostStack(device, 60000));
    EXPECT_TRUE(standin::UsbWaitHostStack(secondDevice, 60000));
    EXPECT_TRUE(standin::UsbHasClient(secondDevice));
    EXPECT_TRUE(qsxtest::UnplugAndWait(secondDevice));
    standin::UnregisterBuiltinModule(u"RecCom.dll");
}

}  // namespace
