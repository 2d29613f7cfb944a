// Diagnostics of a failed replacement: the not-found and multiple-matches messages, the closest
// block of lines with its line diff, and the lines where the search text occurs.
//
// Closest match: windows of m content lines (m = lines of the search text) are scored by
// 1 - d / L (d: edit distance in characters, L: the longer byte length). Only windows starting
// within kAnchorRadius lines of a content line that contains the anchor (the first non-blank
// search line) are scored, or the first kFallbackWindows windows when the anchor occurs nowhere.
// The anchor hits come in ascending line order, so their radius intervals are merged on the fly
// and every window is examined once, in ascending order; the earliest of equally similar windows
// wins. A window whose similarity cannot beat the best so far, judged by the lower bound
// d >= |difference of character counts|, is skipped without computing d.
#include "core/content_replacer/diagnostics.hpp"

#include <algorithm>
#include <charconv>
#include <string>

#include "core/content_replacer/occurrences.hpp"
#include "core/edit_distance.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"

namespace brindle::replacer {

namespace {

// Closest-match search.
constexpr std::size_t kAnchorRadius = 5;        // windows starting up to 5 lines around a hit
constexpr std::size_t kFallbackWindows = 100;   // windows scored when the anchor occurs nowhere
constexpr double kMinSimilarity = 0.8;          // weaker near-misses are not worth showing
// Message sizes.
constexpr std::size_t kMaxDiffBytes = 2000;     // longer diffs are cut
constexpr std::size_t kMaxFirstLineHits = 3;    // lines listed for the first search line
constexpr std::size_t kMaxLocationsShown = 5;   // locations listed before "... (N total)"
constexpr std::size_t kPreviewChars = 60;       // characters of the search text quoted

constexpr std::string_view kNotFoundHead = "Search text not found in file.";
constexpr std::string_view kDebuggingTips =
    "\n\nDebugging tips:\n"
    "1. Check for exact whitespace/indentation match\n"
    "2. Verify line endings match the file (\\r\\n vs \\n)\n"
    "3. Ensure the search text hasn't been modified\n"
    "4. Try reading the file section first to get exact text";
constexpr std::string_view kDiffTruncated = "\n...(diff truncated)";
constexpr std::string_view kMultipleAdvice =
    "\"\n\nTo fix, include more surrounding context in old_string to uniquely identify the "
    "target location, or use replace_all=True to replace all occurrences, or provide a line_hint "
    "to select the closest match.";

template <class Numbers>
std::string join_numbers(const Numbers& numbers, std::size_t count) {
    std::string out;
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) out += ", ";
        out += std::to_string(numbers[k]);
    }
    return out;
}

// The similarity of a window as a percentage with one decimal, e.g. "80.0".
std::string percent_one_decimal(double similarity) {
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, similarity * 100.0,
                                      std::chars_format::fixed, 1);
    return std::string(buf, result.ptr);
}

// 1 - d / L in double precision.
double similarity_of(std::uint64_t distance, std::size_t longest) {
    return 1.0 - static_cast<double>(distance) / static_cast<double>(longest);
}

}  // namespace

std::string build_match_diff(std::string_view old_string, std::string_view window_text) {
    const std::vector<std::string_view> a = text::split_lines(old_string);
    const std::vector<std::string_view> b = text::split_lines(window_text);
    std::string out = "--- SEARCH\n+++ CLOSEST MATCH\n";
    const std::size_t rows = std::max(a.size(), b.size());
    // Only the first kMaxDiffBytes bytes are kept, so building stops once they are exceeded.
    for (std::size_t i = 0; i < rows && out.size() <= kMaxDiffBytes; ++i) {
        const std::string_view la = i < a.size() ? a[i] : std::string_view{};
        const std::string_view lb = i < b.size() ? b[i] : std::string_view{};
        if (la == lb) {
            out += ' ';
            out += la;
            out += '\n';
            continue;
        }
        if (i < a.size()) {
            out += '-';
            out += la;
            out += '\n';
        }
        if (i < b.size()) {
            out += '+';
            out += lb;
            out += '\n';
        }
    }
    if (out.size() > kMaxDiffBytes) {
        // Cut at the last character boundary at or before the limit.
        out.resize(utf8::floor_boundary(out, kMaxDiffBytes));
        out += kDiffTruncated;
    }
    return out;
}

std::optional<FuzzyMatchInfo> find_closest_match(const ContentLines& content,
                                                 std::string_view old_string) {
    const std::vector<std::string_view>& lines = content.lines;
    const std::vector<std::string_view> search = text::split_lines(old_string);
    const std::size_t n = lines.size();
    const std::size_t m = search.size();
    if (m == 0 || n < m) return std::nullopt;
    const std::size_t windows = n - m + 1;

    std::string_view anchor;
    bool has_anchor = false;
    for (std::string_view line : search) {
        if (!text::is_blank(line)) {
            anchor = line;
            has_anchor = true;
            break;
        }
    }
    if (!has_anchor) return std::nullopt;

    const std::size_t old_chars = utf8::count_chars(old_string);
    double best_similarity = 0.0;
    std::size_t best_window = 0;
    bool found = false;
    std::string best_text;
    std::string window_text;

    auto examine = [&](std::size_t s) {
        const std::size_t window_bytes = text::joined_length(lines.data() + s, m);
        if (window_bytes == 0) return;
        const std::size_t longest = std::max(old_string.size(), window_bytes);
        window_text = text::join_lines(lines, s, m);
        // The distance is at least the difference of the character counts; if even that bound
        // cannot qualify, the exact distance cannot either.
        const std::size_t window_chars = utf8::count_chars(window_text);
        const std::size_t bound = old_chars > window_chars ? old_chars - window_chars
                                                           : window_chars - old_chars;
        const double best_possible = similarity_of(bound, longest);
        if (best_possible < kMinSimilarity || best_possible <= best_similarity) return;
        const double similarity = similarity_of(levenshtein_distance(old_string, window_text), longest);
        if (similarity >= kMinSimilarity && similarity > best_similarity) {
            best_similarity = similarity;
            best_window = s;
            found = true;
            best_text.swap(window_text);
        }
    };

    std::size_t next_window = 0;  // windows below this one are examined or out of every interval
    bool anchor_seen = false;
    // Once every window is covered, further anchor hits add nothing.
    for (std::size_t i = 0; i < n && next_window < windows; ++i) {
        if (!text::contains(lines[i], anchor)) continue;
        anchor_seen = true;
        const std::size_t lo = std::max(i > kAnchorRadius ? i - kAnchorRadius : 0, next_window);
        const std::size_t hi = std::min(i + kAnchorRadius, windows - 1);
        for (std::size_t s = lo; s <= hi; ++s) examine(s);
        next_window = std::max(next_window, hi + 1);
    }
    if (!anchor_seen) {
        const std::size_t count = std::min(windows, kFallbackWindows);
        for (std::size_t s = 0; s < count; ++s) examine(s);
    }
    if (!found) return std::nullopt;

    FuzzyMatchInfo info;
    info.similarity = best_similarity;
    info.start_line = best_window + 1;
    info.end_line = best_window + m;
    info.diff = build_match_diff(old_string, best_text);
    info.text = std::move(best_text);
    return info;
}

std::optional<FuzzyMatchInfo> find_most_similar_window(const ContentLines& content,
                                                       std::string_view old_string,
                                                       double min_similarity) {
    const std::vector<std::string_view>& lines = content.lines;
    const std::size_t m = text::split_lines(old_string).size();
    const std::size_t n = lines.size();
    if (m == 0 || n < m) return std::nullopt;
    double best_similarity = -1.0;
    std::size_t best_window = 0;
    std::string best_text;
    for (std::size_t s = 0; s + m <= n; ++s) {
        std::string window_text = text::join_lines(lines, s, m);
        const std::size_t longest = std::max(old_string.size(), window_text.size());
        if (longest == 0) continue;
        const double similarity =
            similarity_of(levenshtein_distance(old_string, window_text), longest);
        if (similarity >= min_similarity && similarity > best_similarity) {
            best_similarity = similarity;
            best_window = s;
            best_text = std::move(window_text);
        }
    }
    if (best_similarity < 0.0) return std::nullopt;
    FuzzyMatchInfo info;
    info.similarity = best_similarity;
    info.start_line = best_window + 1;
    info.end_line = best_window + m;
    info.diff = build_match_diff(old_string, best_text);
    info.text = std::move(best_text);
    return info;
}

std::vector<std::uint64_t> find_match_locations(const ContentLines& content,
                                                std::string_view old_string) {
    const std::vector<std::string_view>& lines = content.lines;
    const std::size_t n = lines.size();
    const std::size_t m = text::count_lines(old_string);
    std::vector<std::uint64_t> out;

    if (m <= 1) {
        const std::vector<std::string_view> search = text::split_lines(old_string);
        const std::string_view probe = search.empty() ? old_string : search.front();
        for (std::size_t i = 0; i < n; ++i) {
            if (probe.empty() || text::contains(lines[i], probe)) out.push_back(i + 1);
        }
        return out;
    }

    // Two or more lines. The block of line i is lines i..i+m-1 joined with LF: it has at most
    // m - 1 LFs and no final one. A search text ending in LF holds m LFs and never fits; any
    // other holds exactly m - 1, so an occurrence inside the block must take all of the block's
    // LFs, the one behind line i included: it starts in line i (or at that LF). Conversely an
    // occurrence in the whole joined content that starts there ends inside line i + m - 1, within
    // the block. Its first search line is then part of line i, so the probe test is implied.
    // The occurrences are therefore marked once in the joined content and mapped to lines,
    // instead of joining and searching one block per line.
    if (old_string.back() == '\n') return out;
    const std::string joined = text::join_lines(lines, 0, n);
    const std::vector<bool> starts = occurrence_starts(joined, old_string);
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t next_start = line_start + lines[i].size() + 1;  // behind line i's LF
        const std::size_t stop = std::min(next_start, joined.size());
        for (std::size_t p = line_start; p < stop; ++p) {
            if (starts[p]) {
                out.push_back(i + 1);
                break;
            }
        }
        line_start = next_start;
    }
    return out;
}

NotFound build_not_found_error(const ContentLines& content, std::string_view old_string) {
    std::string message(kNotFoundHead);

    const std::vector<std::string_view> search = text::split_lines(old_string);
    const std::string_view probe = search.empty() ? std::string_view{} : text::trim(search.front());
    if (!probe.empty()) {
        std::vector<std::uint64_t> hits;
        for (std::size_t i = 0; i < content.lines.size() && hits.size() < kMaxFirstLineHits; ++i) {
            if (text::contains(content.lines[i], probe)) hits.push_back(i + 1);
        }
        message += "\nFirst search line '";
        message += probe;
        if (hits.empty()) {
            message += "' not found anywhere in file";
        } else {
            message += "' appears at line(s): ";
            message += join_numbers(hits, hits.size());
        }
    }

    std::optional<FuzzyMatchInfo> closest = find_closest_match(content, old_string);
    if (closest) {
        message += "\nClosest fuzzy match (";
        message += percent_one_decimal(closest->similarity);
        message += "% similar) at lines ";
        message += std::to_string(closest->start_line);
        message += '-';
        message += std::to_string(closest->end_line);
        message += ":\n";
        message += closest->diff;
    }

    message += kDebuggingTips;
    return NotFound{std::move(message), std::move(closest)};
}

MultipleMatches build_multiple_matches_error(const ContentLines& content,
                                             std::string_view old_string) {
    std::vector<std::uint64_t> locations = find_match_locations(content, old_string);

    std::string location_text;
    if (locations.size() > kMaxLocationsShown) {
        location_text = join_numbers(locations, kMaxLocationsShown) + ", ... (" +
                        std::to_string(locations.size()) + " total)";
    } else {
        location_text = join_numbers(locations, locations.size());
    }

    const std::vector<std::string_view> search = text::split_lines(old_string);
    const std::string_view first_line = search.empty() ? std::string_view{} : search.front();
    const std::string_view preview = utf8::prefix_chars(first_line, kPreviewChars);
    const bool shortened = preview.size() < first_line.size();

    std::string message = "Pattern found at multiple locations (lines: ";
    message += location_text;
    message += ").\nSearch text starts with: \"";
    message += preview;
    if (shortened) message += "...";
    message += kMultipleAdvice;
    return MultipleMatches{std::move(message), std::move(locations)};
}

}  // namespace brindle::replacer
