// The terminal front end's picture of QSXPORT: the program runs with its real resources,
// keys go in through the same translation the ncurses loop uses, and the screen is read
// back as text and attributes, as a person at the terminal would see it.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <windows.h>

#include <standin/devmgr.h>
#include <standin/gwes.h>
#include <standin/kernel.h>
#include <standin/registry.h>
#include <standin/utf8.h>

#include <future>
#include <string>

#include "curses_frontend.h"
#include "resource.h"

// Last: only its key codes are wanted here.
#include <curses.h>

namespace gwes = standin::gwes;
namespace tui = qsxsim::tui;
using namespace std::chrono_literals;

namespace {

const std::u16string kCaption = u"Velmir Configuration Utility";
constexpr auto kBound = 10s;
constexpr int kWidth = 80, kHeight = 25;

// The text of the cells with `attr` set, row by row (rows joined with '|'), leaving out
// the status line.
std::string CellsWith(const tui::Screen &s, uint8_t attr) {
    std::string out;
    for (int row = 0; row + 1 < s.Height(); row++) {
        std::string line;
        for (int col = 0; col < s.Width(); col++)
            if (s.At(col, row).attr & attr) line += static_cast<char>(s.At(col, row).ch < 0x80 ? s.At(col, row).ch : '#');
        if (!line.empty()) out += (out.empty() ? "" : "|") + line;
    }
    return out;
}

// The port's device: saving opens it and sends the interface mode.
class QuietPort : public standin::StreamDevice {
public:
    DWORD_PTR Open(DWORD, DWORD) override { return 1; }
    void Close(DWORD_PTR) override {}
    DWORD Read(DWORD_PTR, void *, DWORD) override { return 0; }
    DWORD Write(DWORD_PTR, const void *, DWORD) override { return 0; }
    BOOL IOControl(DWORD_PTR, DWORD, const void *, DWORD, void *, DWORD, DWORD *) override { return TRUE; }
};

class TuiRenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin::ClearRegistry();
        gwes::ClearRecords();
        standin::SetTimeScale(0.001);  // discovery pauses two seconds
    }
    void TearDown() override {
        if (program_.valid()) {
            for (int i = 0; i < 5 && program_.wait_for(0s) != std::future_status::ready; i++) {
                gwes::AnswerMessageBox(IDCANCEL);
                gwes::AnswerMessageBox(IDOK);
                if (HWND d = gwes::WaitForWindow(u"Warning", 100ms)) gwes::PressEscape(d);
                if (HWND d = gwes::WaitForWindow(kCaption, 100ms)) gwes::Click(d, IDC_EXIT);
                program_.wait_for(1s);
            }
            EXPECT_EQ(program_.wait_for(kBound), std::future_status::ready);
        }
        if (device_) standin::DeregisterStreamDevice(device_);
        standin::SetTimeScale(1.0);
    }

    // One adapter port ("COM11:") as its driver registers it, with its device.
    void AddPort(DWORD productId) {
        const char16_t *name = u"COM11:";
        HKEY h;
        DWORD disposition;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\03", 0, nullptr, 0, 0, nullptr, &h,
                                  &disposition),
                  0);
        const std::u16string key = u"Drivers\\USB\\ClientDrivers\\QSX_PORT";
        RegSetValueExW(h, u"Key", 0, REG_SZ, reinterpret_cast<const BYTE *>(key.c_str()),
                       static_cast<DWORD>((key.size() + 1) * 2));
        RegSetValueExW(h, u"Name", 0, REG_SZ, reinterpret_cast<const BYTE *>(name),
                       static_cast<DWORD>((std::char_traits<char16_t>::length(name) + 1) * 2));
        const DWORD zero = 0;
        RegSetValueExW(h, u"USBPID", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&productId), 4);
        RegSetValueExW(h, u"Interface", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&zero), 4);
        RegSetValueExW(h, u"FIFO", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&zero), 4);
        RegCloseKey(h);
        device_ = standin::RegisterStreamDevice(u"COM11", true, key, std::make_shared<QuietPort>(), nullptr);
        ASSERT_NE(device_, nullptr);
    }

    HWND Start() {
        program_ = std::async(std::launch::async, [] {
            return standin::RunProgram([] { return WinMain(gwes::ProgramInstance(), nullptr, nullptr, SW_SHOW); });
        });
        HWND dlg = gwes::WaitForWindow(kCaption, kBound);
        if (dlg) {
            EXPECT_TRUE(gwes::WaitIdle(dlg, kBound));
        }
        return dlg;
    }

    // A key as the ncurses loop passes it on; waits until the window on top took it.
    void Key(int cursesKey) {
        const gwes::WindowInfo top = gwes::TopWindows().back();
        EXPECT_EQ(tui::HandleKey(cursesKey, [this] { quits_++; }).kind, tui::KeyAction::kFeed);
        if (top.kind == gwes::WindowKind::kMessageBox) {
            // A box takes its keys at once; wait only when one answered it.
            if (cursesKey == '\n' || cursesKey == ' ') {
                EXPECT_TRUE(gwes::WaitClosed(top.hwnd, kBound));
            }
        } else {
            // A key that ends a dialog leaves nothing to wait for.
            EXPECT_TRUE(gwes::WaitIdle(top.hwnd, kBound) || !gwes::Describe(top.hwnd));
        }
    }

    static tui::Screen Shot() {
        tui::View view;
        view.windows = gwes::TopWindows();
        view.cursor = gwes::CurrentCursor();
        return tui::RenderScreen(view, kWidth, kHeight);
    }

    // The message box on top, titled "Warning" as all of QSXPORT's questions are.
    static HWND WaitForBox() {
        HWND box = gwes::WaitForWindow(u"Warning", kBound);
        const auto info = box ? gwes::Describe(box) : std::nullopt;
        EXPECT_TRUE(info && info->kind == gwes::WindowKind::kMessageBox) << "no message box came";
        return box;
    }

    int Finish() {
        EXPECT_EQ(program_.wait_for(kBound), std::future_status::ready);
        return program_.get();
    }

    std::future<int> program_;
    HANDLE device_ = nullptr;
    int quits_ = 0;
};

TEST_F(TuiRenderTest, MainDialogIsDrawnAndKeysMoveFocusOpenListsAndAnswerTheSaveQuestion) {
    AddPort(0x7045);
    HWND dlg = Start();
    ASSERT_NE(dlg, nullptr);

    tui::Screen s = Shot();
    SCOPED_TRACE(s.Text());
    // The dialog is centred, its caption on the top border.
    auto caption = s.Find("Velmir Configuration Utility");
    ASSERT_TRUE(caption);
    const auto left = s.Find("\u250C");
    ASSERT_TRUE(left);
    EXPECT_EQ(left->row, caption->row);
    int right = kWidth - 1;
    while (s.At(right, caption->row).ch != U'\u2510') right--;
    EXPECT_LE(std::abs(left->col - (kWidth - 1 - right)), 1) << "not centred";
    EXPECT_TRUE(s.Find("[X]")) << "the caption's close button";
    // The controls, each on its row: labels beside their combo boxes.
    const auto ports = s.Find("Ports");
    const auto portsCombo = s.Find("[COM11:");
    ASSERT_TRUE(ports && portsCombo);
    EXPECT_EQ(ports->row, portsCombo->row);
    EXPECT_EQ(s.Find("Interface")->row, s.Find("[RS-232")->row);
    EXPECT_EQ(s.Find("FIFO")->row, s.Find("[FIFO Disable")->row);
    EXPECT_TRUE(s.Find("\u250C\u2500 Velmir 7045 -- COM11:")) << "the group box with its text";
    EXPECT_TRUE(s.Find("[ ] Apply All Ports"));
    const auto save = s.Find("[ Save ]"), exitButton = s.Find("[ Exit ]");
    ASSERT_TRUE(save && exitButton);
    EXPECT_EQ(save->row, exitButton->row);
    EXPECT_GT(save->row, s.Find("Apply All Ports")->row);
    EXPECT_TRUE(s.Lines().back().starts_with("F10 close, back to the console")) << "the key help";
    EXPECT_EQ(CellsWith(s, tui::kAttrDim), "") << "nothing is disabled";
    // The utility's initialisation returns FALSE and sets no focus: nothing has it.
    EXPECT_EQ(CellsWith(s, tui::kAttrReverse), "");

    // Tab walks the tab stops from the first; Shift-Tab walks back.
    Key('\t');
    std::vector<std::string> focus{CellsWith(Shot(), tui::kAttrReverse)};
    EXPECT_EQ(focus[0], "[COM11:      v]");
    for (int i = 0; i < 6; i++) {
        Key('\t');
        focus.push_back(CellsWith(Shot(), tui::kAttrReverse));
    }
    EXPECT_EQ(focus[6], focus[0]) << "six tab stops, then round again";
    EXPECT_NE(std::find(focus.begin(), focus.end(), "[ Save ]"), focus.end());
    EXPECT_NE(std::find(focus.begin(), focus.end(), "[ ] Apply All Ports"), focus.end());
    Key(KEY_BTAB);
    EXPECT_EQ(CellsWith(Shot(), tui::kAttrReverse), focus[5]);

    // To the interface box; F4 opens its list under it, Down moves the highlight, Esc
    // closes it unchanged.
    while (CellsWith(Shot(), tui::kAttrReverse).rfind("[RS-232", 0) != 0) Key('\t');
    Key(KEY_F(4));
    s = Shot();
    const auto combo = s.Find("[RS-232");
    ASSERT_TRUE(combo);
    EXPECT_EQ(s.Find("RS-485 2W")->row, combo->row + 2);
    EXPECT_EQ(s.Find("RS-485 4W")->row, combo->row + 4);
    EXPECT_EQ(s.At(combo->col + 1, combo->row + 1).attr & tui::kAttrReverse, tui::kAttrReverse)
        << "the highlight starts on the selection\n" << s.Text();
    Key(KEY_DOWN);
    s = Shot();
    EXPECT_NE(CellsWith(s, tui::kAttrReverse).find("RS-485 2W"), std::string::npos) << s.Text();
    Key(27);
    s = Shot();
    EXPECT_FALSE(s.Find("RS-485 2W")) << s.Text();
    EXPECT_TRUE(s.Find("[RS-232"));

    // Open again and pick with Enter: the edit makes Enter on the closed box (the
    // default button's key, Exit's here) ask to save.
    Key(KEY_F(4));
    Key(KEY_DOWN);
    Key('\n');
    s = Shot();
    EXPECT_TRUE(s.Find("[RS-485 2W")) << s.Text();
    EXPECT_FALSE(s.Find("RS-422")) << "the list is closed";
    Key('\n');
    HWND box = WaitForBox();
    ASSERT_NE(box, nullptr);
    s = Shot();
    EXPECT_TRUE(s.Find("Save configuration settings?")) << s.Text();
    EXPECT_EQ(s.Find("[ OK ]")->row, s.Find("[ Cancel ]")->row);
    EXPECT_EQ(CellsWith(s, tui::kAttrReverse), "[ OK ]") << "the box's first button has the focus";
    const auto title = s.Find("Warning");
    ASSERT_TRUE(title);
    EXPECT_EQ(s.At(caption->col, caption->row).attr & tui::kAttrDim, tui::kAttrDim) << "the owner is disabled";
    EXPECT_EQ(s.At(title->col, title->row).attr & tui::kAttrDim, 0);

    // F10 asks the owner to quit and feeds nothing.
    EXPECT_EQ(tui::HandleKey(KEY_F(10), [this] { quits_++; }).kind, tui::KeyAction::kQuit);
    EXPECT_EQ(quits_, 1);
    Key('\t');
    EXPECT_EQ(CellsWith(Shot(), tui::kAttrReverse), "[ Cancel ]");
    Key('\n');
    EXPECT_EQ(Finish(), 0);
    EXPECT_EQ(gwes::MessageBoxes().back().answer, IDCANCEL);
}

TEST_F(TuiRenderTest, WarningDialogHidesItsButtonsAndABusySaveShowsTheMarker) {
    AddPort(0x7040);  // RS-232 only
    HWND dlg = Start();
    ASSERT_NE(dlg, nullptr);
    const auto focusTo = [&](const std::string &prefix) {
        for (int i = 0; i < 6 && CellsWith(Shot(), tui::kAttrReverse).rfind(prefix, 0) != 0; i++) Key('\t');
        ASSERT_EQ(CellsWith(Shot(), tui::kAttrReverse).rfind(prefix, 0), 0u) << prefix;
    };
    focusTo("[RS-232");
    Key(KEY_DOWN);
    Key(KEY_DOWN);  // RS-422, by the arrows on the closed box
    focusTo("[ Save ]");
    Key('\n');
    HWND warning = gwes::WaitForWindow(u"Warning", kBound);
    ASSERT_NE(warning, nullptr);
    ASSERT_TRUE(gwes::WaitIdle(warning, kBound));
    tui::Screen s = Shot();
    SCOPED_TRACE(s.Text());
    const auto text = s.Find("COM11: Velmir 7040 supports RS-232");
    ASSERT_TRUE(text) << "the text wraps in its rectangle";
    EXPECT_EQ(s.Find("only.")->row, text->row + 1);
    EXPECT_TRUE(s.Find("[OK]")) << "the caption's OK button";
    EXPECT_FALSE(s.Find("[[ OK ]]")) << "buttons below the client area are not drawn";
    EXPECT_FALSE(s.Find("Cancel"));
    Key('\n');
    ASSERT_TRUE(gwes::WaitClosed(warning, kBound));

    // An all-ports save is busy while its refusal shows.
    focusTo("[ ] Apply All Ports");
    Key(' ');
    focusTo("[RS-232");
    Key(KEY_DOWN);
    focusTo("[ Save ]");
    Key(' ');
    HWND box = WaitForBox();
    ASSERT_NE(box, nullptr);
    s = Shot();
    EXPECT_TRUE(s.Find("[x] Apply All Ports")) << s.Text();
    EXPECT_TRUE(s.Find("COM11: are only support RS-232")) << s.Text();
    EXPECT_TRUE(s.Lines().back().ends_with(" busy ")) << s.Text();
    Key('\n');
    // The answer runs on the dialog's thread; the cursor is restored once the box is gone.
    ASSERT_TRUE(standin::gwes::WaitClosed(box, std::chrono::seconds(10)));
    bool idle = false;
    for (int i = 0; i < 1000 && !idle; i++) {
        idle = !Shot().Lines().back().ends_with(" busy ");
        if (!idle) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(idle) << Shot().Text();
    Key(27);
    EXPECT_EQ(Finish(), 0);
}

// F10 and Ctrl-Q close the utility at once from any of its windows: the owner posts a
// quit, which ends every dialog and box, answered so that nothing is saved.
TEST_F(TuiRenderTest, QuitKeysCloseTheUtilityFromAnyOfItsWindowsWithoutSaving) {
    AddPort(0x7040);  // RS-232 only: a save of RS-422 shows the warning dialog
    std::string config;  // the configuration keys as discovery writes them
    const auto quit = [] { gwes::PostQuit(); };
    const struct {
        const char *where;
        int key;
        std::vector<int> keys;   // from the main dialog with no focus
        const char16_t *title;   // the window on top when the key comes
    } cases[] = {
        {"the main dialog", KEY_F(10), {}, kCaption.c_str()},
        {"the save question", 'Q' & 0x1F, {'\t', '\t', KEY_DOWN, 27}, u"Warning"},
        {"the warning dialog", KEY_F(10), {'\t', '\t', KEY_DOWN, KEY_DOWN, '\t', '\t', '\n'}, u"Warning"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.where);
        gwes::ClearRecords();
        ASSERT_NE(Start(), nullptr);
        if (config.empty()) config = standin::DumpRegistry(HKEY_LOCAL_MACHINE, u"Drivers\\USB");
        for (int k : c.keys) Key(k);
        HWND top = gwes::WaitForWindow(c.title, kBound);
        ASSERT_NE(top, nullptr);
        ASSERT_TRUE(gwes::WaitIdle(top, kBound));
        EXPECT_EQ(tui::HandleKey(c.key, quit).kind, tui::KeyAction::kQuit);
        EXPECT_EQ(Finish(), 0);
        EXPECT_TRUE(gwes::TopWindows().empty());
        for (const auto &box : gwes::MessageBoxes()) EXPECT_NE(box.answer, IDOK) << "nothing answered OK";
        EXPECT_EQ(standin::DumpRegistry(HKEY_LOCAL_MACHINE, u"Drivers\\USB"), config) << "nothing saved";
    }
    EXPECT_FALSE(gwes::PostQuit()) << "no program left to close";
}

// A dialog drawn while its initialisation still runs (QSXPORT's discovery takes seconds)
// is marked busy; a long list shows where it scrolls and answers Home, End, Page Up and
// Page Down, closed or open. QSXPORT's own template, with a procedure that lists 16 ports.
TEST_F(TuiRenderTest, BusyInitialisationAndALongListThatScrolls) {
    static std::promise<void> filled, release;
    filled = {};
    release = {};
    static const DLGPROC proc = [](HWND dlg, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg != WM_INITDIALOG) return FALSE;
        for (int n = 11; n <= 26; n++) {
            const std::u16string name = u"COM" + std::u16string(1, static_cast<char16_t>(u'0' + n / 10)) +
                                        std::u16string(1, static_cast<char16_t>(u'0' + n % 10)) + u":";
            SendDlgItemMessageW(dlg, IDC_PORTS, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
        }
        SendDlgItemMessageW(dlg, IDC_PORTS, CB_SETCURSEL, 0, 0);
        SetFocus(GetDlgItem(dlg, IDC_PORTS));
        filled.set_value();
        release.get_future().wait();
        return FALSE;  // keeps the focus it set
    };
    program_ = std::async(std::launch::async, [] {
        HRSRC found = FindResourceW(gwes::ProgramInstance(), u"QSXPORT", RT_DIALOG);
        const auto *tmpl = static_cast<LPCDLGTEMPLATEW>(LoadResource(gwes::ProgramInstance(), found));
        return static_cast<int>(DialogBoxIndirectParamW(gwes::ProgramInstance(), tmpl, nullptr, proc, 0));
    });
    ASSERT_EQ(filled.get_future().wait_for(kBound), std::future_status::ready);
    tui::Screen s = Shot();
    const auto caption = s.Find("Velmir Configuration Utility"), mark = s.Find(" busy ");
    ASSERT_TRUE(caption && mark) << s.Text();
    EXPECT_EQ(mark->row, caption->row) << "on the dialog's top border\n" << s.Text();
    EXPECT_TRUE(s.Find("[COM11:")) << "what the initialisation filled in so far\n" << s.Text();
    EXPECT_TRUE(s.Lines().back().ends_with(" busy ")) << s.Text();
    EXPECT_FALSE(gwes::FeedKey(gwes::Key::kTab)) << "it takes no keys yet";
    release.set_value();
    HWND dlg = gwes::WaitForWindow(kCaption, kBound);
    ASSERT_NE(dlg, nullptr);
    ASSERT_TRUE(gwes::WaitIdle(dlg, kBound));
    s = Shot();
    EXPECT_FALSE(s.Find(" busy ")) << s.Text();
    EXPECT_EQ(CellsWith(s, tui::kAttrReverse), "[COM11:      v]") << "the focus the procedure set";

    // Closed: the ends and pages are one key away (a page is the five rows the list shows).
    const auto shown = [] { return gwes::Control(gwes::WaitForWindow(kCaption, kBound), IDC_PORTS)->selection; };
    Key(KEY_END);
    EXPECT_EQ(shown(), 15);
    Key(KEY_PPAGE);
    EXPECT_EQ(shown(), 10);
    Key(KEY_HOME);
    EXPECT_EQ(shown(), 0);
    Key(KEY_NPAGE);
    EXPECT_EQ(shown(), 5);

    // Open: five rows, with a mark on the edge where more items lie above or below.
    const auto list = [] {
        const tui::Screen screen = Shot();
        const auto combo = screen.Find("[COM");
        std::vector<std::string> out;
        for (int r = combo->row + 1; r <= combo->row + 5; r++) {
            std::string line;
            for (int col = combo->col; col < combo->col + 15; col++) standin::AppendUtf8(line, screen.At(col, r).ch);
            out.push_back(line);
        }
        return out;
    };
    const auto rows = [](int first, bool above, bool below) {
        std::vector<std::string> out;
        for (int n = first; n < first + 5; n++) {
            const char *edge = n == first && above ? "\u25B2" : n == first + 4 && below ? "\u25BC" : "\u2502";
            out.push_back("\u2502COM" + std::to_string(n) + ":       " + edge);
        }
        return out;
    };
    Key(KEY_F(4));
    EXPECT_EQ(list(), rows(16, true, true)) << "opened on the selection" << Shot().Text();
    Key(KEY_END);
    EXPECT_EQ(list(), rows(22, true, false)) << Shot().Text();
    Key(KEY_HOME);
    EXPECT_EQ(list(), rows(11, false, true)) << Shot().Text();
    Key(KEY_NPAGE);  // the highlight goes a page down, the list scrolls only to show it
    EXPECT_EQ(list(), rows(12, true, true)) << Shot().Text();
    EXPECT_EQ(gwes::Control(dlg, IDC_PORTS)->highlight, 5);
    Key('\n');
    EXPECT_FALSE(gwes::Control(dlg, IDC_PORTS)->dropped);
    EXPECT_EQ(shown(), 5);

    EXPECT_TRUE(gwes::PostQuit(dlg));
    EXPECT_EQ(Finish(), 0);
}

// Narrow screens and long texts: everything stays inside the screen and text wraps.
TEST(TuiLayout, MessageBoxWrapsAndFitsSmallScreens) {
    gwes::WindowInfo box;
    box.kind = gwes::WindowKind::kMessageBox;
    box.shown = box.enabled = true;
    box.title = u"Message";
    box.text = u"A rather long message that cannot fit on one line of a narrow terminal\r\n";
    box.buttons = {IDYES, IDNO};
    box.focusedButton = 1;
    for (int width : {30, 80}) {
        SCOPED_TRACE(width);
        const tui::Screen s = tui::RenderScreen({{box}, 32512, ""}, width, 12);
        EXPECT_TRUE(s.Find("A rather long")) << s.Text();
        EXPECT_TRUE(s.Find("terminal")) << s.Text();
        EXPECT_EQ(CellsWith(s, tui::kAttrReverse), "[ No ]");
        if (width == 30) {
            EXPECT_NE(s.Find("A rather long")->row, s.Find("terminal")->row);
        }
    }
    const tui::Screen tiny = tui::RenderScreen({{box}, 32512, ""}, 3, 1);
    EXPECT_EQ(tiny.Lines().size(), 1u);
}

}  // namespace
