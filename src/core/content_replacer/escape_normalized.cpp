// The "escape_normalized" strategy and unescape_string: backslash escapes (\n, \t, \r, \', \",
// \`, \$, \\) are resolved before texts are compared, so that a search text written with escapes
// finds the characters they stand for, and a content holding escapes is found by a search text
// holding the characters.
//
// Design. unescape_string is defined as eight passes over the text, one per sequence in the order
// above, each replacing its sequence from left to right. It is computed here in one pass over the
// runs of backslashes, which gives the same text:
//   - the passes for \n .. \$ only ever pair the last backslash of a run with the character that
//     follows the run (their second character is never a backslash), and they never remove a
//     character other than a backslash, so runs never merge;
//   - the final \\ pass then halves each remaining run, rounding up.
// So a run of k backslashes followed by one of n t r ' " ` $ becomes ceil((k - 1) / 2) backslashes
// and that character's meaning; any other run becomes ceil(k / 2) backslashes:
//
//     \\n  ->  \ + LF        \\\\  ->  \\        \x  ->  \x
//
// No sequence pairs a backslash with a line feed, so a line break between two lines is never part
// of a sequence, and resolving a block of lines joined by LF equals resolving each line and
// joining the results by LF. The strategy resolves every content line once, lays the resolved
// lines out as one text joined by LF (streamed, not stored), and marks where the target occurs in
// it (Knuth-Morris-Pratt, linear); a window then matches when its stretch of that text has the
// target's length and the target occurs at its start, an O(1) test.
//
// Most searches fail at the first characters of a window, so that laid-out text is computed only when
// it pays: each window is first resolved piece by piece into a comparison with the target that
// stops at the first difference, and only when those comparisons have read about the content's
// size does the strategy start again with the laid-out text (so a search that pays for the
// laid-out text costs at most about twice what it costs). Both give the same
// windows. Matching windows become candidates as windows, each distinct text once
// (DistinctWindows).
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/cancel.hpp"
#include "core/content_replacer/distinct_windows.hpp"
#include "core/content_replacer/occurrences.hpp"
#include "core/content_replacer/prefix_check.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/content_replacer/window_scans.hpp"
#include "core/text.hpp"

namespace brindle::replacer {

namespace {

// The character that "backslash, c" stands for, for the seven escapes other than the double
// backslash; 0 for any other c.
char escaped_meaning(char c) {
    switch (c) {
        case 'n':
            return '\n';
        case 't':
            return '\t';
        case 'r':
            return '\r';
        case '\'':
        case '"':
        case '`':
        case '$':
            return c;
        default:
            return 0;
    }
}

// Feeds the resolved form of `s` piece by piece to `sink`, which returns false to stop early.
// Returns false when the sink stopped.
template <class Sink>
bool emit_unescaped(std::string_view s, Sink&& sink) {
    static constexpr std::string_view kBackslashes = "\\\\\\\\\\\\\\\\";  // 8
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t plain_end = s.find('\\', pos);
        if (plain_end == std::string_view::npos) plain_end = s.size();
        if (plain_end > pos) {
            if (!sink(s.substr(pos, plain_end - pos))) return false;
            pos = plain_end;
            continue;
        }
        std::size_t run_end = pos;
        while (run_end < s.size() && s[run_end] == '\\') ++run_end;
        std::size_t run = run_end - pos;
        const char meaning = run_end < s.size() ? escaped_meaning(s[run_end]) : 0;
        if (meaning != 0) --run;  // the run's last backslash escapes the next character
        for (std::size_t left = (run + 1) / 2; left > 0;) {
            const std::size_t piece = left < kBackslashes.size() ? left : kBackslashes.size();
            if (!sink(kBackslashes.substr(0, piece))) return false;
            left -= piece;
        }
        if (meaning != 0) {
            if (!sink(std::string_view(&meaning, 1))) return false;
            ++run_end;
        }
        pos = run_end;
    }
    return true;
}

void append_unescaped(std::string_view s, std::string& out) {
    emit_unescaped(s, [&](std::string_view piece) {
        out.append(piece);
        return true;
    });
}

// The content with every line resolved, lines joined by LF, and where each line lies in it.
// The resolved text of a window is then one stretch of this text, and a window matches when the
// stretch has the target's length and the target occurs at its start. The text itself is never
// stored: it is streamed into the target's search, and only where each resolved line ends is
// kept (the next one starts behind its LF).
class UnescapedLines {
public:
    // `text_size`: the byte length of the content the lines are from.
    UnescapedLines(const LazyLines& lines, std::size_t text_size, std::string_view target) {
        end_.reserve(lines.size());
        // The empty target occurs everywhere; otherwise its occurrences are marked as the text
        // streams past.
        target_empty_ = target.empty();
        std::optional<StreamingOccurrences> search;
        if (!target_empty_) {
            // Resolving never lengthens a line, and the lines are joined by one byte where the
            // content has one or two.
            search.emplace(target);
            search->reserve(text_size);
        }
        std::size_t size = 0;
        for (std::size_t k = 0; k < lines.size(); ++k) {
            poll_interrupt();
            if (k > 0) {
                if (search) search->feed("\n");
                ++size;
            }
            emit_unescaped(lines[k], [&](std::string_view piece) {
                if (search) search->feed(piece);
                size += piece.size();
                return true;
            });
            end_.push_back(size);
        }
        target_size_ = target.size();
        if (search) target_at_ = search->take();
    }

    // Whether lines begin..begin+count-1 (count >= 1), resolved and joined with LF, equal the
    // target.
    bool window_matches(std::size_t begin, std::size_t count) const {
        const std::size_t start = begin > 0 ? end_[begin - 1] + 1 : 0;
        return end_[begin + count - 1] - start == target_size_ && (target_empty_ || target_at_[start]);
    }

private:
    IndexTable end_;  // resolved line k ends at end_[k] of the laid-out text
    bool target_empty_ = false;
    std::size_t target_size_ = 0;
    std::vector<bool> target_at_;  // where the target occurs in the laid-out text
};

}  // namespace

std::string unescape_string(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_unescaped(text, out);
    return out;
}

Candidates escape_normalized_replacer_with_budget(const ContentLines& content,
                                                  std::string_view old_string,
                                                  std::optional<std::size_t> budget_bytes) {
    const std::string target = unescape_string(old_string);
    Candidates found;
    const std::size_t target_at = text::find(content.text, target);
    if (target_at != std::string_view::npos) {
        found.add_owned(target);
        found.set_search_from(0, target_at);
    }

    const LazyLines& lines = content.lines;
    const std::size_t n = lines.size();
    const std::size_t m = text::count_lines(target);
    if (m == 0 || n < m) return found;

    // Windows resolved one by one while that stays cheap.
    std::size_t budget = budget_bytes ? *budget_bytes : content.text.size() + 16 * n + 4096;
    bool over_budget = false;
    {
        DistinctWindows windows(content);
        if (target_at != std::string_view::npos) windows.remember(target);
        for (std::size_t i = 0; i + m <= n && !over_budget; ++i) {
            poll_interrupt();
            PrefixCheck check(target);
            bool alive = true;
            for (std::size_t k = i; k < i + m && alive; ++k) {
                // Charged in full: the comparison may stop anywhere in the line.
                const std::string_view line = lines[k];
                if (budget < line.size() + 1) {
                    over_budget = true;
                    break;
                }
                budget -= line.size() + 1;
                alive = (k == i || check("\n")) && emit_unescaped(line, check);
            }
            if (!over_budget && alive && check.complete() && windows.first_time(i, m)) {
                found.add_window(content, i, m);
            }
        }
    }
    if (!over_budget) return found;

    Candidates again;
    if (target_at != std::string_view::npos) {
        again.add_owned(target);
        again.set_search_from(0, target_at);
    }
    const UnescapedLines unescaped(lines, content.text.size(), target);
    DistinctWindows windows(content);
    if (target_at != std::string_view::npos) windows.remember(target);
    for (std::size_t i = 0; i + m <= n; ++i) {
        poll_interrupt();
        if (!unescaped.window_matches(i, m)) continue;
        if (windows.first_time(i, m)) again.add_window(content, i, m);
    }
    return again;
}

Candidates escape_normalized_replacer(const ContentLines& content, std::string_view old_string) {
    return escape_normalized_replacer_with_budget(content, old_string, std::nullopt);
}

}  // namespace brindle::replacer
