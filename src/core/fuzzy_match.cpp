// The weighted fuzzy scorer, the plain subsequence test and candidate ranking.
//
// The scorer walks the instring once. Each pattern letter is matched case-insensitively (by the
// first code point of the full lower-case mapping). For the letter last consumed it "holds" the
// occurrence with the highest bonus seen so far; a later occurrence with an equal or higher bonus
// replaces it (and the replaced one counts as passed over). The held bonus enters the score only
// when the letter becomes final: when the next pattern letter is taken, or at the end.
//
//   pattern "fb", instring "FooBar":
//     F  start of string          +10 (sep_bonus)
//     o, o                        -1, -1 (unmatched)
//     B  camel hump after 'o'     +10 (camel_bonus)
//     a, r                        -1, -1
//   score = 10 - 2 + 10 - 2 = 16
//
// Performance: one pass, three case lookups per character (O(1), ASCII without tables), no
// allocation; the pattern is read through a byte cursor instead of being decoded into an array.
#include "core/fuzzy_match.hpp"

#include <algorithm>
#include <string>

#include "core/unicode.hpp"
#include "core/utf8.hpp"

namespace brindle::fuzzy {

namespace {

// 32-bit wrapping addition: the score is defined modulo 2^32.
inline std::int32_t wrap_add(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

inline bool is_separator(char32_t c) { return c == U'_' || c == U' '; }

}  // namespace

Score fuzzy_match(std::string_view pattern, std::string_view instring, const Weights& w) {
    if (pattern.empty()) return {false, 0};

    std::size_t pattern_cursor = 0;  // byte offset of the next pattern character
    bool pattern_left = true;        // pattern_pos < n
    char32_t pattern_lower = unicode::lower_first(utf8::decode_at(pattern, pattern_cursor));
    std::size_t pattern_pos = 0;

    std::int32_t score = 0;
    bool has_held = false;
    char32_t held_lower = 0;
    std::int32_t held_bonus = 0;
    bool after_match = false;
    bool after_lower = false;
    bool after_separator = true;
    std::int32_t lead_total = 0;

    std::size_t pos = 0;
    while (pos < instring.size()) {
        const char32_t c = utf8::decode_at(instring, pos);
        const char32_t cl = unicode::lower_first(c);
        const char32_t cu = unicode::upper_first(c);
        const bool cased = cl != cu;

        const bool takes_next = pattern_left && pattern_lower == cl;
        const bool repeats_held = has_held && held_lower == cl;
        const bool advances = takes_next && has_held;
        const bool pattern_repeats_held = has_held && pattern_left && held_lower == pattern_lower;

        if (advances || pattern_repeats_held) {
            score = wrap_add(score, held_bonus);
            has_held = false;
            held_bonus = 0;
        }
        if (takes_next || repeats_held) {
            if (pattern_pos == 0) score = wrap_add(score, std::max(lead_total, w.max_lead_penalty));
            std::int32_t bonus = 0;
            if (after_match) bonus = wrap_add(bonus, w.adj_bonus);
            if (after_separator) bonus = wrap_add(bonus, w.sep_bonus);
            if (after_lower && cased && c == cu) bonus = wrap_add(bonus, w.camel_bonus);
            if (takes_next) {
                ++pattern_pos;
                pattern_left = pattern_cursor < pattern.size();
                if (pattern_left) {
                    pattern_lower = unicode::lower_first(utf8::decode_at(pattern, pattern_cursor));
                }
            }
            if (bonus >= held_bonus) {
                if (has_held) score = wrap_add(score, w.unmatched_penalty);
                has_held = true;
                held_lower = cl;
                held_bonus = bonus;
            }
            after_match = true;
        } else {
            score = wrap_add(score, w.unmatched_penalty);
            after_match = false;
        }
        after_lower = cased && c == cl;
        after_separator = is_separator(c);
        lead_total = wrap_add(lead_total, w.lead_penalty);
    }
    if (has_held) score = wrap_add(score, held_bonus);
    return {!pattern_left, score};
}

namespace {

// Greedy subsequence walk over code points.
bool is_subsequence(std::string_view pattern, std::string_view instring) {
    std::size_t p = 0;
    std::size_t s = 0;
    if (p == pattern.size()) return true;
    std::size_t next_p = p;
    char32_t want = utf8::decode_at(pattern, next_p);
    while (s < instring.size()) {
        if (utf8::decode_at(instring, s) == want) {
            p = next_p;
            if (p == pattern.size()) return true;
            want = utf8::decode_at(pattern, next_p);
        }
    }
    return false;
}

}  // namespace

bool fuzzy_match_simple(std::string_view pattern, std::string_view instring, bool case_sensitive) {
    if (pattern.empty()) return true;
    if (instring.empty()) return false;
    if (case_sensitive) return is_subsequence(pattern, instring);
    const std::string lowered_pattern = unicode::to_lower_full(pattern);
    const std::string lowered_instring = unicode::to_lower_full(instring);
    return is_subsequence(lowered_pattern, lowered_instring);
}

std::vector<std::pair<std::size_t, std::int32_t>> rank_candidates(
    std::string_view search, const std::vector<std::string_view>& candidates) {
    std::vector<std::pair<std::size_t, std::int32_t>> ranked;
    if (search.empty()) return ranked;
    const Weights defaults;
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        const Score s = fuzzy_match(search, candidates[k], defaults);
        if (s.matched) ranked.emplace_back(k, s.score);
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    return ranked;
}

}  // namespace brindle::fuzzy
