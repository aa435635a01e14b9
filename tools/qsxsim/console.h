// qsxsim's command console: a table of commands with their help, a line editor with
// history on a terminal (libedit) or plain lines from a pipe or file (a scripted
// console), and notices that other threads print between the lines.
//
// Everything runs on the thread that calls Run(): commands, and the printing of notices
// queued from any thread with Notice(). While a command runs, the line editor is off and
// the terminal is in its normal mode, so a command may take the whole screen (a
// full-screen program run from the console) and give it back when it returns.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qsxsim {

// A command's complaint about its arguments (shown with its usage) or about the state of
// things (shown alone).
struct CommandError : std::runtime_error {
    CommandError(const std::string &what, bool showUsage = false)
        : std::runtime_error(what), showUsage(showUsage) {}
    bool showUsage;
};

class Console {
public:
    using Args = std::vector<std::string>;  // the words after the command's name
    struct Command {
        std::string name;
        std::string usage;    // e.g. "wire PORT loopback|external|none"
        std::string summary;  // one line for the list
        std::string details;  // further lines for `help NAME` (may be empty)
        std::function<void(const Args &)> run;
    };

    Console();
    ~Console();
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    void Add(Command command);
    const std::vector<Command> &Commands() const { return commands_; }

    // Queues a line to print between the console's lines; any thread. Each line printed
    // once, in order.
    void Notice(const std::string &line);

    // Reads and runs commands until Quit(), end of input, or a signal read from
    // `signalFd` (a signalfd; -1 for none). `afterCommand` runs after every command.
    // `historyFile` keeps the line editor's history between runs (empty: none). Returns
    // the signal that ended it, 0 otherwise.
    int Run(const std::function<void()> &afterCommand, int signalFd, const std::string &historyFile);
    void Quit() { quit_ = true; }
    bool Interactive() const { return interactive_; }

    // Splits a line into words: blanks separate them, double quotes keep blanks inside
    // one (with \" and \\ as escapes there). False with `error` set for an open quote.
    static bool Split(const std::string &line, Args *words, std::string *error);

    // Text the user typed, made safe to print back: control characters and DEL as
    // escapes (\t, \r, \n, \xHH; backslashes stay as they are, registry paths are full
    // of them), and when longer than `max` bytes, the start followed by "... (N bytes)".
    // max 0: never shortened.
    static std::string Shown(std::string_view text, size_t max = kEchoMax);
    static constexpr size_t kEchoMax = 64;
    // A line longer than this is skipped unread, with an error.
    static constexpr size_t kMaxLine = 1 << 20;

private:
    void Execute(const std::string &line);
    void PrintNotices();
    void Help(const Args &args);
    static void OnLine(char *line);

    std::vector<Command> commands_;
    bool interactive_;
    bool quit_ = false;
    bool editing_ = false;  // the line editor's handler is installed
    int noticeFd_;  // eventfd: notices are waiting
    std::mutex lock_;
    std::deque<std::string> notices_;  // lock_
    size_t dropped_ = 0;               // lock_: notices dropped for want of room
    std::function<void()> afterCommand_;
};

}  // namespace qsxsim
