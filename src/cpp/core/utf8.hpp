// UTF-8 one code point at a time, for the few places that look at letters
// rather than bytes. A broken sequence reads as U+FFFD and moves on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvan::core::utf8 {

// The code point at `i` in `s`, with `i` moved past it.
inline char32_t next(std::string_view s, std::size_t& i) {
    const auto b = static_cast<unsigned char>(s[i++]);
    if (b < 0x80) return b;
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    if (extra == 0) return 0xFFFD;
    char32_t c = b & (0x3F >> extra);
    for (; extra > 0; --extra) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 0xFFFD;
        c = (c << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    return c;
}

inline void append(std::string& out, char32_t c) {
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

// `s` with every broken sequence and encoded surrogate (text stored before
// it was checked) as U+FFFD, so that it can always be read back as text.
inline std::string well_formed(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const char32_t c = next(s, i);
        append(out, (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF ? 0xFFFD : c);
    }
    return out;
}

}  // namespace quorvan::core::utf8
