// All start positions of a pattern in a text (or of a key sequence in another), found in one
// linear pass.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace brindle::replacer {

// Element p (0 <= p <= hay.size()) is true when `needle` occurs in `hay` starting at byte p;
// overlapping occurrences all count, and the empty needle occurs at every position.
// Time O(|hay| + |needle|), whatever the texts (no quadratic worst case).
std::vector<bool> occurrence_starts(std::string_view hay, std::string_view needle);

// The same for sequences of keys (for instance one key per line).
std::vector<bool> occurrence_starts(std::span<const std::uint64_t> hay,
                                    std::span<const std::uint64_t> needle);
std::vector<bool> occurrence_starts(std::span<const std::uint32_t> hay,
                                    std::span<const std::uint32_t> needle);

}  // namespace brindle::replacer
