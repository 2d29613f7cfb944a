// The "block_anchor" strategy: a block of content whose first and last lines equal (trimmed) the
// first and last search lines, whatever lies between them.
//
// Design. Every content line that equals the first anchor starts a block, which ends at the
// nearest line at least two lines further down that equals the last anchor (anchored_blocks):
//
//     search:  def f():        content:  def f():      <- start
//                  x = 1                     y = 2
//              return x                      z = 3
//                                            return x  <- nearest end
//
// A lone block is returned as it is (its threshold, 0.0, is met by every score). Among several,
// the one whose inner lines score best by calculate_block_similarity wins, the earliest among
// equals, and only if it scores at least kSeveralBlocksThreshold.
//
// Scoring stops as soon as a block scores kPerfectScore: no later block can beat it, since a
// later block replaces the best only with a strictly greater score. Each block is scored against
// the score it must beat (the best so far, or the threshold), so that the edit distances of its
// inner lines stop as soon as it cannot: with a common anchor line there may be thousands of
// blocks, most of them far from the searched lines.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "core/cancel.hpp"
#include "core/content_replacer/anchor_lines.hpp"
#include "core/content_replacer/block_similarity.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/text.hpp"

namespace brindle::replacer {

namespace {

// Among several blocks, the best must at least be this much alike to be trusted.
constexpr double kSeveralBlocksThreshold = 0.3;
// The score never exceeds this: a mean of per-line similarities that are each at most 1.
constexpr double kPerfectScore = 1.0;

// Work of scoring a block, in interrupt-poll units: the edit distance of a pair of inner lines
// costs about one unit per 64 cells.
std::int64_t scoring_units(const LazyLines& lines, const std::vector<std::string_view>& search_lines,
                           const AnchoredBlock& block) {
    const std::size_t pairs = std::min(block.end - block.start, search_lines.size() - 1);
    std::size_t units = 1;
    for (std::size_t j = 1; j < pairs; ++j) {
        units += 1 + lines[block.start + j].size() * search_lines[j].size() / 64;
    }
    return static_cast<std::int64_t>(units);
}

}  // namespace

Candidates block_anchor_replacer(const ContentLines& content, std::string_view old_string) {
    std::vector<std::string_view> search_lines = text::split_lines(old_string);
    if (search_lines.size() < kMinBlockLines) return {};
    if (search_lines.back().empty()) search_lines.pop_back();
    const std::string_view first = text::trim(search_lines.front());
    const std::string_view last = text::trim(search_lines.back());
    const std::size_t search_block_size = search_lines.size();

    // A lone block faces the threshold 0.0, which every score meets (a score is a mean of
    // similarities that are each at least 0), so blocks are scored only when there are two.
    std::optional<AnchoredBlock> lone;
    std::size_t count = 0;
    for_each_anchored_block(content, first, last, [&](AnchoredBlock block) {
        if (count++ == 0) lone = block;
        return count < 2;
    });
    Candidates out;
    auto add = [&](const AnchoredBlock& block) {
        out.add_window(content, block.start, block.end - block.start + 1);
        return std::move(out);
    };
    if (count == 0) return out;
    if (count == 1) return add(*lone);

    const LazyLines& lines = content.lines;
    // A block matters only if it could end up the best: at least kSeveralBlocksThreshold (the
    // largest double below it is the strict bound that lets exactly the threshold through) and
    // strictly above the best so far (the earliest among equals stays). Below the threshold a
    // block could only become a best that is refused in the end, so leaving it out changes
    // nothing, and calculate_block_similarity_above stops measuring a block as soon as it cannot
    // pass, returning the very score calculate_block_similarity would give when it does.
    const double below_threshold =
        std::nextafter(kSeveralBlocksThreshold, -std::numeric_limits<double>::infinity());
    double best_score = -1.0;
    std::optional<AnchoredBlock> best;
    for_each_anchored_block(content, first, last, [&](AnchoredBlock block) {
        poll_interrupt(scoring_units(lines, search_lines, block));
        const std::optional<double> s =
            calculate_block_similarity_above(lines, search_lines, block.start, block.end,
                                             search_block_size, best ? best_score : below_threshold);
        if (!s) return true;
        best_score = *s;
        best = block;
        return best_score < kPerfectScore;
    });
    if (best && best_score >= kSeveralBlocksThreshold) return add(*best);
    return out;
}

}  // namespace brindle::replacer
