// Helpers shared by the fuzz targets: turning raw fuzzer bytes into valid UTF-8 text rich in line
// breaks, tabs, wide spaces, backslashes and multi-byte characters, splitting an input into parts,
// and a strict UTF-8 validity check for the results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/utf8.hpp"

namespace fuzzin {

// Characters that bytes with no valid UTF-8 reading are mapped to (by their low five bits).
inline constexpr char32_t kSpecials[32] = {
    U'\n',     U'\r',         U'\t',     U'\\',     U' ',      U'\u3000', U'\u00A0', U'\u00E9',
    U'\u4E2D', U'\U0001F600', U'\u0085', U'\u2028', U'\uFEFF', U'\u0130', U'\u00DF', U'\u03A3',
    U'\u200B', U'\u1680',     U'\u2003', U'\u000B', U'\u000C', U'"',      U'\'',     U'n',
    U't',      U'{',          U'}',      U'\u0000', U'\u212A', U'\u1E9E', U'\u0345', U'\u03C2',
};

// Length of the well-formed UTF-8 sequence at `pos` (0 when there is none).
inline std::size_t valid_sequence(std::string_view s, std::size_t pos) {
    const auto b0 = static_cast<unsigned char>(s[pos]);
    if (b0 < 0x80) return 1;
    std::size_t len;
    char32_t cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07u;
    } else {
        return 0;
    }
    if (s.size() - pos < len) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[pos + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
    return len;
}

inline bool is_valid_utf8(std::string_view s) {
    for (std::size_t pos = 0; pos < s.size();) {
        const std::size_t len = valid_sequence(s, pos);
        if (len == 0) return false;
        pos += len;
    }
    return true;
}

// Valid UTF-8 from arbitrary bytes: well-formed sequences are kept, every other byte becomes one
// of the special characters.
inline std::string to_text(std::string_view raw) {
    std::string out;
    out.reserve(raw.size() * 2);
    for (std::size_t pos = 0; pos < raw.size();) {
        const std::size_t len = valid_sequence(raw, pos);
        if (len == 0) {
            brindle::utf8::append(out, kSpecials[static_cast<unsigned char>(raw[pos]) & 0x1F]);
            ++pos;
        } else {
            out.append(raw.substr(pos, len));
            pos += len;
        }
    }
    return out;
}

// The raw input cut at every 0x00 byte.
inline std::vector<std::string_view> split_parts(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string_view> parts;
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = all.find('\0', start);
        if (end == std::string_view::npos) {
            parts.push_back(all.substr(start));
            return parts;
        }
        parts.push_back(all.substr(start, end - start));
        start = end + 1;
    }
}

[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "INVARIANT FAILED: %s\n", what);
    if (!detail.empty()) {
        std::fprintf(stderr, "detail (%zu bytes): %.*s\n", detail.size(),
                     static_cast<int>(detail.size() > 2000 ? 2000 : detail.size()), detail.data());
    }
    std::abort();
}

inline void check_utf8(std::string_view s, const char* what) {
    if (!is_valid_utf8(s)) fail(what, s);
}

}  // namespace fuzzin
