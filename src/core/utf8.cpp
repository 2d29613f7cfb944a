// UTF-8 decoding helpers that are too large to inline.
#include "core/utf8.hpp"

namespace brindle::utf8 {

void decode_into(std::string_view s, std::vector<char32_t>& out) {
    out.clear();
    out.reserve(s.size());
    std::size_t pos = 0;
    while (pos < s.size()) out.push_back(decode_at(s, pos));
}

std::vector<char32_t> decode(std::string_view s) {
    std::vector<char32_t> out;
    decode_into(s, out);
    return out;
}

std::size_t count_chars(std::string_view s) {
    std::size_t n = 0;
    for (char c : s) n += !is_continuation(static_cast<unsigned char>(c));
    return n;
}

std::string_view prefix_chars(std::string_view s, std::size_t max_chars) {
    std::size_t pos = 0;
    for (std::size_t k = 0; k < max_chars && pos < s.size(); ++k) {
        std::size_t len = sequence_length(static_cast<unsigned char>(s[pos]));
        pos += len > s.size() - pos ? s.size() - pos : len;
    }
    return s.substr(0, pos);
}

}  // namespace brindle::utf8
