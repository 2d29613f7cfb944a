// Block similarity: how alike the inner lines of a content block are to the searched lines.
//
// Each inner pair (x, y) of trimmed lines scores 1 - d / longest, where d is the edit distance in
// characters and longest the larger byte length; the block score is the mean over the compared
// pairs. Pairs of two blank lines are left out; blocks without inner lines score 1.0. The first
// line of each block is never compared, nor is the last line of the shorter block, and the
// extra lines of the longer block are ignored.
#include "core/content_replacer/block_similarity.hpp"

#include <algorithm>

#include "core/edit_distance.hpp"
#include "core/text.hpp"

namespace brindle::replacer {

namespace {

// Subtraction that stops at 0.
std::size_t minus(std::size_t a, std::size_t b) { return a > b ? a - b : 0; }

}  // namespace

double calculate_block_similarity(const std::vector<std::string_view>& content_lines,
                                  const std::vector<std::string_view>& search_lines,
                                  std::size_t block_start, std::size_t block_end,
                                  std::size_t search_block_size) {
    const std::size_t actual_size = minus(block_end, block_start) + 1;
    if (std::min(minus(actual_size, 2), minus(search_block_size, 2)) == 0) return 1.0;
    const std::size_t limit = std::min(actual_size - 1, search_block_size - 1);
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t j = 1; j < limit; ++j) {
        // Callers pass blocks inside both line lists; anything beyond them is not compared.
        if (block_start + j >= content_lines.size() || j >= search_lines.size()) break;
        const std::string_view x = text::trim(content_lines[block_start + j]);
        const std::string_view y = text::trim(search_lines[j]);
        const std::size_t longest = std::max(x.size(), y.size());
        if (longest == 0) continue;
        const auto d = static_cast<double>(levenshtein_distance(x, y));
        sum += 1.0 - d / static_cast<double>(longest);
        ++count;
    }
    return count > 0 ? sum / static_cast<double>(count) : 1.0;
}

}  // namespace brindle::replacer
