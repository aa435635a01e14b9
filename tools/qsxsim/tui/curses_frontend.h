// The terminal front end of the dialog manager: draws the dialogs and message boxes that
// programs on the simulated device show, in a character-cell terminal with ncurses, and
// feeds the user's keys back to the dialog manager. The layout itself is a plain-text
// renderer (RenderScreen) that needs no terminal, so that it can be tested as it is.
//
// Threads: the dialog manager calls the FrontEnd methods from whichever thread changed a
// window; they only note that the screen is stale and wake the front end's loop, which is
// the one thread that touches ncurses. The program's own thread (running WinMain) and the
// loop's thread are never the same.
#pragma once

#include <standin/gwes.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qsxsim::tui {

// ---- plain-text rendering -----------------------------------------------------------------
enum CellAttr : uint8_t {
    kAttrNormal = 0,
    kAttrReverse = 1,  // focus, the highlighted item of an open list
    kAttrDim = 2,      // disabled windows and controls
    kAttrBold = 4,     // captions, the default push button
};

struct Cell {
    char32_t ch = U' ';
    uint8_t attr = kAttrNormal;
};

struct CellPos {
    int col = 0, row = 0;
};

// A character-cell screen. Frames use the single-line box-drawing characters.
class Screen {
public:
    Screen(int width, int height);
    int Width() const { return width_; }
    int Height() const { return height_; }
    const Cell &At(int col, int row) const { return cells_[static_cast<size_t>(row * width_ + col)]; }
    Cell &At(int col, int row) { return cells_[static_cast<size_t>(row * width_ + col)]; }
    // Each row as UTF-8 text, exactly Width() characters.
    std::vector<std::string> Lines() const;
    std::string Text() const;  // the rows joined with '\n'
    // Where `utf8` first appears on one row (rows top to bottom, left to right).
    std::optional<CellPos> Find(std::string_view utf8) const;

private:
    int width_, height_;
    std::vector<Cell> cells_;
};

// What is drawn: the windows as gwes::TopWindows() lists them (bottom to top), the
// cursor shown and a line of text for the status line (the key help when empty).
struct View {
    std::vector<standin::gwes::WindowInfo> windows;
    DWORD cursor = 32512;
    std::string status;
};

constexpr DWORD kBusyCursor = 32514;  // IDC_WAIT

// Lays the view out on a screen of the given size: dialogs and message boxes in the rows
// above the last, which is the status line.
Screen RenderScreen(const View &view, int width, int height);

// ---- keys ---------------------------------------------------------------------------------
// What a key read by ncurses (wgetch with keypad on) stands for.
struct KeyAction {
    enum Kind { kNone, kFeed, kQuit, kRedraw } kind = kNone;
    standin::gwes::Key key = standin::gwes::Key::kEnter;  // kFeed only
};
KeyAction TranslateKey(int cursesKey);

// Acts on a key as the front end's loop does: a dialog key goes to gwes::FeedKey,
// F10, Ctrl-Q and Ctrl-C call `onQuit`. Returns the action taken.
KeyAction HandleKey(int cursesKey, const std::function<void()> &onQuit);

// ---- the ncurses front end ----------------------------------------------------------------
// Usage (qsxsim): construct, Start(), run the program's WinMain on another thread, and
// Stop() once it returned. Start attaches the front end to the dialog manager and takes
// over the terminal; Stop detaches it and gives the terminal back as it was. Run() is the
// same loop in the caller's thread, for an owner that has a thread to spare.
class CursesFrontEnd : public standin::gwes::FrontEnd {
public:
    // `onQuitRequest` runs on the loop's thread when the user presses F10 or Ctrl-Q; it
    // may call Stop() (which then only asks the loop to end; a later Stop() from another
    // thread, or the destructor, waits for it).
    explicit CursesFrontEnd(std::function<void()> onQuitRequest);
    ~CursesFrontEnd() override;  // Stop()
    CursesFrontEnd(const CursesFrontEnd &) = delete;
    CursesFrontEnd &operator=(const CursesFrontEnd &) = delete;

    // Takes over the terminal (stdin and stdout must be one), attaches and starts the loop
    // on a thread of its own. False, with nothing changed, when there is no terminal or
    // the front end is running already. The terminal is put in raw mode: Ctrl-C arrives
    // as a key (a quit request) rather than as SIGINT. A program still in the "C" locale
    // has LC_CTYPE set from the environment until Stop (setlocale is process-wide: better,
    // the owner calls setlocale(LC_CTYPE, "") at the start of main). Whatever else writes
    // to the terminal meanwhile (stdout, stderr) garbles the picture until the next
    // redraw (Ctrl-L): route such output to Notice() or a file while the front end runs.
    bool Start();
    // Ends the loop, detaches and restores the terminal. Safe to call more than once.
    void Stop();
    // The loop in the caller's thread: takes over the terminal, attaches, and draws and
    // reads keys until Stop() is called or `keepGoing` (checked at every wake-up and at
    // least every 100 ms when given) returns false; then detaches and restores the
    // terminal. False when there was no terminal to take.
    bool Run(std::function<bool()> keepGoing = nullptr);

    // A line for the status line (replacing the key help), from any thread; empty clears.
    void Notice(std::string text);

    // standin::gwes::FrontEnd: these only mark the screen stale and wake the loop.
    void WindowCreated(HWND window) override;
    void WindowDestroyed(HWND window) override;
    void WindowChanged(HWND window) override;
    void CursorChanged(DWORD cursorId) override;
    void ForegroundRequested(HWND window) override;

private:
    // One spell of owning the terminal, on the calling thread: open, loop, close.
    // `opened` (Start) learns whether the terminal could be had.
    bool Session(const std::function<bool()> &keepGoing, std::promise<bool> *opened);
    bool OpenTerminal();   // newterm, modes, resize signal; then attaches
    void CloseTerminal();  // detaches, endwin, restores what OpenTerminal changed
    void Loop(const std::function<bool()> &keepGoing);
    void Wake();
    void Draw();

    const std::function<void()> onQuit_;
    int wakeRead_ = -1, wakeWrite_ = -1;  // the loop's wake pipe, for the object's life
    std::mutex lock_;                  // guards the next four
    std::thread thread_;               // the loop, when started with Start()
    std::thread::id loopThread_;       // the thread in Session, while one is
    bool active_ = false;              // a Session is under way
    std::string notice_;
    std::atomic<bool> stop_{false};    // asks the loop to end
    std::atomic<bool> dirty_{true};    // the screen is stale
    std::atomic<DWORD> cursor_{32512};
    // Loop thread only.
    void *screen_ = nullptr;           // the ncurses SCREEN
    std::string savedLocale_;          // LC_CTYPE to restore, when OpenTerminal set it
    bool stdinOpen_ = true;            // false once the terminal hung up
};

}  // namespace qsxsim::tui
