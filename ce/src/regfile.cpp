// The platform's .reg text files for the simulated device's registry: the reader (the
// whole text is parsed into a list of operations, which is applied under the tree lock
// only when every line parsed), the writer of the desktop form, the atomic save, and the
// seal of a saved file (a second line that announces it, a last line with the size and
// CRC-32 of everything before it) that shows the file is whole.
#include "registry_tree.h"

#include <standin/registry.h>
#include <standin/utf8.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace standin {
namespace {

using namespace regtree;

constexpr std::u16string_view kHeader4 = u"REGEDIT4";
constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr char kSaveHeader[] = "Windows Registry Editor Version 5.00\n\n";

// A saved file: the header line, then this line, then the text, then the end line
// "; end of the saved registry: N bytes, CRC-32 XXXXXXXX" where N and the CRC cover every
// byte before the end line. Both are comments, so any .reg reader still takes the file.
constexpr std::string_view kSealHeader = "Windows Registry Editor Version 5.00\n";
constexpr std::string_view kSealAnnounce =
    "; sealed: the last line holds the size and CRC-32 of all the text before it\n";
constexpr std::string_view kSealEnd = "; end of the saved registry: ";

// CRC-32 (IEEE 802.3, reflected, as zlib computes it).
uint32_t Crc32(std::string_view bytes) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (char b : bytes) crc = table[(crc ^ static_cast<uint8_t>(b)) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string EndLine(std::string_view before) {
    char line[96];
    std::snprintf(line, sizeof line, "%.*s%zu bytes, CRC-32 %08x\n", static_cast<int>(kSealEnd.size()),
                  kSealEnd.data(), before.size(), Crc32(before));
    return line;
}

// `dump` is DumpWholeRegistry's text, which starts with the header line.
std::string Sealed(std::string_view dump) {
    std::string out(kSealHeader);
    out += kSealAnnounce;
    out += dump.substr(std::min(dump.size(), kSealHeader.size()));
    out += EndLine(out);
    return out;
}

struct ParseError {
    size_t line;
    std::string message;
};

[[noreturn]] void Fail(size_t line, std::string message) {
    throw ParseError{line, std::move(message)};
}

// ---- text --------------------------------------------------------------------
// UTF-16 to UTF-8. A surrogate without its partner is written as its own three-byte
// sequence (and read back the same way), so every name the API accepts survives a save.
void AppendUtf8(std::string &out, std::u16string_view text) {
    standin::AppendUtf8(out, text, standin::LoneSurrogate::kKeep);
}

std::string Utf8(std::u16string_view text) {
    std::string out;
    AppendUtf8(out, text);
    return out;
}

// A piece of the file quoted in an error message, shortened when long.
std::string Quote(std::u16string_view text) {
    constexpr size_t kMax = 40;
    std::string out = "\"";
    AppendUtf8(out, text.substr(0, kMax));
    if (text.size() > kMax) out += "...";
    out += '"';
    return out;
}

std::u16string DecodeUtf8(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    size_t line = 1;
    for (size_t i = 0; i < bytes.size();) {
        uint8_t b = static_cast<uint8_t>(bytes[i]);
        if (b < 0x80) {
            if (b == '\n') ++line;
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        }
        size_t len;
        uint32_t c, min;
        if ((b & 0xE0) == 0xC0) {
            len = 2, c = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3, c = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4, c = b & 0x07, min = 0x10000;
        } else {
            Fail(line, "invalid UTF-8");
        }
        if (i + len > bytes.size()) Fail(line, "invalid UTF-8");
        for (size_t k = 1; k < len; ++k) {
            uint8_t cont = static_cast<uint8_t>(bytes[i + k]);
            if ((cont & 0xC0) != 0x80) Fail(line, "invalid UTF-8");
            c = (c << 6) | (cont & 0x3F);
        }
        if (c < min || c > 0x10FFFF) Fail(line, "invalid UTF-8");
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += len;
    }
    return out;
}

// UTF-8 with or without a BOM, or UTF-16LE with its BOM.
std::u16string DecodeText(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) return DecodeUtf8(bytes.substr(3));
    if (!bytes.starts_with("\xFF\xFE")) return DecodeUtf8(bytes);
    bytes.remove_prefix(2);
    std::u16string out;
    out.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        out += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                     static_cast<uint8_t>(bytes[i + 1]) << 8);
    if (bytes.size() % 2) {
        size_t lines = 1;
        for (char16_t c : out) lines += c == u'\n';
        Fail(lines, "UTF-16 text ends in half a character");
    }
    return out;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimLeft(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}

std::u16string_view Trim(std::u16string_view s) {
    s = TrimLeft(s);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? c - u'A' + u'a' : c; }

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && SameName(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    c = FoldAscii(c);
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return -1;
}

// 1 to maxDigits hex digits and nothing else.
bool ParseHex(std::u16string_view s, size_t maxDigits, uint32_t *out) {
    if (s.empty() || s.size() > maxDigits) return false;
    uint32_t v = 0;
    for (char16_t c : s) {
        int d = HexDigit(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

std::vector<BYTE> Utf16Bytes(std::u16string_view s) {
    std::vector<BYTE> out;
    out.reserve(s.size() * 2);
    for (char16_t c : s) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    return out;
}

// ---- reader --------------------------------------------------------------------
struct Op {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind = kSetValue;
    HKEY root = nullptr;  // keys
    std::vector<std::u16string> path;  // keys
    std::u16string name;  // values: of the key of the last kCreateKey
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

class Parser {
public:
    explicit Parser(const std::vector<std::string> &defined) {
        for (const auto &name : defined) {
            std::u16string wide;
            for (char c : name) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
            defined_.push_back(std::move(wide));
        }
    }

    std::vector<Op> Parse(std::u16string_view text) {
        std::u16string logical;  // a line and the lines a trailing '\' joined to it
        size_t logicalLine = 0;
        bool continuing = false;
        size_t lineNo = 0;
        while (!text.empty() || lineNo == 0) {
            ++lineNo;
            size_t end = text.find(u'\n');
            std::u16string_view line = text.substr(0, end);
            text.remove_prefix(end == std::u16string_view::npos ? text.size() : end + 1);
            if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
            if (line.find(u'\0') != std::u16string_view::npos) Fail(lineNo, "NUL character");

            // Key lines are taken whole: a key name may hold ';' or '"'.
            if (!continuing && TrimLeft(line).starts_with(u'[')) {
                KeyLine(Trim(line), lineNo);
                continue;
            }
            bool continued = false;
            std::u16string_view body = StripComment(line, lineNo, &continued);
            if (!continuing) logicalLine = lineNo;
            logical += body;
            continuing = continued;
            if (continued) continue;
            LogicalLine(logical, logicalLine);
            logical.clear();
        }
        if (continuing) LogicalLine(logical, logicalLine);
        if (!conditions_.empty()) Fail(conditions_.back().line, "IF without ENDIF");
        return std::move(ops_);
    }

private:
    struct Condition {
        size_t line;
        bool taken;  // this branch is included (before looking at enclosing blocks)
        bool sawElse;
    };

    // The line without its comment and trailing blanks; a trailing '\' outside quotes is
    // removed and reported as a continuation.
    static std::u16string_view StripComment(std::u16string_view line, size_t lineNo,
                                            bool *continued) {
        bool quoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            char16_t c = line[i];
            if (quoted) {
                if (c == u'\\') ++i;
                else if (c == u'"') quoted = false;
            } else if (c == u'"') {
                quoted = true;
            } else if (c == u';') {
                line = line.substr(0, i);
                break;
            }
        }
        if (quoted) Fail(lineNo, "unterminated string");
        line = Trim(line);
        *continued = !line.empty() && line.back() == u'\\';
        if (*continued) line.remove_suffix(1);
        return line;
    }

    bool Active() const {
        for (const auto &c : conditions_)
            if (!c.taken) return false;
        return true;
    }

    bool Defined(std::u16string_view name) const {
        for (const auto &d : defined_)
            if (SameName(d, name)) return true;
        return false;
    }

    void LogicalLine(std::u16string_view text, size_t line) {
        text = Trim(text);
        if (text.empty()) return;
        bool first = !seenContent_;
        seenContent_ = true;
        if (text[0] == u'"' || text[0] == u'@') return ValueLine(text, line);
        if (text[0] == u'[') Fail(line, "a key line cannot follow a continued line");
        if (text[0] == u'#') {
            if (StartsWithNoCase(text, u"#include"))
                Fail(line, "#include is not supported; merge the files instead");
            Fail(line, "preprocessor lines are not supported");
        }
        if (first && (text == kHeader4 || text == kHeader5)) return;
        size_t wordEnd = 0;
        while (wordEnd < text.size() && !IsBlank(text[wordEnd])) ++wordEnd;
        std::u16string_view word = text.substr(0, wordEnd);
        std::u16string_view rest = Trim(text.substr(wordEnd));
        if (SameName(word, u"IF")) return IfLine(rest, line);
        if (SameName(word, u"ELSE") || SameName(word, u"ENDIF")) {
            if (!rest.empty()) Fail(line, "unexpected text after " + Utf8(word));
            if (conditions_.empty()) Fail(line, Utf8(word) + " without IF");
            if (SameName(word, u"ENDIF")) {
                conditions_.pop_back();
            } else {
                Condition &c = conditions_.back();
                if (c.sawElse) Fail(line, "second ELSE for one IF");
                c.sawElse = true;
                c.taken = !c.taken;
            }
            return;
        }
        Fail(line, "unexpected text " + Quote(text));
    }

    // IF NAME    includes the block when NAME is defined
    // IF NAME !  includes it when NAME is not defined
    void IfLine(std::u16string_view rest, size_t line) {
        size_t nameEnd = 0;
        while (nameEnd < rest.size() && !IsBlank(rest[nameEnd])) ++nameEnd;
        std::u16string_view name = rest.substr(0, nameEnd);
        std::u16string_view tail = Trim(rest.substr(nameEnd));
        if (name.empty() || !(tail.empty() || tail == u"!"))
            Fail(line, "bad IF line (expected IF NAME or IF NAME !)");
        conditions_.push_back({line, Defined(name) != (tail == u"!"), false});
    }

    void KeyLine(std::u16string_view text, size_t line) {
        seenContent_ = true;
        size_t close = text.rfind(u']');
        if (close == std::u16string_view::npos) Fail(line, "missing ] at the end of the key");
        std::u16string_view after = TrimLeft(text.substr(close + 1));
        if (!after.empty() && after[0] != u';') Fail(line, "unexpected text after the key");
        std::u16string_view inner = text.substr(1, close - 1);
        bool remove = inner.starts_with(u'-');
        if (remove) inner.remove_prefix(1);
        size_t sep = inner.find(u'\\');
        std::u16string_view rootName = inner.substr(0, sep);
        std::u16string_view pathText =
            sep == std::u16string_view::npos ? std::u16string_view() : inner.substr(sep);
        HKEY root = nullptr;
        for (const RootName &r : Roots()) {
            std::u16string longName(r.longName, r.longName + std::strlen(r.longName));
            std::u16string shortName(r.shortName, r.shortName + std::strlen(r.shortName));
            if (SameName(rootName, longName) || SameName(rootName, shortName)) root = r.root;
        }
        if (!root) Fail(line, "unknown root key " + Quote(rootName));
        auto path = SplitPath(pathText);
        if (!path)
            Fail(line, "bad key name (an empty part, a part longer than 255 characters or a "
                       "control character)");
        if (path->size() > kMaxDepth) Fail(line, "key lies deeper than 512 levels");
        if (remove && path->empty()) Fail(line, "a root key cannot be deleted");
        if (!Active()) return;
        Op op;
        op.kind = remove ? Op::kDeleteKey : Op::kCreateKey;
        op.root = root;
        op.path = std::move(*path);
        ops_.push_back(std::move(op));
        haveKey_ = !remove;
        afterDelete_ = remove;
    }

    // A quoted string starting at s[pos]; pos ends past the closing quote.
    static std::u16string QuotedString(std::u16string_view s, size_t &pos, size_t line) {
        std::u16string out;
        ++pos;
        for (;;) {
            if (pos >= s.size()) Fail(line, "unterminated string");
            char16_t c = s[pos++];
            if (c == u'"') return out;
            if (c != u'\\') {
                out += c;
                continue;
            }
            if (pos >= s.size()) Fail(line, "unterminated string");
            char16_t e = s[pos++];
            switch (e) {
            case u'\\': out += u'\\'; break;
            case u'"': out += u'"'; break;
            case u'n': out += u'\n'; break;
            case u'r': out += u'\r'; break;
            default:
                Fail(line, "unknown escape \\" + Utf8(std::u16string_view(&e, 1)) +
                               " in a string (a backslash is written \\\\)");
            }
        }
    }

    static std::vector<BYTE> HexList(std::u16string_view s, size_t line) {
        std::vector<BYTE> out;
        s = Trim(s);
        if (s.empty()) return out;
        for (;;) {
            size_t comma = s.find(u',');
            std::u16string_view token = Trim(s.substr(0, comma));
            bool last = comma == std::u16string_view::npos;
            if (token.empty() && last && !out.empty()) break;  // a trailing comma
            uint32_t byte;
            if (!ParseHex(token, 2, &byte)) Fail(line, "bad hex byte " + Quote(token));
            out.push_back(static_cast<BYTE>(byte));
            if (last) break;
            s.remove_prefix(comma + 1);
        }
        return out;
    }

    static std::vector<BYTE> MultiString(std::u16string_view s, size_t line) {
        std::u16string all;
        s = Trim(s);
        size_t pos = 0;
        while (pos < s.size()) {
            if (s[pos] != u'"') Fail(line, "multi_sz: expected a quoted string");
            all += QuotedString(s, pos, line);
            all += u'\0';
            while (pos < s.size() && IsBlank(s[pos])) ++pos;
            if (pos == s.size()) break;
            if (s[pos] != u',') Fail(line, "multi_sz: expected , between strings");
            ++pos;
            while (pos < s.size() && IsBlank(s[pos])) ++pos;
        }
        all += u'\0';  // the list's terminator
        return Utf16Bytes(all);
    }

    void ValueLine(std::u16string_view text, size_t line) {
        Op op;
        size_t pos = 1;
        if (text[0] == u'"') {
            pos = 0;
            op.name = QuotedString(text, pos, line);
        }
        while (pos < text.size() && IsBlank(text[pos])) ++pos;
        if (pos >= text.size() || text[pos] != u'=') Fail(line, "expected = after the value name");
        std::u16string_view data = Trim(text.substr(pos + 1));
        if (data.empty()) {
            Fail(line, "missing value after =");
        } else if (data == u"-") {
            op.kind = Op::kDeleteValue;
        } else if (data[0] == u'"') {
            size_t end = 0;
            std::u16string s = QuotedString(data, end, line);
            if (!Trim(data.substr(end)).empty()) Fail(line, "unexpected text after the string");
            op.type = REG_SZ;
            s += u'\0';
            op.data = Utf16Bytes(s);
        } else if (StartsWithNoCase(data, u"dword:")) {
            uint32_t v;
            std::u16string_view digits = Trim(data.substr(6));
            if (!ParseHex(digits, 8, &v))
                Fail(line, "bad dword " + Quote(digits) + " (expected 1 to 8 hex digits)");
            op.type = REG_DWORD;
            op.data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8),
                       static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)};
        } else if (StartsWithNoCase(data, u"hex:")) {
            op.type = REG_BINARY;
            op.data = HexList(data.substr(4), line);
        } else if (StartsWithNoCase(data, u"hex(")) {
            size_t close = data.find(u')');
            uint32_t type;
            if (close == std::u16string_view::npos || !ParseHex(data.substr(4, close - 4), 8, &type))
                Fail(line, "bad value type in hex(...)");
            if (close + 1 >= data.size() || data[close + 1] != u':')
                Fail(line, "expected : after hex(...)");
            op.type = type;
            op.data = HexList(data.substr(close + 2), line);
        } else if (StartsWithNoCase(data, u"multi_sz:")) {
            op.type = REG_MULTI_SZ;
            op.data = MultiString(data.substr(9), line);
        } else {
            Fail(line, "unknown value type " + Quote(data));
        }
        if (!Active()) return;
        if (!haveKey_)
            Fail(line, afterDelete_ ? "value line after a key deletion" : "value line before any key");
        ops_.push_back(std::move(op));
    }

    std::vector<std::u16string> defined_;
    std::vector<Condition> conditions_;
    std::vector<Op> ops_;
    bool seenContent_ = false;
    bool haveKey_ = false;
    bool afterDelete_ = false;
};

void Apply(std::vector<Op> &ops) {
    std::lock_guard lock(TreeMutex());
    Key *current = nullptr;
    for (Op &op : ops) {
        switch (op.kind) {
        case Op::kCreateKey:
            current = CreatePath(RootKey(op.root), op.path, nullptr);  // depth checked
            break;
        case Op::kDeleteKey:
            if (Key *key = FindPath(RootKey(op.root), op.path)) DeleteKey(key);
            current = nullptr;
            break;
        case Op::kSetValue:
            SetValue(current, op.name, op.type, std::move(op.data));
            break;
        case Op::kDeleteValue:
            DeleteValue(current, op.name);
            break;
        }
    }
}

// ---- writer ------------------------------------------------------------------
void AppendQuoted(std::string &out, std::u16string_view s) {
    std::u16string escaped;
    for (char16_t c : s) {
        switch (c) {
        case u'\\': escaped += u"\\\\"; break;
        case u'"': escaped += u"\\\""; break;
        case u'\n': escaped += u"\\n"; break;
        case u'\r': escaped += u"\\r"; break;
        default: escaped += c;
        }
    }
    out += '"';
    AppendUtf8(out, escaped);
    out += '"';
}

// REG_SZ data that a "quoted" string reproduces byte for byte: one terminating NUL, no
// other NUL, no line breaks (those go out as hex(1) like the desktop's editor does).
bool IsPlainString(const std::vector<BYTE> &data, std::u16string *text) {
    if (data.size() < 2 || data.size() % 2) return false;
    size_t units = data.size() / 2;
    text->clear();
    for (size_t i = 0; i < units; ++i) {
        char16_t c = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
        bool last = i + 1 == units;
        if ((c == 0) != last || c == u'\n' || c == u'\r') return false;
        if (!last) *text += c;
    }
    return true;
}

void AppendValue(std::string &out, const Value &value) {
    size_t lineStart = out.size();
    if (value.name.empty()) out += '@';
    else AppendQuoted(out, value.name);
    out += '=';
    std::u16string text;
    char buffer[32];
    if (value.type == REG_SZ && IsPlainString(value.data, &text)) {
        AppendQuoted(out, text);
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t v = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                     static_cast<uint32_t>(value.data[3]) << 24;
        std::snprintf(buffer, sizeof buffer, "dword:%08x", v);
        out += buffer;
    } else {
        if (value.type == REG_BINARY) {
            out += "hex:";
        } else {
            std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
            out += buffer;
        }
        // Long lists wrap like the desktop editor's: ",\" and two blanks, under 80 columns.
        for (size_t i = 0; i < value.data.size(); ++i) {
            std::snprintf(buffer, sizeof buffer, "%02x", value.data[i]);
            out += buffer;
            if (i + 1 == value.data.size()) break;
            out += ',';
            if (out.size() - lineStart > 75) {
                out += "\\\n  ";
                lineStart = out.size() - 2;
            }
        }
    }
    out += '\n';
}

// With the tree lock held: `key` and what lies below it; `header` is the key's full name
// as the file spells it. The block of the key itself is left out when !withSelf.
void AppendTree(std::string &out, std::string &header, const Key &key, bool withSelf) {
    if (withSelf) {
        out += '[';
        out += header;
        out += "]\n";
        for (const Value &value : key.values) AppendValue(out, value);
        out += '\n';
    }
    for (const auto &sub : key.subkeys) {
        size_t mark = header.size();
        header += '\\';
        AppendUtf8(header, sub->name);
        AppendTree(out, header, *sub, true);
        header.resize(mark);
    }
}

const char *LongRootName(HKEY root) {
    for (const RootName &r : Roots())
        if (r.root == root) return r.longName;
    return nullptr;
}

// Writes all of `text` to a new file beside `path` and renames it over `path`.
bool WriteAtomically(const std::string &path, const std::string &text, std::string *error) {
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(temp.data());
    auto fail = [&](const char *what) {
        int saved = errno;
        if (fd >= 0) close(fd);
        if (!temp.empty()) unlink(temp.c_str());
        if (error) *error = path + ": " + what + ": " + std::strerror(saved);
        return false;
    };
    if (fd < 0) {
        temp.clear();
        return fail("cannot create a file beside it");
    }
    if (fchmod(fd, 0644) != 0) return fail("cannot set the file mode");
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail("cannot write");
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0) return fail("cannot flush to disk");
    int closing = fd;
    fd = -1;
    if (close(closing) != 0) return fail("cannot write");
    if (rename(temp.c_str(), path.c_str()) != 0) return fail("cannot replace");
    // Make the rename itself durable.
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

}  // namespace

bool LoadRegText(std::string_view text, std::string *error,
                 const std::vector<std::string> &defined) {
    try {
        std::vector<Op> ops = Parser(defined).Parse(DecodeText(text));
        Apply(ops);
        return true;
    } catch (const ParseError &e) {
        if (error) *error = "line " + std::to_string(e.line) + ": " + e.message;
        return false;
    }
}

namespace {

// The whole file, or false with `error` saying why not.
bool ReadWhole(const std::string &path, std::string *contents, std::string *error) {
    auto fail = [&](const char *what) {
        if (error) *error = path + ": " + what + ": " + std::strerror(errno);
        return false;
    };
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("cannot open");
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return fail("cannot read");
        }
        if (n == 0) break;
        contents->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

}  // namespace

bool LoadRegFile(const std::string &path, std::string *error,
                 const std::vector<std::string> &defined) {
    std::string contents;
    if (!ReadWhole(path, &contents, error)) return false;
    std::string message;
    if (LoadRegText(contents, &message, defined)) return true;
    if (error) *error = path + ": " + message;
    return false;
}

bool LoadSavedRegText(std::string_view text, std::string *error, SavedForm *form) {
    auto refuse = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos)
        return refuse(text.empty() ? "the file is empty" : "the file holds only blank lines");
    const bool announced = text.starts_with(std::string(kSealHeader) + std::string(kSealAnnounce));
    // The end line is the last line, and ends in its newline.
    size_t lineStart = std::string_view::npos;
    if (text.ends_with('\n')) {
        size_t previous = text.rfind('\n', text.size() - 2);
        lineStart = previous == std::string_view::npos ? 0 : previous + 1;
    }
    const bool ended = lineStart != std::string_view::npos && text.substr(lineStart).starts_with(kSealEnd);
    if (announced && !ended) {
        const size_t end = text.rfind("\n" + std::string(kSealEnd));
        const size_t after = end == std::string_view::npos ? end : text.find('\n', end + 1);
        if (after != std::string_view::npos && after + 1 < text.size())
            return refuse("lines follow its end line: text was added to it after it was saved");
        return refuse("it was cut short: its last line is not the end line that a saved registry ends with");
    }
    if (ended) {
        const std::string_view before = text.substr(0, lineStart);
        const std::string expected = EndLine(before);
        if (text.substr(lineStart) != expected) {
            std::string found(text.substr(lineStart + kSealEnd.size()));
            while (!found.empty() && (found.back() == '\n' || found.back() == '\r')) found.pop_back();
            std::string want = expected.substr(kSealEnd.size());
            want.pop_back();
            return refuse("its text does not match its end line (the end line says \"" + found.substr(0, 60) +
                          "\", the text before it has " + want +
                          "): the file is damaged or was edited by hand; to take an edited file as it is, "
                          "delete its second line and its last line");
        }
        if (!announced) return refuse("its end line has no announcing second line: the start of the file is damaged");
    }
    std::vector<Op> ops;
    try {
        ops = Parser({}).Parse(DecodeText(text));
    } catch (const ParseError &e) {
        return refuse("line " + std::to_string(e.line) + ": " + e.message);
    }
    // A file without the seal that has no key at all cannot be told apart from one cut
    // after its first lines, and a device's registry always has keys.
    if (std::none_of(ops.begin(), ops.end(), [](const Op &op) { return op.kind == Op::kCreateKey; }))
        return refuse("it holds no key: it was cut short, or is not a saved registry");
    Apply(ops);
    if (form) *form = ended ? SavedForm::kSealed : SavedForm::kUnsealed;
    return true;
}

bool LoadSavedRegFile(const std::string &path, std::string *error, SavedForm *form) {
    std::string contents;
    if (!ReadWhole(path, &contents, error)) return false;
    std::string message;
    if (LoadSavedRegText(contents, &message, form)) return true;
    if (error) *error = path + ": " + message;
    return false;
}

std::string DumpRegistry(HKEY root, std::u16string_view subkey) {
    std::lock_guard lock(TreeMutex());
    Key *base = RootKey(root);
    auto path = SplitPath(subkey);
    if (!base || !path) return {};
    Key *key = FindPath(base, *path);
    if (!key) return {};
    // The name as stored, not as the caller spelled it.
    std::vector<const Key *> chain;
    for (const Key *k = key; k != base; k = k->parent) chain.push_back(k);
    std::string header = LongRootName(root);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        header += '\\';
        AppendUtf8(header, (*it)->name);
    }
    std::string out = kSaveHeader;
    AppendTree(out, header, *key, key != base || !key->values.empty());
    return out;
}

std::string DumpWholeRegistry() {
    std::lock_guard lock(TreeMutex());
    std::string out = kSaveHeader;
    for (const RootName &r : Roots()) {
        std::string header = r.longName;
        const Key &root = *RootKey(r.root);
        AppendTree(out, header, root, !root.values.empty());
    }
    return out;
}

std::string SavedRegistryText() { return Sealed(DumpWholeRegistry()); }

bool SaveRegFile(const std::string &path, std::string *error) {
    return WriteAtomically(path, SavedRegistryText(), error);
}

}  // namespace standin
