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

// The least distance between `pattern` and any stretch of `text` that starts at or before
// `latest_start` (a byte offset) and ends where `text` ends: min over the character boundaries
// x <= min(latest_start, end) of levenshtein(pattern, text[x, end)).
inline std::uint64_t best_substring_distance(std::string_view pattern, std::string_view text,
                                             std::size_t latest_start = SIZE_MAX) {
    std::uint64_t best = UINT64_MAX;
    for (std::size_t x = 0; x <= text.size() && x <= latest_start; ++x) {
        if (x < text.size() && (static_cast<unsigned char>(text[x]) & 0xC0) == 0x80) continue;
        best = std::min(best, levenshtein(pattern, text.substr(x)));
    }
    return best;
}

// The same for every end at once: element e is the value for the stretches ending after the
// first e characters of `text`, and `latest_start` counts characters. For each start x the whole
// matrix of the pattern against text[x, end) is filled row by row; its last row holds
// levenshtein(pattern, text[x, x + c)) for every c.
inline std::vector<std::uint64_t> best_substring_distances_by_end(std::string_view pattern,
                                                                  std::string_view text,
                                                                  std::size_t latest_start) {
    const std::vector<char32_t> ca = characters(pattern);
    const std::vector<char32_t> cb = characters(text);
    const std::size_t p = ca.size();
    const std::size_t n = cb.size();
    std::vector<std::uint64_t> best(n + 1, UINT64_MAX);
    std::vector<std::uint64_t> prev(n + 1);
    std::vector<std::uint64_t> cur(n + 1);
    for (std::size_t x = 0; x <= n && x <= latest_start; ++x) {
        const std::size_t q = n - x;
        for (std::size_t c = 0; c <= q; ++c) prev[c] = c;
        for (std::size_t r = 1; r <= p; ++r) {
            cur[0] = r;
            for (std::size_t c = 1; c <= q; ++c) {
                cur[c] = std::min(
                    {prev[c - 1] + (ca[r - 1] == cb[x + c - 1] ? 0 : 1), prev[c] + 1, cur[c - 1] + 1});
            }
            std::swap(prev, cur);
        }
        for (std::size_t c = 0; c <= q; ++c) best[x + c] = std::min(best[x + c], prev[c]);
    }
    return best;
}

}  // namespace brindle::reference
