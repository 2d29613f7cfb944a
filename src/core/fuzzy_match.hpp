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

// A pattern decoded once for scoring many candidates: the lower() value of each of its characters.
class PreparedPattern {
public:
    explicit PreparedPattern(std::string_view pattern);
    const std::vector<char32_t>& lower() const { return lower_; }
    bool empty() const { return lower_.empty(); }

private:
    std::vector<char32_t> lower_;
};

// fuzzy_match(pattern, instring, weights) for a prepared pattern.
Score fuzzy_match(const PreparedPattern& pattern, std::string_view instring,
                  const Weights& weights = {});

// Whether `pattern` is a subsequence of `instring` by code points, after full lower-casing of both
// when `case_sensitive` is false.
bool fuzzy_match_simple(std::string_view pattern, std::string_view instring, bool case_sensitive);

// Indices of the candidates that match `search`, with their scores under the default weights,
// best first; equal scores keep input order.
std::vector<std::pair<std::size_t, std::int32_t>> rank_candidates(
    std::string_view search, const std::vector<std::string_view>& candidates);

// Implementation details, visible for the tests that compare the fast paths with the plain ones.
namespace detail {

// The scorer's definition, one code point of `instring` at a time (any UTF-8 text). `pattern_lower`
// holds the lower() values of the pattern's n >= 1 characters.
Score score_code_points(const char32_t* pattern_lower, std::size_t n, std::string_view instring,
                        const Weights& w);

// The same result for an instring that is all ASCII, visiting only the characters that can match.
Score score_ascii(const char32_t* pattern_lower, std::size_t n, std::string_view instring,
                  const Weights& w);

// Whether every byte of `s` is below 0x80.
bool is_ascii(std::string_view s);

// The plain form of fuzzy_match_simple: both texts lower-cased whole, then a subsequence walk.
bool fuzzy_match_simple_plain(std::string_view pattern, std::string_view instring, bool case_sensitive);

// The plain form of rank_candidates: every candidate scored by score_code_points, then a stable
// sort by score.
std::vector<std::pair<std::size_t, std::int32_t>> rank_candidates_plain(
    std::string_view search, const std::vector<std::string_view>& candidates);

}  // namespace detail

}  // namespace brindle::fuzzy
