// The dialog manager through the platform API, driven as a user would through the headless
// front end: the utility's real resources (dialog templates, strings, icon), the test
// dialog of gwes_test.rc, messages across threads, message boxes, keys, and the resource
// compiler's errors on malformed scripts.
#include <windows.h>

#include <notify.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../ce/src/gwes_internal.h"
#include "../utility/resource.h"
#include "gwes_test.h"
#include "rcparse.h"
#include "standin/gwes.h"

namespace gwes = standin::gwes;
using namespace std::chrono_literals;

namespace {

// Generous bound for things that should happen at once; only reached when broken.
constexpr auto kBound = 10s;
constexpr UINT kForegroundMessage = WM_USER + 100;
constexpr INT_PTR kEnterResult = 41;
constexpr INT_PTR kEscapeResult = 42;

struct Message {
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    std::thread::id thread;
};

// One modal dialog run on a thread of its own, as the program's dialog thread. Its
// procedure records every message, fills the test dialog's combo boxes, ends the dialog
// on IDOK / IDCANCEL and answers kForegroundMessage with twice its lParam; `hook` runs
// first and may take a message over.
class DialogRun {
public:
    using Hook = std::function<std::optional<INT_PTR>(HWND, UINT, WPARAM, LPARAM)>;

    DialogRun(LPCWSTR templateName, std::u16string title, Hook hook = {}, HWND owner = nullptr)
        : hook_(std::move(hook)) {
        thread_ = std::thread([this, templateName, owner] {
            result_ = DialogBoxParamW(gwes::ProgramInstance(), templateName, owner, Proc,
                                      reinterpret_cast<LPARAM>(this));
            std::lock_guard lock(mutex_);
            done_ = true;
            doneChanged_.notify_all();
        });
        hwnd_ = gwes::WaitForWindow(title, kBound);
    }
    // A test that failed half-way may leave boxes and dialogs open: close them all.
    ~DialogRun() {
        if (!thread_.joinable()) return;
        for (int round = 0; round < 100; ++round) {
            {
                std::unique_lock lock(mutex_);
                if (done_) break;
            }
            for (const auto &w : gwes::TopWindows()) {
                if (w.kind == gwes::WindowKind::kMessageBox) gwes::AnswerMessageBox(w.buttons.front(), w.hwnd);
                else EndDialog(w.hwnd, -2);
            }
            std::unique_lock lock(mutex_);
            doneChanged_.wait_for(lock, 100ms, [this] { return done_; });
        }
        thread_.join();
    }

    HWND hwnd() const { return hwnd_; }
    std::thread::id dialogThread() const { return thread_.get_id(); }

    INT_PTR Join() {
        thread_.join();
        return result_;
    }
    bool Idle() const { return gwes::WaitIdle(hwnd_, kBound); }

    // WM_COMMAND messages seen so far, as (id, notification code).
    std::vector<std::pair<int, int>> Commands() const {
        std::lock_guard lock(mutex_);
        std::vector<std::pair<int, int>> commands;
        for (const Message &m : messages_) {
            if (m.msg == WM_COMMAND) commands.emplace_back(LOWORD(m.wParam), HIWORD(m.wParam));
        }
        return commands;
    }
    std::vector<Message> Messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    void ClearMessages() {
        std::lock_guard lock(mutex_);
        messages_.clear();
    }

private:
    static std::mutex &RunsMutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::map<HWND, DialogRun *> &Runs() {
        static std::map<HWND, DialogRun *> runs;
        return runs;
    }

    static INT_PTR CALLBACK Proc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam) {
        DialogRun *run = nullptr;
        {
            std::lock_guard lock(RunsMutex());
            if (msg == WM_INITDIALOG) Runs()[hDlg] = reinterpret_cast<DialogRun *>(lParam);
            run = Runs().count(hDlg) ? Runs()[hDlg] : nullptr;
        }
        return run ? run->Handle(hDlg, msg, wParam, lParam) : FALSE;
    }

    INT_PTR Handle(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam) {
        {
            std::lock_guard lock(mutex_);
            messages_.push_back(Message{msg, wParam, lParam, std::this_thread::get_id()});
        }
        if (hook_) {
            if (auto handled = hook_(hDlg, msg, wParam, lParam)) return *handled;
        }
        switch (msg) {
            case WM_INITDIALOG:
                for (LPCWSTR item : {u"zeta", u"alpha", u"mid"}) {
                    SendDlgItemMessageW(hDlg, IDC_T_LIST, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
                    SendDlgItemMessageW(hDlg, IDC_T_SORTED, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
                }
                return TRUE;
            case WM_COMMAND:
                if (LOWORD(wParam) == IDOK) EndDialog(hDlg, kEnterResult);
                if (LOWORD(wParam) == IDCANCEL) EndDialog(hDlg, kEscapeResult);
                return TRUE;
            case kForegroundMessage: return lParam * 2;
        }
        return FALSE;
    }

    Hook hook_;
    std::thread thread_;
    HWND hwnd_ = nullptr;
    INT_PTR result_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable doneChanged_;
    bool done_ = false;
    std::vector<Message> messages_;
};

class Gwes : public ::testing::Test {
protected:
    void SetUp() override { gwes::ClearRecords(); }
    void TearDown() override {
        // Every test closes what it opened.
        EXPECT_TRUE(gwes::TopWindows().empty());
        gwes::ClearRecords();
    }
};

// ---- the utility's resources ------------------------------------------------------------------

struct ExpectedControl {
    int id;
    const char16_t *className;
    DWORD style;
    gwes::Rect rect;
    const char16_t *text;
};

TEST_F(Gwes, MainDialogTemplateHasEveryControlAsWritten) {
    constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
    constexpr DWORD kCombo = kChild | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
    const ExpectedControl expected[] = {
        {IDC_PORTS, u"ComboBox", kCombo, {68, 9, 59, 57}, u""},
        {IDC_INTERFACE, u"ComboBox", kCombo, {68, 45, 60, 60}, u""},
        {IDC_INTERFACE_LABEL, u"Static", kChild | SS_LEFT | WS_GROUP, {29, 49, 30, 8}, u"Interface"},
        {IDC_PORTS_LABEL, u"Static", kChild | SS_LEFT | WS_GROUP, {39, 11, 18, 8}, u"Ports"},
        {IDC_APPLYALL, u"Button", kChild | BS_AUTOCHECKBOX | WS_TABSTOP, {17, 92, 63, 10}, u"Apply All Ports"},
        {IDC_SAVE, u"Button", kChild | BS_PUSHBUTTON | WS_TABSTOP, {31, 111, 29, 14}, u"Save"},
        {IDC_EXIT, u"Button", kChild | BS_PUSHBUTTON | WS_TABSTOP, {94, 111, 29, 14}, u"Exit"},
        {IDC_FIFO_LABEL, u"Static", kChild | SS_LEFT | WS_GROUP, {41, 71, 17, 8}, u"FIFO"},
        {IDC_FIFO, u"ComboBox", kCombo, {67, 68, 60, 60}, u""},
        {IDC_MODEL, u"Button", kChild | BS_GROUPBOX, {17, 31, 127, 56}, u"COM2:"},
    };
    DialogRun run(u"qsxport", u"Velmir Configuration Utility");  // names ignore case
    ASSERT_NE(run.hwnd(), nullptr);
    const auto info = gwes::Describe(run.hwnd());
    ASSERT_TRUE(info);
    // Visible, caption bar and system menu, centred, modal frame; not a pop-up.
    EXPECT_EQ(info->style, DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_VISIBLE | WS_CAPTION | WS_SYSMENU);
    EXPECT_FALSE(info->style & WS_POPUP);
    EXPECT_EQ(info->exStyle, 0u);
    EXPECT_EQ(info->fontName, u"System");
    EXPECT_EQ(info->fontPointSize, 8);
    EXPECT_EQ(std::make_tuple(info->rect.x, info->rect.y, info->rect.cx, info->rect.cy), std::make_tuple(25, 5, 157, 137));
    ASSERT_EQ(info->controls.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const auto &c = info->controls[i];
        const ExpectedControl &e = expected[i];
        SCOPED_TRACE(e.id);
        EXPECT_EQ(c.id, e.id);
        EXPECT_EQ(c.className, e.className);
        EXPECT_EQ(c.style, e.style);
        EXPECT_EQ(std::make_tuple(c.rect.x, c.rect.y, c.rect.cx, c.rect.cy),
                  std::make_tuple(e.rect.x, e.rect.y, e.rect.cx, e.rect.cy));
        EXPECT_EQ(c.text, e.text);
        EXPECT_TRUE(c.reachable);
    }
    EXPECT_TRUE(gwes::PressEscape(run.hwnd()));
    EXPECT_EQ(run.Join(), kEscapeResult);
}

TEST_F(Gwes, WarningTemplateBytesFollowTheDialogTemplateLayout) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(IDD_WARNING), RT_DIALOG);
    ASSERT_NE(found, nullptr);
    const auto *bytes = static_cast<const BYTE *>(LockResource(LoadResource(nullptr, found)));
    ASSERT_NE(bytes, nullptr);
    // Header 18, no menu or class (2 + 2), "Warning" (16), 10 pt "System" (2 + 14); then
    // three DWORD-aligned items of 18 bytes, class atom (4), text and an empty extra word.
    EXPECT_EQ(SizeofResource(nullptr, found), 166u);
    DLGTEMPLATE header;
    std::memcpy(&header, bytes, sizeof header);
    EXPECT_EQ(header.style, DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION);
    EXPECT_EQ(header.dwExtendedStyle, static_cast<DWORD>(WS_EX_CAPTIONOKBTN));
    EXPECT_EQ(header.cdit, 3);
    EXPECT_EQ(std::make_tuple(header.x, header.y, header.cx, header.cy), std::make_tuple(25, 5, 150, 45));
    struct Item {
        size_t offset;
        DWORD style;
        short x, y, cx, cy;
        WORD id;
    };
    const Item items[] = {
        {56, WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON | WS_TABSTOP, 79, 73, 50, 14, IDOK},
        {88, WS_CHILD | BS_PUSHBUTTON | WS_TABSTOP, 7, 73, 50, 14, IDCANCEL},
        {128, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP, 7, 7, 140, 21, IDC_WARNING_TEXT},
    };
    for (const Item &e : items) {
        DLGITEMTEMPLATE item;
        std::memcpy(&item, bytes + e.offset, sizeof item);
        EXPECT_EQ(item.style, e.style);
        EXPECT_EQ(std::make_tuple(item.x, item.y, item.cx, item.cy, item.id),
                  std::make_tuple(e.x, e.y, e.cx, e.cy, e.id));
    }
}

TEST_F(Gwes, StringTableHoldsTheTextsExactly) {
    const std::pair<UINT, std::u16string> strings[] = {
        {IDS_SAVE_QUESTION, u"Save configuration settings?\r\n"},
        {IDS_ONLY_RS232_7040, u"%s Velmir 7040 supports RS-232 only.\r\n"},
        {IDS_ONLY_RS232_7160_8, u"%s Velmir 7160-8 supports RS-232 only.\r\n"},
        {IDS_ONLY_RS232_7160_16, u"%s Velmir 7160-16 supports RS-232 only.\r\n"},
    };
    for (const auto &[id, text] : strings) {
        WCHAR buffer[128];
        EXPECT_EQ(LoadStringW(gwes::ProgramInstance(), id, buffer, 128), static_cast<int>(text.size()));
        EXPECT_EQ(std::u16string(buffer), text);
    }
    // Truncated to the buffer, terminated; an id nobody defined gives 0 and an empty text.
    WCHAR small[5];
    EXPECT_EQ(LoadStringW(nullptr, IDS_SAVE_QUESTION, small, 5), 4);
    EXPECT_EQ(std::u16string(small), u"Save");
    WCHAR none[8] = u"xxxxxxx";
    EXPECT_EQ(LoadStringW(nullptr, IDS_ONLY_RS232_7160_16 + 1, none, 8), 0);
    EXPECT_EQ(none[0], 0);
    // A handle that names no module finds nothing.
    EXPECT_EQ(FindResourceW(reinterpret_cast<HMODULE>(uintptr_t{0x5550000}), u"QSXPORT", RT_DIALOG), nullptr);
}

TEST_F(Gwes, IconGroupHasThreeImages) {
    HRSRC group = FindResourceW(nullptr, MAKEINTRESOURCEW(IDI_QSXPORT), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    const auto *dir = static_cast<const BYTE *>(LoadResource(nullptr, group));
    ASSERT_EQ(SizeofResource(nullptr, group), 6u + 3 * 14);
    auto u16 = [](const BYTE *p) { return static_cast<unsigned>(p[0] | p[1] << 8); };
    EXPECT_EQ(u16(dir + 2), 1u);  // icons
    EXPECT_EQ(u16(dir + 4), 3u);
    struct Image {
        unsigned size, colours, bits;
    };
    const Image images[] = {{32, 4, 2}, {32, 16, 4}, {16, 4, 2}};
    for (size_t i = 0; i < 3; ++i) {
        const BYTE *e = dir + 6 + 14 * i;
        EXPECT_EQ(e[0], images[i].size);
        EXPECT_EQ(e[1], images[i].size);
        EXPECT_EQ(e[2], images[i].colours);
        EXPECT_EQ(u16(e + 6), images[i].bits);
        const unsigned length = u16(e + 8) | u16(e + 10) << 16;
        HRSRC icon = FindResourceW(nullptr, MAKEINTRESOURCEW(u16(e + 12)), RT_ICON);
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ(SizeofResource(nullptr, icon), length);
        // Each image is a bitmap header (40 bytes) with the height doubled for the mask.
        const auto *bitmap = static_cast<const BYTE *>(LoadResource(nullptr, icon));
        EXPECT_EQ(u16(bitmap), 40u);
        EXPECT_EQ(u16(bitmap + 4), images[i].size);
        EXPECT_EQ(u16(bitmap + 8), images[i].size * 2);
        EXPECT_EQ(u16(bitmap + 14), images[i].bits);
    }
}

// ---- acting on the test dialog -----------------------------------------------------------------

TEST_F(Gwes, ComboBoxesKeepInsertionOrderUnlessSortedAndOnlyUserPicksNotify) {
    DialogRun run(u"GWESTEST", u"Gwes Test");
    const HWND dlg = run.hwnd();
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(gwes::Control(dlg, IDC_T_LIST)->items, (std::vector<std::u16string>{u"zeta", u"alpha", u"mid"}));
    EXPECT_EQ(gwes::Control(dlg, IDC_T_SORTED)->items, (std::vector<std::u16string>{u"alpha", u"mid", u"zeta"}));

    run.ClearMessages();
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_T_LIST, 1));
    ASSERT_TRUE(run.Idle());
    EXPECT_EQ(run.Commands(), (std::vector<std::pair<int, int>>{{IDC_T_LIST, CBN_DROPDOWN},
                                                                 {IDC_T_LIST, CBN_SELCHANGE},
                                                                 {IDC_T_LIST, CBN_SELENDOK},
                                                                 {IDC_T_LIST, CBN_CLOSEUP}}));
    for (const Message &m : run.Messages()) {
        EXPECT_EQ(m.lParam, reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDC_T_LIST)));
        EXPECT_EQ(m.thread, run.dialogThread());
    }
    EXPECT_EQ(gwes::Control(dlg, IDC_T_LIST)->selection, 1);
    EXPECT_EQ(gwes::Control(dlg, IDC_T_LIST)->text, u"alpha");

    // The program's own CB_SETCURSEL (sent here from another thread) changes the
    // selection without a notification.
    run.ClearMessages();
    EXPECT_EQ(SendDlgItemMessageW(dlg, IDC_T_LIST, CB_SETCURSEL, 2, 0), 2);
    EXPECT_EQ(SendDlgItemMessageW(dlg, IDC_T_LIST, CB_GETCURSEL, 0, 0), 2);
    WCHAR text[16];
    EXPECT_EQ(SendDlgItemMessageW(dlg, IDC_T_LIST, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text)), 4);
    EXPECT_EQ(std::u16string(text), u"zeta");
    EXPECT_EQ(SendDlgItemMessageW(dlg, IDC_T_LIST, CB_SETCURSEL, 7, 0), CB_ERR);
    EXPECT_EQ(SendDlgItemMessageW(dlg, IDC_T_LIST, CB_GETCURSEL, 0, 0), CB_ERR);
    // Deleting below the selection moves it down with its item.
    SendDlgItemMessageW(dlg, IDC_T_LIST, CB_SETCURSEL, 2, 0);
    EXPECT_EQ(SendDlgItemMessageW(dlg, IDC_T_LIST, CB_DELETESTRING, 0, 0), 2);
    EXPECT_EQ(SendDlgItemMessageW(dlg, IDC_T_LIST, CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(SendDlgItemMessageW(dlg, IDC_T_LIST, CB_DELETESTRING, 5, 0), CB_ERR);
    ASSERT_TRUE(run.Idle());
    EXPECT_TRUE(run.Commands().empty());

    // A pick by text; items or indexes that do not exist are refused.
    ASSERT_TRUE(gwes::SelectComboItem(dlg, IDC_T_SORTED, u"mid"));
    EXPECT_FALSE(gwes::SelectComboItem(dlg, IDC_T_SORTED, u"MID"));
    EXPECT_FALSE(gwes::SelectComboItem(dlg, IDC_T_SORTED, 3));
    EXPECT_FALSE(gwes::SelectComboItem(dlg, IDC_T_CHECK, 0));
    ASSERT_TRUE(run.Idle());
    EXPECT_EQ(gwes::Control(dlg, IDC_T_SORTED)->selection, 1);
    EXPECT_EQ(run.Commands().size(), 4u);
    EXPECT_TRUE(gwes::PressEscape(dlg));
    EXPECT_EQ(run.Join(), kEscapeResult);
}

TEST_F(Gwes, ClicksReachOnlyWhatTheUserCanReach) {
    DialogRun run(u"GWESTEST", u"Gwes Test");
    const HWND dlg = run.hwnd();
    ASSERT_NE(dlg, nullptr);
    run.ClearMessages();
    ASSERT_TRUE(gwes::ToggleCheckBox(dlg, IDC_T_CHECK));
    ASSERT_TRUE(run.Idle());
    EXPECT_EQ(SendDlgItemMessageW(dlg, IDC_T_CHECK, BM_GETCHECK, 0, 0), BST_CHECKED);
    ASSERT_TRUE(gwes::Click(dlg, IDC_T_CHECK));
    ASSERT_TRUE(gwes::Click(dlg, IDC_T_GO));
    ASSERT_TRUE(run.Idle());
    EXPECT_EQ(SendDlgItemMessageW(dlg, IDC_T_CHECK, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(run.Commands(), (std::vector<std::pair<int, int>>{
                                  {IDC_T_CHECK, BN_CLICKED}, {IDC_T_CHECK, BN_CLICKED}, {IDC_T_GO, BN_CLICKED}}));
    // Hidden, outside the client area, static text, a push button as a check box, no
    // such control: nothing happens.
    EXPECT_FALSE(gwes::Click(dlg, IDC_T_HIDDEN));
    EXPECT_FALSE(gwes::Click(dlg, IDC_T_OUTSIDE));
    EXPECT_FALSE(gwes::Click(dlg, IDC_T_LABEL));
    EXPECT_FALSE(gwes::ToggleCheckBox(dlg, IDC_T_GO));
    EXPECT_FALSE(gwes::Click(dlg, 999));
    EXPECT_FALSE(gwes::Control(dlg, IDC_T_OUTSIDE)->reachable);

    // Static text set by the program, and read back through the platform API.
    EXPECT_TRUE(SetWindowTextW(GetDlgItem(dlg, IDC_T_LABEL), u"Changed"));
    EXPECT_EQ(gwes::Control(dlg, IDC_T_LABEL)->text, u"Changed");
    WCHAR text[4];
    EXPECT_EQ(GetWindowTextW(GetDlgItem(dlg, IDC_T_LABEL), text, 4), 3);
    EXPECT_EQ(std::u16string(text), u"Cha");
    EXPECT_EQ(GetDlgItem(dlg, 999), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
    EXPECT_TRUE(gwes::PressEscape(dlg));
    EXPECT_EQ(run.Join(), kEscapeResult);
    EXPECT_FALSE(gwes::Click(dlg, IDC_T_GO));  // gone
}

TEST_F(Gwes, EnterEscapeAndCloseBoxEndTheDialogWithItsResult) {
    struct Case {
        const char *name;
        std::function<bool(HWND)> act;
        int command;
        INT_PTR result;
    };
    const Case cases[] = {
        {"Enter", gwes::PressEnter, IDOK, kEnterResult},
        {"Esc", gwes::PressEscape, IDCANCEL, kEscapeResult},
        {"close box", [](HWND h) { return gwes::ClickCaption(h, gwes::CaptionButton::kClose); }, IDCANCEL,
         kEscapeResult},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DialogRun run(u"GWESTEST", u"Gwes Test");
        ASSERT_NE(run.hwnd(), nullptr);
        // The test dialog has no OK button on its caption.
        EXPECT_FALSE(gwes::ClickCaption(run.hwnd(), gwes::CaptionButton::kOk));
        ASSERT_TRUE(c.act(run.hwnd()));
        EXPECT_EQ(run.Join(), c.result);
        EXPECT_EQ(run.Commands().back(), std::make_pair(c.command, BN_CLICKED));
        EXPECT_FALSE(IsWindow(run.hwnd()));
    }
}

TEST_F(Gwes, WarningDialogClosesThroughCaptionOkEnterAndEscapeWithoutReachableButtons) {
    struct Case {
        const char *name;
        std::function<bool(HWND)> act;
        int command;
    };
    const Case cases[] = {
        {"caption OK", [](HWND h) { return gwes::ClickCaption(h, gwes::CaptionButton::kOk); }, IDOK},
        {"Enter", gwes::PressEnter, IDOK},
        {"Esc", gwes::PressEscape, IDCANCEL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DialogRun run(MAKEINTRESOURCEW(IDD_WARNING), u"Warning");
        ASSERT_NE(run.hwnd(), nullptr);
        EXPECT_FALSE(gwes::Click(run.hwnd(), IDOK));  // below the client area
        EXPECT_FALSE(gwes::Click(run.hwnd(), IDCANCEL));
        ASSERT_TRUE(c.act(run.hwnd()));
        run.Join();
        EXPECT_EQ(run.Commands(), (std::vector<std::pair<int, int>>{{c.command, BN_CLICKED}}));
    }
}

TEST_F(Gwes, MessagesFromOtherThreadsRunOnTheDialogThread) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(release, nullptr);
    // "Go" keeps the dialog thread busy until released, then ends the dialog.
    DialogRun run(u"GWESTEST", u"Gwes Test", [&](HWND h, UINT msg, WPARAM w, LPARAM) -> std::optional<INT_PTR> {
        if (msg == WM_COMMAND && LOWORD(w) == IDC_T_GO) {
            WaitForSingleObject(release, 10000);
            EndDialog(h, 7);
            return TRUE;
        }
        return std::nullopt;
    });
    const HWND dlg = run.hwnd();
    ASSERT_NE(dlg, nullptr);

    // A send waits for the answer, which the dialog thread computes.
    LRESULT answer = 0;
    std::thread worker([&] { answer = SendMessageW(dlg, kForegroundMessage, 0, 21); });
    worker.join();
    EXPECT_EQ(answer, 42);
    EXPECT_TRUE(PostMessageW(dlg, kForegroundMessage, 0, 5));
    ASSERT_TRUE(run.Idle());
    int seen = 0;
    for (const Message &m : run.Messages()) {
        if (m.msg != kForegroundMessage) continue;
        ++seen;
        EXPECT_EQ(m.thread, run.dialogThread());
    }
    EXPECT_EQ(seen, 2);

    // A send queued behind a handler that ends the dialog returns 0, never handled (as
    // a worker's foreground request at exit).
    ASSERT_TRUE(gwes::Click(dlg, IDC_T_GO));
    LRESULT late = -1;
    std::thread sender([&] { late = SendMessageW(dlg, kForegroundMessage, 0, 100); });
    {
        auto &s = standin::gwes::internal::TheState();
        std::unique_lock lock(s.mutex);
        EXPECT_TRUE(s.changed.wait_for(lock, kBound, [&s] {
            for (const auto &[thread, queue] : s.queues) {
                for (const auto &m : queue.messages) {
                    if (m.slot) return true;
                }
            }
            return false;
        }));
    }
    SetEvent(release);
    sender.join();
    EXPECT_EQ(run.Join(), 7);
    EXPECT_EQ(late, 0);
    seen = 0;
    for (const Message &m : run.Messages()) seen += m.msg == kForegroundMessage;
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(SendMessageW(dlg, kForegroundMessage, 0, 1), 0);
    EXPECT_FALSE(PostMessageW(dlg, kForegroundMessage, 0, 1));
    CloseHandle(release);
}

TEST_F(Gwes, MessageBoxesAreModalRecordedAndAnswered) {
    std::vector<int> answers;
    DialogRun run(u"GWESTEST", u"Gwes Test", [&](HWND h, UINT msg, WPARAM w, LPARAM) -> std::optional<INT_PTR> {
        if (msg == WM_COMMAND && LOWORD(w) == IDC_T_GO) {
            answers.push_back(MessageBoxW(h, u"Save configuration settings?\r\n", u"Warning", MB_OKCANCEL | MB_ICONEXCLAMATION));
            answers.push_back(MessageBoxW(nullptr, u"Saved Ok!!", u"Message", MB_OK));
            return TRUE;
        }
        return std::nullopt;
    });
    const HWND dlg = run.hwnd();
    ASSERT_NE(dlg, nullptr);
    ASSERT_TRUE(gwes::Click(dlg, IDC_T_GO));

    const HWND box = gwes::WaitForWindow(u"Warning", kBound);
    ASSERT_NE(box, nullptr);
    // The owner waits behind its box: the user cannot act on it.
    EXPECT_FALSE(gwes::Describe(dlg)->enabled);
    EXPECT_FALSE(gwes::Click(dlg, IDC_T_GO));
    EXPECT_FALSE(gwes::AnswerMessageBox(IDYES));  // not one of its buttons
    // The dialog thread still takes messages sent to it while the box is up.
    std::thread([&] { EXPECT_EQ(SendMessageW(dlg, kForegroundMessage, 0, 4), 8); }).join();
    ASSERT_TRUE(gwes::AnswerMessageBox(IDCANCEL));

    ASSERT_NE(gwes::WaitForWindow(u"Message", kBound), nullptr);
    EXPECT_FALSE(gwes::AnswerMessageBox(IDCANCEL));  // a lone OK button
    ASSERT_TRUE(gwes::AnswerMessageBox(IDOK));
    ASSERT_TRUE(run.Idle());
    EXPECT_EQ(answers, (std::vector<int>{IDCANCEL, IDOK}));
    EXPECT_TRUE(gwes::Describe(dlg)->enabled);

    const auto boxes = gwes::MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].title, u"Warning");
    EXPECT_EQ(boxes[0].text, u"Save configuration settings?\r\n");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OKCANCEL | MB_ICONEXCLAMATION));
    EXPECT_EQ(boxes[0].owner, dlg);
    EXPECT_EQ(boxes[0].answer, IDCANCEL);
    EXPECT_EQ(boxes[1].owner, nullptr);
    EXPECT_EQ(boxes[1].answer, IDOK);
    EXPECT_TRUE(gwes::PressEscape(dlg));
    run.Join();
}

TEST_F(Gwes, NestedDialogDisablesItsOwnerUntilItEnds) {
    INT_PTR nested = 0;
    DialogRun run(u"GWESTEST", u"Gwes Test", [&](HWND h, UINT msg, WPARAM w, LPARAM) -> std::optional<INT_PTR> {
        if (msg == WM_COMMAND && LOWORD(w) == IDC_T_GO) {
            nested = DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_WARNING), h,
                                     [](HWND d, UINT m, WPARAM wp, LPARAM) -> INT_PTR {
                                         if (m == WM_INITDIALOG) return SetWindowTextW(GetDlgItem(d, IDC_WARNING_TEXT), u"COM12: refused");
                                         if (m == WM_COMMAND) return EndDialog(d, LOWORD(wp) == IDOK ? 1 : 0);
                                         return FALSE;
                                     },
                                     0);
            return TRUE;
        }
        return std::nullopt;
    });
    ASSERT_NE(run.hwnd(), nullptr);
    ASSERT_TRUE(gwes::Click(run.hwnd(), IDC_T_GO));
    const HWND warning = gwes::WaitForWindow(u"Warning", kBound);
    ASSERT_NE(warning, nullptr);
    EXPECT_EQ(gwes::Control(warning, IDC_WARNING_TEXT)->text, u"COM12: refused");
    EXPECT_EQ(gwes::Describe(warning)->owner, run.hwnd());
    EXPECT_FALSE(gwes::Describe(run.hwnd())->enabled);
    EXPECT_FALSE(gwes::PressEnter(run.hwnd()));
    const auto stack = gwes::TopWindows();
    ASSERT_EQ(stack.size(), 2u);
    EXPECT_EQ(stack.back().hwnd, warning);

    ASSERT_TRUE(gwes::PressEnter(warning));
    ASSERT_TRUE(gwes::WaitClosed(warning, kBound));
    ASSERT_TRUE(run.Idle());
    EXPECT_EQ(nested, 1);
    EXPECT_TRUE(gwes::Describe(run.hwnd())->enabled);
    EXPECT_TRUE(gwes::PressEscape(run.hwnd()));
    EXPECT_EQ(run.Join(), kEscapeResult);
}

TEST_F(Gwes, KeysMoveFocusPickItemsAndToggle) {
    DialogRun run(u"GWESTEST", u"Gwes Test");
    const HWND dlg = run.hwnd();
    ASSERT_NE(dlg, nullptr);
    auto focused = [&] {
        const auto info = gwes::Describe(dlg);
        for (const auto &c : info->controls) {
            if (c.focused) return c.id;
        }
        return 0;
    };
    auto key = [&](gwes::Key k) {
        EXPECT_TRUE(gwes::FeedKey(k));
        EXPECT_TRUE(run.Idle());
    };
    // The list without WS_TABSTOP is skipped: the tab stops are the sorted box, the
    // check box and Go.
    EXPECT_EQ(focused(), IDC_T_SORTED);
    run.ClearMessages();
    key(gwes::Key::kDown);  // closed list: the selection moves at once
    EXPECT_EQ(gwes::Control(dlg, IDC_T_SORTED)->selection, 0);
    key(gwes::Key::kF4);  // opens the list
    EXPECT_TRUE(gwes::Control(dlg, IDC_T_SORTED)->dropped);
    key(gwes::Key::kDown);
    key(gwes::Key::kDown);
    key(gwes::Key::kEnter);  // picks the highlighted item
    EXPECT_EQ(gwes::Control(dlg, IDC_T_SORTED)->selection, 2);
    EXPECT_FALSE(gwes::Control(dlg, IDC_T_SORTED)->dropped);
    EXPECT_EQ(run.Commands(), (std::vector<std::pair<int, int>>{{IDC_T_SORTED, CBN_SELCHANGE},
                                                                 {IDC_T_SORTED, CBN_DROPDOWN},
                                                                 {IDC_T_SORTED, CBN_SELCHANGE},
                                                                 {IDC_T_SORTED, CBN_SELENDOK},
                                                                 {IDC_T_SORTED, CBN_CLOSEUP}}));
    key(gwes::Key::kTab);
    EXPECT_EQ(focused(), IDC_T_CHECK);
    key(gwes::Key::kSpace);
    EXPECT_EQ(gwes::Control(dlg, IDC_T_CHECK)->check, BST_CHECKED);
    key(gwes::Key::kTab);
    key(gwes::Key::kTab);  // wraps past Go
    EXPECT_EQ(focused(), IDC_T_SORTED);
    key(gwes::Key::kShiftTab);
    EXPECT_EQ(focused(), IDC_T_GO);
    run.ClearMessages();
    key(gwes::Key::kEnter);  // a focused push button is clicked
    EXPECT_EQ(run.Commands(), (std::vector<std::pair<int, int>>{{IDC_T_GO, BN_CLICKED}}));
    EXPECT_TRUE(gwes::FeedKey(gwes::Key::kEscape));
    EXPECT_EQ(run.Join(), kEscapeResult);
    EXPECT_FALSE(gwes::FeedKey(gwes::Key::kEnter));  // nothing left to take keys
}

// Enter on a closed drop-down list presses the default button (IDOK here, the template
// has none); Alt+Down, Alt+Up and F4 open and close the list, and Enter in an open list
// picks.
TEST_F(Gwes, EnterOnAClosedListPressesTheDefaultButtonAndListKeysOpenIt) {
    DialogRun run(u"GWESTEST", u"Gwes Test");
    const HWND dlg = run.hwnd();
    ASSERT_NE(dlg, nullptr);
    auto key = [&](gwes::Key k) {
        EXPECT_TRUE(gwes::FeedKey(k));
        EXPECT_TRUE(run.Idle());
    };
    ASSERT_TRUE(gwes::Control(dlg, IDC_T_SORTED)->focused);
    for (gwes::Key open : {gwes::Key::kAltDown, gwes::Key::kAltUp, gwes::Key::kF4}) {
        for (gwes::Key close : {gwes::Key::kAltDown, gwes::Key::kAltUp, gwes::Key::kF4, gwes::Key::kEscape}) {
            run.ClearMessages();
            key(open);
            EXPECT_TRUE(gwes::Control(dlg, IDC_T_SORTED)->dropped);
            key(close);
            EXPECT_FALSE(gwes::Control(dlg, IDC_T_SORTED)->dropped);
            EXPECT_EQ(run.Commands(), (std::vector<std::pair<int, int>>{{IDC_T_SORTED, CBN_DROPDOWN},
                                                                         {IDC_T_SORTED, CBN_SELENDCANCEL},
                                                                         {IDC_T_SORTED, CBN_CLOSEUP}}));
        }
    }
    run.ClearMessages();
    EXPECT_TRUE(gwes::FeedKey(gwes::Key::kEnter));
    EXPECT_EQ(run.Join(), kEnterResult);
    EXPECT_EQ(run.Commands(), (std::vector<std::pair<int, int>>{{IDOK, BN_CLICKED}}));
}

// The focus once WM_INITDIALOG has returned: the first tab stop when the procedure
// returns TRUE, otherwise where the procedure put it, which may be nowhere.
TEST_F(Gwes, FocusAfterInitialisationFollowsTheProcedure) {
    const struct {
        const char *what;
        INT_PTR returns;
        int setFocusTo;  // 0: no SetFocus
        int focused;     // 0: none
    } cases[] = {
        {"TRUE", TRUE, 0, IDC_T_SORTED},
        {"TRUE after a SetFocus", TRUE, IDC_T_GO, IDC_T_SORTED},
        {"FALSE after a SetFocus", FALSE, IDC_T_GO, IDC_T_GO},
        {"FALSE without", FALSE, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        HWND seen = nullptr;
        DialogRun run(u"GWESTEST", u"Gwes Test", [&](HWND hDlg, UINT msg, WPARAM, LPARAM) -> std::optional<INT_PTR> {
            if (msg != WM_INITDIALOG) return std::nullopt;
            if (c.setFocusTo) {
                EXPECT_EQ(SetFocus(GetDlgItem(hDlg, c.setFocusTo)), nullptr);
                seen = GetFocus();
            }
            return c.returns;
        });
        ASSERT_NE(run.hwnd(), nullptr);
        if (c.setFocusTo) {
            EXPECT_EQ(seen, GetDlgItem(run.hwnd(), c.setFocusTo));
        }
        int focused = 0;
        const auto info = gwes::Describe(run.hwnd());
        for (const auto &ctl : info->controls) {
            if (ctl.focused) focused = ctl.id;
        }
        EXPECT_EQ(focused, c.focused);
        if (!c.focused) {
            // Tab from nowhere goes to the first tab stop, Shift-Tab to the last.
            ASSERT_TRUE(gwes::FeedKey(gwes::Key::kShiftTab));
            ASSERT_TRUE(run.Idle());
            EXPECT_TRUE(gwes::Control(run.hwnd(), IDC_T_GO)->focused);
        }
        EXPECT_TRUE(gwes::PressEscape(run.hwnd()));
        run.Join();
    }
}

// A quit posted to a program's thread ends all its dialogs and boxes, also those it
// opens afterwards, with the answers that change nothing; the thread then runs dialogs
// as before.
TEST_F(Gwes, PostQuitEndsEveryLoopOfTheProgram) {
    std::vector<int> answers;
    DialogRun run(u"GWESTEST", u"Gwes Test", [&](HWND hDlg, UINT msg, WPARAM wParam, LPARAM) -> std::optional<INT_PTR> {
        if (msg != WM_COMMAND || LOWORD(wParam) != IDC_T_GO) return std::nullopt;
        answers.push_back(MessageBoxW(hDlg, u"Save?", u"Question", MB_OKCANCEL));
        answers.push_back(MessageBoxW(hDlg, u"Sure?", u"Question", MB_YESNO));
        answers.push_back(MessageBoxW(hDlg, u"Done", u"Message", MB_OK));
        answers.push_back(static_cast<int>(
            DialogBoxParamW(gwes::ProgramInstance(), u"GWESTEST", hDlg, [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR {
                return FALSE;
            }, 0)));
        return TRUE;
    });
    ASSERT_NE(run.hwnd(), nullptr);
    ASSERT_TRUE(gwes::Click(run.hwnd(), IDC_T_GO));
    HWND box = gwes::WaitForWindow(u"Question", kBound);
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(gwes::PostQuit());
    EXPECT_EQ(run.Join(), 0);
    EXPECT_EQ(answers, (std::vector<int>{IDCANCEL, IDNO, IDOK, 0}));
    const auto boxes = gwes::MessageBoxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].answer, IDCANCEL);
    EXPECT_FALSE(gwes::PostQuit()) << "nothing is open";

    // The quit goes with the program's outermost loop: the same thread's next dialog
    // runs as usual.
    std::promise<INT_PTR> second;
    std::thread program([&second] {
        const DLGPROC proc = [](HWND hDlg, UINT msg, WPARAM wParam, LPARAM) -> INT_PTR {
            if (msg == WM_COMMAND && LOWORD(wParam) == IDOK) EndDialog(hDlg, kEnterResult);
            return msg == WM_INITDIALOG;
        };
        DialogBoxParamW(gwes::ProgramInstance(), u"GWESTEST", nullptr, proc, 0);  // ended by the quit
        second.set_value(DialogBoxParamW(gwes::ProgramInstance(), u"GWESTEST", nullptr, proc, 0));
    });
    const HWND first = gwes::WaitForWindow(u"Gwes Test", kBound);
    EXPECT_TRUE(gwes::PostQuit(first));
    EXPECT_TRUE(gwes::WaitClosed(first, kBound));
    const HWND again = gwes::WaitForWindow(u"Gwes Test", kBound);
    EXPECT_NE(again, first);
    EXPECT_TRUE(gwes::WaitIdle(again, kBound)) << "the second dialog runs its loop";
    EXPECT_TRUE(gwes::PressEnter(again));
    program.join();
    EXPECT_EQ(second.get_future().get(), kEnterResult);
}

TEST_F(Gwes, FindWindowCursorForegroundAndAppNotifications) {
    DialogRun run(u"GWESTEST", u"Gwes Test");
    const HWND dlg = run.hwnd();
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(FindWindowW(nullptr, u"gwes test"), dlg);
    EXPECT_EQ(FindWindowW(WC_DIALOG, u"Gwes Test"), dlg);
    EXPECT_EQ(FindWindowW(nullptr, u"QSXPORT"), nullptr);
    EXPECT_EQ(FindWindowW(u"Edit", u"Gwes Test"), nullptr);

    // The busy cursor, and back.
    HCURSOR wait = LoadCursorW(nullptr, IDC_WAIT);
    ASSERT_NE(wait, nullptr);
    HCURSOR previous = SetCursor(wait);
    EXPECT_EQ(previous, LoadCursorW(nullptr, IDC_ARROW));
    EXPECT_EQ(gwes::CurrentCursor(), 32514u);
    EXPECT_EQ(SetCursor(previous), wait);
    EXPECT_EQ(gwes::CurrentCursor(), 32512u);
    EXPECT_EQ(LoadCursorW(gwes::ProgramInstance(), IDC_WAIT), nullptr);

    // The device's "owned windows too" bit is accepted and taken off.
    EXPECT_TRUE(SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(dlg) | 1)));
    EXPECT_TRUE(SetForegroundWindow(dlg));
    EXPECT_FALSE(SetForegroundWindow(reinterpret_cast<HWND>(uintptr_t{0x44})));
    const auto requests = gwes::ForegroundRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].window, dlg);
    EXPECT_TRUE(requests[0].ownedToo);
    EXPECT_FALSE(requests[1].ownedToo);

    WCHAR app[] = u"\\Windows\\QSXPORT.exe";
    EXPECT_TRUE(CeHandleAppNotifications(app));
    EXPECT_EQ(gwes::HandledAppNotifications(), std::vector<std::u16string>{app});
    EXPECT_TRUE(gwes::PressEscape(dlg));
    run.Join();
}

TEST_F(Gwes, FrontEndHearsOfWindowsAndChanges) {
    struct Recorder : gwes::FrontEnd {
        std::mutex mutex;
        std::vector<std::pair<char, HWND>> events;
        void Add(char kind, HWND h) {
            // A front end may read the window from its notification.
            if (kind != 'd') {
                EXPECT_TRUE(gwes::Describe(h).has_value());
            }
            std::lock_guard lock(mutex);
            events.emplace_back(kind, h);
        }
        void WindowCreated(HWND h) override { Add('c', h); }
        void WindowDestroyed(HWND h) override { Add('d', h); }
        void WindowChanged(HWND h) override { Add('x', h); }
        size_t Count(char kind, HWND h) {
            std::lock_guard lock(mutex);
            return static_cast<size_t>(std::count(events.begin(), events.end(), std::make_pair(kind, h)));
        }
    } recorder;
    gwes::AttachFrontEnd(&recorder);
    HWND dlg = nullptr;
    {
        DialogRun run(u"GWESTEST", u"Gwes Test");
        dlg = run.hwnd();
        ASSERT_NE(dlg, nullptr);
        ASSERT_TRUE(gwes::ToggleCheckBox(dlg, IDC_T_CHECK));
        ASSERT_TRUE(run.Idle());
        EXPECT_TRUE(gwes::PressEscape(dlg));
        run.Join();
    }
    gwes::DetachFrontEnd();
    EXPECT_EQ(recorder.Count('c', dlg), 1u);
    EXPECT_GE(recorder.Count('x', dlg), 1u);
    EXPECT_EQ(recorder.Count('d', dlg), 1u);
}

// ---- the resource compiler -------------------------------------------------------------------------

qsxrc::Options InMemory(std::map<std::string, std::string> files) {
    qsxrc::Options options;
    options.reader = [files = std::move(files)](const std::string &path) -> std::optional<std::string> {
        auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
    return options;
}

TEST(ResourceCompiler, MalformedScriptsFailWithFileAndLine) {
    struct Case {
        const char *script;
        const char *file;
        int line;
        const char *message;
    };
    const Case cases[] = {
        {"#include \"missing.h\"\n", "t.rc", 1, "cannot open include file 'missing.h'"},
        {"#include \"bad.h\"\n", "bad.h", 2, "function-like macros are not supported"},
        {"#if 1\nA DIALOG 0,0,1,1\n", "t.rc", 1, "#if without #endif"},
        {"#endif\n", "t.rc", 1, "#endif without #if"},
        {"#frob\n", "t.rc", 1, "unknown directive '#frob'"},
        {"#error stop here\n", "t.rc", 1, "#error stop here"},
        {"A DIALOG 0, 0, 10\nBEGIN\nEND\n", "t.rc", 2, "expected ','"},
        {"A DIALOG 0, 0, 10, 10\nSTYLE WS_CHILD | WS_BOGUS\nBEGIN\nEND\n", "t.rc", 2, "undefined symbol 'WS_BOGUS'"},
        {"A DIALOG 0, 0, 10, 70000\nBEGIN\nEND\n", "t.rc", 1, "out of range"},
        {"A DIALOG 0, 0, 10, 10\nBEGIN\n  LTEXT \"x\", 1, 0, 0, 1, 1\n", "t.rc", 1, "dialog without END"},
        {"A DIALOG 0, 0, 10, 10\nBEGIN\n  SLIDER 1, 0, 0, 1, 1\nEND\n", "t.rc", 3, "unknown control statement 'SLIDER'"},
        {"A DIALOG 0, 0, 10, 10\nBEGIN\n  CONTROL \"\", 1, Thing, 0, 0, 0, 1, 1\nEND\n", "t.rc", 3,
         "unknown control class 'Thing'"},
        {"A DIALOG 0, 0, 1, 1\nBEGIN\nEND\nA DIALOG 0, 0, 1, 1\nBEGIN\nEND\n", "t.rc", 4, "already defined"},
        {"STRINGTABLE\nBEGIN\n  1 \"one\"\n  1 \"again\"\nEND\n", "t.rc", 4, "string 1 is already defined"},
        {"STRINGTABLE\nBEGIN\n  1 \"open\n", "t.rc", 3, "unterminated string"},
        {"STRINGTABLE\nBEGIN\n  1 \"a\\qb\"\nEND\n", "t.rc", 3, "unknown escape sequence"},
        {"STRINGTABLE\nBEGIN\n  1 / 0 \"x\"\nEND\n", "t.rc", 3, "division by zero"},
        {"/* never closed\n\n", "t.rc", 1, "unterminated comment"},
        {"1 ICON \"none.ico\"\n", "t.rc", 1, "cannot open icon file 'none.ico'"},
        {"1 ICON \"short.ico\"\n", "t.rc", 1, "lies outside the file"},
        {"1 MENU\n", "t.rc", 1, "resource type MENU is not supported"},
        {"0 DIALOG 0, 0, 1, 1\nBEGIN\nEND\n", "t.rc", 1, "resource id 0 out of range"},
        {"#define A B\n#define B A\nX DIALOG A, 0, 1, 1\nBEGIN\nEND\n", "t.rc", 3, "undefined symbol 'A'"},
        {"#include \"loop.h\"\n", "loop.h", 1, "#include nested too deeply"},
    };
    // An icon file whose one image claims more bytes than the file has.
    const std::string shortIcon("\0\0\1\0\1\0\x20\x20\4\0\1\0\2\0\xFF\0\0\0\x16\0\0\0", 22);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.script);
        qsxrc::Script script;
        qsxrc::Error error;
        ASSERT_FALSE(qsxrc::Compile("t.rc", c.script,
                                    InMemory({{"bad.h", "#define OK 1\n#define F(x) x\n"},
                                              {"short.ico", shortIcon},
                                              {"loop.h", "#include \"loop.h\"\n"}}),
                                    &script, &error));
        EXPECT_EQ(error.file, c.file);
        EXPECT_EQ(error.line, c.line);
        EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
        EXPECT_EQ(error.ToString().rfind(std::string(c.file) + ":" + std::to_string(c.line) + ": ", 0), 0u);
    }
}

TEST(ResourceCompiler, StylesDefaultsAndPreprocessing) {
    const char *script = R"(#include <windows.h>
#include "ids.h"
#ifndef IDD_X
#error ids.h not read
#endif
#if defined(IDD_X) && IDD_X == 7 && !defined(NOPE)
IDD_X DIALOG 1, 2, 3, 4
#else
IDD_X DIALOG 9, 9, 9, 9
#endif
STYLE WS_POPUP
CAPTION "A ""quoted"" caption"
{
    PUSHBUTTON "B", IDC_B, 0, 0, 1, 1, NOT WS_TABSTOP | BS_NOTIFY
    CONTROL 7, -1, "Static", SS_ICON NOT WS_VISIBLE, 0, 0, 1, 1, WS_EX_STATICEDGE
}
stringtable { 0x20, "x" L"y" }
)";
    qsxrc::Script out;
    qsxrc::Error error;
    ASSERT_TRUE(qsxrc::Compile("dir/t.rc", script,
                               InMemory({{"dir/ids.h", "#pragma once\n#define IDD_X (3 + 4)\n#define IDC_B 0x10\n"}}),
                               &out, &error))
        << error.ToString();
    EXPECT_EQ(out.dependencies, std::vector<std::string>{"dir/ids.h"});
    ASSERT_EQ(out.resources.size(), 2u);
    const qsxrc::Resource &dialog = out.resources[0];
    EXPECT_EQ(dialog.type, 5);
    EXPECT_EQ(dialog.nameId, 7);
    DLGTEMPLATE header;
    std::memcpy(&header, dialog.data.data(), sizeof header);
    EXPECT_EQ(header.style, static_cast<DWORD>(WS_POPUP | WS_CAPTION));  // no FONT: no DS_SETFONT
    EXPECT_EQ(header.x, 1);
    // Header 18, menu 2, class 2, caption 18 characters + 0: the first item at 60.
    std::u16string caption(18, u' ');
    std::memcpy(caption.data(), dialog.data.data() + 22, 36);
    EXPECT_EQ(caption, u"A \"quoted\" caption");
    DLGITEMTEMPLATE button;
    std::memcpy(&button, dialog.data.data() + 60, sizeof button);
    EXPECT_EQ(button.style, static_cast<DWORD>(WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | BS_NOTIFY));
    EXPECT_EQ(button.id, 0x10);
    // Strings: block 3 (ids 32 to 47) holds id 32 first, its pieces joined.
    const qsxrc::Resource &strings = out.resources[1];
    EXPECT_EQ(strings.type, 6);
    EXPECT_EQ(strings.nameId, 3);
    ASSERT_EQ(strings.data.size(), 2u * 16 + 4);
    EXPECT_EQ(strings.data[0], 2);
    EXPECT_EQ(strings.data[2], 'x');
    EXPECT_EQ(strings.data[4], 'y');

    // The second item: ordinal text, WS_VISIBLE taken away, the extended style kept.
    size_t offset = 60 + sizeof(DLGITEMTEMPLATE) + 4 + 4 + 2;  // class atom, "B", extra
    offset = (offset + 3) & ~size_t{3};
    DLGITEMTEMPLATE icon;
    std::memcpy(&icon, dialog.data.data() + offset, sizeof icon);
    EXPECT_EQ(icon.style, static_cast<DWORD>(WS_CHILD | SS_ICON));
    EXPECT_EQ(icon.dwExtendedStyle, static_cast<DWORD>(WS_EX_STATICEDGE));
    EXPECT_EQ(icon.id, 0xFFFF);
}

}  // namespace
