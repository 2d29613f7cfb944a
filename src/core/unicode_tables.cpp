// PLACEHOLDER until tools/gen_unicode_tables.py output lands: exact White_Space, ASCII-only case.
#include "core/unicode.hpp"

namespace brindle::unicode {
const char* const kUnicodeVersion = "placeholder";
namespace detail {
bool is_white_space_non_ascii(char32_t cp) {
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
           cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}
char32_t lower_first_non_ascii(char32_t cp) { return cp; }
char32_t upper_first_non_ascii(char32_t cp) { return cp; }
}  // namespace detail
std::string to_lower_full(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}
}  // namespace brindle::unicode
