// The command console: see console.h.
#include "console.h"

#include <editline/readline.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace qsxsim {

namespace {

constexpr const char *kPrompt = "qsxsim> ";
constexpr size_t kMaxNotices = 10000;  // waiting to be printed; older ones are dropped

Console *gActive;  // the console whose Run() owns the line editor

}  // namespace

Console::Console()
    : interactive_(isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)),
      noticeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    Add({"help", "help [COMMAND]", "list the commands, or show what one does", "",
         [this](const Args &args) { Help(args); }});
}

Console::~Console() {
    if (noticeFd_ >= 0) close(noticeFd_);
}

void Console::Add(Command command) {
    auto it = std::find_if(commands_.begin(), commands_.end(),
                           [&](const Command &c) { return c.name == command.name; });
    if (it != commands_.end()) *it = std::move(command);
    else commands_.push_back(std::move(command));
}

void Console::Notice(const std::string &line) {
    {
        std::lock_guard g(lock_);
        if (notices_.size() >= kMaxNotices) {
            notices_.pop_front();
            dropped_++;
        }
        notices_.push_back(line);
    }
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(noticeFd_, &one, sizeof one);
}

void Console::PrintNotices() {
    uint64_t value;
    [[maybe_unused]] ssize_t n = read(noticeFd_, &value, sizeof value);
    std::deque<std::string> lines;
    size_t dropped;
    {
        std::lock_guard g(lock_);
        lines.swap(notices_);
        dropped = dropped_;
        dropped_ = 0;
    }
    if (lines.empty() && !dropped) return;
    // On a terminal the notices go above the line being edited, which is drawn again.
    if (interactive_) std::fputs("\r\033[K", stdout);
    if (dropped) std::printf("(%zu notices dropped)\n", dropped);
    for (const std::string &l : lines) std::printf("%s\n", l.c_str());
    std::fflush(stdout);
    if (editing_) rl_forced_update_display();
}

std::string Console::Shown(std::string_view text, size_t max) {
    const bool cut = max != 0 && text.size() > max;
    size_t keep = cut ? max : text.size();
    // Not in the middle of a UTF-8 sequence.
    while (cut && keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) keep--;
    std::string out;
    for (char c : text.substr(0, keep)) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default:
            if (b < 0x20 || b == 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", b);
                out += hex;
            } else {
                out += c;
            }
        }
    }
    if (cut) out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

bool Console::Split(const std::string &line, Args *words, std::string *error) {
    words->clear();
    std::string word;
    bool inWord = false, quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (quoted) {
            if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                word += line[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                word += c;
            }
        } else if (c == '"') {
            quoted = inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord) words->push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted) {
        *error = "a quote is not closed";
        return false;
    }
    if (inWord) words->push_back(word);
    return true;
}

void Console::Execute(const std::string &line) {
    // A NUL would end the text every command sees early: the line is not run.
    if (size_t nul = line.find('\0'); nul != std::string::npos) {
        std::printf("error: the line holds a NUL character (byte %zu of %zu), so it is not run: %s\n", nul + 1,
                    line.size(), Shown(line).c_str());
        return;
    }
    Args words;
    std::string error;
    if (!Split(line, &words, &error)) {
        std::printf("error: %s\n", error.c_str());
        return;
    }
    if (words.empty() || words[0][0] == '#') return;  // blank, or a script's comment
    auto it = std::find_if(commands_.begin(), commands_.end(), [&](const Command &c) { return c.name == words[0]; });
    if (it == commands_.end()) {
        std::printf("error: unknown command '%s'; 'help' lists the commands\n", Shown(words[0]).c_str());
        return;
    }
    Args args(words.begin() + 1, words.end());
    try {
        it->run(args);
    } catch (const CommandError &e) {
        // Messages quote what was typed: nothing typed reaches the terminal raw, and a
        // huge argument is not printed back whole.
        std::printf("error: %s\n", Shown(e.what(), 4 * kEchoMax).c_str());
        if (e.showUsage) std::printf("usage: %s\n", it->usage.c_str());
    }
    std::fflush(stdout);
    if (afterCommand_) afterCommand_();
}

void Console::Help(const Args &args) {
    if (args.size() > 1) throw CommandError("help takes at most one command name", true);
    if (args.empty()) {
        size_t width = 0;
        for (const Command &c : commands_) width = std::max(width, c.name.size());
        std::printf("commands (help COMMAND for more):\n");
        for (const Command &c : commands_)
            std::printf("  %-*s  %s\n", static_cast<int>(width), c.name.c_str(), c.summary.c_str());
        std::printf("PORT is a COM name (COM11) or ADAPTER:INDEX (1:0, the first port of adapter 1).\n");
        return;
    }
    auto it = std::find_if(commands_.begin(), commands_.end(), [&](const Command &c) { return c.name == args[0]; });
    if (it == commands_.end()) throw CommandError("no command '" + Shown(args[0]) + "'; 'help' lists them");
    std::printf("usage: %s\n  %s\n", it->usage.c_str(), it->summary.c_str());
    if (!it->details.empty()) std::printf("%s\n", it->details.c_str());
}

void Console::OnLine(char *line) {
    Console *c = gActive;
    if (!line) {  // end of input (Ctrl-D)
        std::printf("\n");
        c->quit_ = true;
        return;
    }
    std::string text = line;
    std::free(line);
    if (text.find_first_not_of(" \t") != std::string::npos) add_history(text.c_str());
    // The command runs with the editor off and the terminal as it normally is.
    rl_callback_handler_remove();
    c->editing_ = false;
    c->Execute(text);
    if (!c->quit_) {
        rl_callback_handler_install(kPrompt, OnLine);
        c->editing_ = true;
    }
}

int Console::Run(const std::function<void()> &afterCommand, int signalFd, const std::string &historyFile) {
    afterCommand_ = afterCommand;
    int signal = 0;
    std::string pending;    // a scripted console's partial line
    bool skipping = false;  // dropping the rest of an overlong line
    if (interactive_) {
        gActive = this;
        rl_readline_name = const_cast<char *>("qsxsim");
        using_history();
        stifle_history(1000);
        if (!historyFile.empty()) read_history(historyFile.c_str());
        rl_callback_handler_install(kPrompt, OnLine);
        editing_ = true;
    }
    while (!quit_) {
        pollfd p[3] = {{STDIN_FILENO, POLLIN, 0}, {noticeFd_, POLLIN, 0}, {signalFd, POLLIN, 0}};
        if (poll(p, signalFd >= 0 ? 3 : 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents) PrintNotices();
        if (signalFd >= 0 && p[2].revents) {
            signalfd_siginfo info;
            if (read(signalFd, &info, sizeof info) == sizeof info) signal = static_cast<int>(info.ssi_signo);
            if (interactive_) std::printf("\n");
            break;
        }
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        if (interactive_) {
            rl_callback_read_char();
            continue;
        }
        char buffer[4096];
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {  // end of the script: a last line without its newline still runs
            if (!pending.empty() && !skipping) Execute(pending);
            break;
        }
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t nl; !quit_ && (nl = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (skipping) {  // the end of an overlong line
                skipping = false;
                continue;
            }
            Execute(line);
            PrintNotices();
        }
        // A line without end is not kept whole: past the bound it is dropped up to its
        // newline.
        if (!skipping && pending.size() > kMaxLine) {
            std::printf("error: a line longer than %zu bytes is skipped: %s\n", kMaxLine, Shown(pending).c_str());
            std::fflush(stdout);
            skipping = true;
        }
        if (skipping) pending.clear();
    }
    if (editing_) {
        rl_callback_handler_remove();
        editing_ = false;
    }
    if (interactive_) {
        if (!historyFile.empty()) write_history(historyFile.c_str());
        gActive = nullptr;
    }
    PrintNotices();
    return signal;
}

}  // namespace qsxsim
