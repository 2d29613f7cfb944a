// Plain form of the block similarity, from its definition: the mean of 1 - d / longest over the
// inner line pairs (x = content line start + j, y = search line j, both trimmed) for
// j = 1 .. min(block lines, search_block_size) - 2, leaving out pairs of two blank lines; 1.0
// when either block has no inner lines or every pair is blank. d counts characters, longest is
// the larger byte length. Pairs beyond the end of either line list are not compared.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "edit_distance.hpp"
#include "text.hpp"

namespace brindle::reference {

inline double block_similarity(const std::vector<std::string_view>& content_lines,
                               const std::vector<std::string_view>& search_lines,
                               std::size_t block_start, std::size_t block_end,
                               std::size_t search_block_size) {
    const std::size_t block_lines = block_end >= block_start ? block_end - block_start + 1 : 1;
    const std::size_t shorter = std::min(block_lines, search_block_size);
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t j = 1; j + 1 < shorter; ++j) {
        if (block_start + j >= content_lines.size() || j >= search_lines.size()) break;
        const std::string x = trimmed(content_lines[block_start + j]);
        const std::string y = trimmed(search_lines[j]);
        const std::size_t longest = std::max(x.size(), y.size());
        if (longest == 0) continue;
        sum += 1.0 - static_cast<double>(levenshtein(x, y)) / static_cast<double>(longest);
        ++count;
    }
    return count == 0 ? 1.0 : sum / static_cast<double>(count);
}

}  // namespace brindle::reference
