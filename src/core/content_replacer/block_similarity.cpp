// Block similarity: how alike the inner lines of a content block are to the searched lines.
//
// Each inner pair (x, y) of trimmed lines scores 1 - d / longest, where d is the edit distance in
// characters and longest the larger byte length; the block score is the mean over the compared
// pairs. Pairs of two blank lines are left out; blocks without inner lines score 1.0. The first
// line of each block is never compared, nor is the last line of the shorter block, and the
// extra lines of the longer block are ignored.
//
// With a threshold (calculate_block_similarity_above), the pairs are known before any distance
// is computed, so when pair t is measured the mean can at most reach
//   (sum of pairs before t + score of t + number of pairs after t) / count.
// The distance of pair t is therefore bounded by the largest d for which that could still exceed
// the threshold, with a margin of two characters and a relative slack far above the rounding of
// the double sums, so that a cut never rejects a block whose exact score would pass. The sums
// themselves are formed in the same order as without a threshold, so a returned score is the
// same double.
#include "core/content_replacer/block_similarity.hpp"

#include <algorithm>
#include <cmath>

#include "core/edit_distance.hpp"
#include "core/text.hpp"

namespace brindle::replacer {

namespace {

// Subtraction that stops at 0.
std::size_t minus(std::size_t a, std::size_t b) {
    return a > b ? a - b : 0;
}

// Slack of the distance bound: characters added to the real-valued bound, and the share of the
// pair count added to the sum's headroom (many orders of magnitude above double rounding).
constexpr double kSlackChars = 2.0;
constexpr double kSlackPerPair = 1e-6;

struct Pair {
    std::string_view x;
    std::string_view y;
    std::size_t longest;
};

// The trimmed inner pairs that count (not both blank), in order; nothing when the block has no
// inner lines.
template <class ContentLineList>
std::vector<Pair> inner_pairs(const ContentLineList& content_lines,
                              const std::vector<std::string_view>& search_lines,
                              std::size_t block_start, std::size_t block_end,
                              std::size_t search_block_size) {
    std::vector<Pair> pairs;
    const std::size_t actual_size = minus(block_end, block_start) + 1;
    if (std::min(minus(actual_size, 2), minus(search_block_size, 2)) == 0) return pairs;
    const std::size_t limit = std::min(actual_size - 1, search_block_size - 1);
    for (std::size_t j = 1; j < limit; ++j) {
        // Callers pass blocks inside both line lists; anything beyond them is not compared.
        if (block_start + j >= content_lines.size() || j >= search_lines.size()) break;
        const std::string_view x = text::trim(content_lines[block_start + j]);
        const std::string_view y = text::trim(search_lines[j]);
        const std::size_t longest = std::max(x.size(), y.size());
        if (longest == 0) continue;
        pairs.push_back(Pair{x, y, longest});
    }
    return pairs;
}

double pair_score(std::uint64_t distance, std::size_t longest) {
    return 1.0 - static_cast<double>(distance) / static_cast<double>(longest);
}

}  // namespace

template <class ContentLineList>
double block_similarity(const ContentLineList& content_lines,
                        const std::vector<std::string_view>& search_lines, std::size_t block_start,
                        std::size_t block_end, std::size_t search_block_size) {
    const std::vector<Pair> pairs =
        inner_pairs(content_lines, search_lines, block_start, block_end, search_block_size);
    double sum = 0.0;
    for (const Pair& p : pairs) sum += pair_score(levenshtein_distance(p.x, p.y), p.longest);
    return pairs.empty() ? 1.0 : sum / static_cast<double>(pairs.size());
}

template <class ContentLineList>
std::optional<double> block_similarity_above(const ContentLineList& content_lines,
                                             const std::vector<std::string_view>& search_lines,
                                             std::size_t block_start, std::size_t block_end,
                                             std::size_t search_block_size, double threshold) {
    const std::vector<Pair> pairs =
        inner_pairs(content_lines, search_lines, block_start, block_end, search_block_size);
    if (pairs.empty()) {
        if (1.0 > threshold) return 1.0;
        return std::nullopt;
    }
    const auto count = static_cast<double>(pairs.size());
    double sum = 0.0;
    for (std::size_t t = 0; t < pairs.size(); ++t) {
        const Pair& p = pairs[t];
        const auto later = static_cast<double>(pairs.size() - t - 1);
        // The mean exceeds the threshold only if score_t > threshold * count - sum - later,
        // i.e. d < (sum + later + 1 - threshold * count) * longest.
        const double headroom = sum + later + 1.0 - threshold * count + kSlackPerPair * (count + 1.0);
        const double bound = headroom * static_cast<double>(p.longest) + kSlackChars;
        if (!(bound >= 0.0)) return std::nullopt;  // also a NaN threshold: nothing exceeds it
        const std::uint64_t limit =
            bound >= static_cast<double>(p.longest) ? p.longest : static_cast<std::uint64_t>(bound);
        const std::optional<std::uint64_t> d = levenshtein_distance_within(p.x, p.y, limit);
        if (!d) return std::nullopt;
        sum += pair_score(*d, p.longest);
    }
    const double score = sum / count;
    if (score > threshold) return score;
    return std::nullopt;
}

double calculate_block_similarity(const std::vector<std::string_view>& content_lines,
                                  const std::vector<std::string_view>& search_lines,
                                  std::size_t block_start, std::size_t block_end,
                                  std::size_t search_block_size) {
    return block_similarity(content_lines, search_lines, block_start, block_end, search_block_size);
}

std::optional<double> calculate_block_similarity_above(
    const std::vector<std::string_view>& content_lines,
    const std::vector<std::string_view>& search_lines, std::size_t block_start, std::size_t block_end,
    std::size_t search_block_size, double threshold) {
    return block_similarity_above(content_lines, search_lines, block_start, block_end,
                                  search_block_size, threshold);
}

std::optional<double> calculate_block_similarity_above(
    const LazyLines& content_lines, const std::vector<std::string_view>& search_lines,
    std::size_t block_start, std::size_t block_end, std::size_t search_block_size, double threshold) {
    return block_similarity_above(content_lines, search_lines, block_start, block_end,
                                  search_block_size, threshold);
}

}  // namespace brindle::replacer
