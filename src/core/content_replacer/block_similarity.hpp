// Similarity of a block of content lines to the searched lines, by their inner lines.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "core/content_replacer/types.hpp"

namespace brindle::replacer {

// Mean per-line similarity (1 - characters edited / longer byte length) of the trimmed inner
// lines of content lines block_start..block_end (inclusive) against the search lines.
double calculate_block_similarity(const std::vector<std::string_view>& content_lines,
                                  const std::vector<std::string_view>& search_lines,
                                  std::size_t block_start, std::size_t block_end,
                                  std::size_t search_block_size);

// The same score when it is strictly greater than `threshold`, nothing otherwise: for a caller
// that keeps the best block so far and only wants a block that beats it. Each pair's distance is
// computed only up to the largest value that could still let the mean exceed the threshold,
// assuming every later pair scores 1. A returned score is bit-for-bit the one
// calculate_block_similarity gives.
std::optional<double> calculate_block_similarity_above(
    const std::vector<std::string_view>& content_lines,
    const std::vector<std::string_view>& search_lines, std::size_t block_start, std::size_t block_end,
    std::size_t search_block_size, double threshold);

// The same over the content's lines as a replacement call holds them.
std::optional<double> calculate_block_similarity_above(
    const LazyLines& content_lines, const std::vector<std::string_view>& search_lines,
    std::size_t block_start, std::size_t block_end, std::size_t search_block_size, double threshold);

}  // namespace brindle::replacer
