// Plain forms of the closest-match searches of the failure diagnostics, from their definitions:
// every candidate window is joined and measured with the plain edit distance.
//
// A window is m consecutive content lines (m = lines of the search text), joined with LF. Its
// similarity is 1 - d / L, d the edit distance in characters to the search text, L the larger
// byte length of the two.
//   closest_match: the candidates are the windows starting within 5 lines of a content line that
//     contains the anchor (the first non-blank search line, untrimmed), or the first 100 windows
//     when no line contains it; the most similar with similarity >= 0.8 wins, the earliest among
//     equals; windows with empty text are left out.
//   most_similar_window: every window is a candidate; the most similar with similarity >=
//     min_similarity wins, the earliest among equals; a window is left out only when both it
//     and the search text are empty.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "edit_distance.hpp"
#include "text.hpp"

namespace brindle::reference {

struct WindowMatch {
    double similarity;
    std::size_t start;  // 0-based index of the window's first line
    std::string text;
};

// The best of `candidates` (ascending window indices) by the rules above.
inline std::optional<WindowMatch> best_window(const std::vector<std::string_view>& lines,
                                              std::string_view old_string, std::size_t m,
                                              const std::set<std::size_t>& candidates,
                                              double min_similarity, bool skip_empty_windows) {
    std::optional<WindowMatch> best;
    for (std::size_t s : candidates) {
        const std::string window = join(lines, s, m);
        if (window.empty() && (skip_empty_windows || old_string.empty())) continue;
        const double longest = static_cast<double>(std::max(old_string.size(), window.size()));
        const double similarity = 1.0 - static_cast<double>(levenshtein(old_string, window)) / longest;
        if (similarity < min_similarity) continue;
        if (!best || similarity > best->similarity) best = WindowMatch{similarity, s, window};
    }
    return best;
}

inline std::optional<WindowMatch> closest_match(std::string_view content, std::string_view old_string) {
    const std::vector<std::string_view> lines = lines_of(content);
    const std::vector<std::string_view> search = lines_of(old_string);
    const std::size_t n = lines.size();
    const std::size_t m = search.size();
    if (m == 0 || n < m) return std::nullopt;
    std::optional<std::string_view> anchor;
    for (std::string_view line : search) {
        if (!trimmed(line).empty()) {
            anchor = line;
            break;
        }
    }
    if (!anchor) return std::nullopt;
    const std::size_t windows = n - m + 1;
    std::set<std::size_t> candidates;
    bool hit = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (lines[i].find(*anchor) == std::string_view::npos) continue;
        hit = true;
        for (std::size_t s = i >= 5 ? i - 5 : 0; s <= i + 5; ++s) {
            if (s < windows) candidates.insert(s);
        }
    }
    if (!hit) {
        for (std::size_t s = 0; s < std::min<std::size_t>(windows, 100); ++s) candidates.insert(s);
    }
    return best_window(lines, old_string, m, candidates, 0.8, true);
}

inline std::optional<WindowMatch> most_similar_window(std::string_view content,
                                                      std::string_view old_string,
                                                      double min_similarity) {
    const std::vector<std::string_view> lines = lines_of(content);
    const std::size_t m = lines_of(old_string).size();
    const std::size_t n = lines.size();
    if (m == 0 || n < m) return std::nullopt;
    std::set<std::size_t> candidates;
    for (std::size_t s = 0; s + m <= n; ++s) candidates.insert(s);
    return best_window(lines, old_string, m, candidates, min_similarity, false);
}

}  // namespace brindle::reference
