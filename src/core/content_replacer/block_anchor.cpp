// The "block_anchor" strategy: a block of content whose first and last lines equal (trimmed) the
// first and last search lines, whatever lies between them.
//
// Design. Every content line that equals the first anchor starts a block, which ends at the
// nearest line at least two lines further down that equals the last anchor:
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
// The nearest end of every start comes from a table built in one backward sweep (AnchorLines),
// so collecting the blocks is linear in the number of lines.
// Scoring stops as soon as a block scores kPerfectScore: no later block can beat it, since a
// later block replaces the best only with a strictly greater score.
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "core/content_replacer/anchor_lines.hpp"
#include "core/content_replacer/block_similarity.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/text.hpp"

namespace brindle::replacer {

namespace {

// A block must span its two anchors and at least one line between them.
constexpr std::size_t kMinBlockLines = 3;
// Among several blocks, the best must at least be this much alike to be trusted.
constexpr double kSeveralBlocksThreshold = 0.3;
// The score never exceeds this: a mean of per-line similarities that are each at most 1.
constexpr double kPerfectScore = 1.0;

}  // namespace

Candidates block_anchor_replacer(const ContentLines& content, std::string_view old_string) {
    std::vector<std::string_view> search_lines = text::split_lines(old_string);
    if (search_lines.size() < kMinBlockLines) return {};
    if (search_lines.back().empty()) search_lines.pop_back();
    const std::string_view first = text::trim(search_lines.front());
    const std::string_view last = text::trim(search_lines.back());
    const std::size_t search_block_size = search_lines.size();

    const std::vector<std::string_view>& lines = content.lines;
    const std::size_t n = lines.size();
    if (n < kMinBlockLines) return {};

    const AnchorLines anchors(lines, last);
    std::vector<std::pair<std::size_t, std::size_t>> blocks;
    for (std::size_t start = 0; start + kMinBlockLines <= n; ++start) {
        if (anchors.trimmed(start) != first) continue;
        const std::size_t end = anchors.next_end(start + kMinBlockLines - 1);
        if (end != AnchorLines::npos) blocks.emplace_back(start, end);
    }
    if (blocks.empty()) return {};

    auto block_text = [&](std::pair<std::size_t, std::size_t> block) {
        return text::join_lines(lines, block.first, block.second - block.first + 1);
    };
    auto score = [&](std::pair<std::size_t, std::size_t> block) {
        return calculate_block_similarity(lines, search_lines, block.first, block.second,
                                          search_block_size);
    };

    // A lone block faces the threshold 0.0, which every score meets (a score is a mean of
    // similarities that are each at least 0), so it is returned without being scored.
    if (blocks.size() == 1) return {block_text(blocks.front())};

    double best_score = -1.0;
    std::size_t best = blocks.size();
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        const double s = score(blocks[k]);
        if (s > best_score) {
            best_score = s;
            best = k;
            if (best_score >= kPerfectScore) break;
        }
    }
    if (best < blocks.size() && best_score >= kSeveralBlocksThreshold) {
        return {block_text(blocks[best])};
    }
    return {};
}

}  // namespace brindle::replacer
