// The best few candidates for a pattern, without sorting every match.
//
// Contract: the result equals rank_candidates(search, candidates) with the matches scoring below
// `min_score` removed and the rest cut to its first `limit` entries: best score first, equal scores
// in input order, scores under the default weights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace brindle::fuzzy {

struct TopMatch {
    std::size_t index;  // position in the candidates
    std::int32_t score;
};

// What the selection did, for tests that check which paths their inputs reach.
struct TopMatchStats {
    std::size_t scored = 0;            // candidates given to the scorer
    std::size_t skipped_by_bound = 0;  // candidates whose best possible score could not enter
};

std::vector<TopMatch> top_matches(std::string_view search,
                                  const std::vector<std::string_view>& candidates, std::size_t limit,
                                  std::optional<std::int32_t> min_score,
                                  TopMatchStats* stats = nullptr);

}  // namespace brindle::fuzzy
