// The dialog manager's private interface between its parts: the window table, the
// per-thread message queues, the modal loop, dispatch to dialog procedures and controls,
// and the notes that tell an attached front end what changed.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "standin/gwes.h"

namespace standin::gwes::internal {

struct Window {
    enum Type { kDialog, kMessageBox, kControl } type = kDialog;
    HWND handle = nullptr;
    std::thread::id thread;        // runs the window's modal loop and its procedure
    Window *parent = nullptr;      // controls: their dialog
    HWND owner = nullptr;          // top-level windows: disabled while this one is open
    std::u16string className;
    std::u16string text;           // caption or control text
    DWORD style = 0, exStyle = 0;
    Rect rect;
    int id = 0;

    // Dialogs.
    DLGPROC proc = nullptr;
    bool initializing = false;     // WM_INITDIALOG is running
    bool announced = false;        // the front end was told of it (kCreated)
    bool shown = false;
    bool ended = false;
    INT_PTR result = 0;
    int disabledBy = 0;            // modal windows it owns that are open
    std::u16string fontName;
    int fontPointSize = 0;
    std::vector<Window *> controls;  // template order
    Window *focus = nullptr;

    // Controls.
    ControlKind kind = ControlKind::kOther;
    std::vector<std::u16string> items;
    std::vector<LPARAM> itemData;
    int selection = -1;
    bool dropped = false;
    int highlight = -1;
    int listTop = 0;               // first item the open list shows
    int check = BST_UNCHECKED;

    // Message boxes (the caption is `text`).
    std::u16string body;
    UINT mbType = 0;
    std::vector<int> buttons;
    int focusedButton = 0;
    int answer = 0;                // 0 until answered
    std::chrono::steady_clock::time_point shownAt;
    bool reported = false;         // the "still waiting" note was printed

    bool Enabled() const { return !(style & WS_DISABLED) && disabledBy == 0; }
    Window *TopLevel() { return type == kControl ? parent : this; }
};

// A message waiting for its window's thread. A sent one has a slot that the sender
// waits on; user input is a closure run on that thread.
struct SentSlot {
    bool done = false;
    LRESULT result = 0;
};
struct QueuedMessage {
    HWND hwnd = nullptr;
    UINT msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    SentSlot *slot = nullptr;
    std::function<void()> input;
};
struct ThreadQueue {
    std::deque<QueuedMessage> messages;
    std::vector<HWND> loops;  // the windows whose modal loops run on the thread, innermost last
    bool waiting = false;     // blocked in a loop with nothing to do
    bool quit = false;        // every loop ends, until the outermost one has
};

struct Note {
    enum Kind { kCreated, kDestroyed, kChanged, kCursor, kForeground } kind;
    HWND window = nullptr;
    DWORD cursor = 0;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed;  // any change at all; waiters re-check their condition
    std::map<HWND, std::unique_ptr<Window>> windows;
    std::vector<HWND> stack;          // top-level windows, bottom to top
    std::map<std::thread::id, ThreadQueue> queues;
    uintptr_t nextHandle = 0x20000;   // multiples of 4: the low bits stay free

    std::vector<MessageBoxRecord> boxes;
    std::vector<ForegroundRequest> foreground;
    std::vector<std::u16string> appNotifications;
    DWORD cursor = 32512;             // IDC_ARROW

    FrontEnd *frontEnd = nullptr;
    std::vector<Note> notes;          // for the front end, delivered after unlocking
};

State &TheState();

// With the lock held.
Window *Find(State &s, HWND handle);
// The open message box, or the shown dialog that has not ended; else null.
Window *FindLive(State &s, HWND handle);
Window *FindDialog(State &s, HWND handle);
Window *FindControl(Window *dialog, int id);
void AddNote(State &s, Note::Kind kind, HWND window);
// Marks the top-level window of `w` changed for the front end.
void Touch(State &s, Window *w);
// Whether the modal loop run for `w` is over: a dialog ended, a box answered, or gone.
bool LoopDone(const Window *w);
// Whether the thread has nothing left to do until new input or messages arrive.
bool ThreadIdle(State &s, std::thread::id thread);
// Whether the user can reach the control: visible, enabled, partly inside the client area.
bool Reachable(const Window *control);
// Combo boxes: the rows the open list shows, and its first row moved as little as
// needed to show the highlighted item.
int ListRows(const Window *combo);
void ScrollToHighlight(Window *combo);
// Queues user input for the window's thread.
void QueueInput(State &s, Window *w, std::function<void()> input);

// Serialises calls into the front end; taken before the state lock, never after it.
std::recursive_mutex &FrontMutex();
// Without the lock: delivers the notes gathered so far to the front end.
void FlushNotes();

// Holds the lock; on release wakes every waiter and delivers the notes.
class Locked {
public:
    Locked() : state_(TheState()), lock_(state_.mutex) {}
    ~Locked() {
        if (lock_.owns_lock()) lock_.unlock();
        state_.changed.notify_all();
        FlushNotes();
    }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
    State &state() { return state_; }
    std::unique_lock<std::mutex> &lock() { return lock_; }

private:
    State &state_;
    std::unique_lock<std::mutex> lock_;
};

// On the window's thread, without the lock: runs the message through the window's
// procedure (dialog procedure or built-in control) and returns its result.
LRESULT Dispatch(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// On the window's thread, without the lock: what a user's click on the control does.
void ClickControl(HWND dialog, HWND control);
// On the window's thread, without the lock: a pick from a combo box's list (whose
// CBN_DROPDOWN went out already when `wasOpen`).
void PickComboItem(HWND dialog, HWND control, int index, bool wasOpen);
// WM_COMMAND for a key or caption button: the control with that id, if any, as lParam.
void SendCommand(HWND dialog, int id, int code);

}  // namespace standin::gwes::internal
