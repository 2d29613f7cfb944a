// The "whitespace_normalized" strategy and normalize_whitespace: texts are compared after every
// run of whitespace (line breaks included) has become one space, whitespace at the ends has gone,
// and no space is left next to the punctuation characters ":;,()[]{}".
//
// Design. The normal form of a text is its words (maximal runs of non-whitespace) in order, with
// one space between two neighbouring words unless the last character of the first or the first
// character of the second is one of the nine punctuation characters:
//
//     'x = { y : 1 }'  ->  words x = { y : 1 }  ->  'x ={y:1}'
//
// (Collapsing the whitespace first leaves single spaces between words, and dropping the spaces
// next to each punctuation character in turn never changes what stands beside another space, so
// the two steps come down to this one rule, applied in a single pass.)
//
// A line break is whitespace, so no word spans two lines, and the normal form of a block of lines
// is the normal forms of its non-blank lines, in order, each pair joined by a space under the same
// rule applied to their facing characters. The strategy therefore normalises every content line
// once, lays the forms out as one text with those joining spaces (streamed into the search, not
// stored), and marks where the searched normal form occurs in it (Knuth-Morris-Pratt, linear). A
// window's normal form is one stretch of that text, so testing a window is O(1): the stretch's
// length, and an occurrence at its start.
//
// Most searches fail at the first word of a window, so the laid-out text is computed only when it
// pays: each window's normal form is first streamed into a comparison with the target that stops
// at the first difference, and only when those comparisons have read about the content's size
// (many windows sharing a long prefix of the target) does the strategy start again with the
// laid-out text, so that such a search costs at most about twice the laid-out text's price. Both give
// the same windows. Matching windows become candidates as windows, each distinct text once
// (DistinctWindows). The whole-content check streams the normal form of the content into a comparison
// that stops at the first difference, without building it.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/cancel.hpp"
#include "core/content_replacer/distinct_windows.hpp"
#include "core/content_replacer/occurrences.hpp"
#include "core/content_replacer/prefix_check.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/content_replacer/window_scans.hpp"
#include "core/text.hpp"
#include "core/unicode.hpp"
#include "core/utf8.hpp"

namespace brindle::replacer {

namespace {

// The characters next to which no space is kept.
bool is_tight_punctuation(char c) {
    switch (c) {
        case ':':
        case ';':
        case ',':
        case '(':
        case ')':
        case '[':
        case ']':
        case '{':
        case '}':
            return true;
        default:
            return false;
    }
}

// Whether the character at `pos` is White_Space; sets `next` to the position behind it.
bool white_space_at(std::string_view s, std::size_t pos, std::size_t& next) {
    const auto b = static_cast<unsigned char>(s[pos]);
    if (b < 0x80) {
        next = pos + 1;
        return unicode::is_white_space(b);
    }
    next = pos;
    return unicode::is_white_space(utf8::decode_at(s, next));
}

// The next word of `s` at or after `pos` (empty when only whitespace is left); moves `pos` past it.
std::string_view next_word(std::string_view s, std::size_t& pos) {
    std::size_t next = pos;
    while (pos < s.size() && white_space_at(s, pos, next)) pos = next;
    const std::size_t begin = pos;
    while (pos < s.size() && !white_space_at(s, pos, next)) pos = next;
    return s.substr(begin, pos - begin);
}

// Whether two neighbouring words (or normal forms) are joined by a space.
bool spaced(char left_last, char right_first) {
    return !is_tight_punctuation(left_last) && !is_tight_punctuation(right_first);
}

// Feeds the normal form of `texts` joined with whitespace (a window's lines, or one text) piece by
// piece to `sink`, which returns false to stop early. Returns false when the sink stopped.
// `visit` is told of each text before it is read and may stop the walk too.
template <class Texts, class Sink, class Visit>
bool emit_normal_form(const Texts& texts, Sink&& sink, Visit&& visit) {
    char previous_last = 0;
    bool any = false;
    for (std::string_view text : texts) {
        if (!visit(text)) return false;
        std::size_t pos = 0;
        for (;;) {
            const std::string_view word = next_word(text, pos);
            if (word.empty()) break;
            if (any && spaced(previous_last, word.front()) && !sink(std::string_view(" "))) {
                return false;
            }
            if (!sink(word)) return false;
            previous_last = word.back();
            any = true;
        }
    }
    return true;
}

template <class Sink>
bool emit_normal_form(std::string_view text, Sink&& sink) {
    return emit_normal_form(std::span<const std::string_view>(&text, 1), sink,
                            [](std::string_view) { return true; });
}

bool normal_form_equals(std::string_view text, std::string_view expected) {
    PrefixCheck check(expected);
    return emit_normal_form(text, check) && check.complete();
}

// The normal form of the whole content laid out line by line: each non-blank line's form, preceded
// by the space that joins it to the previous non-blank line's form when the rule asks for one.
// The normal form of a window with a non-blank line is then the stretch of this text from its
// first non-blank line's form to its last one's, and a window matches when that stretch has the
// target's length and the target occurs at its start. The text itself is never stored: it is
// streamed into the target's search, and only where each line's form ends (and whether a space
// precedes it) is kept.
class LineForms {
public:
    // `text_size`: the byte length of the content the lines are from.
    LineForms(const LazyLines& lines, std::size_t text_size, std::string_view target) {
        const std::size_t n = lines.size();
        end_.reserve(n);
        spaced_.reserve(n);
        target_empty_ = target.empty();
        target_size_ = target.size();
        // An empty target matches no window with a non-blank line, whose form is not empty.
        std::optional<StreamingOccurrences> search;
        if (!target_empty_) {
            // The forms and the joining spaces take no more bytes than the lines and their breaks.
            search.emplace(target);
            search->reserve(text_size);
        }
        std::size_t size = 0;  // of the text laid out so far
        char previous_last = 0;
        bool any = false;
        for (std::size_t k = 0; k < n; ++k) {
            poll_interrupt();
            bool first_piece = true;
            bool joined = false;
            emit_normal_form(lines[k], [&](std::string_view piece) {
                if (first_piece) {
                    joined = any && spaced(previous_last, piece.front());
                    if (joined) {
                        if (search) search->feed(" ");
                        ++size;
                    }
                    first_piece = false;
                }
                if (search) search->feed(piece);
                size += piece.size();
                previous_last = piece.back();
                return true;
            });
            if (!first_piece) any = true;
            end_.push_back(size);
            spaced_.push_back(joined);
        }
        if (search) target_at_ = search->take();
    }

    // Whether the normal form of lines begin..begin+count-1 joined with LF equals the target.
    // Windows must be asked about in ascending order of `begin`, with one `count`: the first and
    // the last non-blank line of the window are followed by two cursors that only move down.
    bool window_matches(std::size_t begin, std::size_t count) {
        const std::size_t n = end_.size();
        if (first_ < begin) first_ = begin;
        while (first_ < n && blank(first_)) ++first_;
        const std::size_t first = first_ < n ? first_ : n;
        if (first >= begin + count) return target_empty_;  // only blank lines
        if (target_empty_) return false;
        // The last non-blank line below begin + count: at least `first`, so it lies inside.
        for (; scanned_ < begin + count; ++scanned_) {
            if (!blank(scanned_)) last_ = scanned_;
        }
        const std::size_t last = last_;
        const std::size_t form_begin = form_start(first);
        return end_[last] - form_begin == target_size_ && target_at_[form_begin];
    }

private:
    // Where line k's form starts: behind the previous line's form and the joining space.
    std::size_t form_start(std::size_t k) const {
        return (k > 0 ? end_[k - 1] : 0) + (spaced_[k] ? 1 : 0);
    }
    // A blank line's form is empty, and no space precedes it.
    bool blank(std::size_t k) const { return end_[k] == (k > 0 ? end_[k - 1] : 0); }

    IndexTable end_;            // the form of line k ends at end_[k] of the laid-out text
    std::vector<bool> spaced_;  // whether a joining space precedes the form of line k
    std::size_t first_ = 0;     // the first non-blank line at or below the window's start, or n
    std::size_t scanned_ = 0;   // lines below this one have been looked at for `last_`
    std::size_t last_ = 0;      // the last non-blank line below scanned_
    bool target_empty_ = false;
    std::size_t target_size_ = 0;
    std::vector<bool> target_at_;  // where the target occurs in the laid-out text
};

}  // namespace

std::string normalize_whitespace(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    emit_normal_form(text, [&](std::string_view piece) {
        out.append(piece);
        return true;
    });
    return out;
}

Candidates whitespace_normalized_replacer_with_budget(const ContentLines& content,
                                                      std::string_view old_string,
                                                      std::optional<std::size_t> budget_bytes) {
    const std::string target = normalize_whitespace(old_string);
    Candidates found;
    if (normal_form_equals(content.text, target)) {
        found.add_view(content.text);
        return found;
    }

    const LazyLines& lines = content.lines;
    const std::size_t n = lines.size();
    const std::size_t f = text::count_lines(old_string);

    if (f < 2 || n < f) {
        // Single lines; they are views into the content, so the set can hold views.
        std::unordered_set<std::string_view> seen;
        for (std::string_view line : lines) {
            poll_interrupt();
            if (normal_form_equals(line, target) && seen.insert(line).second) found.add_view(line);
        }
        return found;
    }

    // Windows streamed one by one while that stays cheap.
    std::size_t budget = budget_bytes ? *budget_bytes : content.text.size() + 16 * n + 4096;
    bool over_budget = false;
    {
        DistinctWindows windows(content);
        for (std::size_t i = 0; i + f <= n && !over_budget; ++i) {
            poll_interrupt();
            PrefixCheck check(target);
            const bool alive = emit_normal_form(
                lines.range(i, f), [&](std::string_view piece) { return check(piece); },
                [&](std::string_view line) {
                    // Charged in full: the comparison may stop anywhere in it.
                    if (budget < line.size() + 1) {
                        over_budget = true;
                        return false;
                    }
                    budget -= line.size() + 1;
                    return true;
                });
            if (alive && check.complete() && windows.first_time(i, f)) {
                found.add_window(content, i, f);
            }
        }
    }
    if (!over_budget) return found;

    found = Candidates();
    LineForms forms(lines, content.text.size(), target);
    DistinctWindows windows(content);
    for (std::size_t i = 0; i + f <= n; ++i) {
        poll_interrupt();
        if (!forms.window_matches(i, f)) continue;
        if (windows.first_time(i, f)) found.add_window(content, i, f);
    }
    return found;
}

Candidates whitespace_normalized_replacer(const ContentLines& content, std::string_view old_string) {
    return whitespace_normalized_replacer_with_budget(content, old_string, std::nullopt);
}

}  // namespace brindle::replacer
