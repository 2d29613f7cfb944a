// Plain form of the character edit distance, from its definition: the whole (p+1) x (q+1) matrix
// D(r, 0) = r, D(0, c) = c,
// D(r, c) = min(D(r-1, c-1) + [a_r != b_c], D(r-1, c) + 1, D(r, c-1) + 1),
// the bounded form as the plain distance compared with the limit, and the best stretch ending at a
// position as the least distance over every stretch.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "text.hpp"

namespace brindle::reference {

inline std::uint64_t levenshtein(std::string_view a, std::string_view b) {
    const std::vector<char32_t> ca = characters(a);
    const std::vector<char32_t> cb = characters(b);
    const std::size_t p = ca.size();
    const std::size_t q = cb.size();
    std::vector<std::vector<std::uint64_t>> d(p + 1, std::vector<std::uint64_t>(q + 1));
    for (std::size_t r = 0; r <= p; ++r) d[r][0] = r;
    for (std::size_t c = 0; c <= q; ++c) d[0][c] = c;
    for (std::size_t r = 1; r <= p; ++r) {
        for (std::size_t c = 1; c <= q; ++c) {
            d[r][c] = std::min(
                {d[r - 1][c - 1] + (ca[r - 1] == cb[c - 1] ? 0 : 1), d[r - 1][c] + 1, d[r][c - 1] + 1});
        }
    }
    return d[p][q];
}

inline std::optional<std::uint64_t> levenshtein_within(std::string_view a, std::string_view b,
                                                       std::uint64_t limit) {
    const std::uint64_t d = levenshtein(a, b);
    if (d > limit) return std::nullopt;
    return d;
}

// The least distance between `pattern` and any stretch of `text` that ends where `text` ends:
// min over the character boundaries x of levenshtein(pattern, text[x, end)).
inline std::uint64_t best_substring_distance(std::string_view pattern, std::string_view text) {
    std::uint64_t best = levenshtein(pattern, "");
    for (std::size_t x = 0; x < text.size(); ++x) {
        if ((static_cast<unsigned char>(text[x]) & 0xC0) == 0x80) continue;  // inside a character
        best = std::min(best, levenshtein(pattern, text.substr(x)));
    }
    return best;
}

}  // namespace brindle::reference
