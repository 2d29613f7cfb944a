// The three least tolerant strategies: the exact text ("simple"), the same lines compared trimmed
// ("line_trimmed") and the text without the whitespace around it as a whole ("trimmed_boundary").
//
// Both line-based strategies compare windows of m content lines (i = 0 .. n - m) without building
// them: the trimmed form of every content line is taken once per call, a window is compared line
// by line and dropped at its first differing line, and only a matching window is joined into a
// candidate.
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

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

// Consumes `piece` from the front of `rest` when `rest` starts with it.
bool eat(std::string_view& rest, std::string_view piece) {
    if (rest.substr(0, piece.size()) != piece) return false;
    rest.remove_prefix(piece.size());
    return true;
}

// `line` without its trailing White_Space; `trimmed` is text::trim(line) and not empty, so it
// ends where the trailing whitespace begins.
std::string_view trim_end_of(std::string_view line, std::string_view trimmed) {
    const auto end = static_cast<std::size_t>(trimmed.data() - line.data()) + trimmed.size();
    return line.substr(0, end);
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
    std::unordered_set<std::string> seen;
    if (text::contains(content.text, t)) {
        out.emplace_back(t);
        seen.emplace(t);
    }

    const std::size_t m = text::count_lines(old_string);
    const std::vector<std::string_view>& lines = content.lines;
    const std::size_t n = lines.size();
    if (m == 0 || n < m) return out;

    // A window joined with LF and trimmed is: the first non-blank line without its leading
    // whitespace, the lines up to the last non-blank one, and that one without its trailing
    // whitespace; blank lines at either end vanish with the LFs around them. It is compared with
    // t piece by piece, so that only matching windows are joined.
    const std::vector<std::string_view> trimmed = trimmed_lines(lines);
    std::vector<std::size_t> next_non_blank(n + 1, n);  // first non-blank line at or after k
    for (std::size_t k = n; k-- > 0;) {
        next_non_blank[k] = trimmed[k].empty() ? next_non_blank[k + 1] : k;
    }
    std::vector<std::size_t> last_non_blank(n, n);  // last non-blank line at or before k (n: none)
    for (std::size_t k = 0; k < n; ++k) {
        last_non_blank[k] = !trimmed[k].empty() ? k : (k > 0 ? last_non_blank[k - 1] : n);
    }

    for (std::size_t i = 0; i + m <= n; ++i) {
        const std::size_t last = i + m - 1;
        const std::size_t f = next_non_blank[i];
        bool matches;
        if (f > last) {
            matches = t.empty();
        } else {
            const std::size_t l = last_non_blank[last];
            std::string_view rest = t;
            if (f == l) {
                matches = eat(rest, trimmed[f]);
            } else {
                const auto head_offset = static_cast<std::size_t>(trimmed[f].data() - lines[f].data());
                matches = eat(rest, lines[f].substr(head_offset));
                for (std::size_t k = f + 1; matches && k < l; ++k) {
                    matches = eat(rest, "\n") && eat(rest, lines[k]);
                }
                matches = matches && eat(rest, "\n") && eat(rest, trim_end_of(lines[l], trimmed[l]));
            }
            matches = matches && rest.empty();
        }
        if (!matches) continue;
        std::string block = text::join_lines(lines, i, m);
        if (seen.insert(block).second) out.push_back(std::move(block));
    }
    return out;
}

}  // namespace brindle::replacer
