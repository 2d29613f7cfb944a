// The three least tolerant strategies: the exact text ("simple"), the same lines compared trimmed
// ("line_trimmed") and the text without the whitespace around it as a whole ("trimmed_boundary").
//
// simple searches the content once and hands the driver the position it found, so an exact hit
// costs one search and no line splitting.
//
// line_trimmed: a window matches when its trimmed lines are the trimmed search lines. Windows are
// first compared line by line, each stopping at its first differing line, which is all most
// searches need. When those comparisons add up to more than a few lines per content line (long
// runs of equal lines), the search starts again on the sequence of the content's trimmed-line ids
// (ContentLines): a search line whose trimmed text no content line has ends it at once, otherwise
// one Knuth-Morris-Pratt pass over the ids marks every matching window, whatever their number and
// overlap. Candidates are the windows themselves, not copies of their text.
//
// trimmed_boundary tests a window in constant time against the occurrences of the trimmed search
// text in the joined content (see below), after a necessary condition on its first and last
// lines.
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/cancel.hpp"
#include "core/content_replacer/distinct_windows.hpp"
#include "core/content_replacer/occurrences.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/content_replacer/window_scans.hpp"
#include "core/text.hpp"

namespace brindle::replacer {

Candidates simple_replacer(const ContentLines& content, std::string_view old_string) {
    const std::size_t at = text::find(content.text, old_string);
    Candidates out;
    if (at == std::string_view::npos) return out;
    out.add_view(old_string);
    out.set_search_from(0, at);
    return out;
}

Candidates line_trimmed_replacer_with_budget(const ContentLines& content, std::string_view old_string,
                                             std::optional<std::size_t> budget_lines) {
    std::vector<std::string_view> search = text::split_lines(old_string);
    // One empty last line (not a line of blanks) is dropped.
    if (!search.empty() && search.back().empty()) search.pop_back();
    const std::size_t m = search.size();
    const LazyLines& lines = content.lines;
    const std::size_t n = lines.size();
    if (m == 0 || n < m) return {};
    for (std::string_view& line : search) line = text::trim(line);

    // Window by window while that stays cheap: most windows differ at their first line.
    Candidates out;
    std::size_t budget = budget_lines ? *budget_lines : 4 * n + 64;
    bool over_budget = false;
    for (std::size_t i = 0; i + m <= n && !over_budget; ++i) {
        if (budget == 0) {
            over_budget = true;
            break;
        }
        std::size_t j = 0;
        while (j < m && text::trim(lines[i + j]) == search[j]) ++j;
        if (j == m) out.add_window(content, i, m);
        over_budget = budget < j + 1;
        budget -= over_budget ? 0 : j + 1;
        poll_interrupt();
    }
    if (!over_budget) return out;

    // Many long partial matches: all windows at once, by the trimmed-line ids.
    std::vector<std::uint32_t> wanted;
    wanted.reserve(m);
    for (std::string_view line : search) {
        wanted.push_back(content.id_of_trimmed(line));
        if (wanted.back() == ContentLines::kAbsent) return {};
    }
    const std::vector<bool> at = occurrence_starts(std::span(content.trimmed_ids()), std::span(wanted));

    out = Candidates();
    std::size_t count = 0;
    for (std::size_t i = 0; i + m <= n; ++i) count += at[i];
    out.reserve_windows(count);
    for (std::size_t i = 0; i + m <= n; ++i) {
        if (at[i]) out.add_window(content, i, m);
    }
    return out;
}

Candidates line_trimmed_replacer(const ContentLines& content, std::string_view old_string) {
    return line_trimmed_replacer_with_budget(content, old_string, std::nullopt);
}

Candidates trimmed_boundary_replacer(const ContentLines& content, std::string_view old_string) {
    const std::string_view t = text::trim(old_string);
    if (t.size() == old_string.size()) return {};

    Candidates out;
    const std::size_t t_at = text::find(content.text, t);
    if (t_at != std::string_view::npos) {
        out.add_view(t);
        out.set_search_from(0, t_at);
    }

    const std::size_t m = text::count_lines(old_string);
    const LazyLines& lines = content.lines;
    const std::size_t n = lines.size();
    if (m == 0 || n < m) return out;

    // A window joined with LF and trimmed is: the first non-blank line without its leading
    // whitespace, the lines up to the last non-blank one, and that one without its trailing
    // whitespace; blank lines at either end vanish with the LFs around them. So the first and
    // the last non-blank line of a matching window, trimmed, are the first and the last
    // LF-separated piece of t, trimmed (for an empty t: a blank line); without such content
    // lines nothing matches.
    const std::size_t first_lf = t.find('\n');
    const std::string_view t_first = t.substr(0, first_lf);
    const std::string_view t_last =
        t.substr(first_lf == std::string_view::npos ? 0 : t.rfind('\n') + 1);
    const std::uint32_t first_id = content.id_of_trimmed(text::trim(t_first));
    const std::uint32_t last_id = content.id_of_trimmed(text::trim(t_last));
    if (first_id == ContentLines::kAbsent || last_id == ContentLines::kAbsent) return out;

    // The trimmed window is one stretch of the whole content joined with LF, so a window matches
    // when its stretch has the length of t and t occurs at the stretch's start (marked once for
    // the whole text, Knuth-Morris-Pratt). Without CR LF line ends the joined content is the
    // content itself. Only matching windows become candidates, each distinct text once.
    const std::uint32_t blank = content.id_of_trimmed("");
    const std::vector<std::uint32_t>& ids = content.trimmed_ids();
    // Windows are visited in ascending order, so the first non-blank line at or after a window's
    // start and the last one at or before its end are followed by two cursors that only move
    // down.
    std::size_t next_non_blank = 0;  // first non-blank line at or after the window's start (or n)
    std::size_t scanned = 0;         // lines below this one have been looked at for last_non_blank
    std::size_t last_non_blank = n;  // last non-blank line below `scanned` (n: none)
    const bool crlf = content.text.find("\r\n") != std::string_view::npos;
    auto start_of = [&](std::size_t k) { return content.joined_offset(k); };
    // Offsets of a non-blank line's trimmed text in the joined content.
    auto trimmed_of = [&](std::size_t k) { return text::trim(lines[k]); };
    auto trimmed_begin = [&](std::size_t k, std::string_view trimmed) {
        return start_of(k) + static_cast<std::size_t>(trimmed.data() - lines[k].data());
    };
    const std::vector<bool> t_marks =
        crlf ? occurrence_starts_in_lines(lines, t) : occurrence_starts(content.text, t);

    DistinctWindows windows(content);
    if (!out.empty()) windows.remember(t);  // t itself is already in the list
    for (std::size_t i = 0; i + m <= n; ++i) {
        poll_interrupt();
        const std::size_t last = i + m - 1;
        if (next_non_blank < i) next_non_blank = i;
        while (next_non_blank < n && ids[next_non_blank] == blank) ++next_non_blank;
        for (; scanned <= last; ++scanned) {
            if (ids[scanned] != blank) last_non_blank = scanned;
        }
        const std::size_t f = next_non_blank;
        bool matches;
        if (f > last) {
            matches = t.empty();
        } else if (ids[f] != first_id || ids[last_non_blank] != last_id) {
            matches = false;
        } else {
            const std::size_t l = last_non_blank;
            const std::size_t begin = trimmed_begin(f, trimmed_of(f));
            const std::string_view tl = trimmed_of(l);
            const std::size_t end = trimmed_begin(l, tl) + tl.size();
            matches = end - begin == t.size() && t_marks[begin];
        }
        if (matches && windows.first_time(i, m)) out.add_window(content, i, m);
    }
    return out;
}

}  // namespace brindle::replacer
