// UTF-8 decoding and character-boundary helpers. Every text in the core is valid UTF-8 (it comes
// from Python's own encoder), so decoding does not validate; it only has to stay in bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace brindle::utf8 {

// Length of the sequence that starts with lead byte `b` (1 for a stray continuation byte, so that
// a walk over malformed input still advances).
inline std::size_t sequence_length(unsigned char b) {
    if (b < 0x80) return 1;
    if (b >= 0xF0) return 4;
    if (b >= 0xE0) return 3;
    if (b >= 0xC0) return 2;
    return 1;
}

inline bool is_continuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Decodes the character at `pos` and advances `pos` past it; never reads beyond `s.size()`.
inline char32_t decode_at(std::string_view s, std::size_t& pos) {
    const auto b0 = static_cast<unsigned char>(s[pos]);
    std::size_t len = sequence_length(b0);
    if (len > s.size() - pos) len = 1;
    char32_t cp;
    switch (len) {
        case 1:
            cp = b0;
            break;
        case 2:
            cp = (b0 & 0x1Fu) << 6;
            break;
        case 3:
            cp = (b0 & 0x0Fu) << 12;
            break;
        default:
            cp = (b0 & 0x07u) << 18;
            break;
    }
    for (std::size_t k = 1; k < len; ++k) {
        cp |= static_cast<char32_t>(static_cast<unsigned char>(s[pos + k]) & 0x3Fu)
              << (6 * (len - 1 - k));
    }
    pos += len;
    return cp;
}

// Appends the UTF-8 form of `cp` to `out`.
template <class Out>
inline void append(Out& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// The characters of `s` as code points.
std::vector<char32_t> decode(std::string_view s);

// Appends the code points of `s` to `out` after clearing it (lets hot loops reuse a buffer).
void decode_into(std::string_view s, std::vector<char32_t>& out);

// Number of characters in `s`.
std::size_t count_chars(std::string_view s);

// True when byte offset `pos` (0..size) starts a character or is the end of `s`.
inline bool is_boundary(std::string_view s, std::size_t pos) {
    return pos >= s.size() ? pos == s.size() : !is_continuation(static_cast<unsigned char>(s[pos]));
}

// The largest character boundary at or before `pos` (clamped to the text).
inline std::size_t floor_boundary(std::string_view s, std::size_t pos) {
    if (pos >= s.size()) return s.size();
    while (pos > 0 && is_continuation(static_cast<unsigned char>(s[pos]))) --pos;
    return pos;
}

// The first `max_chars` characters of `s` (all of it when it is shorter).
std::string_view prefix_chars(std::string_view s, std::size_t max_chars);

}  // namespace brindle::utf8
