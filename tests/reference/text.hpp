// Plain forms of the text rules the replacement code relies on, written from their definitions
// for the tests and fuzz targets to compare against: decoding UTF-8 into characters, cutting a
// text into lines, joining lines, trimming Unicode white space.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brindle::reference {

// The characters (Unicode scalar values) of valid UTF-8 text.
inline std::vector<char32_t> characters(std::string_view s) {
    std::vector<char32_t> out;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto lead = static_cast<unsigned char>(s[i]);
        std::size_t len = 1;
        char32_t cp = lead;
        if (lead >= 0xF0) {
            len = 4;
            cp = lead & 0x07u;
        } else if (lead >= 0xE0) {
            len = 3;
            cp = lead & 0x0Fu;
        } else if (lead >= 0xC0) {
            len = 2;
            cp = lead & 0x1Fu;
        }
        for (std::size_t k = 1; k < len && i + k < s.size(); ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
        }
        out.push_back(cp);
        i += len;
    }
    return out;
}

// Lines: cut after every LF, the LF and one CR right before it removed; a last line without LF is
// kept whole; no empty line after a final LF.
inline std::vector<std::string_view> lines_of(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\n') continue;
        std::size_t end = i;
        if (end > start && s[end - 1] == '\r') --end;
        out.push_back(s.substr(start, end - start));
        start = i + 1;
    }
    if (start < s.size()) out.push_back(s.substr(start));
    return out;
}

// Lines first..first+count-1 joined with single LFs.
inline std::string join(const std::vector<std::string_view>& lines, std::size_t first,
                        std::size_t count) {
    std::string out;
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) out += '\n';
        out += lines[first + k];
    }
    return out;
}

// The Unicode White_Space characters.
inline bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// `s` without leading and trailing White_Space characters.
inline std::string trimmed(std::string_view s) {
    const std::vector<char32_t> cs = characters(s);
    std::size_t b = 0;
    std::size_t e = cs.size();
    while (b < e && is_white_space(cs[b])) ++b;
    while (e > b && is_white_space(cs[e - 1])) --e;
    // Re-encode the kept characters.
    std::string out;
    for (std::size_t k = b; k < e; ++k) {
        const char32_t cp = cs[k];
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace brindle::reference
