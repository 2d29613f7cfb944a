// Fuzzy scoring of a short pattern against candidate strings: the weighted subsequence scorer,
// the plain subsequence test and the ranking of many candidates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace brindle::fuzzy {

// Weights of the scorer. Bonuses reward where a pattern letter lands; penalties (negative by
// default) charge for letters in front of the first match and for every letter passed over.
struct Weights {
    std::int32_t adj_bonus = 5;           // the previous instring character was matched too
    std::int32_t sep_bonus = 10;          // after '_' or ' ', or at the very start
    std::int32_t camel_bonus = 10;        // an upper-case letter right after a lower-case one
    std::int32_t lead_penalty = -3;       // per character in front of the first match
    std::int32_t max_lead_penalty = -9;   // bound on the total lead penalty
    std::int32_t unmatched_penalty = -1;  // per character passed over
};

struct Score {
    bool matched;
    std::int32_t score;
};

// Weighted, case-insensitive subsequence match of `pattern` in `instring` (both UTF-8).
// All arithmetic is 32-bit two's complement and wraps.
Score fuzzy_match(std::string_view pattern, std::string_view instring, const Weights& weights = {});

// Whether `pattern` is a subsequence of `instring` by code points, after full lower-casing of both
// when `case_sensitive` is false.
bool fuzzy_match_simple(std::string_view pattern, std::string_view instring, bool case_sensitive);

// Indices of the candidates that match `search`, with their scores under the default weights,
// best first; equal scores keep input order.
std::vector<std::pair<std::size_t, std::int32_t>> rank_candidates(
    std::string_view search, const std::vector<std::string_view>& candidates);

}  // namespace brindle::fuzzy
