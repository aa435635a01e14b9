// UTF-8 encoding shared by the stand-in, its tools and the terminal front end: one code
// point, or UTF-16 text with a choice for surrogates that have no partner. Header-only,
// so that build-time tools which do not link coredll can use it too.
#pragma once

#include <string>
#include <string_view>

namespace standin {

inline void AppendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// What a surrogate without its partner becomes: its own three-byte sequence (kKeep, so the
// text reads back unchanged), or U+FFFD (kReplace, for text that must be valid UTF-8).
enum class LoneSurrogate { kKeep, kReplace };

inline void AppendUtf8(std::string &out, std::u16string_view text, LoneSurrogate lone) {
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF && lone == LoneSurrogate::kReplace) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
}

}  // namespace standin
