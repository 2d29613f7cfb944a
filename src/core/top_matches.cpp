// Selection of the best `limit` candidates, keeping a heap of the best found so far.
//
//   search "cfg", limit 2, candidates  [ "config.py", "src/cfg", "a/b/c/f/g", "cfg" ]
//   scores                                 4           0          -15          20
//   result                               [(3, 20), (0, 4)]
//
// Keys pack the inverted score above the index (as in rank_candidates), so that a smaller key is
// a better match (higher score, then earlier in the input) and the heap's top is the worst match
// kept. A candidate enters a full heap when its key is below the top's, so the candidates may be
// scored in any order.
//
// Performance idea: most candidates cannot enter, and an upper bound on the score
// (score_bound.hpp), cheaper than the score itself, rejects them. The bound only helps once the
// heap holds good matches, so the work goes in three passes:
//   1. the first bound of every candidate (which also tells those that cannot match);
//   2. the candidates with the highest bounds, about 8 x limit of them, are scored first;
//   3. every other candidate whose bound, then tightened bound, reaches the worst score kept
//      (and the minimum score) is scored.
// The worst score kept only rises, so a candidate skipped in pass 3 could not have entered later.

#include "core/top_matches.hpp"

#include <algorithm>
#include <limits>

#include "core/cancel.hpp"
#include "core/fuzzy_match.hpp"
#include "core/score_bound.hpp"

namespace brindle::fuzzy {

namespace {

inline std::uint64_t pack(std::int32_t score, std::size_t index) {
    const std::uint32_t inverted = ~(static_cast<std::uint32_t>(score) ^ 0x80000000u);
    return (std::uint64_t{inverted} << 32) | static_cast<std::uint32_t>(index);
}

inline TopMatch unpack(std::uint64_t key) {
    const auto inverted = static_cast<std::uint32_t>(key >> 32);
    return {static_cast<std::size_t>(key & 0xFFFFFFFFu),
            static_cast<std::int32_t>(~inverted ^ 0x80000000u)};
}

// Pass 1's verdicts: a bound, or one of these.
constexpr std::int64_t kCannotMatch = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kUnbounded = std::numeric_limits<std::int64_t>::max();
// Bounds more than this below the highest one are not told apart when choosing pass 2's set.
constexpr std::int64_t kHistogramWidth = 4096;

// The lowest bound t such that at least `wanted` candidates have a bound >= t (counting the
// unbounded ones), or kCannotMatch + 1 when fewer than `wanted` can match at all.
std::int64_t seed_threshold(const std::vector<std::int64_t>& bounds, std::size_t wanted) {
    std::int64_t highest = kCannotMatch;
    std::size_t unbounded = 0;
    for (const std::int64_t b : bounds) {
        if (b == kUnbounded) {
            ++unbounded;
        } else if (b > highest) {
            highest = b;
        }
    }
    if (unbounded >= wanted) return kUnbounded;
    if (highest == kCannotMatch) return kCannotMatch + 1;
    std::vector<std::size_t> histogram(static_cast<std::size_t>(kHistogramWidth), 0);
    for (const std::int64_t b : bounds) {
        if (b == kUnbounded || b == kCannotMatch || highest - b >= kHistogramWidth) continue;
        ++histogram[static_cast<std::size_t>(highest - b)];
    }
    std::size_t count = unbounded;
    for (std::int64_t below = 0; below < kHistogramWidth; ++below) {
        count += histogram[static_cast<std::size_t>(below)];
        if (count >= wanted) return highest - below;
    }
    return kCannotMatch + 1;
}

}  // namespace

std::vector<TopMatch> top_matches(std::string_view search,
                                  const std::vector<std::string_view>& candidates, std::size_t limit,
                                  std::optional<std::int32_t> min_score, TopMatchStats* stats) {
    std::vector<TopMatch> result;
    if (search.empty() || limit == 0 || candidates.empty()) return result;
    if (candidates.size() > std::size_t{0xFFFFFFFFu}) {  // indices do not fit a key
        for (const auto& [index, score] : rank_candidates(search, candidates)) {
            if (result.size() == limit) break;
            if (!min_score || score >= *min_score) result.push_back({index, score});
        }
        return result;
    }
    const PreparedPattern pattern(search);
    const ScoreBound bound(pattern);
    const Weights defaults;
    const std::int64_t floor = min_score ? *min_score : kCannotMatch + 1;
    std::vector<std::uint64_t> heap;  // max-heap of keys: the top is the worst match kept
    heap.reserve(std::min(limit, candidates.size()));
    TopMatchStats counts;

    // The lowest score a candidate needs to enter: a full heap's worst score (a tie may still win
    // on input order), and the minimum score.
    const auto need = [&]() -> std::int64_t {
        if (heap.size() < limit) return floor;
        return std::max<std::int64_t>(floor, unpack(heap.front()).score);
    };
    const auto consider = [&](std::size_t k) {
        ++counts.scored;
        const Score s = fuzzy_match(pattern, candidates[k], defaults);
        if (!s.matched || s.score < floor) return;
        const std::uint64_t key = pack(s.score, k);
        if (heap.size() < limit) {
            heap.push_back(key);
        } else if (key < heap.front()) {
            std::pop_heap(heap.begin(), heap.end());
            heap.back() = key;
        } else {
            return;
        }
        std::push_heap(heap.begin(), heap.end());
    };

    std::vector<std::int64_t> bounds(candidates.size());
    std::vector<std::uint32_t> firsts(candidates.size());  // for tighten(): candidates < 2^26 bytes
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        poll_interrupt();
        const ScoreBoundResult r = bound.bound(candidates[k]);
        bounds[k] = r.kind == ScoreBoundResult::Kind::at_most        ? r.value
                    : r.kind == ScoreBoundResult::Kind::cannot_match ? kCannotMatch
                                                                     : kUnbounded;
        firsts[k] = static_cast<std::uint32_t>(r.first);
    }
    const std::size_t seeds = limit > candidates.size() / 8 ? candidates.size() : limit * 8;
    const std::int64_t seeded = std::max(seed_threshold(bounds, seeds), floor);
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        poll_interrupt();
        if (bounds[k] >= seeded) consider(k);
    }
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        poll_interrupt();
        if (bounds[k] >= seeded) continue;  // scored already
        const std::int64_t needed = need();
        if (bounds[k] < needed || bound.tighten(candidates[k], {ScoreBoundResult::Kind::at_most,
                                                                bounds[k], firsts[k]}) < needed) {
            ++counts.skipped_by_bound;
            continue;
        }
        consider(k);
    }
    std::sort_heap(heap.begin(), heap.end());
    result.reserve(heap.size());
    for (const std::uint64_t key : heap) result.push_back(unpack(key));
    if (stats != nullptr) *stats = counts;
    return result;
}

}  // namespace brindle::fuzzy
