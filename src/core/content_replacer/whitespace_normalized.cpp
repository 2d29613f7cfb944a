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
// once, and checks a window of lines by
//   1. its normal form's length, from prefix sums over the lines (O(1) per window), then
//   2. a comparison against the searched normal form, line by line, stopping at the first
//      difference,
// and builds a window's text only when it matches. The whole-content check streams the normal
// form of the content into the comparison without building it.
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/content_replacer/prefix_check.hpp"
#include "core/content_replacer/strategies.hpp"
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

// Feeds the normal form of `text` piece by piece to `sink`, which returns false to stop early.
// Returns false when the sink stopped.
template <class Sink>
bool emit_normal_form(std::string_view text, Sink&& sink) {
    std::size_t pos = 0;
    char previous_last = 0;
    bool any = false;
    for (;;) {
        const std::string_view word = next_word(text, pos);
        if (word.empty()) return true;
        if (any && spaced(previous_last, word.front()) && !sink(std::string_view(" "))) return false;
        if (!sink(word)) return false;
        previous_last = word.back();
        any = true;
    }
}

bool normal_form_equals(std::string_view text, std::string_view expected) {
    PrefixCheck check(expected);
    return emit_normal_form(text, check) && check.complete();
}

// The normal forms of all content lines, with what a window needs to know about them in O(1).
class LineForms {
public:
    explicit LineForms(const std::vector<std::string_view>& lines) {
        const std::size_t n = lines.size();
        offsets_.reserve(n + 1);
        offsets_.push_back(0);
        spaced_before_.assign(n, 0);
        first_form_from_.assign(n + 1, n);
        length_sum_.assign(n + 1, 0);
        spaced_sum_.assign(n + 1, 0);
        std::size_t previous = n;  // the last line with a non-empty form so far
        for (std::size_t k = 0; k < n; ++k) {
            emit_normal_form(lines[k], [&](std::string_view piece) {
                buffer_.append(piece);
                return true;
            });
            offsets_.push_back(buffer_.size());
            const std::string_view form = this->form(k);
            if (!form.empty()) {
                if (previous != n && spaced(this->form(previous).back(), form.front())) {
                    spaced_before_[k] = 1;
                }
                previous = k;
            }
            length_sum_[k + 1] = length_sum_[k] + form.size();
            spaced_sum_[k + 1] = spaced_sum_[k] + spaced_before_[k];
        }
        for (std::size_t k = n; k-- > 0;) {
            first_form_from_[k] = offsets_[k + 1] > offsets_[k] ? k : first_form_from_[k + 1];
        }
    }

    std::string_view form(std::size_t k) const {
        return std::string_view(buffer_).substr(offsets_[k], offsets_[k + 1] - offsets_[k]);
    }

    // Length of the normal form of lines begin..begin+count-1 joined with LF.
    std::size_t window_length(std::size_t begin, std::size_t count) const {
        const std::size_t end = begin + count;
        std::size_t length = (length_sum_[end] - length_sum_[begin]) +
                             (spaced_sum_[end] - spaced_sum_[begin]);
        // The window's first non-blank line is not joined to anything before it.
        const std::size_t first = first_form_from_[begin];
        if (first < end) length -= spaced_before_[first];
        return length;
    }

    // Whether the normal form of lines begin..begin+count-1 joined with LF equals `expected`.
    bool window_equals(std::size_t begin, std::size_t count, std::string_view expected) const {
        if (window_length(begin, count) != expected.size()) return false;
        PrefixCheck check(expected);
        bool any = false;
        char previous_last = 0;
        for (std::size_t k = begin; k < begin + count; ++k) {
            const std::string_view form = this->form(k);
            if (form.empty()) continue;
            if (any && spaced(previous_last, form.front()) && !check(" ")) return false;
            if (!check(form)) return false;
            previous_last = form.back();
            any = true;
        }
        return check.complete();
    }

private:
    std::string buffer_;                     // all line forms, back to back
    std::vector<std::size_t> offsets_;       // form k is buffer_[offsets_[k], offsets_[k + 1])
    std::vector<std::size_t> spaced_before_; // 1 when a space joins form k to the previous form
    std::vector<std::size_t> first_form_from_;  // first line >= k with a non-empty form
    std::vector<std::size_t> length_sum_;    // prefix sums of form lengths
    std::vector<std::size_t> spaced_sum_;    // prefix sums of spaced_before_
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

Candidates whitespace_normalized_replacer(const ContentLines& content,
                                          std::string_view old_string) {
    const std::string target = normalize_whitespace(old_string);
    if (normal_form_equals(content.text, target)) return {std::string(content.text)};

    const std::vector<std::string_view>& lines = content.lines;
    const std::size_t n = lines.size();
    const std::size_t f = text::count_lines(old_string);
    Candidates found;

    if (f < 2 || n < f) {
        // Single lines; they are views into the content, so the set can hold views.
        std::unordered_set<std::string_view> seen;
        for (std::string_view line : lines) {
            if (normal_form_equals(line, target) && seen.insert(line).second) {
                found.emplace_back(line);
            }
        }
        return found;
    }

    const LineForms forms(lines);
    std::unordered_set<std::string> seen;
    for (std::size_t i = 0; i + f <= n; ++i) {
        if (!forms.window_equals(i, f, target)) continue;
        std::string block = text::join_lines(lines, i, f);
        if (seen.insert(block).second) found.push_back(std::move(block));
    }
    return found;
}

}  // namespace brindle::replacer
