// Similarity of a block of content lines to the searched lines, by their inner lines.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace brindle::replacer {

// Mean per-line similarity (1 - characters edited / longer byte length) of the trimmed inner
// lines of content lines block_start..block_end (inclusive) against the search lines.
double calculate_block_similarity(const std::vector<std::string_view>& content_lines,
                                  const std::vector<std::string_view>& search_lines,
                                  std::size_t block_start, std::size_t block_end,
                                  std::size_t search_block_size);

}  // namespace brindle::replacer
