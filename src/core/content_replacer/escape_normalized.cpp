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
// joining the results by LF. The strategy resolves every content line once and checks a window by
// its resolved length (prefix sums) and then line by line, stopping at the first difference.
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/content_replacer/strategies.hpp"
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

void append_unescaped(std::string_view s, std::string& out) {
    std::size_t pos = 0;
    while (pos < s.size()) {
        if (s[pos] != '\\') {
            out.push_back(s[pos++]);
            continue;
        }
        std::size_t run_end = pos;
        while (run_end < s.size() && s[run_end] == '\\') ++run_end;
        std::size_t run = run_end - pos;
        const char meaning = run_end < s.size() ? escaped_meaning(s[run_end]) : 0;
        if (meaning != 0) --run;  // the run's last backslash escapes the next character
        out.append((run + 1) / 2, '\\');
        if (meaning != 0) {
            out.push_back(meaning);
            ++run_end;
        }
        pos = run_end;
    }
}

// Every content line resolved, back to back, with prefix sums of the resolved lengths.
class UnescapedLines {
public:
    explicit UnescapedLines(const std::vector<std::string_view>& lines) {
        offsets_.reserve(lines.size() + 1);
        for (std::string_view line : lines) {
            offsets_.push_back(buffer_.size());
            append_unescaped(line, buffer_);
        }
        offsets_.push_back(buffer_.size());
    }

    std::string_view line(std::size_t k) const {
        return std::string_view(buffer_).substr(offsets_[k], offsets_[k + 1] - offsets_[k]);
    }

    // Whether lines begin..begin+count-1 (count >= 1), resolved and joined with LF, equal `expected`.
    bool window_equals(std::size_t begin, std::size_t count, std::string_view expected) const {
        const std::size_t length = offsets_[begin + count] - offsets_[begin] + (count - 1);
        if (length != expected.size()) return false;
        std::size_t pos = 0;
        for (std::size_t k = begin; k < begin + count; ++k) {
            if (k > begin) {
                if (expected[pos] != '\n') return false;
                ++pos;
            }
            const std::string_view part = line(k);
            if (expected.compare(pos, part.size(), part) != 0) return false;
            pos += part.size();
        }
        return true;
    }

private:
    std::string buffer_;
    std::vector<std::size_t> offsets_;  // line k is buffer_[offsets_[k], offsets_[k + 1])
};

}  // namespace

std::string unescape_string(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_unescaped(text, out);
    return out;
}

Candidates escape_normalized_replacer(const ContentLines& content, std::string_view old_string) {
    const std::string target = unescape_string(old_string);
    Candidates found;
    std::unordered_set<std::string> seen;
    if (text::contains(content.text, target)) {
        found.push_back(target);
        seen.insert(target);
    }

    const std::vector<std::string_view>& lines = content.lines;
    const std::size_t n = lines.size();
    const std::size_t m = text::count_lines(target);
    if (m == 0 || n < m) return found;

    const UnescapedLines unescaped(lines);
    for (std::size_t i = 0; i + m <= n; ++i) {
        if (!unescaped.window_equals(i, m, target)) continue;
        std::string block = text::join_lines(lines, i, m);
        if (seen.insert(block).second) found.push_back(std::move(block));
    }
    return found;
}

}  // namespace brindle::replacer
