// The headless front end of the dialog manager: snapshots of the windows shown, waits,
// user actions queued to the window's thread (picks, clicks, Enter, Esc, caption
// buttons, keys), message box answers, the records kept for tests, and the delivery of
// change notes to an attached drawing front end.
#include <windows.h>

#include <algorithm>

#include "gwes_internal.h"

namespace standin::gwes::internal {

std::recursive_mutex &FrontMutex() {
    static auto *mutex = new std::recursive_mutex;
    return *mutex;
}

void FlushNotes() {
    State &s = TheState();
    {
        std::lock_guard lock(s.mutex);
        if (s.notes.empty()) return;
    }
    std::lock_guard front(FrontMutex());
    std::vector<Note> notes;
    FrontEnd *frontEnd = nullptr;
    {
        std::lock_guard lock(s.mutex);
        notes.swap(s.notes);
        frontEnd = s.frontEnd;
    }
    if (!frontEnd) return;
    for (const Note &n : notes) {
        switch (n.kind) {
            case Note::kCreated: frontEnd->WindowCreated(n.window); break;
            case Note::kDestroyed: frontEnd->WindowDestroyed(n.window); break;
            case Note::kChanged: frontEnd->WindowChanged(n.window); break;
            case Note::kCursor: frontEnd->CursorChanged(n.cursor); break;
            case Note::kForeground: frontEnd->ForegroundRequested(n.window); break;
        }
    }
}

}  // namespace standin::gwes::internal

namespace standin::gwes {

using namespace internal;

namespace {

ControlInfo DescribeControl(const Window *c) {
    ControlInfo info;
    info.hwnd = c->handle;
    info.id = c->id;
    info.kind = c->kind;
    info.className = c->className;
    info.style = c->style;
    info.exStyle = c->exStyle;
    info.rect = c->rect;
    info.items = c->items;
    info.selection = c->selection;
    info.text = c->kind == ControlKind::kComboBox
                    ? (c->selection >= 0 ? c->items[static_cast<size_t>(c->selection)] : std::u16string())
                    : c->text;
    info.dropped = c->dropped;
    info.highlight = c->highlight;
    if (c->kind == ControlKind::kComboBox) {
        info.listTop = c->listTop;
        info.listRows = ListRows(c);
    }
    info.check = c->check;
    info.visible = (c->style & WS_VISIBLE) != 0;
    info.enabled = !(c->style & WS_DISABLED);
    info.focused = c->parent && c->parent->focus == c;
    info.reachable = Reachable(c);
    return info;
}

WindowInfo DescribeWindow(const Window *w) {
    WindowInfo info;
    info.hwnd = w->handle;
    info.kind = w->type == Window::kMessageBox ? WindowKind::kMessageBox : WindowKind::kDialog;
    info.title = w->text;
    info.style = w->style;
    info.exStyle = w->exStyle;
    info.rect = w->rect;
    info.owner = w->owner;
    info.shown = w->shown;
    info.initializing = w->initializing;
    info.enabled = w->Enabled();
    info.fontName = w->fontName;
    info.fontPointSize = w->fontPointSize;
    for (const Window *c : w->controls) info.controls.push_back(DescribeControl(c));
    info.text = w->body;
    info.type = w->mbType;
    info.buttons = w->buttons;
    info.focusedButton = w->focusedButton;
    return info;
}

// With the lock held: the dialog if the user can act on it now.
Window *ActiveDialog(State &s, HWND dialog) {
    Window *d = FindLive(s, dialog);
    return d && d->type == Window::kDialog && d->Enabled() ? d : nullptr;
}

Window *ReachableControl(State &s, HWND dialog, int id) {
    Window *d = ActiveDialog(s, dialog);
    if (!d) return nullptr;
    Window *c = FindControl(d, id);
    return c && Reachable(c) ? c : nullptr;
}

int DefaultId(const Window *d) {
    for (const Window *c : d->controls) {
        if (c->kind == ControlKind::kPushButton && (c->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) return c->id;
    }
    return IDOK;
}

bool QueueSelect(HWND dialog, int id, const std::function<int(const Window *)> &pick) {
    Locked l;
    State &s = l.state();
    Window *c = ReachableControl(s, dialog, id);
    if (!c || c->kind != ControlKind::kComboBox) return false;
    const int index = pick(c);
    if (index < 0 || index >= static_cast<int>(c->items.size())) return false;
    const HWND control = c->handle;
    QueueInput(s, c, [dialog, control, index] { PickComboItem(dialog, control, index, false); });
    return true;
}

bool QueueClick(HWND dialog, int id, bool checkBoxOnly) {
    Locked l;
    State &s = l.state();
    Window *c = ReachableControl(s, dialog, id);
    if (!c) return false;
    const bool clickable = c->kind == ControlKind::kCheckBox ||
                           (!checkBoxOnly && (c->kind == ControlKind::kPushButton || c->kind == ControlKind::kRadioButton));
    if (!clickable) return false;
    const HWND control = c->handle;
    QueueInput(s, c, [dialog, control] { ClickControl(dialog, control); });
    return true;
}

bool QueueCommand(HWND dialog, int (*idOf)(const Window *)) {
    Locked l;
    State &s = l.state();
    Window *d = ActiveDialog(s, dialog);
    if (!d) return false;
    const int id = idOf(d);
    QueueInput(s, d, [dialog, id] { SendCommand(dialog, id, BN_CLICKED); });
    return true;
}

// With the lock held: answers the box, records the answer, and lets its loop end.
void Answer(State &s, Window *box, int answer) {
    box->answer = answer;
    for (auto it = s.boxes.rbegin(); it != s.boxes.rend(); ++it) {
        if (it->box == box->handle) {
            it->answer = answer;
            break;
        }
    }
}

// A key in a message box, with the lock held.
void MessageBoxKey(State &s, Window *box, Key key) {
    const int count = static_cast<int>(box->buttons.size());
    switch (key) {
        case Key::kTab:
        case Key::kRight:
        case Key::kDown:
            box->focusedButton = (box->focusedButton + 1) % count;
            Touch(s, box);
            break;
        case Key::kShiftTab:
        case Key::kLeft:
        case Key::kUp:
            box->focusedButton = (box->focusedButton + count - 1) % count;
            Touch(s, box);
            break;
        case Key::kEnter:
        case Key::kSpace: Answer(s, box, box->buttons[static_cast<size_t>(box->focusedButton)]); break;
        case Key::kEscape: {
            const auto &b = box->buttons;
            if (std::find(b.begin(), b.end(), IDCANCEL) != b.end()) Answer(s, box, IDCANCEL);
            else if (b.size() == 1 && b[0] == IDOK) Answer(s, box, IDOK);
            break;
        }
        default: break;  // list keys mean nothing to a box
    }
}

// Where a list key moves an index among `count` items: by one, to an end, or by a page
// of `page` rows; -1 when the key does not move in a list.
int ListMove(Key key, int from, int count, int page) {
    if (count <= 0) return -1;
    switch (key) {
        case Key::kUp:
        case Key::kLeft: return std::max(from - 1, 0);
        case Key::kDown:
        case Key::kRight: return from < 0 ? 0 : std::min(from + 1, count - 1);
        case Key::kHome: return 0;
        case Key::kEnd: return count - 1;
        case Key::kPageUp: return std::max(from - page, 0);
        case Key::kPageDown: return std::min(std::max(from, 0) + page, count - 1);
        default: return -1;
    }
}

bool TogglesList(Key key) { return key == Key::kF4 || key == Key::kAltDown || key == Key::kAltUp; }

struct Command {
    int id;
    int code;
    HWND control;
};

// A key in a dialog, on the dialog's thread.
void DialogKey(HWND dialog, Key key) {
    std::vector<Command> commands;
    HWND click = nullptr;
    {
        Locked l;
        State &s = l.state();
        Window *d = ActiveDialog(s, dialog);
        if (!d) return;
        Window *f = d->focus;
        if (f && (std::find(d->controls.begin(), d->controls.end(), f) == d->controls.end() || !Reachable(f))) {
            f = nullptr;
        }
        const auto moveFocus = [&](bool forward) {
            std::vector<Window *> stops;
            for (Window *c : d->controls) {
                if ((c->style & WS_TABSTOP) && Reachable(c)) stops.push_back(c);
            }
            if (stops.empty()) return;
            auto at = std::find(stops.begin(), stops.end(), f);
            size_t i = at == stops.end() ? (forward ? 0 : stops.size() - 1) : static_cast<size_t>(at - stops.begin());
            if (at != stops.end()) i = forward ? (i + 1) % stops.size() : (i + stops.size() - 1) % stops.size();
            d->focus = stops[i];
            Touch(s, d);
        };
        const bool combo = f && f->kind == ControlKind::kComboBox;
        const int count = combo ? static_cast<int>(f->items.size()) : 0;
        const int page = combo ? ListRows(f) : 0;
        const auto pressDefault = [&] {
            const int id = DefaultId(d);
            Window *c = FindControl(d, id);
            commands.push_back({id, BN_CLICKED, c ? c->handle : nullptr});
        };
        if (combo && f->dropped) {
            if (const int next = ListMove(key, f->highlight, count, page); next >= 0) {
                f->highlight = next;
                ScrollToHighlight(f);
                Touch(s, f);
            } else if ((key == Key::kEnter || key == Key::kSpace) && f->highlight >= 0 && f->highlight < count) {
                const int index = f->highlight;
                const HWND control = f->handle;
                l.lock().unlock();
                PickComboItem(dialog, control, index, true);
                return;
            } else if (key == Key::kEnter || key == Key::kSpace || key == Key::kEscape || key == Key::kTab ||
                       key == Key::kShiftTab || TogglesList(key)) {
                f->dropped = false;
                f->highlight = -1;
                Touch(s, f);
                commands.push_back({f->id, CBN_SELENDCANCEL, f->handle});
                commands.push_back({f->id, CBN_CLOSEUP, f->handle});
                if (key == Key::kTab || key == Key::kShiftTab) moveFocus(key == Key::kTab);
            }
        } else if (combo && TogglesList(key)) {
            f->dropped = true;
            f->highlight = count > 0 ? std::max(f->selection, 0) : -1;
            f->listTop = std::max(f->highlight, 0);
            ScrollToHighlight(f);
            Touch(s, f);
            commands.push_back({f->id, CBN_DROPDOWN, f->handle});
        } else if (combo && ListMove(key, f->selection, count, page) >= 0) {
            // A closed list: the selection moves at once.
            const int next = ListMove(key, f->selection, count, page);
            if (next != f->selection) {
                f->selection = next;
                Touch(s, f);
                commands.push_back({f->id, CBN_SELCHANGE, f->handle});
            }
        } else {
            switch (key) {
                case Key::kTab:
                case Key::kShiftTab: moveFocus(key == Key::kTab); break;
                case Key::kEnter:
                    // A closed drop-down list does not take Enter: the default button does.
                    if (f && f->kind == ControlKind::kPushButton) click = f->handle;
                    else pressDefault();
                    break;
                case Key::kSpace:
                    if (f && (f->kind == ControlKind::kPushButton || f->kind == ControlKind::kCheckBox ||
                              f->kind == ControlKind::kRadioButton)) {
                        click = f->handle;
                    }
                    break;
                case Key::kEscape: {
                    Window *c = FindControl(d, IDCANCEL);
                    commands.push_back({IDCANCEL, BN_CLICKED, c ? c->handle : nullptr});
                    break;
                }
                default: break;  // arrows and list keys away from a list
            }
        }
    }
    if (click) ClickControl(dialog, click);
    for (const Command &c : commands) {
        Dispatch(dialog, WM_COMMAND, MAKEWPARAM(c.id, c.code), reinterpret_cast<LPARAM>(c.control));
    }
}

}  // namespace

std::vector<WindowInfo> TopWindows() {
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    std::vector<WindowInfo> all;
    for (HWND h : s.stack) {
        if (const Window *w = Find(s, h)) all.push_back(DescribeWindow(w));
    }
    return all;
}

std::optional<WindowInfo> Describe(HWND window) {
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    const Window *w = Find(s, window);
    if (!w || w->type == Window::kControl) return std::nullopt;
    return DescribeWindow(w);
}

std::optional<ControlInfo> Control(HWND dialog, int id) {
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    Window *d = FindDialog(s, dialog);
    const Window *c = d ? FindControl(d, id) : nullptr;
    if (!c) return std::nullopt;
    return DescribeControl(c);
}

HWND WaitForWindow(std::u16string_view title, std::chrono::milliseconds bound) {
    State &s = TheState();
    std::unique_lock lock(s.mutex);
    HWND found = nullptr;
    s.changed.wait_for(lock, bound, [&] {
        for (auto it = s.stack.rbegin(); it != s.stack.rend(); ++it) {
            const Window *w = FindLive(s, *it);
            if (w && w->text == title) {
                found = w->handle;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool WaitIdle(HWND window, std::chrono::milliseconds bound) {
    State &s = TheState();
    std::unique_lock lock(s.mutex);
    bool gone = false;
    const bool idle = s.changed.wait_for(lock, bound, [&] {
        const Window *w = Find(s, window);
        if (!w) return gone = true;
        return ThreadIdle(s, w->thread);
    });
    return idle && !gone;
}

bool WaitClosed(HWND window, std::chrono::milliseconds bound) {
    State &s = TheState();
    std::unique_lock lock(s.mutex);
    return s.changed.wait_for(lock, bound, [&] { return Find(s, window) == nullptr; });
}

bool SelectComboItem(HWND dialog, int id, int index) {
    return QueueSelect(dialog, id, [index](const Window *) { return index; });
}

bool SelectComboItem(HWND dialog, int id, std::u16string_view itemText) {
    return QueueSelect(dialog, id, [itemText](const Window *c) {
        auto it = std::find(c->items.begin(), c->items.end(), itemText);
        return it == c->items.end() ? -1 : static_cast<int>(it - c->items.begin());
    });
}

bool Click(HWND dialog, int id) { return QueueClick(dialog, id, false); }

bool ToggleCheckBox(HWND dialog, int id) { return QueueClick(dialog, id, true); }

bool PressEnter(HWND dialog) { return QueueCommand(dialog, DefaultId); }

bool PressEscape(HWND dialog) {
    return QueueCommand(dialog, [](const Window *) { return IDCANCEL; });
}

bool ClickCaption(HWND dialog, CaptionButton button) {
    Locked l;
    State &s = l.state();
    Window *d = ActiveDialog(s, dialog);
    if (!d) return false;
    if (button == CaptionButton::kOk) {
        if (!(d->exStyle & WS_EX_CAPTIONOKBTN)) return false;
        QueueInput(s, d, [dialog] { SendCommand(dialog, IDOK, BN_CLICKED); });
    } else {
        if ((d->style & WS_CAPTION) != WS_CAPTION || !(d->style & WS_SYSMENU)) return false;
        QueueInput(s, d, [dialog] { Dispatch(dialog, WM_CLOSE, 0, 0); });
    }
    return true;
}

bool AnswerMessageBox(int answer, HWND box) {
    Locked l;
    State &s = l.state();
    Window *w = nullptr;
    if (box) {
        w = FindLive(s, box);
    } else {
        for (auto it = s.stack.rbegin(); it != s.stack.rend() && !w; ++it) {
            Window *candidate = FindLive(s, *it);
            if (candidate && candidate->type == Window::kMessageBox) w = candidate;
        }
    }
    if (!w || w->type != Window::kMessageBox) return false;
    if (std::find(w->buttons.begin(), w->buttons.end(), answer) == w->buttons.end()) return false;
    Answer(s, w, answer);
    return true;
}

bool FeedKey(Key key) {
    Locked l;
    State &s = l.state();
    Window *top = nullptr;
    for (auto it = s.stack.rbegin(); it != s.stack.rend() && !top; ++it) {
        Window *w = FindLive(s, *it);
        if (w && w->Enabled()) top = w;
    }
    if (!top) return false;
    if (top->type == Window::kMessageBox) {
        MessageBoxKey(s, top, key);
    } else {
        const HWND dialog = top->handle;
        QueueInput(s, top, [dialog, key] { DialogKey(dialog, key); });
    }
    return true;
}

bool PostQuit(HWND window) {
    Locked l;
    State &s = l.state();
    // Only a window whose loop still runs (or is about to, after its initialisation):
    // its outermost loop is what takes the quit away again.
    const auto running = [&](HWND h) {
        Window *w = Find(s, h);
        return w && (FindLive(s, h) || w->initializing) ? w : nullptr;
    };
    Window *w = window ? running(window) : nullptr;
    if (!window) {
        for (auto it = s.stack.rbegin(); it != s.stack.rend() && !w; ++it) w = running(*it);
    }
    if (!w) return false;
    s.queues[w->thread].quit = true;
    return true;
}

std::vector<MessageBoxRecord> MessageBoxes() {
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    return s.boxes;
}

DWORD CurrentCursor() {
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    return s.cursor;
}

std::vector<ForegroundRequest> ForegroundRequests() {
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    return s.foreground;
}

std::vector<std::u16string> HandledAppNotifications() {
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    return s.appNotifications;
}

void ClearRecords() {
    Locked l;
    State &s = l.state();
    s.boxes.clear();
    s.foreground.clear();
    s.appNotifications.clear();
    if (s.cursor != 32512 && s.frontEnd) s.notes.push_back(Note{Note::kCursor, nullptr, 32512});
    s.cursor = 32512;
}

void AttachFrontEnd(FrontEnd *frontEnd) {
    std::lock_guard front(FrontMutex());
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    s.frontEnd = frontEnd;
    s.notes.clear();
}

void DetachFrontEnd() { AttachFrontEnd(nullptr); }

}  // namespace standin::gwes
