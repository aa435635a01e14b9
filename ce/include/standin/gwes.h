// The dialog manager's own controls, for tests, front ends and the code that the resource
// compiler generates: resource registration, a headless view of the windows shown (read
// and act as the user would, from any thread), the records of message boxes, cursor,
// foreground requests and handled app notifications, and the interface through which a
// drawing front end (ncurses in qsxsim) follows the windows and feeds keys.
//
// Threads: every function here may be called from any thread. Actions are queued as user
// input to the thread that runs the window's modal loop and run there, in order, when
// that loop next takes input; they return at once. WaitIdle tells when they have run.
//
// Message boxes: MessageBoxW runs a nested loop until someone answers it: a front end (a
// key) or a test (AnswerMessageBox). With no front end attached it waits for a test to
// answer; tests always answer. So that a forgotten box does not hang a run silently, a
// box left unanswered for 10 s with no front end attached is reported on stderr.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace standin::gwes {

// ---- resources -------------------------------------------------------------------------
// One resource as the resource compiler emits it. `data` is DWORD-aligned and outlives
// the registration.
struct ResourceEntry {
    WORD type;                    // RT_ number
    WORD nameId;                  // the name when nameString is null
    const char16_t *nameString;   // upper-case string name, or null
    const void *data;
    uint32_t size;
};

// Registers resources under the module (the program or a shared library) whose image
// holds `anchor`, so that FindResourceW with that module's instance handle finds them.
// A later registration of the same type and name in the same module shadows the earlier
// one (and says so on stderr).
void RegisterResources(const void *anchor, std::span<const ResourceEntry> entries);
void UnregisterResources(const void *anchor);
// The same for resources of the module file `modulePath` (a device image the loader
// mapped), whatever image holds `anchor`; UnregisterResources(anchor) removes them.
void RegisterModuleResources(const std::string &modulePath, const void *anchor,
                             std::span<const ResourceEntry> entries);

// The instance handle that stands for the program itself, as WinMain receives it; NULL
// names the program too. A shared library's instance is its LoadLibraryW handle.
HINSTANCE ProgramInstance();

// ---- what is shown -----------------------------------------------------------------------
// Template geometry in dialog units. In a character-cell rendering one cell is 4 x 8
// dialog units. A dialog's cx and cy are its client area.
struct Rect {
    int x = 0, y = 0, cx = 0, cy = 0;
};
constexpr int kUnitsPerCellX = 4;
constexpr int kUnitsPerCellY = 8;
// A closed combo box is about this many dialog units tall, whatever height its template
// gives (which includes the dropped list).
constexpr int kComboClosedHeight = 12;

enum class ControlKind { kPushButton, kCheckBox, kRadioButton, kGroupBox, kStatic, kComboBox, kOther };

struct ControlInfo {
    HWND hwnd = nullptr;
    int id = 0;                   // 16-bit control id (0xFFFF for -1)
    ControlKind kind = ControlKind::kOther;
    std::u16string className;     // "Button", "Static", "ComboBox", ...
    DWORD style = 0, exStyle = 0;
    Rect rect;
    std::u16string text;          // a drop-down list shows its selected item
    std::vector<std::u16string> items;  // combo box items, in index order
    int selection = -1;           // combo box: selected index, -1 none
    bool dropped = false;         // combo box list open (keyboard front end)
    int highlight = -1;           // item highlighted in the open list
    // The open list shows `listRows` items from `listTop` on: the rows the template's
    // height leaves below the closed box (kComboClosedHeight), 8 dialog units each, at
    // least one and at most the item count. Items above or below those rows are
    // scrolled out of sight.
    int listTop = 0;
    int listRows = 0;
    int check = BST_UNCHECKED;    // check box and radio button state
    bool visible = false, enabled = false, focused = false;
    // Whether the user can reach it at all: visible, enabled and at least partly inside
    // the dialog's client area.
    bool reachable = false;
};

enum class WindowKind { kDialog, kMessageBox };

struct WindowInfo {
    HWND hwnd = nullptr;
    WindowKind kind = WindowKind::kDialog;
    std::u16string title;
    DWORD style = 0, exStyle = 0;
    Rect rect;                    // dialogs: template position and client size
    HWND owner = nullptr;
    bool shown = false;           // dialogs are shown once WM_INITDIALOG has returned
    // A dialog whose WM_INITDIALOG is still running: not shown yet and takes no input,
    // but a front end may draw it, marked busy, as its initialisation fills it.
    bool initializing = false;
    bool enabled = false;         // false while a modal window it owns is open
    std::u16string fontName;
    int fontPointSize = 0;
    std::vector<ControlInfo> controls;  // template order, which is also the tab order
    // Message boxes only.
    std::u16string text;
    UINT type = 0;
    std::vector<int> buttons;     // IDOK, IDCANCEL, ... left to right
    int focusedButton = 0;        // index into buttons
};

// Every top-level window (dialogs and message boxes), bottom to top.
std::vector<WindowInfo> TopWindows();
std::optional<WindowInfo> Describe(HWND window);
std::optional<ControlInfo> Control(HWND dialog, int id);

// The topmost shown window titled `title`, waiting up to `bound` for one; null if none.
HWND WaitForWindow(std::u16string_view title, std::chrono::milliseconds bound);
// Waits until the window's thread has run all queued input and messages and waits in
// its message loop (possibly a nested one). False when the window is gone or on time-out.
bool WaitIdle(HWND window, std::chrono::milliseconds bound);
// Waits until the window no longer exists (a dialog ended, a box answered).
bool WaitClosed(HWND window, std::chrono::milliseconds bound);

// ---- acting as the user --------------------------------------------------------------------
// Each returns false, doing nothing, when the window or control does not exist, is not
// shown, is disabled (a modal window it owns is open) or cannot be reached, or when the
// action does not fit the control.
//
// Picks an item from a combo box's list: the selection changes and the dialog gets
// WM_COMMAND with CBN_DROPDOWN, CBN_SELCHANGE, CBN_SELENDOK and CBN_CLOSEUP, as for a
// pick with the pointer (CBN_SELCHANGE also when the item was already selected).
bool SelectComboItem(HWND dialog, int id, int index);
bool SelectComboItem(HWND dialog, int id, std::u16string_view itemText);  // exact text
// Clicks a push button, check box or radio button: an automatic check box toggles, an
// automatic radio button checks, then the dialog gets BN_CLICKED.
bool Click(HWND dialog, int id);
// Click() limited to check boxes.
bool ToggleCheckBox(HWND dialog, int id);
// Enter: WM_COMMAND with the default push button's id (IDOK when the template has none),
// whatever has the focus. Esc: WM_COMMAND with IDCANCEL. Both also when the dialog has no
// such button.
bool PressEnter(HWND dialog);
bool PressEscape(HWND dialog);
// The caption bar's buttons: OK (dialogs with WS_EX_CAPTIONOKBTN) sends WM_COMMAND IDOK;
// close (dialogs with a caption and system menu) sends WM_CLOSE, which a dialog procedure
// that does not handle it turns into WM_COMMAND IDCANCEL.
enum class CaptionButton { kOk, kClose };
bool ClickCaption(HWND dialog, CaptionButton button);
// Answers a message box (the topmost open one when `box` is null) with one of its
// buttons (IDOK, IDCANCEL, ...).
bool AnswerMessageBox(int answer, HWND box = nullptr);

// Keys for a keyboard front end; they go to the topmost enabled window.
//  Dialog: Tab / Shift-Tab move the focus among reachable WS_TABSTOP controls (from none
//  focused, to the first or last). On a closed combo box Up/Down (and Left/Right) move
//  the selection by one, Home/End to the first and last item, Page Up/Page Down by the
//  rows its open list shows (each change sends CBN_SELCHANGE), and F4, Alt+Down or
//  Alt+Up open the list (CBN_DROPDOWN). In an open list the same keys move the highlight,
//  scrolling the list to keep it in sight; Enter (or Space) picks it as SelectComboItem
//  does; Esc, Tab, F4, Alt+Down and Alt+Up close it unchanged. Space clicks a focused
//  button or check box; Enter clicks a focused push button and otherwise, a closed combo
//  box having the focus included, acts as PressEnter; Esc as PressEscape.
//  Message box: Tab, Left and Right move among the buttons, Enter and Space press the
//  focused one, Esc answers IDCANCEL when the box has it (IDOK for a lone OK button).
enum class Key {
    kTab, kShiftTab, kUp, kDown, kLeft, kRight, kEnter, kEscape, kSpace,
    kHome, kEnd, kPageUp, kPageDown, kF4, kAltDown, kAltUp,
};
bool FeedKey(Key key);

// Closes the program that shows `window` (the topmost window when null) at once, as a
// quit message posted to the thread that runs its modal loops: every dialog and message
// box open on that thread ends, and so does any the program opens after it, until its
// outermost loop has ended. A dialog so ended returns 0 from DialogBox; a message box
// answers IDCANCEL when it has that button, IDNO when it has that, else its only button
// (IDOK), so a program asked "save?" takes the answer that saves nothing. False when
// there is no such window.
bool PostQuit(HWND window = nullptr);

// ---- records ----------------------------------------------------------------------------------
struct MessageBoxRecord {
    HWND box = nullptr;
    HWND owner = nullptr;
    std::u16string title;
    std::u16string text;
    UINT type = 0;
    int answer = 0;  // 0 while the box is showing
};
// Every message box shown since the last ClearRecords, oldest first.
std::vector<MessageBoxRecord> MessageBoxes();
// The system cursor shown: its id (32512 arrow, 32514 wait, ...), 0 when hidden.
DWORD CurrentCursor();

struct ForegroundRequest {
    HWND window = nullptr;   // low bit stripped
    bool ownedToo = false;   // the low bit was set
};
std::vector<ForegroundRequest> ForegroundRequests();
// Names given to CeHandleAppNotifications, oldest first.
std::vector<std::u16string> HandledAppNotifications();
// Forgets the message boxes, foreground requests and app notifications recorded and
// shows the arrow cursor again.
void ClearRecords();

// ---- front ends --------------------------------------------------------------------------------
// A drawing front end. Calls come from whichever thread made the change, never with the
// dialog manager's lock held: a front end may call the read functions above from them,
// but must not block on the window's thread.
class FrontEnd {
public:
    virtual ~FrontEnd() = default;
    // A message box is shown, or a dialog starts its initialisation (WindowInfo::
    // initializing; it is shown once WM_INITDIALOG has returned, a WindowChanged).
    virtual void WindowCreated(HWND window) = 0;
    virtual void WindowDestroyed(HWND window) = 0;
    // Anything shown in the top-level window changed: text, items, selection, check,
    // focus, enabled state.
    virtual void WindowChanged(HWND window) = 0;
    virtual void CursorChanged(DWORD /*cursorId*/) {}
    virtual void ForegroundRequested(HWND /*window*/) {}
};
// One front end at a time; DetachFrontEnd waits for calls in progress to return.
void AttachFrontEnd(FrontEnd *frontEnd);
void DetachFrontEnd();

}  // namespace standin::gwes
