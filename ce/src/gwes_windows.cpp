// The dialog manager (GWES) of the stand-in: modal dialogs built from binary templates,
// their controls (combo boxes, buttons, check boxes, static text, group boxes), the
// per-thread message loop with messages sent across threads, message boxes, cursors,
// FindWindowW, SetForegroundWindow and CeHandleAppNotifications.
#include <windows.h>

#include <notify.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "gwes_internal.h"
#include "standin/kernel.h"

namespace standin::gwes::internal {

State &TheState() {
    // Never destroyed: windows may still be looked at from static destructors.
    static auto *state = new State;
    return *state;
}

Window *Find(State &s, HWND handle) {
    auto it = s.windows.find(handle);
    return it == s.windows.end() ? nullptr : it->second.get();
}

Window *FindLive(State &s, HWND handle) {
    Window *w = Find(s, handle);
    if (!w) return nullptr;
    if (w->type == Window::kDialog && (!w->shown || w->ended)) return nullptr;
    if (w->type == Window::kMessageBox && w->answer != 0) return nullptr;
    return w->type == Window::kControl ? nullptr : w;
}

Window *FindDialog(State &s, HWND handle) {
    Window *w = Find(s, handle);
    return w && w->type == Window::kDialog ? w : nullptr;
}

Window *FindControl(Window *dialog, int id) {
    for (Window *c : dialog->controls) {
        if (c->id == static_cast<WORD>(id)) return c;
    }
    return nullptr;
}

void AddNote(State &s, Note::Kind kind, HWND window) {
    if (s.frontEnd) s.notes.push_back(Note{kind, window, 0});
}

void Touch(State &s, Window *w) {
    Window *top = w->TopLevel();
    if (top && (top->shown || top->initializing)) AddNote(s, Note::kChanged, top->handle);
}

bool LoopDone(const Window *w) {
    return !w || w->ended || (w->type == Window::kMessageBox && w->answer != 0);
}

bool ThreadIdle(State &s, std::thread::id thread) {
    auto it = s.queues.find(thread);
    if (it == s.queues.end()) return false;
    const ThreadQueue &q = it->second;
    return q.waiting && q.messages.empty() && !q.loops.empty() && !LoopDone(Find(s, q.loops.back()));
}

int ListRows(const Window *c) {
    const int count = static_cast<int>(c->items.size());
    return std::max(1, std::min(count, (c->rect.cy - kComboClosedHeight) / kUnitsPerCellY));
}

void ScrollToHighlight(Window *c) {
    const int rows = ListRows(c);
    const int count = static_cast<int>(c->items.size());
    if (c->highlight >= 0 && c->highlight < c->listTop) c->listTop = c->highlight;
    if (c->highlight >= c->listTop + rows) c->listTop = c->highlight - rows + 1;
    c->listTop = std::clamp(c->listTop, 0, std::max(0, count - rows));
}

bool Reachable(const Window *c) {
    const Window *d = c->parent;
    if (!d || !(c->style & WS_VISIBLE) || (c->style & WS_DISABLED)) return false;
    const Rect &r = c->rect;
    return r.x < d->rect.cx && r.y < d->rect.cy && r.x + r.cx > 0 && r.y + r.cy > 0;
}

void QueueInput(State &s, Window *w, std::function<void()> input) {
    QueuedMessage m;
    m.hwnd = w->TopLevel()->handle;
    m.input = std::move(input);
    s.queues[w->thread].messages.push_back(std::move(m));
}

namespace {

HWND NewHandle(State &s) {
    HWND h = reinterpret_cast<HWND>(s.nextHandle);
    s.nextHandle += 4;
    return h;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    auto fold = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
    auto fold = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; };
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        if (fold(a[i]) != fold(b[i])) return fold(a[i]) < fold(b[i]) ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// ---- templates ---------------------------------------------------------------------------

// Reads a binary dialog template. The template comes from the program (a resource or
// memory it built), so like the platform this trusts its layout.
class TemplateReader {
public:
    explicit TemplateReader(const void *base) : base_(static_cast<const BYTE *>(base)) {}
    WORD Word() {
        WORD v;
        std::memcpy(&v, base_ + pos_, 2);
        pos_ += 2;
        return v;
    }
    DWORD Dword() {
        DWORD v;
        std::memcpy(&v, base_ + pos_, 4);
        pos_ += 4;
        return v;
    }
    short Short() { return static_cast<short>(Word()); }
    // A 0-terminated string, or 0xFFFF and an ordinal (returned in *ordinal).
    std::u16string SzOrOrd(WORD *ordinal = nullptr) {
        WORD first = Word();
        if (first == 0xFFFF) {
            WORD ord = Word();
            if (ordinal) *ordinal = ord;
            return {};
        }
        std::u16string text;
        for (WORD c = first; c != 0; c = Word()) text += static_cast<char16_t>(c);
        return text;
    }
    void Skip(size_t n) { pos_ += n; }
    void AlignDword() { pos_ = (pos_ + 3) & ~size_t{3}; }

private:
    const BYTE *base_;
    size_t pos_ = 0;
};

struct Built {
    std::unique_ptr<Window> dialog;
    std::vector<std::unique_ptr<Window>> controls;
};

ControlKind KindOf(const std::u16string &className, DWORD style) {
    if (EqualNoCase(className, u"Button")) {
        switch (style & BS_TYPEMASK) {
            case BS_CHECKBOX:
            case BS_AUTOCHECKBOX:
            case BS_3STATE:
            case BS_AUTO3STATE: return ControlKind::kCheckBox;
            case BS_RADIOBUTTON:
            case BS_AUTORADIOBUTTON: return ControlKind::kRadioButton;
            case BS_GROUPBOX: return ControlKind::kGroupBox;
            default: return ControlKind::kPushButton;
        }
    }
    if (EqualNoCase(className, u"Static")) return ControlKind::kStatic;
    if (EqualNoCase(className, u"ComboBox")) return ControlKind::kComboBox;
    return ControlKind::kOther;
}

std::u16string ClassOfAtom(WORD atom) {
    switch (atom) {
        case 0x80: return u"Button";
        case 0x81: return u"Edit";
        case 0x82: return u"Static";
        case 0x83: return u"ListBox";
        case 0x84: return u"ScrollBar";
        case 0x85: return u"ComboBox";
        default: return u"#" + standin::FromUtf8(std::to_string(atom));
    }
}

Built BuildFromTemplate(const void *tmpl) {
    TemplateReader r(tmpl);
    Built built;
    auto dlg = std::make_unique<Window>();
    dlg->type = Window::kDialog;
    dlg->className = WC_DIALOG;
    dlg->style = r.Dword();
    dlg->exStyle = r.Dword();
    const WORD count = r.Word();
    dlg->rect.x = r.Short();
    dlg->rect.y = r.Short();
    dlg->rect.cx = r.Short();
    dlg->rect.cy = r.Short();
    r.SzOrOrd();  // menu: dialogs here have none
    r.SzOrOrd();  // window class: always the dialog class
    dlg->text = r.SzOrOrd();
    if (dlg->style & DS_SETFONT) {
        dlg->fontPointSize = r.Word();
        dlg->fontName = r.SzOrOrd();
    }
    for (WORD i = 0; i < count; ++i) {
        r.AlignDword();
        auto c = std::make_unique<Window>();
        c->type = Window::kControl;
        c->style = r.Dword();
        c->exStyle = r.Dword();
        c->rect.x = r.Short();
        c->rect.y = r.Short();
        c->rect.cx = r.Short();
        c->rect.cy = r.Short();
        c->id = r.Word();
        WORD atom = 0;
        c->className = r.SzOrOrd(&atom);
        if (c->className.empty()) c->className = ClassOfAtom(atom);
        c->text = r.SzOrOrd();
        r.Skip(r.Word());
        c->kind = KindOf(c->className, c->style);
        c->parent = dlg.get();
        dlg->controls.push_back(c.get());
        built.controls.push_back(std::move(c));
    }
    built.dialog = std::move(dlg);
    return built;
}

// The controls that Tab visits, in tab order.
std::vector<Window *> TabStops(Window *d) {
    std::vector<Window *> stops;
    for (Window *c : d->controls) {
        if ((c->style & WS_TABSTOP) && Reachable(c)) stops.push_back(c);
    }
    return stops;
}

// With the lock held: removes a top-level window and its controls, re-enables its owner
// and fails the messages still queued for them (a waiting sender gets 0).
void DestroyTopLevel(State &s, Window *w) {
    const HWND handle = w->handle;
    const bool wasShown = w->shown || w->announced;
    if (Window *owner = Find(s, w->owner)) {
        --owner->disabledBy;
        Touch(s, owner);
    }
    std::vector<HWND> gone{handle};
    for (Window *c : w->controls) gone.push_back(c->handle);
    for (auto &[thread, queue] : s.queues) {
        std::erase_if(queue.messages, [&gone](QueuedMessage &m) {
            if (std::find(gone.begin(), gone.end(), m.hwnd) == gone.end()) return false;
            if (m.slot) {
                m.slot->done = true;
                m.slot->result = 0;
            }
            return true;
        });
    }
    for (HWND h : gone) s.windows.erase(h);
    std::erase(s.stack, handle);
    if (wasShown) AddNote(s, Note::kDestroyed, handle);
}

void RunQueued(QueuedMessage &m) {
    if (m.input) {
        m.input();
        return;
    }
    const LRESULT result = Dispatch(m.hwnd, m.msg, m.wParam, m.lParam);
    if (m.slot) {
        Locked l;
        m.slot->done = true;
        m.slot->result = result;
    }
}

constexpr auto kUnansweredReport = std::chrono::seconds(10);

// With the lock held: ends the window's loop for a quit. A box takes the answer that
// leaves things as they are (Cancel, else No, else its only button).
void EndForQuit(State &s, Window *w) {
    if (w->type == Window::kDialog) {
        w->ended = true;
        w->result = 0;
        return;
    }
    const auto &b = w->buttons;
    int answer = b.empty() ? IDCANCEL : b.back();
    if (std::find(b.begin(), b.end(), IDNO) != b.end()) answer = IDNO;
    if (std::find(b.begin(), b.end(), IDCANCEL) != b.end()) answer = IDCANCEL;
    w->answer = answer;
    for (auto it = s.boxes.rbegin(); it != s.boxes.rend(); ++it) {
        if (it->box == w->handle) {
            it->answer = answer;
            break;
        }
    }
}

// Runs the calling thread's messages until the window ends (a dialog) or is answered
// (a message box), or is gone.
void RunLoop(HWND until) {
    State &s = TheState();
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(s.mutex);
    ThreadQueue &q = s.queues[self];
    q.loops.push_back(until);
    for (;;) {
        Window *w = Find(s, until);
        if (w && q.quit && !LoopDone(w)) EndForQuit(s, w);
        if (LoopDone(w)) break;
        if (!q.messages.empty()) {
            QueuedMessage m = std::move(q.messages.front());
            q.messages.pop_front();
            lock.unlock();
            RunQueued(m);
            lock.lock();
            continue;
        }
        q.waiting = true;
        s.changed.notify_all();
        if (w->type == Window::kMessageBox && !w->reported && !s.frontEnd) {
            s.changed.wait_for(lock, std::chrono::seconds(1));
            w = Find(s, until);
            if (w && w->answer == 0 && !s.frontEnd &&
                std::chrono::steady_clock::now() - w->shownAt >= kUnansweredReport) {
                w->reported = true;
                std::fprintf(stderr,
                             "gwes: message box \"%s\" (\"%s\") still waits for an answer; no front end is "
                             "attached, so only a test's AnswerMessageBox can close it\n",
                             standin::ToUtf8(w->text).c_str(), standin::ToUtf8(w->body).c_str());
            }
        } else {
            s.changed.wait(lock);
        }
        q.waiting = false;
    }
    q.loops.pop_back();
    q.waiting = false;
    if (q.loops.empty()) q.quit = false;  // the program's outermost loop took the quit
    if (q.loops.empty() && q.messages.empty()) s.queues.erase(self);
    lock.unlock();
    s.changed.notify_all();
}

// ---- built-in window procedures -------------------------------------------------------------

std::u16string TextOf(const Window *w) {
    if (w->type == Window::kControl && w->kind == ControlKind::kComboBox) {
        return w->selection >= 0 ? w->items[static_cast<size_t>(w->selection)] : std::u16string();
    }
    return w->text;
}

// WM_SETTEXT, WM_GETTEXT and WM_GETTEXTLENGTH for any window; false for other messages.
bool TextMessage(UINT msg, WPARAM wParam, LPARAM lParam, Window *w, LRESULT *result) {
    switch (msg) {
        case WM_SETTEXT:
            // A drop-down list shows its selected item and has no text of its own.
            if (w->type == Window::kControl && w->kind == ControlKind::kComboBox) {
                *result = FALSE;
                return true;
            }
            w->text = lParam ? std::u16string(reinterpret_cast<LPCWSTR>(lParam)) : std::u16string();
            *result = TRUE;
            return true;
        case WM_GETTEXT: {
            auto *out = reinterpret_cast<LPWSTR>(lParam);
            if (!out || wParam == 0) {
                *result = 0;
                return true;
            }
            const std::u16string text = TextOf(w);
            const size_t n = std::min<size_t>(text.size(), wParam - 1);
            std::copy_n(text.data(), n, out);
            out[n] = 0;
            *result = static_cast<LRESULT>(n);
            return true;
        }
        case WM_GETTEXTLENGTH: *result = static_cast<LRESULT>(TextOf(w).size()); return true;
        default: return false;
    }
}

LRESULT ComboMessage(Window *c, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto &items = c->items;
    const int count = static_cast<int>(items.size());
    const int index = static_cast<int>(wParam);
    switch (msg) {
        case CB_ADDSTRING:
        case CB_INSERTSTRING: {
            if (!lParam) return CB_ERR;
            std::u16string text(reinterpret_cast<LPCWSTR>(lParam));
            int at = count;
            if (msg == CB_INSERTSTRING) {
                if (index != -1) {
                    if (index < 0 || index > count) return CB_ERR;
                    at = index;
                }
            } else if (c->style & CBS_SORT) {
                // Only a sorting box reorders; the others keep insertion order, which
                // programs use as the item's meaning.
                at = 0;
                while (at < count && CompareNoCase(items[static_cast<size_t>(at)], text) <= 0) ++at;
            }
            items.insert(items.begin() + at, std::move(text));
            c->itemData.insert(c->itemData.begin() + at, 0);
            if (c->selection >= at) ++c->selection;
            if (c->highlight >= at) ++c->highlight;
            return at;
        }
        case CB_DELETESTRING:
            if (index < 0 || index >= count) return CB_ERR;
            items.erase(items.begin() + index);
            c->itemData.erase(c->itemData.begin() + index);
            if (c->selection == index) c->selection = -1;
            else if (c->selection > index) --c->selection;
            if (c->highlight >= count - 1) c->highlight = count - 2;
            return count - 1;
        case CB_GETCOUNT: return count;
        case CB_GETCURSEL: return c->selection;
        case CB_GETLBTEXT: {
            if (index < 0 || index >= count || !lParam) return CB_ERR;
            const std::u16string &text = items[static_cast<size_t>(index)];
            auto *out = reinterpret_cast<LPWSTR>(lParam);
            std::copy(text.begin(), text.end(), out);
            out[text.size()] = 0;
            return static_cast<LRESULT>(text.size());
        }
        case CB_GETLBTEXTLEN:
            if (index < 0 || index >= count) return CB_ERR;
            return static_cast<LRESULT>(items[static_cast<size_t>(index)].size());
        case CB_SETCURSEL:
            if (index < 0 || index >= count) {
                c->selection = -1;
                return CB_ERR;
            }
            c->selection = index;
            return index;
        case CB_RESETCONTENT:
            items.clear();
            c->itemData.clear();
            c->selection = -1;
            c->highlight = -1;
            c->dropped = false;
            return CB_OKAY;
        case CB_FINDSTRINGEXACT: {
            if (!lParam || count == 0) return CB_ERR;
            const std::u16string_view wanted(reinterpret_cast<LPCWSTR>(lParam));
            const int start = (index < 0 || index >= count) ? 0 : index + 1;
            for (int k = 0; k < count; ++k) {
                const int i = (start + k) % count;
                if (EqualNoCase(items[static_cast<size_t>(i)], wanted)) return i;
            }
            return CB_ERR;
        }
        case CB_GETITEMDATA:
            if (index < 0 || index >= count) return CB_ERR;
            return c->itemData[static_cast<size_t>(index)];
        case CB_SETITEMDATA:
            if (index < 0 || index >= count) return CB_ERR;
            c->itemData[static_cast<size_t>(index)] = lParam;
            return CB_OKAY;
        case CB_GETDROPPEDSTATE: return c->dropped ? TRUE : FALSE;
        case CB_SHOWDROPDOWN:
            c->dropped = wParam != 0;
            c->highlight = c->dropped ? c->selection : -1;
            c->listTop = std::max(c->highlight, 0);
            ScrollToHighlight(c);
            return TRUE;
        default: return 0;
    }
}

LRESULT ControlMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == BM_CLICK) {
        HWND dialog = nullptr;
        {
            Locked l;
            Window *c = Find(l.state(), hwnd);
            if (!c || c->type != Window::kControl) return 0;
            dialog = c->parent->handle;
        }
        ClickControl(dialog, hwnd);
        return 0;
    }
    Locked l;
    State &s = l.state();
    Window *c = Find(s, hwnd);
    if (!c) return 0;
    LRESULT result = 0;
    if (TextMessage(msg, wParam, lParam, c, &result)) {
        if (msg == WM_SETTEXT) Touch(s, c);
        return result;
    }
    switch (c->kind) {
        case ControlKind::kComboBox:
            result = ComboMessage(c, msg, wParam, lParam);
            if (msg != CB_GETCOUNT && msg != CB_GETCURSEL && msg != CB_GETLBTEXT && msg != CB_GETLBTEXTLEN &&
                msg != CB_FINDSTRINGEXACT && msg != CB_GETITEMDATA && msg != CB_GETDROPPEDSTATE) {
                Touch(s, c);
            }
            return result;
        case ControlKind::kCheckBox:
        case ControlKind::kRadioButton:
            if (msg == BM_GETCHECK) return c->check;
            if (msg == BM_SETCHECK) {
                const DWORD type = c->style & BS_TYPEMASK;
                const bool threeState = type == BS_3STATE || type == BS_AUTO3STATE;
                c->check = wParam == BST_INDETERMINATE && threeState ? BST_INDETERMINATE
                           : wParam != BST_UNCHECKED                  ? BST_CHECKED
                                                                      : BST_UNCHECKED;
                Touch(s, c);
            }
            return 0;
        default: return 0;
    }
}

// What the dialog manager does with a message the dialog procedure left alone.
LRESULT DefDialogMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CLOSE) {
        SendCommand(hwnd, IDCANCEL, BN_CLICKED);
        return 0;
    }
    Locked l;
    Window *w = Find(l.state(), hwnd);
    LRESULT result = 0;
    if (w && TextMessage(msg, wParam, lParam, w, &result) && msg == WM_SETTEXT) Touch(l.state(), w);
    return result;
}

std::vector<int> ButtonsOf(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_OK: return {IDOK};
        case MB_OKCANCEL: return {IDOK, IDCANCEL};
        case MB_ABORTRETRYIGNORE: return {IDABORT, IDRETRY, IDIGNORE};
        case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
        case MB_YESNO: return {IDYES, IDNO};
        case MB_RETRYCANCEL: return {IDRETRY, IDCANCEL};
        default: return {};
    }
}

// The system cursors LoadCursorW knows; a cursor handle is its id offset into a range
// that no other handle uses.
constexpr WORD kSystemCursors[] = {32512, 32513, 32514, 32515, 32516, 32646, 32648, 32650, 32651};
constexpr uintptr_t kCursorBase = 0x7C000000;

HCURSOR CursorHandle(DWORD id) { return id ? reinterpret_cast<HCURSOR>(kCursorBase + id) : nullptr; }

DWORD CursorId(HCURSOR h) {
    const auto v = reinterpret_cast<uintptr_t>(h);
    if (v <= kCursorBase || v > kCursorBase + 0xFFFF) return 0;
    const DWORD id = static_cast<DWORD>(v - kCursorBase);
    return std::find(std::begin(kSystemCursors), std::end(kSystemCursors), id) != std::end(kSystemCursors) ? id
                                                                                                         : 0;
}

}  // namespace

LRESULT Dispatch(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Window::Type type;
    DLGPROC proc = nullptr;
    {
        State &s = TheState();
        std::lock_guard lock(s.mutex);
        Window *w = Find(s, hwnd);
        if (!w) return 0;
        type = w->type;
        proc = w->proc;
    }
    switch (type) {
        case Window::kControl: return ControlMessage(hwnd, msg, wParam, lParam);
        case Window::kMessageBox: {
            Locked l;
            Window *w = Find(l.state(), hwnd);
            LRESULT result = 0;
            if (w && msg != WM_SETTEXT) TextMessage(msg, wParam, lParam, w, &result);
            return result;
        }
        case Window::kDialog: break;
    }
    const INT_PTR handled = proc ? proc(hwnd, msg, wParam, lParam) : FALSE;
    if (handled) return handled;
    return DefDialogMessage(hwnd, msg, wParam, lParam);
}

void SendCommand(HWND dialog, int id, int code) {
    HWND control = nullptr;
    {
        State &s = TheState();
        std::lock_guard lock(s.mutex);
        Window *d = FindDialog(s, dialog);
        if (!d) return;
        if (Window *c = FindControl(d, id)) control = c->handle;
    }
    Dispatch(dialog, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(control));
}

void ClickControl(HWND dialog, HWND control) {
    int id = 0;
    {
        Locked l;
        State &s = l.state();
        Window *c = Find(s, control);
        if (!c || c->type != Window::kControl || c->parent->handle != dialog) return;
        const DWORD type = c->style & BS_TYPEMASK;
        switch (c->kind) {
            case ControlKind::kCheckBox:
                if (type == BS_AUTOCHECKBOX) c->check = c->check == BST_UNCHECKED ? BST_CHECKED : BST_UNCHECKED;
                if (type == BS_AUTO3STATE) c->check = (c->check + 1) % 3;
                break;
            case ControlKind::kRadioButton:
                if (type == BS_AUTORADIOBUTTON) {
                    // Unchecks the other automatic radio buttons of its group: from the
                    // control with WS_GROUP before it up to the next one with WS_GROUP.
                    auto &all = c->parent->controls;
                    auto self = std::find(all.begin(), all.end(), c);
                    auto first = self;
                    while (first != all.begin() && !((*first)->style & WS_GROUP)) --first;
                    for (auto it = first; it != all.end(); ++it) {
                        if (it != first && ((*it)->style & WS_GROUP)) break;
                        if ((*it)->kind == ControlKind::kRadioButton &&
                            ((*it)->style & BS_TYPEMASK) == BS_AUTORADIOBUTTON) {
                            (*it)->check = BST_UNCHECKED;
                        }
                    }
                    c->check = BST_CHECKED;
                }
                break;
            case ControlKind::kPushButton: break;
            default: return;
        }
        c->parent->focus = c;
        Touch(s, c);
        id = c->id;
    }
    Dispatch(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
}

void PickComboItem(HWND dialog, HWND control, int index, bool wasOpen) {
    int id = 0;
    {
        Locked l;
        State &s = l.state();
        Window *c = Find(s, control);
        if (!c || c->kind != ControlKind::kComboBox || c->parent->handle != dialog) return;
        if (index < 0 || index >= static_cast<int>(c->items.size())) return;
        c->selection = index;
        c->dropped = false;
        c->highlight = -1;
        c->parent->focus = c;
        Touch(s, c);
        id = c->id;
    }
    const auto notify = [&](int code) {
        Dispatch(dialog, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(control));
    };
    if (!wasOpen) notify(CBN_DROPDOWN);
    notify(CBN_SELCHANGE);
    notify(CBN_SELENDOK);
    notify(CBN_CLOSEUP);
}

}  // namespace standin::gwes::internal

using namespace standin::gwes::internal;

extern "C" {

INT_PTR WINAPI DialogBoxIndirectParamW(HINSTANCE, LPCDLGTEMPLATEW lpTemplate, HWND hWndParent,
                                       DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    if (!lpTemplate) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    Built built = BuildFromTemplate(lpTemplate);
    HWND dialog = nullptr;
    HWND initialFocus = nullptr;
    {
        Locked l;
        State &s = l.state();
        Window *owner = nullptr;
        if (hWndParent) {
            owner = Find(s, hWndParent);
            if (!owner) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return -1;
            }
            owner = owner->TopLevel();
        }
        Window *d = built.dialog.get();
        d->handle = dialog = NewHandle(s);
        d->thread = std::this_thread::get_id();
        d->proc = lpDialogFunc;
        if (owner) {
            d->owner = owner->handle;
            ++owner->disabledBy;
            Touch(s, owner);
        }
        for (auto &c : built.controls) {
            c->handle = NewHandle(s);
            c->thread = d->thread;
            s.windows.emplace(c->handle, std::move(c));
        }
        s.windows.emplace(dialog, std::move(built.dialog));
        s.stack.push_back(dialog);
        const auto stops = TabStops(d);
        if (!stops.empty()) initialFocus = stops.front()->handle;
        // A front end may show the dialog while its initialisation fills it.
        d->initializing = d->announced = true;
        AddNote(s, Note::kCreated, dialog);
    }
    const LRESULT setDefaultFocus = Dispatch(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(initialFocus), dwInitParam);
    {
        Locked l;
        State &s = l.state();
        Window *d = Find(s, dialog);
        if (d) d->initializing = false;
        // A modal dialog is shown whatever its template says about WS_VISIBLE, unless
        // its initialisation ended it already. TRUE from the procedure gives the focus
        // to the first tab stop; FALSE leaves it where the procedure put it, if anywhere.
        if (d && !d->ended) {
            d->shown = true;
            if (setDefaultFocus) {
                Window *first = Find(s, initialFocus);
                d->focus = first && first->parent == d ? first : nullptr;
            }
            Touch(s, d);
        }
    }
    RunLoop(dialog);
    Locked l;
    Window *d = Find(l.state(), dialog);
    const INT_PTR result = d ? d->result : -1;
    if (d) DestroyTopLevel(l.state(), d);
    return result;
}

INT_PTR WINAPI DialogBoxParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    HRSRC found = FindResourceW(hInstance, lpTemplateName, RT_DIALOG);
    if (!found) return -1;
    const auto *tmpl = static_cast<LPCDLGTEMPLATEW>(LoadResource(hInstance, found));
    if (!tmpl) return -1;
    return DialogBoxIndirectParamW(hInstance, tmpl, hWndParent, lpDialogFunc, dwInitParam);
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
    Locked l;
    Window *d = FindDialog(l.state(), hDlg);
    if (!d) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    d->ended = true;
    d->result = nResult;
    return TRUE;
}

HWND WINAPI SetFocus(HWND hWnd) {
    Locked l;
    State &s = l.state();
    // The focus of the calling thread's topmost dialog, the one a NULL clears.
    Window *active = nullptr;
    for (auto it = s.stack.rbegin(); it != s.stack.rend() && !active; ++it) {
        Window *w = Find(s, *it);
        if (w && w->type == Window::kDialog && w->thread == std::this_thread::get_id() && !w->ended) active = w;
    }
    Window *target = nullptr;
    if (hWnd) {
        Window *w = Find(s, hWnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        target = w->type == Window::kControl ? w : nullptr;
        if (w->type == Window::kControl) active = w->parent;
        else if (w->type == Window::kDialog) active = w;
    }
    if (!active) return nullptr;
    const HWND previous = active->focus ? active->focus->handle : nullptr;
    active->focus = target;
    Touch(s, active);
    return previous;
}

HWND WINAPI GetFocus(void) {
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    for (auto it = s.stack.rbegin(); it != s.stack.rend(); ++it) {
        Window *w = Find(s, *it);
        if (w && w->type == Window::kDialog && w->thread == std::this_thread::get_id() && !w->ended)
            return w->focus ? w->focus->handle : nullptr;
    }
    return nullptr;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    Window *d = FindDialog(s, hDlg);
    if (!d) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    Window *c = FindControl(d, nIDDlgItem);
    if (!c) {
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return nullptr;
    }
    return c->handle;
}

LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    State &s = TheState();
    std::unique_lock lock(s.mutex);
    Window *w = Find(s, hWnd);
    if (!w) {
        lock.unlock();
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    const auto self = std::this_thread::get_id();
    if (w->thread == self) {
        lock.unlock();
        return Dispatch(hWnd, Msg, wParam, lParam);
    }
    SentSlot slot;
    QueuedMessage m;
    m.hwnd = hWnd;
    m.msg = Msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.slot = &slot;
    s.queues[w->thread].messages.push_back(std::move(m));
    s.changed.notify_all();
    // While it waits, a thread that runs windows of its own still handles the messages
    // sent to them, so that two such threads sending to each other do not lock up.
    for (;;) {
        if (slot.done) break;
        auto mine = s.queues.find(self);
        if (mine != s.queues.end() && !mine->second.loops.empty()) {
            auto &queue = mine->second.messages;
            auto sent = std::find_if(queue.begin(), queue.end(), [](const QueuedMessage &q) { return q.slot; });
            if (sent != queue.end()) {
                QueuedMessage incoming = std::move(*sent);
                queue.erase(sent);
                lock.unlock();
                RunQueued(incoming);
                lock.lock();
                continue;
            }
        }
        s.changed.wait(lock);
    }
    return slot.result;
}

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Locked l;
    State &s = l.state();
    Window *w = Find(s, hWnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    QueuedMessage m;
    m.hwnd = hWnd;
    m.msg = Msg;
    m.wParam = wParam;
    m.lParam = lParam;
    s.queues[w->thread].messages.push_back(std::move(m));
    return TRUE;
}

LRESULT WINAPI SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    HWND control = GetDlgItem(hDlg, nIDDlgItem);
    return control ? SendMessageW(control, Msg, wParam, lParam) : 0;
}

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
    return SendMessageW(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) ? TRUE : FALSE;
}

int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
    if (!lpString || nMaxCount <= 0) return 0;
    lpString[0] = 0;
    return static_cast<int>(
        SendMessageW(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

int WINAPI GetWindowTextLengthW(HWND hWnd) { return static_cast<int>(SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0)); }

BOOL WINAPI IsWindow(HWND hWnd) {
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    return Find(s, hWnd) ? TRUE : FALSE;
}

HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    for (auto it = s.stack.rbegin(); it != s.stack.rend(); ++it) {
        Window *w = Find(s, *it);
        if (!w) continue;
        if (lpClassName && !EqualNoCase(lpClassName, w->className)) continue;
        if (lpWindowName && !EqualNoCase(lpWindowName, w->text)) continue;
        return w->handle;
    }
    SetLastError(ERROR_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI SetForegroundWindow(HWND hWnd) {
    const auto raw = reinterpret_cast<uintptr_t>(hWnd);
    Locked l;
    State &s = l.state();
    Window *w = Find(s, reinterpret_cast<HWND>(raw & ~uintptr_t{1}));
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    Window *top = w->TopLevel();
    s.foreground.push_back(standin::gwes::ForegroundRequest{top->handle, (raw & 1) != 0});
    AddNote(s, Note::kForeground, top->handle);
    return TRUE;
}

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    std::vector<int> buttons = ButtonsOf(uType);
    if (buttons.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    HWND box = nullptr;
    {
        Locked l;
        State &s = l.state();
        Window *owner = nullptr;
        if (hWnd) {
            owner = Find(s, hWnd);
            if (!owner) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return 0;
            }
            owner = owner->TopLevel();
        }
        auto w = std::make_unique<Window>();
        w->type = Window::kMessageBox;
        w->handle = box = NewHandle(s);
        w->thread = std::this_thread::get_id();
        w->className = WC_DIALOG;
        w->text = lpCaption ? lpCaption : u"Error";
        w->body = lpText ? lpText : u"";
        w->style = WS_POPUP | WS_CAPTION | WS_VISIBLE;
        w->mbType = uType;
        w->buttons = std::move(buttons);
        w->focusedButton =
            std::min<int>(static_cast<int>((uType & MB_DEFMASK) >> 8), static_cast<int>(w->buttons.size()) - 1);
        w->shown = true;
        w->shownAt = std::chrono::steady_clock::now();
        if (owner) {
            w->owner = owner->handle;
            ++owner->disabledBy;
            Touch(s, owner);
        }
        s.boxes.push_back(standin::gwes::MessageBoxRecord{box, w->owner, w->text, w->body, uType, 0});
        s.windows.emplace(box, std::move(w));
        s.stack.push_back(box);
        AddNote(s, Note::kCreated, box);
    }
    RunLoop(box);
    Locked l;
    Window *w = Find(l.state(), box);
    const int answer = w ? w->answer : 0;
    if (w) DestroyTopLevel(l.state(), w);
    return answer;
}

HCURSOR WINAPI LoadCursorW(HINSTANCE hInstance, LPCWSTR lpCursorName) {
    const auto id = reinterpret_cast<uintptr_t>(lpCursorName);
    if (hInstance || !IS_INTRESOURCE(lpCursorName) ||
        std::find(std::begin(kSystemCursors), std::end(kSystemCursors), id) == std::end(kSystemCursors)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return CursorHandle(static_cast<DWORD>(id));
}

HCURSOR WINAPI SetCursor(HCURSOR hCursor) {
    const DWORD id = CursorId(hCursor);
    if (hCursor && !id) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    Locked l;
    State &s = l.state();
    const DWORD previous = s.cursor;
    s.cursor = id;
    if (s.frontEnd) s.notes.push_back(Note{Note::kCursor, nullptr, id});
    return CursorHandle(previous);
}

HCURSOR WINAPI GetCursor(void) {
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    return CursorHandle(s.cursor);
}

BOOL WINAPI CeHandleAppNotifications(TCHAR *appName) {
    if (!appName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Locked l;
    l.state().appNotifications.emplace_back(appName);
    return TRUE;
}

}  // extern "C"
