// Reads a resource script: a lexer, a small C preprocessor (#include, object-like
// #define and #undef, #if/#ifdef/#ifndef/#elif/#else/#endif, #pragma once, #error), the
// statement parser for DIALOG/DIALOGEX, STRINGTABLE, ICON and LANGUAGE, and the writers
// of the binary dialog templates, string blocks and icon directories.
//
// Every input is untrusted text: errors are reported as "file:line: message", and sizes
// (include depth, macro expansion, token count, nesting) are bounded so that no script
// can make it crash or run away.
#include "rcparse.h"

#include <standin/utf8.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <tuple>

namespace qsxrc {
namespace {

constexpr int kMaxIncludeDepth = 16;
constexpr size_t kMaxTokens = size_t{1} << 18;
constexpr size_t kMaxExpansions = size_t{1} << 20;
constexpr int kMaxExpansionDepth = 64;
constexpr int kMaxExpressionDepth = 200;
constexpr size_t kMaxStringLength = 4096;
constexpr size_t kMaxIconImages = 256;

constexpr uint16_t kRtIcon = 3;
constexpr uint16_t kRtDialog = 5;
constexpr uint16_t kRtString = 6;
constexpr uint16_t kRtGroupIcon = 14;

struct Failure {
    Error error;
};

enum class Tok { kIdent, kNumber, kString, kPunct };

struct Token {
    Tok kind = Tok::kPunct;
    std::string text;     // identifier, punctuator or the number as written
    uint32_t number = 0;  // kNumber
    std::u16string str;   // kString, decoded
    int file = 0;         // index into Context::files
    int line = 0;
};

// Everything one compilation shares.
struct Context {
    Options options;
    std::vector<std::string> files;              // names for messages
    std::map<std::string, std::vector<Token>> macros;
    std::set<std::string> onceFiles;
    std::vector<Token> tokens;                   // the preprocessed script
    size_t expansions = 0;                       // macro replacements made so far
    std::vector<std::string> dependencies;

    [[noreturn]] void Fail(int file, int line, std::string message) const {
        throw Failure{Error{files.at(static_cast<size_t>(file)), line, std::move(message)}};
    }
    [[noreturn]] void Fail(const Token &t, std::string message) const { Fail(t.file, t.line, std::move(message)); }

    std::optional<std::string> Read(const std::string &path) const {
        if (options.reader) return options.reader(path);
        std::ifstream in(path, std::ios::binary);
        if (!in) return std::nullopt;
        std::ostringstream data;
        data << in.rdbuf();
        return data.str();
    }
};

bool EqualNoCase(std::string_view a, std::string_view b) {
    auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

std::string Printable(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) return std::string(1, c);
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\x%02X", u);
    return buffer;
}

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    standin::AppendUtf8(out, text, standin::LoneSurrogate::kKeep);
    return out;
}

std::u16string Upper(std::u16string text) {
    for (char16_t &c : text) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    return text;
}

// ---- lexer -----------------------------------------------------------------------------------

class Lexer {
public:
    Lexer(Context &ctx, int file, std::string_view text) : ctx_(ctx), file_(file), text_(text) {}

    // The next token, crossing line ends; *lineStart tells whether it is the first of its
    // (logical) line. False at the end of the file. A lenient lexer (text that an #if
    // leaves out) skips what it cannot read instead of failing.
    bool Next(Token *t, bool *lineStart, bool lenient) {
        SkipSpace(false, lenient);
        *lineStart = lineStart_;
        if (pos_ >= text_.size()) return false;
        lineStart_ = false;
        return Lex(t, lenient);
    }

    // The next token on the current logical line; false at its end.
    bool NextOnLine(Token *t, bool lenient) {
        SkipSpace(true, lenient);
        if (pos_ >= text_.size() || text_[pos_] == '\n') return false;
        return Lex(t, lenient);
    }

    // The rest of the logical line as text, comments removed.
    std::string RestOfLine() {
        std::string out;
        while (pos_ < text_.size() && text_[pos_] != '\n') {
            if (Continuation()) continue;
            if (StartsWith("//")) {
                while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
                break;
            }
            if (StartsWith("/*")) {
                SkipBlockComment(true);
                out += ' ';
                continue;
            }
            out += text_[pos_++];
        }
        return out;
    }

    // Skips to the end of the logical line.
    void SkipLine() { RestOfLine(); }

    // The character right after the last token, if any.
    char PeekChar() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    int line() const { return line_; }

private:
    bool StartsWith(std::string_view s) const { return text_.substr(pos_, s.size()) == s; }

    // A backslash that ends a physical line joins it with the next one.
    bool Continuation() {
        if (text_[pos_] != '\\') return false;
        size_t next = pos_ + 1;
        if (next < text_.size() && text_[next] == '\r') ++next;
        if (next < text_.size() && text_[next] == '\n') {
            pos_ = next + 1;
            ++line_;
            return true;
        }
        return false;
    }

    void SkipBlockComment(bool lenient) {
        const int startLine = line_;
        pos_ += 2;
        for (;;) {
            if (pos_ + 1 >= text_.size()) {
                pos_ = text_.size();
                if (!lenient) ctx_.Fail(file_, startLine, "unterminated comment");
                return;
            }
            if (text_[pos_] == '*' && text_[pos_ + 1] == '/') {
                pos_ += 2;
                return;
            }
            if (text_[pos_] == '\n') ++line_;
            ++pos_;
        }
    }

    void SkipSpace(bool stopAtNewline, bool lenient) {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (c == '\\' && Continuation()) {
            } else if (c == '\n') {
                if (stopAtNewline) return;
                ++pos_;
                ++line_;
                lineStart_ = true;
            } else if (StartsWith("//")) {
                while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
            } else if (StartsWith("/*")) {
                SkipBlockComment(lenient);
            } else if (pos_ == 0 && StartsWith("\xEF\xBB\xBF")) {
                pos_ += 3;  // a UTF-8 byte-order mark
            } else {
                return;
            }
        }
    }

    static bool IdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
    static bool IdentChar(char c) { return IdentStart(c) || (c >= '0' && c <= '9'); }

    bool Lex(Token *t, bool lenient) {
        *t = Token{};
        t->file = file_;
        t->line = line_;
        const char c = text_[pos_];
        if (c == 'L' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
            ++pos_;
            return LexString(t, lenient);
        }
        if (IdentStart(c)) {
            const size_t start = pos_;
            while (pos_ < text_.size() && IdentChar(text_[pos_])) ++pos_;
            t->kind = Tok::kIdent;
            t->text = std::string(text_.substr(start, pos_ - start));
            return true;
        }
        if (c >= '0' && c <= '9') return LexNumber(t, lenient);
        if (c == '"') return LexString(t, lenient);
        static constexpr std::string_view kTwo[] = {"||", "&&", "==", "!=", "<=", ">=", "<<", ">>"};
        for (std::string_view two : kTwo) {
            if (StartsWith(two)) {
                pos_ += 2;
                t->text = std::string(two);
                return true;
            }
        }
        if (std::strchr(",(){}|&^~!+-*/%<>=?:#;", c) && c != '\0') {
            ++pos_;
            t->text = std::string(1, c);
            return true;
        }
        if (lenient) {
            ++pos_;
            t->text = std::string(1, c);
            return true;
        }
        if (c == '\'') ctx_.Fail(file_, line_, "character literals are not supported");
        ctx_.Fail(file_, line_, "unexpected character '" + Printable(c) + "'");
    }

    bool LexNumber(Token *t, bool lenient) {
        const size_t start = pos_;
        while (pos_ < text_.size() && IdentChar(text_[pos_])) ++pos_;
        std::string_view text = text_.substr(start, pos_ - start);
        t->kind = Tok::kNumber;
        t->text = std::string(text);
        std::string_view digits = text;
        while (!digits.empty() && (digits.back() == 'L' || digits.back() == 'l' || digits.back() == 'U' ||
                                   digits.back() == 'u')) {
            digits.remove_suffix(1);
        }
        unsigned base = 10;
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
            base = 16;
            digits.remove_prefix(2);
        } else if (digits.size() > 1 && digits[0] == '0') {
            base = 8;
            digits.remove_prefix(1);
        }
        uint64_t value = 0;
        bool ok = !digits.empty();
        for (char d : digits) {
            unsigned v = 99;
            if (d >= '0' && d <= '9') v = static_cast<unsigned>(d - '0');
            else if (d >= 'a' && d <= 'f') v = static_cast<unsigned>(d - 'a' + 10);
            else if (d >= 'A' && d <= 'F') v = static_cast<unsigned>(d - 'A' + 10);
            if (v >= base) {
                ok = false;
                break;
            }
            value = value * base + v;
            if (value > 0xFFFFFFFFu) {
                if (!lenient) ctx_.Fail(file_, t->line, "number " + t->text + " does not fit in 32 bits");
                ok = false;
                break;
            }
        }
        if (!ok && !lenient) ctx_.Fail(file_, t->line, "invalid number '" + t->text + "'");
        t->number = ok ? static_cast<uint32_t>(value) : 0;
        return true;
    }

    // One UTF-8 sequence from the script, as UTF-16.
    bool DecodeUtf8(std::u16string *out) {
        const auto b0 = static_cast<unsigned char>(text_[pos_]);
        int extra = b0 >= 0xF0 && b0 < 0xF5 ? 3 : b0 >= 0xE0 ? 2 : b0 >= 0xC2 && b0 < 0xE0 ? 1 : -1;
        if (b0 >= 0xF5) extra = -1;
        if (extra < 0 || pos_ + static_cast<size_t>(extra) >= text_.size()) return false;
        uint32_t c = b0 & (0x3F >> extra);
        for (int i = 1; i <= extra; ++i) {
            const auto b = static_cast<unsigned char>(text_[pos_ + static_cast<size_t>(i)]);
            if ((b & 0xC0) != 0x80) return false;
            c = (c << 6) | (b & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return false;
        pos_ += static_cast<size_t>(extra) + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            *out += static_cast<char16_t>(0xD800 + (c >> 10));
            *out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            *out += static_cast<char16_t>(c);
        }
        return true;
    }

    bool LexString(Token *t, bool lenient) {
        t->kind = Tok::kString;
        const int startLine = line_;
        ++pos_;  // the opening quote
        for (;;) {
            if (pos_ >= text_.size() || text_[pos_] == '\n') {
                if (lenient) return true;
                ctx_.Fail(file_, startLine, "unterminated string");
            }
            const char c = text_[pos_];
            if (c == '"') {
                // A doubled quote stands for one quote inside the string.
                if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
                    t->str += u'"';
                    pos_ += 2;
                    continue;
                }
                ++pos_;
                return true;
            }
            if (c == '\\') {
                if (Continuation()) continue;
                LexEscape(t, lenient);
                continue;
            }
            if (static_cast<unsigned char>(c) >= 0x80) {
                if (!DecodeUtf8(&t->str)) {
                    if (!lenient) ctx_.Fail(file_, line_, "invalid UTF-8 in string");
                    t->str += u'\xFFFD';
                    ++pos_;
                }
                continue;
            }
            t->str += static_cast<char16_t>(c);
            ++pos_;
        }
    }

    void LexEscape(Token *t, bool lenient) {
        ++pos_;  // the backslash
        if (pos_ >= text_.size()) return;
        const char e = text_[pos_++];
        switch (e) {
            case 'n': t->str += u'\n'; return;
            case 'r': t->str += u'\r'; return;
            case 't': t->str += u'\t'; return;
            case 'a': t->str += u'\a'; return;
            case 'b': t->str += u'\b'; return;
            case 'f': t->str += u'\f'; return;
            case 'v': t->str += u'\v'; return;
            case '\\': t->str += u'\\'; return;
            case '"': t->str += u'"'; return;
            case '\'': t->str += u'\''; return;
            case '?': t->str += u'?'; return;
            case 'x':
            case 'X': {
                uint32_t v = 0;
                int n = 0;
                while (n < 4 && pos_ < text_.size() && std::isxdigit(static_cast<unsigned char>(text_[pos_]))) {
                    const char d = text_[pos_++];
                    v = v * 16 + static_cast<uint32_t>(d <= '9' ? d - '0' : (d | 0x20) - 'a' + 10);
                    ++n;
                }
                if (n == 0 && !lenient) ctx_.Fail(file_, line_, "\\x without hex digits");
                t->str += static_cast<char16_t>(v);
                return;
            }
            default:
                if (e >= '0' && e <= '7') {
                    uint32_t v = static_cast<uint32_t>(e - '0');
                    for (int n = 1; n < 3 && pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '7'; ++n) {
                        v = v * 8 + static_cast<uint32_t>(text_[pos_++] - '0');
                    }
                    t->str += static_cast<char16_t>(v);
                    return;
                }
                if (!lenient) ctx_.Fail(file_, line_, "unknown escape sequence '\\" + Printable(e) + "'");
                t->str += static_cast<char16_t>(static_cast<unsigned char>(e));
        }
    }

    Context &ctx_;
    int file_;
    std::string_view text_;
    size_t pos_ = 0;
    int line_ = 1;
    bool lineStart_ = true;
};

// ---- expressions -----------------------------------------------------------------------------

// Evaluates C-style integer expressions over a token list, unsigned 32-bit and wrapping,
// from *pos up to the first token that cannot continue it. In #if mode comparisons and
// logical operators are allowed and an unknown name is 0; in a script an unknown name is
// an error. With stopAtBar a '|' outside parentheses ends the expression (one operand of
// a style).
class Expression {
public:
    Expression(const Context &ctx, const std::vector<Token> &tokens, size_t *pos, bool ifMode, const Token &where,
               bool stopAtBar = false)
        : ctx_(ctx), tokens_(tokens), pos_(*pos), ifMode_(ifMode), stopAtBar_(stopAtBar), where_(where) {}

    uint32_t Parse() { return Binary(0, 0); }

private:
    const Token &Current() const { return pos_ < tokens_.size() ? tokens_[pos_] : Last(); }
    const Token &Last() const { return tokens_.empty() || pos_ == 0 ? where_ : tokens_[std::min(pos_, tokens_.size()) - 1]; }
    bool AtPunct(std::string_view p) const {
        return pos_ < tokens_.size() && tokens_[pos_].kind == Tok::kPunct && tokens_[pos_].text == p;
    }

    // Binary operators by precedence, lowest first; the first two and the comparisons
    // only in #if.
    int Precedence(const Token &t) const {
        if (t.kind != Tok::kPunct) return -1;
        static const std::pair<std::string_view, int> kOps[] = {
            {"||", 1}, {"&&", 2}, {"|", 3},  {"^", 4},  {"&", 5},  {"==", 6}, {"!=", 6}, {"<", 7},  {"<=", 7},
            {">", 7},  {">=", 7}, {"<<", 8}, {">>", 8}, {"+", 9},  {"-", 9},  {"*", 10}, {"/", 10}, {"%", 10}};
        for (const auto &[op, prec] : kOps) {
            if (t.text == op) {
                if (!ifMode_ && (prec <= 2 || prec == 6 || prec == 7)) return -1;
                if (stopAtBar_ && parens_ == 0 && prec == 3) return -1;
                return prec;
            }
        }
        return -1;
    }

    uint32_t Binary(int minPrec, int depth) {
        uint32_t left = Unary(depth + 1);
        for (;;) {
            if (pos_ >= tokens_.size()) return left;
            const Token &op = tokens_[pos_];
            const int prec = Precedence(op);
            if (prec < 0 || prec < minPrec) return left;
            ++pos_;
            const uint32_t right = Binary(prec + 1, depth + 1);
            left = Apply(op, left, right);
        }
    }

    uint32_t Apply(const Token &op, uint32_t a, uint32_t b) const {
        const std::string &o = op.text;
        const auto sa = static_cast<int32_t>(a), sb = static_cast<int32_t>(b);
        if (o == "||") return (a || b) ? 1 : 0;
        if (o == "&&") return (a && b) ? 1 : 0;
        if (o == "|") return a | b;
        if (o == "^") return a ^ b;
        if (o == "&") return a & b;
        if (o == "==") return a == b;
        if (o == "!=") return a != b;
        if (o == "<") return sa < sb;
        if (o == "<=") return sa <= sb;
        if (o == ">") return sa > sb;
        if (o == ">=") return sa >= sb;
        if (o == "<<") return b >= 32 ? 0 : a << b;
        if (o == ">>") return b >= 32 ? 0 : a >> b;
        if (o == "+") return a + b;
        if (o == "-") return a - b;
        if (o == "*") return a * b;
        if (b == 0) ctx_.Fail(op, "division by zero");
        return o == "/" ? a / b : a % b;
    }

    uint32_t Unary(int depth) {
        if (depth > kMaxExpressionDepth) ctx_.Fail(Current(), "expression nested too deeply");
        if (pos_ >= tokens_.size()) ctx_.Fail(Last(), "expected a value");
        const Token &t = tokens_[pos_];
        if (t.kind == Tok::kPunct) {
            const std::string &p = t.text;
            if (p == "-" || p == "+" || p == "~" || (p == "!" && ifMode_)) {
                ++pos_;
                const uint32_t v = Unary(depth + 1);
                if (p == "-") return 0u - v;
                if (p == "~") return ~v;
                if (p == "!") return v == 0 ? 1u : 0u;
                return v;
            }
            if (p == "(") {
                ++pos_;
                ++parens_;
                const uint32_t v = Binary(0, depth + 1);
                if (!AtPunct(")")) ctx_.Fail(Current(), "expected ')'");
                ++pos_;
                --parens_;
                return v;
            }
        }
        if (t.kind == Tok::kNumber) {
            ++pos_;
            return t.number;
        }
        if (t.kind == Tok::kIdent) {
            if (EqualNoCase(t.text, "NOT")) ctx_.Fail(t, "NOT is allowed only in a style");
            const std::optional<uint32_t> v = BuiltinSymbol(t.text);
            if (!v && !ifMode_) ctx_.Fail(t, "undefined symbol '" + t.text + "'");
            ++pos_;
            return v.value_or(0);
        }
        if (t.kind == Tok::kString) ctx_.Fail(t, "expected a number, found a string");
        ctx_.Fail(t, "expected a value, found '" + t.text + "'");
    }

    const Context &ctx_;
    const std::vector<Token> &tokens_;
    size_t &pos_;
    bool ifMode_;
    bool stopAtBar_;
    int parens_ = 0;
    const Token &where_;
};

// ---- preprocessor ------------------------------------------------------------------------------

class Preprocessor {
public:
    explicit Preprocessor(Context &ctx) : ctx_(ctx) {}

    void Run(const std::string &path, std::string_view text) { File(path, text, 0); }

private:
    struct Conditional {
        bool parentActive;
        bool active;
        bool taken;
        bool sawElse;
        int line;
    };

    static std::string DirOf(const std::string &path) {
        const size_t slash = path.find_last_of('/');
        return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    }

    void File(const std::string &path, std::string_view text, int depth) {
        const int file = static_cast<int>(ctx_.files.size());
        ctx_.files.push_back(path);
        Lexer lexer(ctx_, file, text);
        std::vector<Conditional> conds;
        auto active = [&conds] { return conds.empty() || conds.back().active; };
        Token t;
        bool lineStart = false;
        while (lexer.Next(&t, &lineStart, !active())) {
            if (t.kind == Tok::kPunct && t.text == "#" && lineStart) {
                Directive(lexer, t, path, depth, conds);
                continue;
            }
            if (active()) Emit(t, 0);
        }
        if (!conds.empty()) ctx_.Fail(file, conds.back().line, "#if without #endif");
    }

    void Directive(Lexer &lexer, const Token &hash, const std::string &path, int depth,
                   std::vector<Conditional> &conds) {
        const bool active = conds.empty() || conds.back().active;
        Token name;
        if (!lexer.NextOnLine(&name, !active)) return;  // a lone '#'
        if (name.kind != Tok::kIdent) {
            if (!active) return lexer.SkipLine();
            ctx_.Fail(name, "expected a directive after '#'");
        }
        const std::string &d = name.text;
        if (d == "if" || d == "ifdef" || d == "ifndef") {
            bool value = false;
            if (active) {
                if (d == "if") {
                    value = Condition(lexer, name);
                } else {
                    Token macro;
                    if (!lexer.NextOnLine(&macro, false) || macro.kind != Tok::kIdent) {
                        ctx_.Fail(name, "#" + d + " expects a name");
                    }
                    value = Defined(macro.text) == (d == "ifdef");
                }
            }
            lexer.SkipLine();
            conds.push_back(Conditional{active, active && value, active && value, false, hash.line});
            return;
        }
        if (d == "elif" || d == "else" || d == "endif") {
            if (conds.empty()) ctx_.Fail(name, "#" + d + " without #if");
            Conditional &c = conds.back();
            if (d == "endif") {
                lexer.SkipLine();
                conds.pop_back();
                return;
            }
            if (c.sawElse) ctx_.Fail(name, "#" + d + " after #else");
            if (d == "else") {
                c.sawElse = true;
                c.active = c.parentActive && !c.taken;
                lexer.SkipLine();
            } else {
                const bool value = c.parentActive && !c.taken ? Condition(lexer, name) : false;
                lexer.SkipLine();
                c.active = value;
            }
            c.taken = c.taken || c.active;
            return;
        }
        if (!active) return lexer.SkipLine();
        if (d == "include") return Include(lexer, name, path, depth);
        if (d == "define") return Define(lexer, name);
        if (d == "undef") {
            Token macro;
            if (!lexer.NextOnLine(&macro, false) || macro.kind != Tok::kIdent) ctx_.Fail(name, "#undef expects a name");
            ctx_.macros.erase(macro.text);
            return lexer.SkipLine();
        }
        if (d == "pragma") {
            std::string rest = lexer.RestOfLine();
            rest.erase(0, rest.find_first_not_of(" \t"));
            rest.erase(rest.find_last_not_of(" \t\r") + 1);
            if (rest == "once") ctx_.onceFiles.insert(path);
            return;
        }
        if (d == "error") ctx_.Fail(name, "#error" + lexer.RestOfLine());
        if (d == "line") return lexer.SkipLine();
        ctx_.Fail(name, "unknown directive '#" + d + "'");
    }

    bool Defined(const std::string &name) const {
        return ctx_.macros.count(name) != 0 || BuiltinSymbol(name).has_value();
    }

    // The value of an #if or #elif line.
    bool Condition(Lexer &lexer, const Token &directive) {
        std::vector<Token> raw;
        Token t;
        while (lexer.NextOnLine(&t, false)) raw.push_back(t);
        std::vector<Token> expanded;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i].kind == Tok::kIdent && raw[i].text == "defined") {
                const bool paren = i + 1 < raw.size() && raw[i + 1].text == "(";
                const size_t at = i + (paren ? 2 : 1);
                if (at >= raw.size() || raw[at].kind != Tok::kIdent) ctx_.Fail(raw[i], "defined expects a name");
                if (paren && (at + 1 >= raw.size() || raw[at + 1].text != ")")) ctx_.Fail(raw[i], "expected ')'");
                Token value = raw[i];
                value.kind = Tok::kNumber;
                value.number = Defined(raw[at].text) ? 1 : 0;
                expanded.push_back(value);
                i = at + (paren ? 1 : 0);
                continue;
            }
            Expand(raw[i], 0, &expanded);
        }
        if (expanded.empty()) ctx_.Fail(directive, "#" + directive.text + " expects an expression");
        size_t pos = 0;
        const uint32_t value = Expression(ctx_, expanded, &pos, true, directive).Parse();
        if (pos != expanded.size()) ctx_.Fail(expanded[pos], "unexpected '" + expanded[pos].text + "' in #" + directive.text);
        return value != 0;
    }

    void Define(Lexer &lexer, const Token &directive) {
        Token name;
        if (!lexer.NextOnLine(&name, false) || name.kind != Tok::kIdent) ctx_.Fail(directive, "#define expects a name");
        if (lexer.PeekChar() == '(') ctx_.Fail(name, "function-like macros are not supported");
        std::vector<Token> body;
        Token t;
        while (lexer.NextOnLine(&t, false)) body.push_back(t);
        ctx_.macros[name.text] = std::move(body);
    }

    void Include(Lexer &lexer, const Token &directive, const std::string &path, int depth) {
        std::string rest = lexer.RestOfLine();
        rest.erase(0, rest.find_first_not_of(" \t"));
        if (rest.empty() || (rest[0] != '"' && rest[0] != '<')) {
            ctx_.Fail(directive, "#include expects \"file\" or <file>");
        }
        const char close = rest[0] == '"' ? '"' : '>';
        const size_t end = rest.find(close, 1);
        if (end == std::string::npos || end == 1) ctx_.Fail(directive, "#include expects \"file\" or <file>");
        const std::string name = rest.substr(1, end - 1);
        // The platform's own headers: their constants are built in.
        if (close == '>') return;
        if (depth + 1 > kMaxIncludeDepth) ctx_.Fail(directive, "#include nested too deeply");
        std::vector<std::string> candidates;
        if (name[0] == '/') {
            candidates.push_back(name);
        } else {
            candidates.push_back(DirOf(path) + name);
            for (const std::string &dir : ctx_.options.includeDirs) candidates.push_back(dir + "/" + name);
        }
        for (const std::string &candidate : candidates) {
            if (ctx_.onceFiles.count(candidate)) return;
            if (auto text = ctx_.Read(candidate)) {
                if (std::find(ctx_.dependencies.begin(), ctx_.dependencies.end(), candidate) == ctx_.dependencies.end()) {
                    ctx_.dependencies.push_back(candidate);
                }
                File(candidate, *text, depth + 1);
                return;
            }
        }
        static constexpr std::string_view kSystem[] = {"windows.h", "winres.h", "winresrc.h", "afxres.h",
                                                       "winuser.h", "windef.h", "commctrl.h", "newres.h"};
        for (std::string_view system : kSystem) {
            if (EqualNoCase(name, system)) return;
        }
        ctx_.Fail(directive, "cannot open include file '" + name + "'");
    }

    // Appends `t` to `out` with object-like macros replaced, recursively (a macro is not
    // expanded inside its own expansion).
    void Expand(const Token &t, int depth, std::vector<Token> *out) {
        if (t.kind == Tok::kIdent) {
            auto macro = ctx_.macros.find(t.text);
            if (macro != ctx_.macros.end() &&
                std::find(expanding_.begin(), expanding_.end(), t.text) == expanding_.end()) {
                if (depth >= kMaxExpansionDepth) ctx_.Fail(t, "macro expansion nested too deeply");
                if (++ctx_.expansions > kMaxExpansions) ctx_.Fail(t, "macro expansion too large");
                expanding_.push_back(t.text);
                // Copied: a body may not outlive a redefinition, but expansion never
                // redefines.
                for (Token b : macro->second) {
                    b.file = t.file;
                    b.line = t.line;
                    Expand(b, depth + 1, out);
                }
                expanding_.pop_back();
                return;
            }
        }
        const size_t held = out == &ctx_.tokens ? out->size() : out->size() + ctx_.tokens.size();
        if (held >= kMaxTokens) ctx_.Fail(t, "script too large");
        out->push_back(t);
    }

    void Emit(const Token &t, int depth) { Expand(t, depth, &ctx_.tokens); }

    Context &ctx_;
    std::vector<std::string> expanding_;
};

// ---- binary writers ------------------------------------------------------------------------------

class Bytes {
public:
    void U8(uint32_t v) { data.push_back(static_cast<uint8_t>(v)); }
    void U16(uint32_t v) {
        U8(v & 0xFF);
        U8((v >> 8) & 0xFF);
    }
    void U32(uint32_t v) {
        U16(v & 0xFFFF);
        U16(v >> 16);
    }
    void Sz(const std::u16string &s) {
        for (char16_t c : s) U16(c);
        U16(0);
    }
    void AlignDword() {
        while (data.size() % 4) U8(0);
    }
    std::vector<uint8_t> data;
};

// A name in a template: a string, or 0xFFFF and a number.
struct SzOrOrd {
    bool present = false;
    bool isOrdinal = false;
    uint16_t ordinal = 0;
    std::u16string text;
    void Write(Bytes &b) const {
        if (!present) return b.U16(0);
        if (isOrdinal) {
            b.U16(0xFFFF);
            return b.U16(ordinal);
        }
        b.Sz(text);
    }
};

struct ControlDef {
    uint32_t style = 0, exStyle = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    uint16_t id = 0;
    SzOrOrd cls;
    SzOrOrd text;
};

struct DialogDef {
    uint32_t style = 0, exStyle = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    SzOrOrd menu, cls;
    std::u16string caption;
    bool hasFont = false;
    uint16_t pointSize = 0;
    std::u16string face;
    std::vector<ControlDef> controls;

    std::vector<uint8_t> Build() const {
        Bytes b;
        b.U32(style);
        b.U32(exStyle);
        b.U16(static_cast<uint16_t>(controls.size()));
        for (int16_t v : {x, y, cx, cy}) b.U16(static_cast<uint16_t>(v));
        menu.Write(b);
        cls.Write(b);
        b.Sz(caption);
        if (style & 0x40 /* DS_SETFONT */) {
            b.U16(pointSize);
            b.Sz(face);
        }
        for (const ControlDef &c : controls) {
            b.AlignDword();
            b.U32(c.style);
            b.U32(c.exStyle);
            for (int16_t v : {c.x, c.y, c.cx, c.cy}) b.U16(static_cast<uint16_t>(v));
            b.U16(c.id);
            c.cls.Write(b);
            c.text.Write(b);
            b.U16(0);  // no creation data
        }
        return b.data;
    }
};

// ---- statements --------------------------------------------------------------------------------------

class Parser {
public:
    Parser(Context &ctx, Script *script) : ctx_(ctx), t_(ctx.tokens), script_(script) {}

    void Run() {
        while (pos_ < t_.size()) Statement();
        WriteStrings();
    }

private:
    bool AtEnd() const { return pos_ >= t_.size(); }
    const Token &Last() const {
        static const Token kNone{};
        return t_.empty() ? kNone : t_.back();
    }
    const Token &Peek() const { return AtEnd() ? Last() : t_[pos_]; }
    const Token &Next(std::string_view what) {
        if (AtEnd()) ctx_.Fail(Last(), "unexpected end of script, expected " + std::string(what));
        return t_[pos_++];
    }
    bool IsKeyword(std::string_view keyword) const {
        return !AtEnd() && t_[pos_].kind == Tok::kIdent && EqualNoCase(t_[pos_].text, keyword);
    }
    bool IsPunct(std::string_view p) const {
        return !AtEnd() && t_[pos_].kind == Tok::kPunct && t_[pos_].text == p;
    }
    bool Accept(std::string_view p) {
        if (!IsPunct(p)) return false;
        ++pos_;
        return true;
    }
    void Expect(std::string_view p) {
        const Token &t = Next("'" + std::string(p) + "'");
        if (t.kind != Tok::kPunct || t.text != p) ctx_.Fail(t, "expected '" + std::string(p) + "', found " + Describe(t));
    }
    static std::string Describe(const Token &t) {
        switch (t.kind) {
            case Tok::kString: return "a string";
            case Tok::kNumber: return "'" + t.text + "'";
            default: return "'" + t.text + "'";
        }
    }
    bool IsBegin() const { return IsKeyword("BEGIN") || IsPunct("{"); }
    bool IsEnd() const { return IsKeyword("END") || IsPunct("}"); }
    void ExpectBegin() {
        if (!IsBegin()) ctx_.Fail(Peek(), AtEnd() ? "unexpected end of script, expected BEGIN" : "expected BEGIN, found " + Describe(Peek()));
        ++pos_;
    }

    uint32_t Value() {
        if (AtEnd()) ctx_.Fail(Last(), "unexpected end of script, expected a value");
        return Expression(ctx_, t_, &pos_, false, Peek()).Parse();
    }

    int16_t Coordinate() {
        const Token &at = Peek();
        const auto v = static_cast<int32_t>(Value());
        if (v < -32768 || v > 32767) ctx_.Fail(at, "value " + std::to_string(v) + " out of range (-32768 to 32767)");
        return static_cast<int16_t>(v);
    }

    uint16_t Id() {
        const Token &at = Peek();
        const auto v = static_cast<int32_t>(Value());
        if (v < -32768 || v > 65535) ctx_.Fail(at, "id " + std::to_string(v) + " out of range");
        return static_cast<uint16_t>(v);
    }

    // A style: the default with each "| x" added and each "NOT x" taken away.
    uint32_t Style(uint32_t initial) {
        uint32_t style = initial;
        for (;;) {
            const bool remove = IsKeyword("NOT");
            if (remove) ++pos_;
            if (AtEnd()) ctx_.Fail(Last(), "unexpected end of script, expected a style");
            const uint32_t operand = Expression(ctx_, t_, &pos_, false, Peek(), true).Parse();
            style = remove ? style & ~operand : style | operand;
            if (Accept("|")) continue;
            if (IsKeyword("NOT")) continue;
            return style;
        }
    }

    std::u16string StringLiteral(std::string_view what) {
        const Token &t = Next(what);
        if (t.kind != Tok::kString) ctx_.Fail(t, "expected " + std::string(what) + ", found " + Describe(t));
        std::u16string text = t.str;
        while (!AtEnd() && t_[pos_].kind == Tok::kString) text += t_[pos_++].str;
        if (text.size() > kMaxStringLength) {
            ctx_.Fail(t, "string longer than " + std::to_string(kMaxStringLength) + " characters");
        }
        return text;
    }

    void SkipMemoryOptions() {
        static constexpr std::string_view kOptions[] = {"DISCARDABLE", "PRELOAD", "MOVEABLE", "FIXED",    "PURE",
                                                        "IMPURE",      "LOADONCALL", "SHARED", "NONSHARED"};
        while (!AtEnd() && t_[pos_].kind == Tok::kIdent &&
               std::any_of(std::begin(kOptions), std::end(kOptions),
                           [this](std::string_view o) { return EqualNoCase(t_[pos_].text, o); })) {
            ++pos_;
        }
    }

    struct Name {
        uint16_t id = 0;
        std::u16string text;
    };

    Name ResourceName() {
        const Token &t = Peek();
        Name name;
        if (t.kind == Tok::kString) {
            ++pos_;
            name.text = Upper(t.str);
            if (name.text.empty()) ctx_.Fail(t, "empty resource name");
            return name;
        }
        if (t.kind == Tok::kIdent && !BuiltinSymbol(t.text)) {
            ++pos_;
            name.text = Upper(std::u16string(t.text.begin(), t.text.end()));
            return name;
        }
        const uint32_t v = Value();
        if (v == 0 || v > 0xFFFF) ctx_.Fail(t, "resource id " + std::to_string(v) + " out of range (1 to 65535)");
        name.id = static_cast<uint16_t>(v);
        return name;
    }

    void Add(uint16_t type, const Name &name, std::vector<uint8_t> data, const Token &where) {
        const auto key = std::make_tuple(type, name.id, name.text);
        if (!defined_.insert(key).second) {
            ctx_.Fail(where, "resource " + (name.text.empty() ? std::to_string(name.id) : ToUtf8(name.text)) +
                                 " is already defined");
        }
        Resource r;
        r.type = type;
        r.nameId = name.id;
        r.nameString = name.text;
        r.data = std::move(data);
        script_->resources.push_back(std::move(r));
    }

    void Statement() {
        const Token &start = Peek();
        if (IsKeyword("STRINGTABLE")) {
            ++pos_;
            return StringTable(start);
        }
        if (IsKeyword("LANGUAGE")) {
            ++pos_;
            Value();
            Expect(",");
            Value();
            return;
        }
        const Name name = ResourceName();
        const Token &type = Next("a resource type");
        if (type.kind == Tok::kIdent) {
            if (EqualNoCase(type.text, "DIALOG")) return Dialog(name, false, start);
            if (EqualNoCase(type.text, "DIALOGEX")) return Dialog(name, true, start);
            if (EqualNoCase(type.text, "ICON")) return Icon(name, start);
            static constexpr std::string_view kOther[] = {"MENU",   "MENUEX", "ACCELERATORS", "BITMAP", "CURSOR",
                                                          "RCDATA", "VERSIONINFO", "FONT", "MESSAGETABLE", "HTML"};
            for (std::string_view other : kOther) {
                if (EqualNoCase(type.text, other)) ctx_.Fail(type, "resource type " + std::string(other) + " is not supported");
            }
            ctx_.Fail(type, "unknown resource type '" + type.text + "'");
        }
        ctx_.Fail(type, "expected a resource type, found " + Describe(type));
    }

    void Dialog(const Name &name, bool ex, const Token &start) {
        SkipMemoryOptions();
        DialogDef d;
        d.x = Coordinate();
        Expect(",");
        d.y = Coordinate();
        Expect(",");
        d.cx = Coordinate();
        Expect(",");
        d.cy = Coordinate();
        if (ex && Accept(",")) Value();  // help id
        d.style = 0x80000000u | 0x00800000u | 0x00080000u;  // WS_POPUP | WS_BORDER | WS_SYSMENU
        bool caption = false;
        while (!IsBegin()) {
            if (AtEnd()) ctx_.Fail(start, "dialog without BEGIN");
            const Token &option = Next("a dialog option");
            auto is = [&option](std::string_view k) { return option.kind == Tok::kIdent && EqualNoCase(option.text, k); };
            if (is("STYLE")) {
                d.style = Style(0);
            } else if (is("EXSTYLE")) {
                d.exStyle = Style(0);
            } else if (is("CAPTION")) {
                d.caption = StringLiteral("a caption");
                caption = true;
            } else if (is("FONT")) {
                const Token &at = Peek();
                const uint32_t size = Value();
                if (size > 0xFFFF) ctx_.Fail(at, "font size out of range");
                d.pointSize = static_cast<uint16_t>(size);
                Expect(",");
                d.face = StringLiteral("a font name");
                d.hasFont = true;
                // DIALOGEX adds weight, italic and character set; the template here has no
                // room for them.
                for (int i = 0; i < 3 && Accept(","); ++i) Value();
            } else if (is("MENU") || is("CLASS")) {
                SzOrOrd &field = is("MENU") ? d.menu : d.cls;
                field.present = true;
                if (Peek().kind == Tok::kString) {
                    field.text = StringLiteral("a name");
                } else {
                    const Name n = ResourceName();
                    field.isOrdinal = n.text.empty();
                    field.ordinal = n.id;
                    field.text = n.text;
                }
            } else if (is("LANGUAGE")) {
                Value();
                Expect(",");
                Value();
            } else if (is("CHARACTERISTICS") || is("VERSION")) {
                Value();
            } else {
                ctx_.Fail(option, "unexpected " + Describe(option) + " in the dialog's options");
            }
        }
        ++pos_;  // BEGIN
        while (!IsEnd()) {
            if (AtEnd()) ctx_.Fail(start, "dialog without END");
            if (d.controls.size() >= 0xFFFF) ctx_.Fail(Peek(), "too many controls");
            d.controls.push_back(Control(ex));
        }
        ++pos_;  // END
        if (caption) d.style |= 0x00C00000u;  // WS_CAPTION
        if (d.hasFont) d.style |= 0x40u;      // DS_SETFONT
        Add(kRtDialog, name, d.Build(), start);
    }

    // Control statements: the class they make and the style bits they add to WS_CHILD |
    // WS_VISIBLE.
    struct Shorthand {
        std::string_view keyword;
        bool hasText;
        uint16_t atom;
        uint32_t style;
    };

    ControlDef Control(bool ex) {
        static constexpr uint32_t kTabStop = 0x00010000u, kGroup = 0x00020000u;
        static constexpr Shorthand kShorthands[] = {
            {"LTEXT", true, 0x82, 0x0 | kGroup},           {"CTEXT", true, 0x82, 0x1 | kGroup},
            {"RTEXT", true, 0x82, 0x2 | kGroup},           {"PUSHBUTTON", true, 0x80, 0x0 | kTabStop},
            {"DEFPUSHBUTTON", true, 0x80, 0x1 | kTabStop}, {"AUTOCHECKBOX", true, 0x80, 0x3 | kTabStop},
            {"GROUPBOX", true, 0x80, 0x7},                 {"COMBOBOX", false, 0x85, 0x1 | kTabStop},
        };
        static constexpr uint32_t kChildVisible = 0x40000000u | 0x10000000u;
        const Token &keyword = Next("a control");
        if (keyword.kind != Tok::kIdent) ctx_.Fail(keyword, "expected a control statement, found " + Describe(keyword));
        ControlDef c;
        if (EqualNoCase(keyword.text, "CONTROL")) {
            ControlText(&c);
            Expect(",");
            c.id = Id();
            Expect(",");
            ControlClass(&c);
            Expect(",");
            c.style = Style(kChildVisible);
            Expect(",");
            Geometry(&c);
            if (Accept(",")) c.exStyle = Style(0);
        } else {
            const Shorthand *s = nullptr;
            for (const Shorthand &candidate : kShorthands) {
                if (EqualNoCase(keyword.text, candidate.keyword)) s = &candidate;
            }
            if (!s) ctx_.Fail(keyword, "unknown control statement '" + keyword.text + "'");
            if (s->hasText) {
                c.text.present = true;
                c.text.text = StringLiteral("the control's text");
                Expect(",");
            }
            c.id = Id();
            Expect(",");
            Geometry(&c);
            c.cls.present = c.cls.isOrdinal = true;
            c.cls.ordinal = s->atom;
            c.style = kChildVisible | s->style;
            if (Accept(",")) {
                c.style = Style(c.style);
                if (Accept(",")) c.exStyle = Style(0);
            }
        }
        if (ex && Accept(",")) Value();  // help id
        return c;
    }

    void ControlText(ControlDef *c) {
        c->text.present = true;
        if (Peek().kind == Tok::kString) {
            c->text.text = StringLiteral("the control's text");
            return;
        }
        c->text.isOrdinal = true;
        c->text.ordinal = Id();
    }

    void ControlClass(ControlDef *c) {
        static constexpr std::pair<std::string_view, uint16_t> kClasses[] = {
            {"BUTTON", 0x80}, {"EDIT", 0x81}, {"STATIC", 0x82}, {"LISTBOX", 0x83}, {"SCROLLBAR", 0x84}, {"COMBOBOX", 0x85}};
        const Token &t = Next("a control class");
        c->cls.present = true;
        std::string name;
        if (t.kind == Tok::kString) {
            name = ToUtf8(t.str);
        } else if (t.kind == Tok::kIdent) {
            name = t.text;
        } else {
            ctx_.Fail(t, "expected a control class, found " + Describe(t));
        }
        for (const auto &[known, atom] : kClasses) {
            if (EqualNoCase(name, known)) {
                c->cls.isOrdinal = true;
                c->cls.ordinal = atom;
                return;
            }
        }
        if (t.kind == Tok::kIdent) ctx_.Fail(t, "unknown control class '" + t.text + "'");
        if (t.str.empty()) ctx_.Fail(t, "empty control class");
        c->cls.text = t.str;
    }

    void Geometry(ControlDef *c) {
        c->x = Coordinate();
        Expect(",");
        c->y = Coordinate();
        Expect(",");
        c->cx = Coordinate();
        Expect(",");
        c->cy = Coordinate();
    }

    void StringTable(const Token &start) {
        SkipMemoryOptions();
        while (!IsBegin()) {
            if (AtEnd()) ctx_.Fail(start, "STRINGTABLE without BEGIN");
            if (IsKeyword("LANGUAGE")) {
                ++pos_;
                Value();
                Expect(",");
                Value();
            } else if (IsKeyword("CHARACTERISTICS") || IsKeyword("VERSION")) {
                ++pos_;
                Value();
            } else {
                ctx_.Fail(Peek(), "expected BEGIN, found " + Describe(Peek()));
            }
        }
        ++pos_;
        while (!IsEnd()) {
            if (AtEnd()) ctx_.Fail(start, "STRINGTABLE without END");
            const Token &at = Peek();
            const uint32_t id = Value();
            if (id > 0xFFFF) ctx_.Fail(at, "string id " + std::to_string(id) + " out of range (0 to 65535)");
            Accept(",");
            std::u16string text = StringLiteral("a string");
            if (!strings_.emplace(static_cast<uint16_t>(id), std::move(text)).second) {
                ctx_.Fail(at, "string " + std::to_string(id) + " is already defined");
            }
        }
        ++pos_;
    }

    // Strings go out in blocks of 16: block n + 1 holds ids 16n to 16n + 15.
    void WriteStrings() {
        std::set<uint16_t> blocks;
        for (const auto &entry : strings_) blocks.insert(static_cast<uint16_t>(entry.first >> 4));
        for (uint16_t block : blocks) {
            Bytes b;
            for (uint16_t i = 0; i < 16; ++i) {
                const auto found = strings_.find(static_cast<uint16_t>(block * 16 + i));
                if (found == strings_.end()) {
                    b.U16(0);
                    continue;
                }
                b.U16(static_cast<uint16_t>(found->second.size()));
                for (char16_t c : found->second) b.U16(c);
            }
            Resource r;
            r.type = kRtString;
            r.nameId = static_cast<uint16_t>(block + 1);
            r.data = std::move(b.data);
            script_->resources.push_back(std::move(r));
        }
    }

    void Icon(const Name &name, const Token &start) {
        SkipMemoryOptions();
        const Token &fileToken = Next("an icon file name");
        if (fileToken.kind != Tok::kString) ctx_.Fail(fileToken, "expected an icon file name, found " + Describe(fileToken));
        std::string file = ToUtf8(fileToken.str);
        std::replace(file.begin(), file.end(), '\\', '/');
        if (file.empty()) ctx_.Fail(fileToken, "empty icon file name");
        std::vector<std::string> candidates;
        if (file[0] == '/') {
            candidates.push_back(file);
        } else {
            const std::string &from = ctx_.files.at(static_cast<size_t>(fileToken.file));
            const size_t slash = from.find_last_of('/');
            candidates.push_back((slash == std::string::npos ? std::string() : from.substr(0, slash + 1)) + file);
            for (const std::string &dir : ctx_.options.includeDirs) candidates.push_back(dir + "/" + file);
        }
        std::optional<std::string> data;
        std::string found;
        for (const std::string &candidate : candidates) {
            if ((data = ctx_.Read(candidate))) {
                found = candidate;
                break;
            }
        }
        if (!data) ctx_.Fail(fileToken, "cannot open icon file '" + file + "'");
        ctx_.dependencies.push_back(found);

        // The .ico file: a 6-byte header (0, 1, count), then 16-byte entries (width,
        // height, colours, reserved, planes, bits per pixel, size, offset) and the images.
        const auto *bytes = reinterpret_cast<const uint8_t *>(data->data());
        const size_t size = data->size();
        auto u16 = [bytes](size_t at) { return static_cast<uint32_t>(bytes[at] | (bytes[at + 1] << 8)); };
        auto u32 = [&u16](size_t at) { return u16(at) | (u16(at + 2) << 16); };
        const std::string what = "icon file '" + file + "'";
        if (size < 6 || u16(0) != 0 || u16(2) != 1) ctx_.Fail(fileToken, what + " is not an icon file");
        const uint32_t count = u16(4);
        if (count == 0 || count > kMaxIconImages) ctx_.Fail(fileToken, what + " has " + std::to_string(count) + " images");
        if (6 + 16 * size_t{count} > size) ctx_.Fail(fileToken, what + " is truncated");
        Bytes group;
        group.U16(0);
        group.U16(1);
        group.U16(count);
        for (uint32_t i = 0; i < count; ++i) {
            const size_t e = 6 + 16 * size_t{i};
            const uint32_t length = u32(e + 8), offset = u32(e + 12);
            if (length == 0 || uint64_t{offset} + length > size) {
                ctx_.Fail(fileToken, what + ": image " + std::to_string(i + 1) + " lies outside the file");
            }
            if (nextIconId_ == 0) ctx_.Fail(fileToken, "too many icon images");
            const uint16_t id = nextIconId_++;
            for (size_t k = 0; k < 8; ++k) group.U8(bytes[e + k]);  // width .. bits per pixel
            group.U32(length);
            group.U16(id);
            Name imageName;
            imageName.id = id;
            Add(kRtIcon, imageName, std::vector<uint8_t>(bytes + offset, bytes + offset + length), start);
        }
        Add(kRtGroupIcon, name, std::move(group.data), start);
    }

    Context &ctx_;
    const std::vector<Token> &t_;
    Script *script_;
    size_t pos_ = 0;
    std::map<uint16_t, std::u16string> strings_;
    std::set<std::tuple<uint16_t, uint16_t, std::u16string>> defined_;
    uint16_t nextIconId_ = 1;
};

}  // namespace

bool Compile(const std::string &path, std::string_view text, const Options &options, Script *script, Error *error) {
    Context ctx;
    ctx.options = options;
    *script = Script{};
    try {
        Preprocessor(ctx).Run(path, text);
        Parser(ctx, script).Run();
        script->dependencies = ctx.dependencies;
        return true;
    } catch (const Failure &f) {
        *error = f.error;
        return false;
    }
}

}  // namespace qsxrc
