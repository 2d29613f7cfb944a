// Edit distance between texts, counted in characters (Unicode scalar values): insertion, deletion
// and substitution each cost 1.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace brindle {

// Levenshtein distance of `a` and `b` in characters. Dispatches to the fastest exact variant
// below; the result is always that of `detail::levenshtein_two_row`.
std::uint64_t levenshtein_distance(std::string_view a, std::string_view b);

// Bounded Levenshtein distance: the exact distance of `a` and `b` in characters when it is at most
// `limit`, nothing when it exceeds `limit`. Equal to
//   d = levenshtein_distance(a, b); d <= limit ? d : nullopt
// but allowed to stop early once the distance is known to exceed the limit.
std::optional<std::uint64_t> levenshtein_distance_within(std::string_view a, std::string_view b,
                                                         std::uint64_t limit);

namespace detail {

// Reference: the textbook dynamic programme over decoded characters with two rows of counters.
std::uint64_t levenshtein_two_row(std::string_view a, std::string_view b);

// Bit-parallel distance (Myers/Hyyrö) of two code-point sequences, without the prefix and suffix
// stripping of the dispatcher. Exposed so that tests can check it against the reference.
std::uint64_t levenshtein_bit_parallel(std::u32string_view a, std::u32string_view b);

}  // namespace detail

}  // namespace brindle
