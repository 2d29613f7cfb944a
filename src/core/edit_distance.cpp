// Levenshtein distance over decoded characters with two rows of counters.
#include "core/edit_distance.hpp"

#include <algorithm>
#include <vector>

#include "core/utf8.hpp"

namespace brindle {

std::uint64_t levenshtein_distance(std::string_view a, std::string_view b) {
    const std::vector<char32_t> ca = utf8::decode(a);
    const std::vector<char32_t> cb = utf8::decode(b);
    const std::size_t p = ca.size();
    const std::size_t q = cb.size();
    if (p == 0) return q;
    if (q == 0) return p;
    std::vector<std::uint64_t> prev(q + 1);
    std::vector<std::uint64_t> cur(q + 1);
    for (std::size_t c = 0; c <= q; ++c) prev[c] = c;
    for (std::size_t r = 1; r <= p; ++r) {
        cur[0] = r;
        for (std::size_t c = 1; c <= q; ++c) {
            std::uint64_t cost = ca[r - 1] == cb[c - 1] ? 0 : 1;
            cur[c] = std::min({prev[c - 1] + cost, cur[c - 1] + 1, prev[c] + 1});
        }
        std::swap(prev, cur);
    }
    return prev[q];
}

}  // namespace brindle
