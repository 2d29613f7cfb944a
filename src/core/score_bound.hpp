// An upper bound on the weighted fuzzy score of an ASCII candidate under the default weights,
// cheaper than the score itself, for selecting the best few candidates without scoring them all.
//
// Contract: for every candidate s, when `bound(s)` says
//   - cannot_match: fuzzy_match(pattern, s) reports no match;
//   - at_most v:    fuzzy_match(pattern, s) reports a match with a score <= v;
//   - unknown:      nothing (s is not ASCII, or too long for the arithmetic).
// For an at_most result r, `tighten(s, r)` is a second bound, at most r.value, that costs another
// pass over s: worth it only when r.value alone does not settle the candidate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/fuzzy_match.hpp"

namespace brindle::fuzzy {

struct ScoreBoundResult {
    enum class Kind { unknown, cannot_match, at_most };
    Kind kind;
    std::int64_t value;  // the bound, for at_most
    std::size_t first;   // for at_most: where the pattern's first letter is taken (for tighten)
};

class ScoreBound {
public:
    // A byte value in all 16 lanes, ready to be compared with 16 bytes of a candidate.
    struct alignas(16) Needle {
        unsigned char bytes[16];
    };

    explicit ScoreBound(const PreparedPattern& pattern);
    ScoreBoundResult bound(std::string_view candidate) const;
    std::int64_t tighten(std::string_view candidate, const ScoreBoundResult& loose) const;

private:
    // B of the bound: the positions from `from` (>= 1) on where a letter can earn more than the
    // adjacency bonus.
    std::size_t bonus_places(const unsigned char* bytes, std::size_t size, std::size_t from) const;

    std::vector<unsigned char> letters_;  // the pattern's lower() values, when all are ASCII
    std::vector<unsigned char> exact_;    // per letter: a folded compare finds just its bytes
    // Per letter its value with the case bit set, then 0 for "no letter left" (folded bytes always
    // have the case bit, so 0 finds nothing); and the distinct ones among the letters'.
    std::vector<Needle> needles_;
    std::vector<Needle> distinct_needles_;
    bool all_exact_ = true;             // every letter is a-z: a folded compare needs no confirmation
    bool ascii_never_matches_ = false;  // some pattern letter's lower() is not ASCII
    bool usable_ = true;                // the pattern is short enough for the arithmetic
};

}  // namespace brindle::fuzzy
