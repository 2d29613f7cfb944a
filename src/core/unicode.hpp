// Unicode character properties used by the core: White_Space, the first code point of the full
// lower and upper case mappings, and full lower-casing of whole strings (with Final_Sigma).
// The data come from the generated tables in unicode_tables.cpp; every lookup is O(1) and ASCII
// never touches a table.
#pragma once

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

}  // namespace brindle::unicode
