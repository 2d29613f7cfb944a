// Plain form of the character edit distance, from its definition: the whole (p+1) x (q+1) matrix
// D(r, 0) = r, D(0, c) = c,
// D(r, c) = min(D(r-1, c-1) + [a_r != b_c], D(r-1, c) + 1, D(r, c-1) + 1),
// and the bounded form as the plain distance compared with the limit.
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
            d[r][c] = std::min({d[r - 1][c - 1] + (ca[r - 1] == cb[c - 1] ? 0 : 1), d[r - 1][c] + 1,
                                d[r][c - 1] + 1});
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

}  // namespace brindle::reference
