// QSXPORT driven the way a user drives it: the test starts the program, waits for what
// it shows, picks, ticks, clicks and answers, and then reads the registry and what
// reached the ports' devices.
#include <gtest/gtest.h>

#include <windows.h>

#include <standin/devmgr.h>
#include <standin/gwes.h>
#include <standin/kernel.h>
#include <standin/registry.h>

#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "attach_fixture.h"
#include "driver_fixture.h"
#include "run_qsxport.h"
#include "resource.h"

namespace gwes = standin::gwes;
using namespace std::chrono_literals;

namespace {

const std::u16string kDriverKey = u"Drivers\\USB\\ClientDrivers\\QSX_PORT";
const std::u16string kCaption = u"Velmir Configuration Utility";

using qsxtest::RunQsxport;
constexpr auto kBound = 10s;

// A port's device as the utility sees it: it records the interface codes sent to it and
// can be held open by "another program".
class FakePort : public standin::StreamDevice {
public:
    DWORD_PTR Open(DWORD, DWORD) override {
        std::lock_guard g(lock);
        if (busy) {
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
        return 1;
    }
    void Close(DWORD_PTR) override {}
    DWORD Read(DWORD_PTR, void *, DWORD) override { return 0; }
    DWORD Write(DWORD_PTR, const void *, DWORD) override { return 0; }
    BOOL IOControl(DWORD_PTR, DWORD code, const void *in, DWORD inSize, void *, DWORD, DWORD *) override {
        std::lock_guard g(lock);
        if (code == 0x1B02D0 && inSize == 4) codes.push_back(*static_cast<const DWORD *>(in));
        return TRUE;
    }
    std::mutex lock;
    bool busy = false;
    std::vector<DWORD> codes;
};

struct Entry {
    int number;
    const char16_t *name;  // null: no "Name" value
    DWORD productId;
    int interfaceCode = -1;  // -1: no value
    int fifo = -1;
};

std::optional<DWORD> RegDword(const std::u16string &key, const char16_t *name) {
    HKEY h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &h) != ERROR_SUCCESS) return std::nullopt;
    DWORD value = 0, cb = 4, type = 0;
    LONG r = RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &cb);
    RegCloseKey(h);
    if (r != ERROR_SUCCESS) return std::nullopt;
    return value;
}

class QsxPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin::ClearRegistry();
        gwes::ClearRecords();
        standin::SetTimeScale(0.001);  // discovery pauses two seconds
    }
    void TearDown() override {
        if (program_.valid()) {
            // Leave the program whatever state the test left it in.
            for (int i = 0; i < 5 && program_.wait_for(0s) != std::future_status::ready; i++) {
                gwes::AnswerMessageBox(IDCANCEL);
                if (HWND d = gwes::WaitForWindow(kCaption, 100ms)) gwes::Click(d, IDC_EXIT);
                program_.wait_for(1s);
            }
            EXPECT_EQ(program_.wait_for(kBound), std::future_status::ready);
        }
        for (auto &[name, handle] : devices_) standin::DeregisterStreamDevice(handle);
        standin::SetTimeScale(1.0);
        EXPECT_EQ(standin::OpenRegistryKeyCount(), 0u);
    }

    void AddEntry(const Entry &e) {
        std::u16string key = Active(e.number);
        HKEY h;
        DWORD disposition;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, 0, nullptr, &h, &disposition), 0);
        SetString(h, u"Key", kDriverKey);
        if (e.name) SetString(h, u"Name", e.name);
        SetDword(h, u"USBPID", e.productId);
        if (e.interfaceCode >= 0) SetDword(h, u"Interface", static_cast<DWORD>(e.interfaceCode));
        if (e.fifo >= 0) SetDword(h, u"FIFO", static_cast<DWORD>(e.fifo));
        RegCloseKey(h);
        if (e.name) AddDevice(e.name);
    }
    // A port device for a name such as "COM11:" (with a legacy name; the device search
    // reports it only when it fits five characters).
    void AddDevice(std::u16string name) {
        name.pop_back();
        if (devices_.count(name)) return;
        auto port = std::make_shared<FakePort>();
        ports_[name] = port;
        devices_[name] = standin::RegisterStreamDevice(name, true, kDriverKey, port, nullptr);
    }
    static void SetString(HKEY h, const char16_t *name, const std::u16string &value) {
        RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * 2));
    }
    static void SetDword(HKEY h, const char16_t *name, DWORD value) {
        RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), 4);
    }
    static std::optional<DWORD> Dword(const std::u16string &key, const char16_t *name) {
        return RegDword(key, name);
    }
    static std::u16string String(const std::u16string &key, const char16_t *name) {
        HKEY h;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &h) != ERROR_SUCCESS) return u"";
        char16_t text[128] = {};
        DWORD cb = sizeof text - 2;
        RegQueryValueExW(h, name, nullptr, nullptr, reinterpret_cast<BYTE *>(text), &cb);
        RegCloseKey(h);
        return text;
    }
    static std::u16string Active(int n) {
        std::string number = n < 10 ? "0" : "";
        number += std::to_string(n);
        return u"Drivers\\Active\\" + standin::FromUtf8(number);
    }

    // Starts the program; returns its dialog once shown (null when none comes).
    HWND Start(std::u16string commandLine = u"") {
        commandLine_ = std::move(commandLine);
        program_ = std::async(std::launch::async, [this] {
            return standin::RunProgram([&] { return RunQsxport(commandLine_.data()); });
        });
        return gwes::WaitForWindow(kCaption, kBound);
    }
    int Finish() {
        EXPECT_EQ(program_.wait_for(kBound), std::future_status::ready);
        return program_.get();
    }
    // The message box showing now (waits for it).
    gwes::MessageBoxRecord Box() {
        for (int i = 0; i < 1000; i++) {
            for (const auto &b : gwes::MessageBoxes())
                if (b.answer == 0) return b;
            std::this_thread::sleep_for(10ms);
        }
        ADD_FAILURE() << "no message box came";
        return {};
    }
    void Answer(int answer) {
        HWND box = Box().box;
        ASSERT_TRUE(gwes::AnswerMessageBox(answer, box));
        ASSERT_TRUE(gwes::WaitClosed(box, kBound));
    }
    static std::vector<std::u16string> Items(HWND dlg, int id) { return gwes::Control(dlg, id)->items; }
    static int Selection(HWND dlg, int id) { return gwes::Control(dlg, id)->selection; }
    static std::u16string Text(HWND dlg, int id) { return gwes::Control(dlg, id)->text; }
    void Act(HWND dlg) { ASSERT_TRUE(gwes::WaitIdle(dlg, kBound)); }

    std::u16string commandLine_;
    std::future<int> program_;
    std::map<std::u16string, HANDLE> devices_;
    std::map<std::u16string, std::shared_ptr<FakePort>> ports_;
};

TEST_F(QsxPortTest, NoDeviceIsReportedAndTheProgramEnds) {
    program_ = std::async(std::launch::async, [] {
        return standin::RunProgram([] { return RunQsxport(nullptr); });
    });
    gwes::MessageBoxRecord box = Box();
    EXPECT_EQ(box.text, u"Cannot find any Velmir device.");
    EXPECT_EQ(box.title, u"Warning");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(box.owner, nullptr);
    Answer(IDOK);
    EXPECT_EQ(Finish(), 0);
}

TEST_F(QsxPortTest, DiscoveryNamesPortsAndListsThemInOrder) {
    AddEntry({3, u"COM0:", 0x7045, 2, 1});  // becomes COM10:, and 11 is offered next
    AddEntry({4, nullptr, 0x7045});
    AddEntry({5, nullptr, 0x7045});
    AddEntry({6, u"QSX2:", 0x7045});
    AddEntry({7, u"COM2:", 0x1234, 3, 0});
    AddEntry({8, u"COM2:", 0x7045, 1, 1});  // a second entry of the same name
    AddEntry({9, u"ABC1:", 0x7045});        // not a form that is listed
    HWND dlg = Start();
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(String(Active(3), u"Name"), u"COM10:");
    EXPECT_EQ(String(Active(4), u"Name"), u"COM11:");
    EXPECT_EQ(Dword(Active(4), u"COMNum"), 11u);
    EXPECT_EQ(String(Active(5), u"Name"), u"COM12:");
    EXPECT_EQ(Dword(Active(5), u"COMNum"), 12u);
    EXPECT_EQ(Items(dlg, IDC_PORTS),
              (std::vector<std::u16string>{u"COM2:", u"QSX2:", u"COM10:", u"COM11:", u"COM12:"}));
    // The first listed port is shown with the settings of its lower-numbered entry.
    EXPECT_EQ(Selection(dlg, IDC_PORTS), 0);
    EXPECT_EQ(Selection(dlg, IDC_INTERFACE), 3);
    EXPECT_EQ(Selection(dlg, IDC_FIFO), 0);
    EXPECT_EQ(Text(dlg, IDC_MODEL), u"COM2:  Velmir nkown");
    EXPECT_EQ(Items(dlg, IDC_INTERFACE),
              (std::vector<std::u16string>{u"RS-232", u"RS-485 2W", u"RS-422", u"RS-485 4W"}));
    EXPECT_EQ(Items(dlg, IDC_FIFO), (std::vector<std::u16string>{u"FIFO Disable", u"FIFO Enable"}));
    std::u16string config = kDriverKey + u"\\CONFIG\\COM10:";
    EXPECT_EQ(Dword(config, u"Interface"), 2u);
    EXPECT_EQ(Dword(config, u"FIFO"), 1u);
    EXPECT_EQ(Dword(config, u"USBDevice"), 4608u);
    EXPECT_EQ(Dword(config, u"Available"), 0u);
    EXPECT_EQ(Dword(u"Drivers\\USB\\ClientDrivers\\QSX_K2x4\\CONFIG\\COM10:", u"USBDevice"), 4608u);
    // Exit without edits closes at once.
    ASSERT_TRUE(gwes::Click(dlg, IDC_EXIT));
    EXPECT_EQ(Finish(), 0);
    EXPECT_TRUE(gwes::MessageBoxes().empty());
}

TEST_F(QsxPortTest, PortWithoutLegacyNameGetsItsDeviceName) {
    AddEntry({3, nullptr, 0x7045});
    AddDevice(u"COM15:");  // "$device\COM15": too long for a legacy name
    HWND dlg = Start();
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(String(Active(3), u"Name"), u"COM15:");
    EXPECT_EQ(Dword(Active(3), u"COMNum"), std::nullopt);
    EXPECT_EQ(Items(dlg, IDC_PORTS), std::vector<std::u16string>{u"COM15:"});
    ASSERT_TRUE(gwes::Click(dlg, IDC_EXIT));
    EXPECT_EQ(Finish(), 0);
}

TEST_F(QsxPortTest, SwitchingPortsAsksToSaveEditsForThePortShownBefore) {
    AddEntry({3, u"COM11:", 0x7045, 0, 0});
    AddEntry({4, u"COM12:", 0x7040, 0, 1});
    HWND dlg = Start();
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(Text(dlg, IDC_MODEL), u"Velmir 7045 -- COM11:  ");
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_INTERFACE, u"RS-422"));
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_PORTS, u"COM12:"));
    gwes::MessageBoxRecord box = Box();
    EXPECT_EQ(box.text, u"Save configuration settings?\r\n");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OKCANCEL | MB_ICONEXCLAMATION));
    Answer(IDOK);
    Answer(IDOK);  // "Saved Ok!!"
    Act(dlg);
    EXPECT_EQ(Dword(Active(3), u"Interface"), 2u);  // stored for COM11:
    EXPECT_EQ(ports_[u"COM11"]->codes, std::vector<DWORD>{2});
    EXPECT_EQ(Dword(Active(4), u"Interface"), 0u);
    EXPECT_EQ(Text(dlg, IDC_MODEL), u"Velmir 7040 -- COM12:  ");
    EXPECT_EQ(Selection(dlg, IDC_INTERFACE), 0);
    EXPECT_EQ(Selection(dlg, IDC_FIFO), 1);

    // Declining drops the edits; a following Exit asks nothing.
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_FIFO, u"FIFO Disable"));
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_PORTS, u"COM11:"));
    Answer(IDCANCEL);
    Act(dlg);
    EXPECT_EQ(Dword(Active(4), u"FIFO"), 1u);
    size_t boxes = gwes::MessageBoxes().size();
    ASSERT_TRUE(gwes::PressEscape(dlg));
    EXPECT_EQ(Finish(), 0);
    EXPECT_EQ(gwes::MessageBoxes().size(), boxes);
}

TEST_F(QsxPortTest, ExitAfterEditsAsksAndSavesOrNot) {
    for (int answer : {IDOK, IDCANCEL}) {
        SCOPED_TRACE(answer);
        standin::ClearRegistry();
        gwes::ClearRecords();
        AddEntry({3, u"COM11:", 0x7045, 0, 0});
        HWND dlg = Start();
        ASSERT_NE(dlg, nullptr);
        ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_INTERFACE, u"RS-485 4W"));
        ASSERT_TRUE(gwes::PressEnter(dlg));  // Enter acts as Exit
        EXPECT_EQ(Box().text, u"Save configuration settings?\r\n");
        Answer(answer);
        if (answer == IDOK) Answer(IDOK);  // "Saved Ok!!"
        EXPECT_EQ(Finish(), 0);
        EXPECT_EQ(Dword(Active(3), u"Interface"), answer == IDOK ? 3u : 0u);
    }
}

TEST_F(QsxPortTest, TickingApplyAllAloneCountsAsAnEditAndUntickingDoesNotUndoIt) {
    AddEntry({3, u"COM11:", 0x7045, 0, 0});
    HWND dlg = Start();
    ASSERT_NE(dlg, nullptr);
    ASSERT_TRUE(gwes::ToggleCheckBox(dlg, IDC_APPLYALL));
    ASSERT_TRUE(gwes::ToggleCheckBox(dlg, IDC_APPLYALL));
    ASSERT_TRUE(gwes::Click(dlg, IDC_EXIT));
    EXPECT_EQ(Box().text, u"Save configuration settings?\r\n");
    Answer(IDCANCEL);
    EXPECT_EQ(Finish(), 0);
}

TEST_F(QsxPortTest, OnePortSaveRefusesOtherInterfacesOnRs232OnlyModels) {
    AddEntry({3, u"COM12:", 0x7168, 0, 0});
    HWND dlg = Start();
    ASSERT_NE(dlg, nullptr);
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_INTERFACE, u"RS-485 2W"));
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_FIFO, u"FIFO Enable"));
    ASSERT_TRUE(gwes::Click(dlg, IDC_SAVE));
    HWND warning = gwes::WaitForWindow(u"Warning", kBound);
    ASSERT_NE(warning, nullptr);
    EXPECT_EQ(Text(warning, IDC_WARNING_TEXT), u"COM12: Velmir 7160-8 supports RS-232 only.\r\n");
    ASSERT_TRUE(gwes::ClickCaption(warning, gwes::CaptionButton::kOk));
    ASSERT_TRUE(gwes::WaitClosed(warning, kBound));
    Act(dlg);
    EXPECT_EQ(Dword(Active(3), u"Interface"), 0u);
    EXPECT_EQ(Dword(Active(3), u"FIFO"), 1u);
    EXPECT_TRUE(ports_[u"COM12"]->codes.empty());
    EXPECT_EQ(Selection(dlg, IDC_INTERFACE), 0);
    EXPECT_TRUE(gwes::MessageBoxes().empty());  // no "Saved Ok!!"
    ASSERT_TRUE(gwes::Click(dlg, IDC_EXIT));    // a save ends the edited state
    EXPECT_EQ(Finish(), 0);
}

TEST_F(QsxPortTest, AllPortsSaveSavesWhatItMayAndNamesTheRest) {
    AddEntry({3, u"COM11:", 0x7040, 0, 0});
    AddEntry({4, u"COM12:", 0x7040, 0, 0});
    AddEntry({5, u"COM13:", 0x7045, 0, 0});
    HWND dlg = Start();
    ASSERT_NE(dlg, nullptr);
    ASSERT_TRUE(gwes::ToggleCheckBox(dlg, IDC_APPLYALL));
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_INTERFACE, u"RS-422"));
    ASSERT_TRUE(gwes::Click(dlg, IDC_SAVE));
    gwes::MessageBoxRecord refused = Box();
    EXPECT_EQ(refused.text, u"COM11:COM12: are only support RS-232 interface\r\n");
    EXPECT_EQ(refused.type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_EQ(gwes::CurrentCursor(), 32514u);  // busy until the refusal is closed
    Answer(IDOK);
    EXPECT_EQ(Box().text, u"Saved Ok!!");
    Answer(IDOK);
    Act(dlg);
    EXPECT_EQ(Dword(Active(5), u"Interface"), 2u);
    EXPECT_EQ(Dword(Active(3), u"Interface"), 0u);
    EXPECT_EQ(ports_[u"COM13"]->codes, std::vector<DWORD>{2});
    EXPECT_TRUE(ports_[u"COM11"]->codes.empty());
    // The shown port (COM11:) was refused: the box is back on RS-232.
    EXPECT_EQ(Selection(dlg, IDC_INTERFACE), 0);
    EXPECT_NE(gwes::CurrentCursor(), 32514u);
}

TEST_F(QsxPortTest, AllPortsSaveStopsWhenAPortIsHeldByAnotherProgram) {
    AddEntry({3, u"COM11:", 0x7045, 1, 0});
    AddEntry({4, u"COM12:", 0x7045, 1, 0});
    HWND dlg = Start();
    ASSERT_NE(dlg, nullptr);
    ports_[u"COM12"]->busy = true;
    ASSERT_TRUE(gwes::ToggleCheckBox(dlg, IDC_APPLYALL));
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_INTERFACE, u"RS-422"));
    ASSERT_TRUE(gwes::Click(dlg, IDC_SAVE));
    EXPECT_EQ(Box().text, u"Fail,some port is not available");
    Answer(IDOK);
    Act(dlg);
    EXPECT_EQ(Selection(dlg, IDC_INTERFACE), 0);
    EXPECT_EQ(Dword(Active(3), u"Interface"), 1u);  // nothing stored
    EXPECT_TRUE(ports_[u"COM11"]->codes.empty());
    ASSERT_TRUE(gwes::Click(dlg, IDC_EXIT));  // counts as saved: no question
    EXPECT_EQ(Finish(), 0);
}

TEST_F(QsxPortTest, RefusedPortListStaysWithinItsCapacity) {
    // Thirty RS-232-only ports with long names: only whole names that fit are listed.
    for (int i = 0; i < 30; i++) {
        std::u16string name = u"QSX" + standin::FromUtf8(std::to_string(100 + i)) + u":";
        AddEntry({10 + i, name.c_str(), 0x7163, 0, 0});
    }
    HWND dlg = Start();
    ASSERT_NE(dlg, nullptr);
    ASSERT_TRUE(gwes::ToggleCheckBox(dlg, IDC_APPLYALL));
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_INTERFACE, u"RS-485 2W"));
    ASSERT_TRUE(gwes::Click(dlg, IDC_SAVE));
    std::u16string text = Box().text;
    const std::u16string suffix = u" are only support RS-232 interface\r\n";
    EXPECT_LE(text.size(), 255u);
    ASSERT_GT(text.size(), suffix.size());
    EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
    EXPECT_EQ(text.substr(0, 14), u"QSX100:QSX101:");
    EXPECT_EQ((text.size() - suffix.size()) % 7, 0u);  // whole names only
    Answer(IDOK);
}

TEST_F(QsxPortTest, NotificationStartHandsOverToTheRunningCopy) {
    AddEntry({3, u"COM11:", 0x7045, 0, 0});
    HWND dlg = Start();
    ASSERT_NE(dlg, nullptr);
    std::u16string line = u"AppRunToHandleNotification 5";
    EXPECT_EQ(standin::RunProgram([&] { return RunQsxport(line.data()); }), 0);
    ASSERT_TRUE(gwes::WaitIdle(dlg, kBound));
    auto requests = gwes::ForegroundRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].window, dlg);
    EXPECT_TRUE(requests[0].ownedToo);
    EXPECT_EQ(gwes::HandledAppNotifications().size(), 1u);
    EXPECT_EQ(gwes::TopWindows().size(), 1u);  // no second dialog

    // Another program's signal on "Tiq" brings the dialog to the front too.
    HANDLE tiq = CreateEventW(nullptr, FALSE, FALSE, u"Tiq");
    SetEvent(tiq);
    ASSERT_TRUE(qsxtest::WaitUntil([] { return gwes::ForegroundRequests().size() >= 2; }));
    CloseHandle(tiq);
    ASSERT_TRUE(gwes::Click(dlg, IDC_EXIT));
    EXPECT_EQ(Finish(), 0);
}

// The whole road of one setting: QSXPORT against the ports of an attached simulated
// adapter, through the device manager and the COM driver to the adapter, and back at the
// port's next open through QSXPDD.
class QsxPortOnAdapter : public qsxtest::AttachFixture {};

TEST_F(QsxPortOnAdapter, SavedInterfaceReachesThePortNowAndAtItsNextOpen) {
    gwes::ClearRecords();
    USB_HANDLE device = Plug(0x7045);
    struct Unplugger {
        USB_HANDLE device;
        ~Unplugger() { qsxtest::UnplugAndWait(device); }
    } unplugger{device};
    ASSERT_TRUE(standin::UsbHasClient(device));
    std::u16string commandLine;
    auto program = std::async(std::launch::async, [&] {
        return standin::RunProgram([&] { return RunQsxport(commandLine.data()); });
    });
    // Whatever happens below, the program is ended before the test returns.
    struct Closer {
        std::future<int> &program;
        ~Closer() {
            while (program.wait_for(100ms) != std::future_status::ready) {
                gwes::AnswerMessageBox(IDCANCEL);
                if (HWND d = gwes::WaitForWindow(kCaption, 100ms)) gwes::Click(d, IDC_EXIT);
            }
        }
    } closer{program};
    HWND dlg = gwes::WaitForWindow(kCaption, kBound);
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(gwes::Control(dlg, IDC_PORTS)->items,
              (std::vector<std::u16string>{u"COM11:", u"COM12:", u"COM13:", u"COM14:"}));
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_PORTS, u"COM12:"));
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_INTERFACE, u"RS-422"));
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_FIFO, u"FIFO Enable"));
    adapter_->ClearVendorLog();
    ASSERT_TRUE(gwes::Click(dlg, IDC_SAVE));
    ASSERT_TRUE(qsxtest::WaitUntil([] { return !gwes::MessageBoxes().empty(); }));
    gwes::MessageBoxRecord saved = gwes::MessageBoxes()[0];
    EXPECT_EQ(saved.text, u"Saved Ok!!");
    ASSERT_TRUE(gwes::AnswerMessageBox(IDOK, saved.box));
    ASSERT_TRUE(gwes::WaitClosed(saved.box, kBound));
    ASSERT_TRUE(gwes::Click(dlg, IDC_EXIT));
    ASSERT_EQ(program.wait_for(kBound), std::future_status::ready);

    // Applied at once: the utility's open of the port applies what was stored before, then
    // its device-control request sends RS-422 as request 16.
    auto log = adapter_->VendorLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().setup.bRequest, 0x10);
    EXPECT_EQ(log.back().setup.wValue, 2);
    EXPECT_EQ(log.back().setup.wIndex, 1);
    EXPECT_EQ(adapter_->InterfaceMode(1), 2);

    std::u16string entry;
    for (const auto &[key, name] : PortEntries())
        if (name == "COM12:") entry = key;
    ASSERT_FALSE(entry.empty());
    EXPECT_EQ(RegDword(entry, u"Interface"), 2u);
    EXPECT_EQ(RegDword(entry, u"FIFO"), 1u);
    const std::u16string config = kDriverKey + u"\\CONFIG\\COM12:";
    EXPECT_EQ(RegDword(config, u"Interface"), 2u);
    EXPECT_EQ(RegDword(config, u"FIFO"), 1u);
    EXPECT_EQ(RegDword(config, u"USBDevice"), 4608u);
    EXPECT_EQ(RegDword(config, u"Available"), 0u);

    // The next open of the port sends the stored FIFO and interface.
    adapter_->ClearVendorLog();
    HANDLE port = CreateFileW(u"$device\\COM12", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    log = adapter_->VendorLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].setup.bRequest, 0x0F);
    EXPECT_EQ(log[0].setup.wValue, 0);  // FIFO on
    EXPECT_EQ(log[1].setup.bRequest, 0x10);
    EXPECT_EQ(log[1].setup.wValue, 2);
    EXPECT_EQ(log[1].setup.wIndex, 1);
    CloseHandle(port);
}

}  // namespace
