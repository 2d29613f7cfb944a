// Error values of a failed replacement, with messages written for the author of the edit:
// where the first search line occurs, the closest block with a line diff, and advice.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/content_replacer/types.hpp"
#include "core/edit_distance.hpp"

namespace brindle::replacer {

// The not-found error for `old_string`. With `closest_work_budget`, the closest-match search runs
// with that many units of polled work (run_with_work_budget, cancel.hpp); when they do not
// suffice it is abandoned, and the error has no closest match and `closest_over_budget` set
// (never a similarity measured only in part). Otherwise the error is the one built without a
// budget. Without a budget the search always runs to its end.
NotFound build_not_found_error(const ContentLines& content, std::string_view old_string,
                               std::optional<std::int64_t> closest_work_budget = std::nullopt);

// Closest matches less similar than this are not shown (nor searched for).
inline constexpr double kClosestMatchThreshold = 0.8;

// The piece of a not-found message that shows a closest match ("\nClosest fuzzy match (90.7%
// similar) at lines 10-11:\n" and its diff), as build_not_found_error writes it.
std::string closest_match_piece(const FuzzyMatchInfo& closest);
MultipleMatches build_multiple_matches_error(const ContentLines& content, std::string_view old_string);

// What a closest-window search did, for tests that check which paths their inputs reach.
struct WindowSearchStats {
    std::size_t candidates = 0;         // windows within reach by their character counts
    std::size_t measured = 0;           // edit distances computed (up to a limit)
    std::size_t line_bounded = 0;       // ... of which with the limit of the line-by-line sum
    std::size_t out_by_bigrams = 0;     // candidates the bigram bound put out of reach
    std::size_t substring_passes = 0;   // passes of the substring bound over a run of windows
    std::size_t out_by_substrings = 0;  // candidates the substring bound put out of reach
    SubstringStats substring;           // what those passes did
    std::size_t given_up = 0;           // searches given up: a window sure to exceed the budget
};

std::optional<FuzzyMatchInfo> find_closest_match(const ContentLines& content,
                                                 std::string_view old_string,
                                                 WindowSearchStats* stats = nullptr);
// The most similar window of old_string's line count anywhere in the content (not only near the
// anchor), scored like the closest match, with similarity at least `min_similarity`; the earliest
// of equally similar windows wins. Nothing when no window reaches `min_similarity`.
std::optional<FuzzyMatchInfo> find_most_similar_window(const ContentLines& content,
                                                       std::string_view old_string,
                                                       double min_similarity,
                                                       WindowSearchStats* stats = nullptr);
// How alike two texts are, as the closest-match search scores a window: 1 - d / L, d the edit
// distance in characters, L the longer byte length; 1.0 when both are empty.
double text_similarity(std::string_view a, std::string_view b);
std::string build_match_diff(std::string_view old_string, std::string_view window_text);
std::vector<std::uint64_t> find_match_locations(const ContentLines& content,
                                                std::string_view old_string);

}  // namespace brindle::replacer
