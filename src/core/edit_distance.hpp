// Edit distance between texts, counted in characters (Unicode scalar values): insertion, deletion
// and substitution each cost 1.
#pragma once

#include <cstdint>
#include <string_view>

namespace brindle {

// Levenshtein distance of `a` and `b` in characters.
std::uint64_t levenshtein_distance(std::string_view a, std::string_view b);

}  // namespace brindle
