// Unicode character properties used by the core: White_Space, the first code point of the full
// lower and upper case mappings, and full lower-casing of whole strings (with Final_Sigma).
// The data come from the generated tables in unicode_tables.cpp; every lookup is O(1) and ASCII
// never touches a table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brindle::unicode {

namespace detail {
bool is_white_space_non_ascii(char32_t cp);
char32_t lower_first_non_ascii(char32_t cp);
char32_t upper_first_non_ascii(char32_t cp);
}  // namespace detail

// The Unicode version the generated tables hold, e.g. "15.0.0".
extern const char* const kUnicodeVersion;

inline bool is_white_space(char32_t cp) {
    if (cp < 0x80) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
    return detail::is_white_space_non_ascii(cp);
}

// First code point of the full lower-case mapping (the character itself when it has none).
inline char32_t lower_first(char32_t cp) {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    return detail::lower_first_non_ascii(cp);
}

// First code point of the full upper-case mapping (the character itself when it has none).
inline char32_t upper_first(char32_t cp) {
    if (cp < 0x80) return (cp >= 'a' && cp <= 'z') ? cp - 32 : cp;
    return detail::upper_first_non_ascii(cp);
}

// Full lower-casing of a whole UTF-8 text, as Python's str.lower() does it: multi-character
// mappings expand, and capital sigma takes its final form under the Final_Sigma condition.
std::string to_lower_full(std::string_view text);

// The code points of to_lower_full(text), produced one at a time without building the string, so
// that a caller can stop early. Same rules, same state: a character's mapping is emitted whole
// (its first code point, then the rest of a multi-character mapping), and Final_Sigma looks back
// through a running flag and ahead over the case-ignorable characters that follow.
class LowerCaseReader {
public:
    explicit LowerCaseReader(std::string_view text) : text_(text) {}

    // Sets `out` to the next code point of the lower-cased text; false at its end.
    bool next(char32_t& out) {
        if (tail_left_ == 0) return next_character(out);
        --tail_left_;
        out = *tail_++;
        return true;
    }

private:
    bool next_character(char32_t& out);

    std::string_view text_;
    std::size_t pos_ = 0;
    bool after_cased_ = false;        // the last character that is not case-ignorable is cased
    const char32_t* tail_ = nullptr;  // the rest of the current character's mapping
    std::size_t tail_left_ = 0;
};

}  // namespace brindle::unicode
