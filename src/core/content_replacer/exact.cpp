// The three least tolerant strategies: the exact text ("simple"), the same lines compared trimmed
// ("line_trimmed") and the text without the whitespace around it as a whole ("trimmed_boundary").
//
// Both line-based strategies compare windows of m content lines (i = 0 .. n - m) without building
// them: the trimmed form of every content line is taken once per call, and only a matching window
// is joined into a candidate. line_trimmed compares a window line by line and drops it at its
// first differing line; trimmed_boundary tests a window in constant time against the occurrences
// of the trimmed search text in the joined content.
#include <string>
#include <string_view>
#include <vector>

#include "core/content_replacer/distinct_windows.hpp"
#include "core/content_replacer/occurrences.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/text.hpp"

namespace brindle::replacer {

namespace {

// The trimmed views of `lines`, in order.
std::vector<std::string_view> trimmed_lines(const std::vector<std::string_view>& lines) {
    std::vector<std::string_view> out;
    out.reserve(lines.size());
    for (std::string_view line : lines) out.push_back(text::trim(line));
    return out;
}

}  // namespace

Candidates simple_replacer(const ContentLines& content, std::string_view old_string) {
    if (!text::contains(content.text, old_string)) return {};
    return {std::string(old_string)};
}

Candidates line_trimmed_replacer(const ContentLines& content, std::string_view old_string) {
    std::vector<std::string_view> search = text::split_lines(old_string);
    // One empty last line (not a line of blanks) is dropped.
    if (!search.empty() && search.back().empty()) search.pop_back();
    const std::size_t m = search.size();
    const std::size_t n = content.lines.size();
    if (m == 0 || n < m) return {};
    for (std::string_view& line : search) line = text::trim(line);
    const std::vector<std::string_view> trimmed = trimmed_lines(content.lines);

    Candidates out;
    for (std::size_t i = 0; i + m <= n; ++i) {
        std::size_t j = 0;
        while (j < m && trimmed[i + j] == search[j]) ++j;
        if (j == m) out.push_back(text::join_lines(content.lines, i, m));
    }
    return out;
}

Candidates trimmed_boundary_replacer(const ContentLines& content, std::string_view old_string) {
    const std::string_view t = text::trim(old_string);
    if (t.size() == old_string.size()) return {};

    Candidates out;
    if (text::contains(content.text, t)) out.emplace_back(t);

    const std::size_t m = text::count_lines(old_string);
    const std::vector<std::string_view>& lines = content.lines;
    const std::size_t n = lines.size();
    if (m == 0 || n < m) return out;

    // A window joined with LF and trimmed is: the first non-blank line without its leading
    // whitespace, the lines up to the last non-blank one, and that one without its trailing
    // whitespace; blank lines at either end vanish with the LFs around them. That is one stretch
    // of the whole content joined with LF, so a window matches when its stretch has the length of
    // t and t occurs at the stretch's start (marked once for the whole text, Knuth-Morris-Pratt).
    // Only matching windows are built, and a repeated one is recognised by its hash before that.
    const std::vector<std::string_view> trimmed = trimmed_lines(lines);
    std::vector<std::size_t> next_non_blank(n + 1, n);  // first non-blank line at or after k
    for (std::size_t k = n; k-- > 0;) {
        next_non_blank[k] = trimmed[k].empty() ? next_non_blank[k + 1] : k;
    }
    std::vector<std::size_t> last_non_blank(n, n);  // last non-blank line at or before k (n: none)
    for (std::size_t k = 0; k < n; ++k) {
        last_non_blank[k] = !trimmed[k].empty() ? k : (k > 0 ? last_non_blank[k - 1] : n);
    }
    std::vector<std::size_t> line_start(n);  // where line k begins in the joined content
    for (std::size_t k = 0, at = 0; k < n; ++k) {
        line_start[k] = at;
        at += lines[k].size() + 1;
    }
    // Offsets of a non-blank line's trimmed text in the joined content.
    auto trimmed_begin = [&](std::size_t k) {
        return line_start[k] + static_cast<std::size_t>(trimmed[k].data() - lines[k].data());
    };
    const std::vector<bool> t_at = occurrence_starts(text::join_lines(lines, 0, n), t);

    DistinctWindows windows(lines);
    if (!out.empty()) windows.remember(t);  // t itself is already in the list
    for (std::size_t i = 0; i + m <= n; ++i) {
        const std::size_t last = i + m - 1;
        const std::size_t f = next_non_blank[i];
        bool matches;
        if (f > last) {
            matches = t.empty();
        } else {
            const std::size_t l = last_non_blank[last];
            const std::size_t begin = trimmed_begin(f);
            const std::size_t end = trimmed_begin(l) + trimmed[l].size();
            matches = end - begin == t.size() && t_at[begin];
        }
        if (!matches) continue;
        if (const auto block = windows.first_time(i, m)) out.emplace_back(*block);
    }
    return out;
}

}  // namespace brindle::replacer
