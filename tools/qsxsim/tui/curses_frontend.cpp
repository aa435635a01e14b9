// The terminal front end: the character-cell layout of dialogs and message boxes (plain
// text, no terminal needed), the translation of terminal keys into the dialog manager's
// keys, and the ncurses loop that draws the layout and reads the keys.
#include "curses_frontend.h"

#include <standin/utf8.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <map>

// Last: curses.h defines short macros (OK, ERR, ...) that nothing above should see.
#ifndef NCURSES_WIDECHAR
#define NCURSES_WIDECHAR 1
#endif
#include <curses.h>

namespace qsxsim::tui {

namespace gwes = standin::gwes;
using gwes::ControlInfo;
using gwes::ControlKind;
using gwes::WindowInfo;
using gwes::WindowKind;

// ---- screen -------------------------------------------------------------------------------

namespace {

using standin::AppendUtf8;

// Malformed sequences become U+FFFD, one per byte.
std::u32string FromUtf8(std::string_view s) {
    std::u32string out;
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
        char32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
        bool ok = extra >= 0 && i + static_cast<size_t>(extra) < s.size();
        for (int k = 1; ok && k <= extra; k++) {
            const auto t = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
            if ((t & 0xC0) != 0x80) ok = false;
            c = (c << 6) | (t & 0x3F);
        }
        if (!ok) {
            out += U'\uFFFD';
            i++;
        } else {
            out += c;
            i += static_cast<size_t>(extra) + 1;
        }
    }
    return out;
}

}  // namespace

Screen::Screen(int width, int height)
    : width_(std::max(width, 0)), height_(std::max(height, 0)), cells_(static_cast<size_t>(width_ * height_)) {}

std::vector<std::string> Screen::Lines() const {
    std::vector<std::string> lines;
    for (int row = 0; row < height_; row++) {
        std::string line;
        for (int col = 0; col < width_; col++) AppendUtf8(line, At(col, row).ch);
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string Screen::Text() const {
    std::string text;
    for (const std::string &line : Lines()) {
        if (!text.empty()) text += '\n';
        text += line;
    }
    return text;
}

std::optional<CellPos> Screen::Find(std::string_view utf8) const {
    const std::u32string needle = FromUtf8(utf8);
    if (needle.empty() || static_cast<int>(needle.size()) > width_) return std::nullopt;
    const int n = static_cast<int>(needle.size());
    for (int row = 0; row < height_; row++) {
        for (int col = 0; col + n <= width_; col++) {
            int k = 0;
            while (k < n && At(col + k, row).ch == needle[static_cast<size_t>(k)]) k++;
            if (k == n) return CellPos{col, row};
        }
    }
    return std::nullopt;
}

// ---- layout -------------------------------------------------------------------------------

namespace {

constexpr char32_t kHLine = U'\u2500', kVLine = U'\u2502';
constexpr char32_t kTopLeft = U'\u250C', kTopRight = U'\u2510', kBottomLeft = U'\u2514', kBottomRight = U'\u2518';

using gwes::kComboClosedHeight;
constexpr char32_t kScrollUp = U'\u25B2', kScrollDown = U'\u25BC';

struct Box {
    int left = 0, top = 0, width = 0, height = 0;
    int Right() const { return left + width; }  // exclusive
    int Bottom() const { return top + height; }  // exclusive
};

Box Intersect(const Box &a, const Box &b) {
    const int left = std::max(a.left, b.left), top = std::max(a.top, b.top);
    const int right = std::min(a.Right(), b.Right()), bottom = std::min(a.Bottom(), b.Bottom());
    return {left, top, std::max(0, right - left), std::max(0, bottom - top)};
}

int FloorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Dialog units to cells, to the nearest cell edge.
int ColOf(int x) { return FloorDiv(x + gwes::kUnitsPerCellX / 2, gwes::kUnitsPerCellX); }
int RowOf(int y) { return FloorDiv(y + gwes::kUnitsPerCellY / 2, gwes::kUnitsPerCellY); }
// The row holding a one-line control's middle.
int MiddleRow(int y, int cy) { return FloorDiv(y + cy / 2, gwes::kUnitsPerCellY); }

// Text for one cell each: UTF-16 decoded, CR dropped, LF kept for the callers that wrap,
// tabs and other control characters shown as spaces.
std::u32string Decode(std::u16string_view s) {
    std::u32string out;
    for (size_t i = 0; i < s.size(); i++) {
        char32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = U'\uFFFD';
        }
        if (c == U'\r') continue;
        if (c != U'\n' && (c < 0x20 || c == 0x7F)) c = U' ';
        out += c;
    }
    return out;
}

std::u32string OneLine(std::u16string_view s) {
    std::u32string t = Decode(s);
    std::replace(t.begin(), t.end(), U'\n', U' ');
    return t;
}

// A control's text as shown: "&" marks the next character as the mnemonic and is not
// shown; "&&" shows one "&". Line breaks are kept.
std::u32string Shown(std::u16string_view s, bool prefix = true) {
    std::u32string t = Decode(s);
    if (!prefix) return t;
    std::u32string out;
    for (size_t i = 0; i < t.size(); i++) {
        if (t[i] == U'&' && i + 1 < t.size()) i++;
        else if (t[i] == U'&') continue;
        out += t[i];
    }
    return out;
}

std::u32string Label(std::u16string_view s, bool prefix = true) {
    std::u32string t = Shown(s, prefix);
    std::replace(t.begin(), t.end(), U'\n', U' ');
    return t;
}

std::u32string Ascii(const char *s) {
    std::u32string out;
    while (*s) out += static_cast<char32_t>(static_cast<unsigned char>(*s++));
    return out;
}

// Word-wraps to `width` cells; words longer than a line are broken.
std::vector<std::u32string> Wrap(const std::u32string &text, int width) {
    std::vector<std::u32string> lines;
    const size_t w = static_cast<size_t>(std::max(width, 1));
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(U'\n', start);
        if (end == std::u32string::npos) end = text.size();
        std::u32string para = text.substr(start, end - start);
        while (para.size() > w) {
            size_t cut = para.rfind(U' ', w);
            if (cut == std::u32string::npos || cut == 0) {
                lines.push_back(para.substr(0, w));
                para.erase(0, w);
            } else {
                lines.push_back(para.substr(0, cut));
                para.erase(0, cut + 1);
            }
        }
        lines.push_back(para);
        start = end + 1;
    }
    while (lines.size() > 1 && lines.back().find_first_not_of(U' ') == std::u32string::npos) lines.pop_back();
    return lines;
}

// Writes into a screen, clipped to a box; `extra` is or-ed into every attribute (dimming
// a disabled window).
class Painter {
public:
    Painter(Screen &screen, Box clip, uint8_t extra = kAttrNormal)
        : screen_(screen), clip_(Intersect(clip, {0, 0, screen.Width(), screen.Height()})), extra_(extra) {}

    void Put(int col, int row, char32_t ch, uint8_t attr) {
        if (col < clip_.left || col >= clip_.Right() || row < clip_.top || row >= clip_.Bottom()) return;
        screen_.At(col, row) = Cell{ch, static_cast<uint8_t>(attr | extra_)};
    }
    // Writes at most `maxWidth` cells of `text`; returns the cells written.
    int Text(int col, int row, std::u32string_view text, uint8_t attr, int maxWidth = INT_MAX) {
        const int n = std::min(static_cast<int>(text.size()), std::max(maxWidth, 0));
        for (int i = 0; i < n; i++) Put(col + i, row, text[static_cast<size_t>(i)], attr);
        return n;
    }
    void Fill(const Box &b, uint8_t attr) {
        for (int row = b.top; row < b.Bottom(); row++)
            for (int col = b.left; col < b.Right(); col++) Put(col, row, U' ', attr);
    }
    void Frame(const Box &b, uint8_t attr) {
        if (b.width < 2 || b.height < 2) return;
        const int r = b.Right() - 1, bottom = b.Bottom() - 1;
        for (int col = b.left + 1; col < r; col++) {
            Put(col, b.top, kHLine, attr);
            Put(col, bottom, kHLine, attr);
        }
        for (int row = b.top + 1; row < bottom; row++) {
            Put(b.left, row, kVLine, attr);
            Put(r, row, kVLine, attr);
        }
        Put(b.left, b.top, kTopLeft, attr);
        Put(r, b.top, kTopRight, attr);
        Put(b.left, bottom, kBottomLeft, attr);
        Put(r, bottom, kBottomRight, attr);
    }

private:
    Screen &screen_;
    Box clip_;
    uint8_t extra_;
};

// " title " on a frame's top border, after its corner and one line cell.
void Caption(Painter &p, const Box &outer, const std::u32string &title, int reserveRight) {
    const int room = outer.width - 4 - reserveRight;
    if (title.empty() || room < 3) return;
    p.Put(outer.left + 2, outer.top, U' ', kAttrBold);
    const int n = p.Text(outer.left + 3, outer.top, title, kAttrBold, room - 2);
    p.Put(outer.left + 3 + n, outer.top, U' ', kAttrBold);
}

const char *ButtonName(int id) {
    switch (id) {
        case IDOK: return "OK";
        case IDCANCEL: return "Cancel";
        case IDABORT: return "Abort";
        case IDRETRY: return "Retry";
        case IDIGNORE: return "Ignore";
        case IDYES: return "Yes";
        case IDNO: return "No";
        default: return "?";
    }
}

// A combo box is as wide as its rectangle, or wider where an item would not fit: "[",
// the item, " v]".
int ComboWidth(const ControlInfo &c, int rectWidth) {
    size_t longest = c.text.size();
    for (const auto &item : c.items) longest = std::max(longest, item.size());
    return std::max({rectWidth, static_cast<int>(std::min<size_t>(longest, 200)) + 4, 5});
}

class Layout {
public:
    Layout(Screen &screen, Box area) : screen_(screen), area_(area) {}

    void Dialog(const WindowInfo &w) {
        const Box client = Place(w);
        clients_[w.hwnd] = client;
        const Box outer{client.left - 1, client.top - 1, client.width + 2, client.height + 2};
        const uint8_t dim = w.enabled ? kAttrNormal : kAttrDim;
        Painter frame(screen_, area_, dim);
        frame.Fill(outer, kAttrNormal);
        frame.Frame(outer, kAttrNormal);

        // The caption bar's buttons, right-aligned on the top border.
        std::u32string buttons;
        if (w.exStyle & WS_EX_CAPTIONOKBTN) buttons += U"[OK]";
        if ((w.style & WS_CAPTION) == WS_CAPTION && (w.style & WS_SYSMENU)) buttons += U"[X]";
        // A dialog still being initialised takes no keys yet: it says so where its
        // caption buttons go.
        if (w.initializing) buttons = U" busy ";
        if (!buttons.empty() && outer.width >= static_cast<int>(buttons.size()) + 4)
            frame.Text(outer.Right() - 2 - static_cast<int>(buttons.size()), outer.top, buttons,
                       w.initializing ? kAttrReverse : kAttrNormal);
        if ((w.style & WS_CAPTION) == WS_CAPTION)
            Caption(frame, outer, OneLine(w.title), buttons.empty() ? 0 : static_cast<int>(buttons.size()) + 1);

        // Controls outside the client area are not drawn: clip to it.
        Painter inside(screen_, Intersect(client, area_), dim);
        for (const ControlInfo &c : w.controls)
            if (c.visible && c.kind == ControlKind::kGroupBox) Control(inside, client, c, w.enabled);
        for (const ControlInfo &c : w.controls)
            if (c.visible && c.kind != ControlKind::kGroupBox) Control(inside, client, c, w.enabled);
        // An open list lies over everything, inside the dialog or not.
        for (const ControlInfo &c : w.controls)
            if (c.visible && c.kind == ControlKind::kComboBox && c.dropped) DroppedList(frame, client, c);
    }

    void MessageBox(const WindowInfo &w) {
        const int maxText = std::clamp(area_.width - 8, 10, 60);
        const std::vector<std::u32string> lines = Wrap(Decode(w.text), maxText);
        std::vector<std::u32string> labels;
        int buttonsWidth = 0;
        for (int id : w.buttons) {
            labels.push_back(U"[ " + Ascii(ButtonName(id)) + U" ]");
            buttonsWidth += static_cast<int>(labels.back().size()) + (labels.size() > 1 ? 2 : 0);
        }
        const std::u32string title = OneLine(w.title);
        int inner = std::max(buttonsWidth, static_cast<int>(title.size()) + 4);
        for (const auto &l : lines) inner = std::max(inner, static_cast<int>(l.size()));
        const int width = std::min(inner + 6, area_.width);
        const int height = std::min(static_cast<int>(lines.size()) + 5, area_.height);
        const Box outer{area_.left + std::max(0, (area_.width - width) / 2),
                        area_.top + std::max(0, (area_.height - height) / 2), width, height};
        const uint8_t dim = w.enabled ? kAttrNormal : kAttrDim;
        Painter frame(screen_, area_, dim);
        frame.Fill(outer, kAttrNormal);
        frame.Frame(outer, kAttrNormal);
        Caption(frame, outer, title, 0);
        Painter inside(screen_, {outer.left + 1, outer.top + 1, outer.width - 2, outer.height - 2}, dim);
        for (size_t i = 0; i < lines.size(); i++)
            inside.Text(outer.left + 3, outer.top + 2 + static_cast<int>(i), lines[i], kAttrNormal);
        int col = outer.left + std::max(1, (outer.width - buttonsWidth) / 2);
        const int row = outer.Bottom() - 2;
        for (size_t i = 0; i < labels.size(); i++) {
            const bool focus = w.enabled && static_cast<int>(i) == w.focusedButton;
            col += inside.Text(col, row, labels[i], focus ? kAttrReverse : kAttrNormal) + 2;
        }
    }

private:
    // The client area in cells: centred on the screen, or at the template position
    // relative to the owner's client area (the screen's when the owner is not drawn),
    // moved back onto the screen where it would stick out.
    Box Place(const WindowInfo &w) const {
        const int width = std::max(1, ColOf(w.rect.cx)), height = std::max(1, RowOf(w.rect.cy));
        int left, top;
        if (w.style & DS_CENTER) {
            left = area_.left + (area_.width - (width + 2)) / 2 + 1;
            top = area_.top + (area_.height - (height + 2)) / 2 + 1;
        } else {
            auto owner = clients_.find(w.owner);
            const int originX = owner != clients_.end() ? owner->second.left : area_.left + 1;
            const int originY = owner != clients_.end() ? owner->second.top : area_.top + 1;
            left = originX + ColOf(w.rect.x);
            top = originY + RowOf(w.rect.y);
            left = std::min(left, area_.Right() - width - 1);
            top = std::min(top, area_.Bottom() - height - 1);
        }
        return {std::max(left, area_.left + 1), std::max(top, area_.top + 1), width, height};
    }

    void Control(Painter &p, const Box &client, const ControlInfo &c, bool windowEnabled) {
        const int col0 = client.left + ColOf(c.rect.x);
        const int col1 = client.left + ColOf(c.rect.x + c.rect.cx);
        const int width = std::max(1, col1 - col0);
        const uint8_t attr = static_cast<uint8_t>((c.focused && windowEnabled ? kAttrReverse : kAttrNormal) |
                                                  (c.enabled ? kAttrNormal : kAttrDim));
        const bool prefix = !(c.style & SS_NOPREFIX) || c.kind != ControlKind::kStatic;
        switch (c.kind) {
            case ControlKind::kPushButton: {
                const bool isDefault = (c.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
                const std::u32string text = Label(c.text);
                const std::u32string label = isDefault ? U"[[ " + text + U" ]]" : U"[ " + text + U" ]";
                const int row = client.top + MiddleRow(c.rect.y, c.rect.cy);
                const int start = col0 + std::max(0, (width - static_cast<int>(label.size())) / 2);
                p.Text(start, row, label, static_cast<uint8_t>(attr | (isDefault ? kAttrBold : kAttrNormal)));
                break;
            }
            case ControlKind::kCheckBox:
            case ControlKind::kRadioButton: {
                const bool radio = c.kind == ControlKind::kRadioButton;
                const char32_t mark = c.check == BST_CHECKED ? (radio ? U'*' : U'x')
                                      : c.check == BST_INDETERMINATE ? U'-' : U' ';
                std::u32string label = radio ? U"( ) " : U"[ ] ";
                label[1] = mark;
                p.Text(col0, client.top + MiddleRow(c.rect.y, c.rect.cy), label + Label(c.text), attr);
                break;
            }
            case ControlKind::kGroupBox: {
                const Box frame{col0, client.top + RowOf(c.rect.y), width,
                                RowOf(c.rect.y + c.rect.cy) - RowOf(c.rect.y)};
                p.Frame(frame, c.enabled ? kAttrNormal : kAttrDim);
                Caption(p, frame, Label(c.text), 0);
                break;
            }
            case ControlKind::kComboBox: {
                const int row = client.top + MiddleRow(c.rect.y, std::min(c.rect.cy, kComboClosedHeight));
                const int inner = ComboWidth(c, width) - 4;
                std::u32string shown = OneLine(c.text).substr(0, static_cast<size_t>(inner));
                shown.resize(static_cast<size_t>(inner), U' ');
                p.Text(col0, row, U"[" + shown + U" v]", attr);
                break;
            }
            case ControlKind::kStatic:
            case ControlKind::kOther: {
                const std::u32string text = Shown(c.text, prefix);
                const DWORD align = c.style & SS_TYPEMASK;
                const bool oneLine = c.rect.cy <= kComboClosedHeight;
                if (oneLine) {
                    // A left-aligned label may run past its rectangle to the client's edge,
                    // as the platform's wider font would not need to.
                    const std::u32string t = Label(c.text, prefix);
                    const int row = client.top + MiddleRow(c.rect.y, c.rect.cy);
                    int start = col0;
                    if (align == SS_CENTER) start = col0 + std::max(0, (width - static_cast<int>(t.size())) / 2);
                    if (align == SS_RIGHT) start = col0 + std::max(0, width - static_cast<int>(t.size()));
                    p.Text(start, row, t, attr);
                } else {
                    const int top = client.top + RowOf(c.rect.y);
                    const int rows = std::max(1, RowOf(c.rect.y + c.rect.cy) - RowOf(c.rect.y));
                    std::vector<std::u32string> lines = Wrap(text, width);
                    for (int i = 0; i < rows && i < static_cast<int>(lines.size()); i++) {
                        const std::u32string &l = lines[static_cast<size_t>(i)];
                        int start = col0;
                        if (align == SS_CENTER) start = col0 + std::max(0, (width - static_cast<int>(l.size())) / 2);
                        if (align == SS_RIGHT) start = col0 + std::max(0, width - static_cast<int>(l.size()));
                        p.Text(start, top + i, l, attr);
                    }
                }
                break;
            }
        }
    }

    // The open list of a combo box below it (above it when there is no room below):
    // the rows the dialog manager says it shows, from its first row on. Items scrolled
    // out of sight above or below are marked on the list's right edge.
    void DroppedList(Painter &p, const Box &client, const ControlInfo &c) {
        const int col0 = client.left + ColOf(c.rect.x);
        const int width = ComboWidth(c, client.left + ColOf(c.rect.x + c.rect.cx) - col0);
        const int row = client.top + MiddleRow(c.rect.y, std::min(c.rect.cy, kComboClosedHeight));
        const int count = static_cast<int>(c.items.size());
        const int rows = std::max(1, c.listRows);
        const bool below = row + 1 + rows + 1 <= area_.Bottom() || row - rows - 1 < area_.top;
        const int first = std::clamp(c.listTop, 0, std::max(0, count - rows));
        const int itemsTop = below ? row + 1 : row - rows;
        std::u32string edge(static_cast<size_t>(width), kHLine);
        edge.front() = below ? kBottomLeft : kTopLeft;
        edge.back() = below ? kBottomRight : kTopRight;
        p.Text(col0, below ? itemsTop + rows : itemsTop - 1, edge, kAttrNormal);
        for (int i = 0; i < rows; i++) {
            const int index = first + i;
            std::u32string item = index < count ? OneLine(c.items[static_cast<size_t>(index)]) : std::u32string();
            item.resize(static_cast<size_t>(width - 2), U' ');
            p.Put(col0, itemsTop + i, kVLine, kAttrNormal);
            p.Text(col0 + 1, itemsTop + i, item, index == c.highlight ? kAttrReverse : kAttrNormal);
            char32_t edge = kVLine;
            if (i == 0 && first > 0) edge = kScrollUp;
            if (i == rows - 1 && first + rows < count) edge = kScrollDown;
            p.Put(col0 + width - 1, itemsTop + i, edge, kAttrNormal);
        }
    }

    Screen &screen_;
    Box area_;
    std::map<HWND, Box> clients_;  // client areas of the dialogs drawn so far
};

// The console waits while the program runs: the first thing said is how to get back.
constexpr const char *kKeyHelp =
    "F10 close, back to the console | Tab move  arrows/PgUp/PgDn/Home/End choose  F4 list  Enter OK  "
    "Space tick  Esc cancel";

}  // namespace

Screen RenderScreen(const View &view, int width, int height) {
    Screen screen(width, height);
    if (screen.Width() == 0 || screen.Height() == 0) return screen;
    const bool statusLine = screen.Height() >= 2;
    Layout layout(screen, {0, 0, screen.Width(), screen.Height() - (statusLine ? 1 : 0)});
    bool initializing = false;
    for (const WindowInfo &w : view.windows) {
        if (!w.shown && !w.initializing) continue;
        initializing = initializing || w.initializing;
        if (w.kind == WindowKind::kMessageBox) layout.MessageBox(w);
        else layout.Dialog(w);
    }
    if (statusLine) {
        Painter p(screen, {0, screen.Height() - 1, screen.Width(), 1});
        const int row = screen.Height() - 1;
        const bool busy = view.cursor == kBusyCursor || initializing;
        const std::u32string busyMark = U" busy ";
        const int room = screen.Width() - (busy ? static_cast<int>(busyMark.size()) + 1 : 0);
        p.Text(0, row, view.status.empty() ? Ascii(kKeyHelp) : FromUtf8(view.status), kAttrDim, room);
        if (busy) p.Text(screen.Width() - static_cast<int>(busyMark.size()), row, busyMark, kAttrReverse);
    }
    return screen;
}

// ---- keys ---------------------------------------------------------------------------------

namespace {
// The codes ncurses gives Alt+Down and Alt+Up while a front end owns the terminal.
std::atomic<int> altDownCode{ERR}, altUpCode{ERR};
}  // namespace

KeyAction TranslateKey(int cursesKey) {
    using gwes::Key;
    const auto feed = [](Key k) { return KeyAction{KeyAction::kFeed, k}; };
    switch (cursesKey) {
        case '\t': return feed(Key::kTab);
        case KEY_BTAB: return feed(Key::kShiftTab);
        case KEY_UP: return feed(Key::kUp);
        case KEY_DOWN: return feed(Key::kDown);
        case KEY_LEFT: return feed(Key::kLeft);
        case KEY_RIGHT: return feed(Key::kRight);
        case KEY_HOME: return feed(Key::kHome);
        case KEY_END: return feed(Key::kEnd);
        case KEY_PPAGE: return feed(Key::kPageUp);
        case KEY_NPAGE: return feed(Key::kPageDown);
        case KEY_F(4): return feed(Key::kF4);
        case '\n':
        case '\r':
        case KEY_ENTER: return feed(Key::kEnter);
        case 27: return feed(Key::kEscape);
        case ' ': return feed(Key::kSpace);
        // The terminal is in raw mode, so Ctrl-C arrives as a key rather than a signal
        // that would leave the terminal unrestored; it asks to quit like F10 and Ctrl-Q.
        case KEY_F(10):
        case 'Q' & 0x1F:
        case 'C' & 0x1F: return {KeyAction::kQuit};
        case 'L' & 0x1F:
        case KEY_RESIZE: return {KeyAction::kRedraw};
        default:
            if (cursesKey != ERR && cursesKey == altDownCode.load()) return feed(Key::kAltDown);
            if (cursesKey != ERR && cursesKey == altUpCode.load()) return feed(Key::kAltUp);
            return {};
    }
}


KeyAction HandleKey(int cursesKey, const std::function<void()> &onQuit) {
    const KeyAction action = TranslateKey(cursesKey);
    if (action.kind == KeyAction::kFeed) gwes::FeedKey(action.key);
    if (action.kind == KeyAction::kQuit && onQuit) onQuit();
    return action;
}

// ---- the ncurses front end ----------------------------------------------------------------

namespace {

// The wake pipe of the front end that owns the terminal, for the resize signal's handler
// (one front end at a time owns the terminal).
std::atomic<int> resizeWakeFd{-1};
std::atomic<bool> resized{false};
struct sigaction previousWinch;

void OnWinch(int) {
    resized.store(true);
    const int fd = resizeWakeFd.load();
    if (fd >= 0) {
        const char b = 'r';
        const int saved = errno;
        [[maybe_unused]] ssize_t n = write(fd, &b, 1);
        errno = saved;
    }
}

chtype Attributes(uint8_t attr) {
    chtype a = A_NORMAL;
    if (attr & kAttrReverse) a |= A_REVERSE;
    if (attr & kAttrDim) a |= A_DIM;
    if (attr & kAttrBold) a |= A_BOLD;
    return a;
}

}  // namespace

CursesFrontEnd::CursesFrontEnd(std::function<void()> onQuitRequest) : onQuit_(std::move(onQuitRequest)) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
    }
}

CursesFrontEnd::~CursesFrontEnd() {
    Stop();
    if (wakeRead_ >= 0) close(wakeRead_);
    if (wakeWrite_ >= 0) close(wakeWrite_);
}

bool CursesFrontEnd::Start() {
    std::thread finished;
    {
        std::lock_guard g(lock_);
        if (active_) return false;
        finished = std::move(thread_);  // a loop that ended on the user's quit
    }
    if (finished.joinable()) finished.join();
    std::promise<bool> opened;
    std::future<bool> result = opened.get_future();
    {
        std::lock_guard g(lock_);
        if (active_ || thread_.joinable()) return false;
        active_ = true;
        stop_ = false;
        thread_ = std::thread([this, p = std::move(opened)]() mutable { Session(nullptr, &p); });
    }
    return result.get();
}

bool CursesFrontEnd::Run(std::function<bool()> keepGoing) {
    {
        std::lock_guard g(lock_);
        if (active_) return false;
        active_ = true;
        stop_ = false;
    }
    return Session(keepGoing, nullptr);
}

void CursesFrontEnd::Stop() {
    stop_ = true;
    Wake();
    std::thread loop;
    {
        std::lock_guard g(lock_);
        if (loopThread_ == std::this_thread::get_id()) return;  // from onQuit: the loop ends itself
        loop = std::move(thread_);
    }
    if (loop.joinable()) loop.join();
}

void CursesFrontEnd::Notice(std::string text) {
    {
        std::lock_guard g(lock_);
        notice_ = std::move(text);
    }
    dirty_ = true;
    Wake();
}

void CursesFrontEnd::WindowCreated(HWND) {
    dirty_ = true;
    Wake();
}
void CursesFrontEnd::WindowDestroyed(HWND) {
    dirty_ = true;
    Wake();
}
void CursesFrontEnd::WindowChanged(HWND) {
    dirty_ = true;
    Wake();
}
void CursesFrontEnd::CursorChanged(DWORD cursorId) {
    cursor_ = cursorId;
    dirty_ = true;
    Wake();
}
void CursesFrontEnd::ForegroundRequested(HWND) {
    dirty_ = true;
    Wake();
}

void CursesFrontEnd::Wake() {
    if (wakeWrite_ < 0) return;
    const char b = 'w';
    // A full pipe already holds a wake-up the loop has not taken.
    [[maybe_unused]] ssize_t n = write(wakeWrite_, &b, 1);
}

bool CursesFrontEnd::Session(const std::function<bool()> &keepGoing, std::promise<bool> *opened) {
    {
        std::lock_guard g(lock_);
        loopThread_ = std::this_thread::get_id();
    }
    const bool ok = OpenTerminal();
    if (opened) opened->set_value(ok);
    if (ok) {
        Loop(keepGoing);
        CloseTerminal();
    }
    std::lock_guard g(lock_);
    loopThread_ = {};
    active_ = false;
    return ok;
}

bool CursesFrontEnd::OpenTerminal() {
    if (wakeRead_ < 0 || !isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return false;
    // The wide calls need the terminal's own character set; a program still in the "C"
    // locale gets it from the environment while the terminal is ours.
    const char *locale = std::setlocale(LC_CTYPE, nullptr);
    const std::string current = locale ? locale : "C";
    savedLocale_.clear();
    if (current == "C" || current == "POSIX") {
        savedLocale_ = current;
        std::setlocale(LC_CTYPE, "");
    }
    SCREEN *screen = newterm(nullptr, stdout, stdin);
    if (!screen) {
        if (!savedLocale_.empty()) std::setlocale(LC_CTYPE, savedLocale_.c_str());
        return false;
    }
    screen_ = screen;
    set_term(screen);
    raw();  // Ctrl-Q and Ctrl-C reach us rather than flow control and SIGINT
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    // Alt+Down and Alt+Up: as xterm sends them ("\033[1;3B"), as the terminal's
    // description has them, or as Esc before the arrow; each bound to one code.
    int nextFree = KEY_MAX + 1;
    const auto freeCode = [&nextFree] {
        for (;; nextFree++) {
            char *bound = keybound(nextFree, 0);
            if (!bound) return nextFree++;
            std::free(bound);
        }
    };
    const auto bind = [&](const char *capability, std::initializer_list<const char *> sequences) {
        int code = ERR;
        char *own = tigetstr(capability);
        if (own && own != reinterpret_cast<char *>(-1)) code = key_defined(own);
        for (const char *sequence : sequences) {
            const int known = key_defined(sequence);
            if (known > 0 && code <= 0) code = known;
            if (known > 0 && known == code) continue;
            if (code <= 0) code = freeCode();
            define_key(sequence, code);
        }
        return code;
    };
    altDownCode = bind("kDN3", {"\033[1;3B", "\033\033[B", "\033\033OB"});
    altUpCode = bind("kUP3", {"\033[1;3A", "\033\033[A", "\033\033OA"});
    stdinOpen_ = true;

    // Resizes wake the loop through the pipe rather than interrupting whichever thread.
    resized = false;
    resizeWakeFd = wakeWrite_;
    struct sigaction sa = {};
    sa.sa_handler = OnWinch;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &sa, &previousWinch);

    cursor_ = gwes::CurrentCursor();
    dirty_ = true;
    gwes::AttachFrontEnd(this);
    return true;
}

void CursesFrontEnd::CloseTerminal() {
    gwes::DetachFrontEnd();  // waits for calls in progress
    sigaction(SIGWINCH, &previousWinch, nullptr);
    resizeWakeFd = -1;
    erase();
    refresh();
    endwin();
    delscreen(static_cast<SCREEN *>(screen_));
    screen_ = nullptr;
    if (!savedLocale_.empty()) std::setlocale(LC_CTYPE, savedLocale_.c_str());
}

void CursesFrontEnd::Loop(const std::function<bool()> &keepGoing) {
    while (!stop_) {
        if (keepGoing && !keepGoing()) break;
        if (resized.exchange(false)) {
            struct winsize ws = {};
            if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0)
                resize_term(ws.ws_row, ws.ws_col);
            clearok(curscr, TRUE);
            dirty_ = true;
        }
        if (dirty_.exchange(false)) Draw();

        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int r = poll(fds, stdinOpen_ ? 2 : 1, keepGoing ? 100 : -1);
        if (r < 0 && errno != EINTR) break;
        if (r <= 0) continue;
        if (fds[0].revents & POLLIN) {
            char buffer[64];
            while (read(wakeRead_, buffer, sizeof buffer) > 0) {
            }
        }
        if (!stdinOpen_) continue;
        if (fds[1].revents & POLLIN) {
            for (int ch; (ch = getch()) != ERR;) {
                // An escape sequence the terminal's description does not have (a modified
                // key, say) comes as Esc and its bytes: it is dropped whole rather than
                // taken for Esc, which would close the dialog.
                if (ch == 27) {
                    const int next = getch();
                    if (next == '[' || next == 'O') {
                        for (int c; (c = getch()) != ERR && !(c >= 0x40 && c <= 0x7E);) {
                        }
                        continue;
                    }
                    HandleKey(ch, onQuit_);
                    if (next == ERR) break;
                    ch = next;
                }
                if (HandleKey(ch, onQuit_).kind == KeyAction::kRedraw) {
                    clearok(curscr, TRUE);
                    dirty_ = true;
                }
                if (stop_) break;
            }
        }
        if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // The terminal went away: nobody is left to answer, so ask to quit once.
            stdinOpen_ = false;
            if (onQuit_) onQuit_();
        }
    }
}

void CursesFrontEnd::Draw() {
    int height = 0, width = 0;
    getmaxyx(stdscr, height, width);
    View view;
    view.windows = gwes::TopWindows();
    view.cursor = cursor_;
    {
        std::lock_guard g(lock_);
        view.status = notice_;
    }
    const Screen screen = RenderScreen(view, width, height);
    for (int row = 0; row < screen.Height(); row++) {
        for (int col = 0; col < screen.Width(); col++) {
            const Cell &cell = screen.At(col, row);
            const chtype attr = Attributes(cell.attr);
            chtype line = 0;
            switch (cell.ch) {
                case kHLine: line = ACS_HLINE; break;
                case kVLine: line = ACS_VLINE; break;
                case kTopLeft: line = ACS_ULCORNER; break;
                case kTopRight: line = ACS_URCORNER; break;
                case kBottomLeft: line = ACS_LLCORNER; break;
                case kBottomRight: line = ACS_LRCORNER; break;
                default: break;
            }
            // The last cell of the screen reports an error (the cursor cannot move on)
            // but is drawn all the same.
            if (line) {
                mvaddch(row, col, line | attr);
            } else if (cell.ch < 0x80) {
                mvaddch(row, col, static_cast<chtype>(cell.ch) | attr);
            } else {
                const wchar_t text[2] = {static_cast<wchar_t>(cell.ch), L'\0'};
                cchar_t wide;
                setcchar(&wide, text, static_cast<attr_t>(attr), 0, nullptr);
                mvadd_wch(row, col, &wide);
            }
        }
    }
    refresh();
}

}  // namespace qsxsim::tui
