// Selection of the best `limit` candidates in one pass, keeping a heap of the best seen so far.
//
//   search "cfg", limit 2, candidates  [ "config.py", "src/cfg", "a/b/c/f/g", "cfg" ]
//   scores                                 4           0          -15          20
//   heap after each candidate            {4}  {4, 0}  {4, 0} (-15 cannot enter)  {20, 4}
//   result                               [(3, 20), (0, 4)]
//
// Keys pack the inverted score above the index (as in rank_candidates), so the heap orders by
// score, then by input order, and its top is the worst match kept. Candidates arrive in input
// order, so once the heap is full a newcomer enters only with a score strictly above the worst
// kept one: a tie loses to the earlier candidate.
//
// Performance idea: most candidates cannot enter once the heap is full, and an upper bound on the
// score, cheaper than the score itself, rejects them. Under the default weights:
//   - a matched candidate's score is the bonuses of at most n final letters (n = pattern length),
//     each at most adj_bonus + max(sep_bonus, camel_bonus) = 15 (a character cannot follow both a
//     separator and a lower-case letter), plus a lead penalty <= 0, minus 1 for each replaced held
//     letter and for each character that matches neither the next pattern letter nor the held one;
//   - such a character is in particular one whose lower() is no pattern letter's lower(), or any
//     character in front of the first one whose lower() is the first pattern letter's (at f):
//     nothing can match before it. The lead penalty is max(-3 f', -9) for the first match f' >= f.
//     So
//         score <= 15 n + max(-3 f, -9) - (L - C)
//     where L is the length and C the number of characters from f on whose lower() is some pattern
//     letter's. Without such an f the candidate cannot match at all.
// For an ASCII candidate C is counted 16 bytes at a time; the count may include a few characters
// too many (it compares the bytes with the case bit set, so '@' passes for '`'), which only
// loosens the bound. A pattern letter whose lower() is not ASCII can never be matched by ASCII
// text, so such a pattern rejects every ASCII candidate at once.
#include "core/top_matches.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>

#include "core/cancel.hpp"
#include "core/fuzzy_match.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brindle::fuzzy {

namespace {

constexpr std::int64_t kMaxBonus = 15;     // adj_bonus + max(sep_bonus, camel_bonus), default weights
constexpr std::int64_t kLeadPenalty = -3;  // lead_penalty, default weights
constexpr std::int64_t kMaxLeadPenalty = -9;  // max_lead_penalty, default weights
constexpr std::size_t kMaxNeedles = 8;        // distinct pattern letters the counter compares at once
// Longer candidates are simply scored: the bound's arithmetic assumes a score that cannot wrap.
constexpr std::size_t kMaxBoundedLength = std::size_t{1} << 26;

inline std::uint64_t pack(std::int32_t score, std::size_t index) {
    const std::uint32_t inverted = ~(static_cast<std::uint32_t>(score) ^ 0x80000000u);
    return (std::uint64_t{inverted} << 32) | static_cast<std::uint32_t>(index);
}

inline TopMatch unpack(std::uint64_t key) {
    const auto inverted = static_cast<std::uint32_t>(key >> 32);
    return {static_cast<std::size_t>(key & 0xFFFFFFFFu),
            static_cast<std::int32_t>(~inverted ^ 0x80000000u)};
}

// The upper bound on the score of ASCII candidates.
class ScoreBound {
public:
    explicit ScoreBound(const PreparedPattern& pattern) {
        for (const char32_t c : pattern.lower()) {
            if (c >= 0x80) {
                ascii_never_matches_ = true;
                continue;
            }
            const auto folded = static_cast<unsigned char>(c | 0x20);
            if (member_[folded]) continue;
            member_[folded] = true;
            if (count_ < kMaxNeedles) needles_[count_] = folded;
            ++count_;
        }
        usable_ = count_ <= kMaxNeedles;
        if (pattern.lower()[0] < 0x80)
            first_folded_ = static_cast<unsigned char>(pattern.lower()[0] | 0x20);
        bonus_total_ = kMaxBonus * static_cast<std::int64_t>(pattern.lower().size());
    }

    // An upper bound on the score of `s` if it matches; nullopt when none is known cheaply.
    // Sets `never` when `s` cannot match at all.
    std::optional<std::int64_t> bound(std::string_view s, bool& never) const {
        never = false;
        if (!usable_ || s.size() > kMaxBoundedLength) return std::nullopt;
        const auto* p = reinterpret_cast<const unsigned char*>(s.data());
        const std::size_t size = s.size();
        std::size_t in_pattern = 0;
        std::size_t first = size;      // first position that may hold the first pattern letter
        std::size_t before_first = 0;  // in_pattern counted before it
        std::size_t k = 0;
#if defined(__SSE2__)
        const __m128i case_bit = _mm_set1_epi8(0x20);
        const __m128i first_needle = _mm_set1_epi8(static_cast<char>(first_folded_));
        __m128i needles[kMaxNeedles];
        for (std::size_t v = 0; v < count_; ++v) {
            needles[v] = _mm_set1_epi8(static_cast<char>(needles_[v]));
        }
        for (; k + 16 <= size; k += 16) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
            if (_mm_movemask_epi8(chunk) != 0) return std::nullopt;  // not ASCII
            const __m128i folded = _mm_or_si128(chunk, case_bit);
            __m128i hit = _mm_setzero_si128();
            for (std::size_t v = 0; v < count_; ++v) {
                hit = _mm_or_si128(hit, _mm_cmpeq_epi8(folded, needles[v]));
            }
            const auto hit_bits = static_cast<unsigned>(_mm_movemask_epi8(hit));
            if (first == size) {
                const auto first_bits =
                    static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(folded, first_needle)));
                if (first_bits != 0) {
                    const int at = std::countr_zero(first_bits);
                    first = k + static_cast<std::size_t>(at);
                    before_first = in_pattern + static_cast<std::size_t>(
                                                    std::popcount(hit_bits & ((1u << at) - 1u)));
                }
            }
            in_pattern += static_cast<std::size_t>(std::popcount(hit_bits));
        }
#endif
        for (; k < size; ++k) {
            if (p[k] >= 0x80) return std::nullopt;
            const auto folded = static_cast<unsigned char>(p[k] | 0x20);
            if (first == size && folded == first_folded_) {
                first = k;
                before_first = in_pattern;
            }
            in_pattern += member_[folded];
        }
        if (ascii_never_matches_ || first == size) {
            never = true;
            return std::nullopt;
        }
        const std::int64_t lead =
            std::max(kLeadPenalty * static_cast<std::int64_t>(first), kMaxLeadPenalty);
        const auto passed_over = static_cast<std::int64_t>(size - (in_pattern - before_first));
        return bonus_total_ + lead - passed_over;
    }

private:
    std::array<bool, 128> member_{};  // by byte with the case bit set
    std::array<unsigned char, kMaxNeedles> needles_{};
    unsigned char first_folded_ = 0;  // the first pattern letter with the case bit set
    std::size_t count_ = 0;
    bool usable_ = true;
    bool ascii_never_matches_ = false;
    std::int64_t bonus_total_ = 0;
};

// The bound costs about as much as a quick scan of the candidate, so it is only worth trying while
// it rejects candidates often enough: after each 64 tries, when fewer than a quarter were
// rejected, it rests for the next 448 candidates. This decides only how much work is done, never
// which candidates are selected.
class BoundBudget {
public:
    bool try_now() {
        if (resting_ == 0) return true;
        --resting_;
        return false;
    }
    void record(bool rejected) {
        ++tries_;
        rejections_ += rejected;
        if (tries_ < kWindow) return;
        if (rejections_ * 4 < tries_) resting_ = kRest;
        tries_ = 0;
        rejections_ = 0;
    }

private:
    static constexpr std::size_t kWindow = 64;
    static constexpr std::size_t kRest = 448;
    std::size_t tries_ = 0;
    std::size_t rejections_ = 0;
    std::size_t resting_ = 0;
};

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
    const std::int64_t floor = min_score ? *min_score : std::numeric_limits<std::int64_t>::min();
    std::vector<std::uint64_t> heap;  // max-heap of keys: the top is the worst match kept
    heap.reserve(std::min(limit, candidates.size()));
    TopMatchStats counts;
    BoundBudget bound_pays;

    for (std::size_t k = 0; k < candidates.size(); ++k) {
        poll_interrupt();
        const bool full = heap.size() == limit;
        const std::int64_t need =
            full ? std::max<std::int64_t>(floor, std::int64_t{unpack(heap.front()).score} + 1) : floor;
        if (need > std::numeric_limits<std::int64_t>::min() && bound_pays.try_now()) {
            bool never = false;
            const auto best_possible = bound.bound(candidates[k], never);
            const bool skip = never || (best_possible && *best_possible < need);
            bound_pays.record(skip);
            if (skip) {
                ++counts.skipped_by_bound;
                continue;
            }
        }
        ++counts.scored;
        const Score s = fuzzy_match(pattern, candidates[k], defaults);
        if (!s.matched || s.score < need) continue;
        if (full) {
            std::pop_heap(heap.begin(), heap.end());
            heap.back() = pack(s.score, k);
        } else {
            heap.push_back(pack(s.score, k));
        }
        std::push_heap(heap.begin(), heap.end());
    }
    std::sort_heap(heap.begin(), heap.end());
    result.reserve(heap.size());
    for (const std::uint64_t key : heap) result.push_back(unpack(key));
    if (stats != nullptr) *stats = counts;
    return result;
}

}  // namespace brindle::fuzzy
