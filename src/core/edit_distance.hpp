// Edit distance between texts, counted in characters (Unicode scalar values): insertion, deletion
// and substitution each cost 1.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace brindle {

// Levenshtein distance of `a` and `b` in characters. Dispatches to the fastest exact variant
// below; the result is always that of `detail::levenshtein_two_row`.
std::uint64_t levenshtein_distance(std::string_view a, std::string_view b);

// Bounded Levenshtein distance: the exact distance of `a` and `b` in characters when it is at most
// `limit`, nothing when it exceeds `limit`. Equal to
//   d = levenshtein_distance(a, b); d <= limit ? d : nullopt
// but computes only the diagonal band of the matrix that can still end within the limit, and
// stops as soon as every cell of that band is known to end above it.
std::optional<std::uint64_t> levenshtein_distance_within(std::string_view a, std::string_view b,
                                                         std::uint64_t limit);

// For each byte offset e in `ends` (ascending, each at a character boundary of `text`, at most its
// size): the least edit distance between `pattern` and a stretch of `text` that ends at e,
//   min over x <= e of levenshtein_distance(pattern, text[x, e)),
// or limit + 1 when that exceeds `limit`. It is a lower bound of the distance between the pattern
// and every stretch ending at e; one pass over the text yields it for all ends.
std::vector<std::uint64_t> best_substring_distances(std::string_view pattern, std::string_view text,
                                                    const std::vector<std::size_t>& ends,
                                                    std::uint64_t limit);

namespace detail {

// Reference: the textbook dynamic programme over decoded characters with two rows of counters.
std::uint64_t levenshtein_two_row(std::string_view a, std::string_view b);

// Bit-parallel distance (Myers/Hyyrö) of two code-point sequences, without the prefix and suffix
// stripping and the staged limits of the dispatchers. Exposed so that tests can check it against
// the reference.
std::uint64_t levenshtein_bit_parallel(std::u32string_view a, std::u32string_view b);

// The banded bit-parallel computation with one fixed limit, again without stripping or stages:
// the distance when it is at most `limit`, nothing otherwise.
std::optional<std::uint64_t> levenshtein_bit_parallel_within(std::u32string_view a,
                                                             std::u32string_view b,
                                                             std::uint64_t limit);

// The one-word band of 64 diagonals for a limit of at most 63 (larger limits are cut to 63), again
// without stripping: the distance when it is at most `limit`, nothing otherwise. A shorter
// sequence of at most 64 characters takes the single-word computation instead.
std::optional<std::uint64_t> levenshtein_narrow_band_within(std::u32string_view a,
                                                            std::u32string_view b, std::uint64_t limit);

}  // namespace detail

}  // namespace brindle
