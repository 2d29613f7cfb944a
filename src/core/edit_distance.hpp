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

// What the substring search did, for tests that check which paths their inputs reach.
struct SubstringStats {
    std::size_t block_steps = 0;    // 64-row blocks advanced by a text character
    std::size_t split_columns = 0;  // columns after which the live blocks were not contiguous
    bool top_out = false;           // the top block went out of reach (stretches start earlier)
};

// For each byte offset e in `ends` (ascending, each at a character boundary of `text`, at most its
// size): the least edit distance between `pattern` and a stretch of `text` that starts at or
// before `latest_start` (a character boundary; beyond the end means anywhere) and ends at e,
//   min over x <= min(e, latest_start) of levenshtein_distance(pattern, text[x, e)),
// or limit + 1 when that exceeds `limit`. It is a lower bound of the distance between the pattern
// and every such stretch; one pass over the text yields it for all ends.
std::vector<std::uint64_t> best_substring_distances(std::string_view pattern, std::string_view text,
                                                    std::size_t latest_start,
                                                    const std::vector<std::size_t>& ends,
                                                    std::uint64_t limit,
                                                    SubstringStats* stats = nullptr);

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
