// The "indentation_flexible" strategy and remove_common_indentation: blocks of lines are compared
// after the indentation that all their non-blank lines share has been removed, so a block given
// with a different overall indentation is found while its relative indentation must agree.
//
// Design. Indentation is counted in bytes of leading White_Space (a tab, a space: one byte;
// U+3000: three), and the common indentation of a text is the smallest indentation of its
// non-blank lines; blank lines are kept as they are:
//
//     '    a'      'a'
//     '      b' -> '  b'
//     '    c'      'c'
//
// When the common indentation ends inside a multi-byte whitespace character of some line (one line
// indented by U+3000, another by a space and U+3000), the indentation cannot be removed: such a
// text has no indentation-free form, a window holding it is no candidate, and a search text like
// it finds nothing.
//
// remove_common_indentation re-splits the text it gets. For a window of content lines joined with
// LF that re-split gives back the same lines except that every line but the last loses one
// trailing CR (now standing before an LF) and an empty last line disappears (the block ends in
// LF); neither changes which lines are blank or how far the others are indented. So the strategy
// measures every content line once (blank or not, indentation) and keeps the smallest indentation
// of the window's non-blank lines with a sliding-window minimum: the window's common indentation
// D. A window of blank lines only is compared as it stands, since such a text is returned
// unchanged.
//
// Before that, two necessary conditions are checked for all windows at once by searching key
// sequences (one key per line, Knuth-Morris-Pratt): the trimmed lines must be the searched
// trimmed lines (by the content's trimmed-line ids; a searched line that no content line has ends
// the strategy at once), and the indentation steps between consecutive non-blank lines must be
// the searched ones (see windows_passing_line_keys).
//
// The windows that pass are then compared with the searched form T as sequences of lines, not of
// bytes. T is equal to the window's form exactly when T cut at its LF bytes gives the window's
// lines in their form: line k of a window with common indentation D becomes
//
//     form_D(k) = line k without a final CR, and without its first D bytes unless it is blank
//
// (the window's last line keeps its CR, and an empty last line is dropped; both are looked at
// apart, once per window). form_D(k) depends on the window only through D, so all windows of one
// D are tested at once by a Knuth-Morris-Pratt search of T's pieces (as ids: each distinct piece
// gets a number, and a line whose form is no piece gets none) over the forms of consecutive lines,
// each line's form computed once: a window matches when the search finds T's first pieces ending
// at its last line but one, and its last line is right. The search runs on from one window to the
// next while D stays the same and the window starts within the lines already read; otherwise it
// starts again at the window. A new start without a change of D reads lines of no earlier window;
// a change of D between overlapping windows p lines apart means that both the content's and T's
// indentation grow by the change every p lines (the indentation steps agree in both windows), so
// the m lines read again after such a change are paid for by at least as many bytes of
// indentation. So thousands of overlapping windows of equal lines cost one pass over their lines,
// not a comparison of every window line by line.
//
//     T: 'a\n  b'   lines '  a', '    b', '  a', '    b'   D = 2 for windows 0 and 2:
//     forms_2 'a', '  b', 'a', '  b'  ->  'a' '  b' found at lines 0 and 2
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/cancel.hpp"
#include "core/content_replacer/occurrences.hpp"
#include "core/content_replacer/prefix_check.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/content_replacer/window_scans.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"

namespace brindle::replacer {

namespace {

// Bytes of leading White_Space of a line.
std::size_t indentation_of(std::string_view line) {
    return line.size() - text::trim_start(line).size();
}

// `line` without one trailing CR: what it becomes when an LF follows it and the text is split.
std::string_view without_final_cr(std::string_view line) {
    return !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
}

// What every window needs to know about the content lines, measured once: 4 bytes and a bit per
// line for a content under 4 GiB. Byte counts of a run of lines come from the content's line
// table; lines that end in a CR of their own (not one of a CR LF line break) are rare, and
// counted only when there are some. A line's indentation is measured again when asked for, which
// visits only its leading whitespace.
class IndentedLines {
public:
    explicit IndentedLines(const ContentLines& content) : content_(content), lines_(content.lines) {
        const std::vector<std::uint32_t>& ids = content.trimmed_ids();
        const std::uint32_t blank_id = content.id_of_trimmed("");
        const std::size_t n = lines_.size();
        blank_.reserve(n);
        non_blank_before_.reserve(n + 1);
        non_blank_before_.push_back(0);
        std::size_t non_blank = 0;
        bool any_cr_end = false;
        for (std::size_t k = 0; k < n; ++k) {
            poll_interrupt();
            const std::string_view line = lines_[k];
            const bool blank = ids[k] == blank_id;
            blank_.push_back(blank);
            non_blank += blank ? 0 : 1;
            non_blank_before_.push_back(non_blank);
            any_cr_end = any_cr_end || (!line.empty() && line.back() == '\r');
        }
        if (any_cr_end) {
            cr_end_before_.reserve(n + 1);
            std::size_t cr_ends = 0;
            cr_end_before_.push_back(0);
            for (std::size_t k = 0; k < n; ++k) {
                cr_ends += lines_[k].size() != without_final_cr(lines_[k]).size();
                cr_end_before_.push_back(cr_ends);
            }
        }
    }

    bool blank(std::size_t k) const { return blank_[k]; }
    // Of a non-blank line.
    std::size_t indentation(std::size_t k) const { return indentation_of(lines_[k]); }

    // Whether remove_common_indentation of lines begin..begin+count-1 (count >= 1) joined with
    // LF equals `expected`. `common` is the smallest indentation of their non-blank lines, empty
    // when all of them are blank.
    bool window_equals(std::size_t begin, std::size_t count, std::optional<std::size_t> common,
                       std::string_view expected) const {
        const std::size_t end = begin + count;
        PrefixCheck check(expected);
        if (!common) {
            // Only blank lines: the text is taken unchanged.
            if (content_.window_length(begin, count) != expected.size()) return false;
            for (std::size_t k = begin; k < end; ++k) {
                if ((k > begin && !check("\n")) || !check(lines_[k])) return false;
            }
            return check.complete();
        }
        // The re-split drops an empty last line; every other line but the last loses a final CR.
        const std::size_t kept = lines_[end - 1].empty() ? count - 1 : count;
        const std::size_t last = begin + kept - 1;
        std::size_t length =
            kept == count ? cut_sum(begin, last) + lines_[last].size() : cut_sum(begin, last + 1);
        // Every non-blank line is at least `common` bytes long, so this does not wrap.
        length = length - *common * (non_blank_before_[end] - non_blank_before_[begin]) + (kept - 1);
        if (length != expected.size()) return false;
        for (std::size_t k = begin; k <= last; ++k) {
            std::string_view line = k + 1 < end ? without_final_cr(lines_[k]) : lines_[k];
            if (!blank_[k]) {
                if (!utf8::is_boundary(line, *common)) return false;
                line.remove_prefix(*common);
            }
            if ((k > begin && !check("\n")) || !check(line)) return false;
        }
        return check.complete();
    }

private:
    // Bytes of lines a..b-1, each without a final CR.
    std::size_t cut_sum(std::size_t a, std::size_t b) const {
        if (a == b) return 0;
        const std::size_t raw = content_.window_length(a, b - a) - (b - a - 1);
        return cr_end_before_.empty() ? raw : raw - (cr_end_before_[b] - cr_end_before_[a]);
    }

    const ContentLines& content_;
    const LazyLines& lines_;
    std::vector<bool> blank_;
    IndexTable non_blank_before_;  // non_blank_before_[k]: non-blank lines before line k
    IndexTable cr_end_before_;     // the same for lines ending in CR; empty when there are none
};

// Keys of lines for a necessary condition on matching windows, checked for all windows at once.
// In a matching window every line, trimmed, equals the searched line, trimmed; and every non-blank
// line but the window's first lies as far (in bytes of indentation) from the previous non-blank
// line as the searched line does from its previous non-blank line, since both sides lose the same
// amount of indentation per line. Neither depends on where the window starts except through its
// first non-blank line, so both become searches of key sequences:
//   plain keys   (the trimmed text's id) over the whole window, and
//   shifted keys (the id and the indentation step) over the lines after the first non-blank one.
std::uint64_t shifted_key(std::uint32_t plain_key, std::size_t step) {
    // A step that does not fit 32 bits only weakens the filter.
    return (std::uint64_t{plain_key} << 32) | static_cast<std::uint32_t>(step);
}

// Element i is false when the window of lines i..i+m-1 (m = search line count) cannot match.
// `search_ids` are the trimmed-line ids of the search lines, all present in the content.
std::vector<bool> windows_passing_line_keys(const ContentLines& content, const IndentedLines& measured,
                                            const std::vector<std::string_view>& search_lines,
                                            const std::vector<std::uint32_t>& search_ids) {
    // The shifted key of each line in turn; the step is taken from the previous non-blank line.
    struct ShiftedKeys {
        std::optional<std::size_t> previous;  // indentation of the previous non-blank line
        std::uint64_t next(std::uint32_t plain, bool blank, std::size_t indentation) {
            std::size_t step = 0;
            if (!blank) {
                if (previous) step = indentation - *previous;  // wraps when smaller; compared as is
                previous = indentation;
            }
            return shifted_key(plain, step);
        }
    };
    const std::vector<std::uint32_t>& content_ids = content.trimmed_ids();
    std::vector<bool> passing = occurrence_starts(std::span(content_ids), std::span(search_ids));
    std::size_t first = 0;  // the first non-blank search line
    while (first < search_lines.size() && text::is_blank(search_lines[first])) ++first;
    if (first + 1 < search_lines.size()) {
        std::vector<std::uint64_t> search_shifted;
        search_shifted.reserve(search_lines.size());
        ShiftedKeys search_keys;
        for (std::size_t k = 0; k < search_lines.size(); ++k) {
            search_shifted.push_back(search_keys.next(search_ids[k], text::is_blank(search_lines[k]),
                                                      indentation_of(search_lines[k])));
        }
        const std::span<const std::uint64_t> tail(search_shifted.data() + first + 1,
                                                  search_shifted.size() - first - 1);
        // The content's keys are computed as the search reads them, one per line, never stored.
        ShiftedKeys content_keys;
        const std::vector<bool> tail_at =
            occurrence_starts_of(content_ids.size(), tail, [&](std::size_t k) {
                return content_keys.next(content_ids[k], measured.blank(k), measured.indentation(k));
            });
        for (std::size_t i = 0; i + search_lines.size() <= content_ids.size(); ++i) {
            passing[i] = passing[i] && tail_at[i + first + 1];
        }
    }
    return passing;
}

// Whether passing windows (asked about in ascending order, all of `count` lines) have the searched
// form T: the search of T's pieces over the lines' forms described in the file comment.
class WindowForms {
public:
    WindowForms(const ContentLines& content, const IndentedLines& measured, std::string_view target,
                std::size_t count)
        : lines_(content.lines), measured_(measured), count_(count) {
        // T cut at every LF, an empty piece after a final LF included.
        for (std::size_t start = 0;;) {
            const std::size_t lf = target.find('\n', start);
            pieces_.push_back(target.substr(start, lf == std::string_view::npos ? lf : lf - start));
            if (lf == std::string_view::npos) break;
            start = lf + 1;
        }
        // The window's form has `count` pieces, or one less when its last line is empty.
        if (pieces_.size() != count && pieces_.size() + 1 != count) return;
        possible_ = true;
        ids_.reserve(pieces_.size());
        for (std::size_t j = 0; j < pieces_.size(); ++j) ids_.emplace(pieces_[j], j);
        // The pattern: the ids of the pieces of every line but the window's last.
        for (std::size_t j = 0; j + 1 < count; ++j) pattern_.push_back(ids_.find(pieces_[j])->second);
        border_.assign(pattern_.size(), 0);
        for (std::size_t q = 1, k = 0; q < pattern_.size(); ++q) {
            while (k > 0 && pattern_[q] != pattern_[k]) k = border_[k - 1];
            if (pattern_[q] == pattern_[k]) ++k;
            border_[q] = k;
        }
    }

    // Whether the window of lines begin.. has the form T; `common` is its common indentation,
    // empty when all its lines are blank.
    bool window_matches(std::size_t begin, std::optional<std::size_t> common) {
        if (!possible_) return false;
        const std::size_t last = begin + count_ - 1;
        if (!last_line_matches(last, common)) return false;
        if (pattern_.empty()) return true;
        // Read on from where the search stands, or start it again at this window.
        if (!started_ || common != mode_ || next_ < begin || next_ > last) {
            started_ = true;
            mode_ = common;
            next_ = begin;
            matched_ = 0;
            match_end_ = kNoPiece;
            ++restarts_;
        }
        for (; next_ < last; ++next_) {
            const std::size_t id = form_id(next_);
            while (matched_ > 0 && id != pattern_[matched_]) matched_ = border_[matched_ - 1];
            if (id == pattern_[matched_]) ++matched_;
            if (matched_ == pattern_.size()) {
                match_end_ = next_;
                matched_ = border_[matched_ - 1];
            }
            ++lines_read_;
        }
        return match_end_ == last - 1;
    }

    std::size_t restarts() const { return restarts_; }
    std::size_t lines_read() const { return lines_read_; }

private:
    static constexpr std::size_t kNoPiece = ~std::size_t{0};

    // The id of the piece that line k's form under the current mode is (kNoPiece: none). A line
    // read on the way between windows may be indented less than D; it then matches no window, and
    // whatever id it gets only moves the search along.
    std::size_t form_id(std::size_t k) const {
        std::string_view line = lines_[k];
        if (mode_) {
            line = without_final_cr(line);
            if (!measured_.blank(k)) {
                if (!utf8::is_boundary(line, *mode_)) return kNoPiece;
                line.remove_prefix(*mode_);
            }
        }
        const auto it = ids_.find(line);
        return it == ids_.end() ? kNoPiece : it->second;
    }

    // The last line's own test: it keeps a final CR, and when empty it is dropped from the form
    // (the window then has one piece less), unless every line is blank (the text stands as is).
    bool last_line_matches(std::size_t k, std::optional<std::size_t> common) const {
        std::string_view line = lines_[k];
        if (!common) return pieces_.size() == count_ && line == pieces_.back();
        if (line.empty()) return pieces_.size() + 1 == count_;
        if (pieces_.size() != count_) return false;
        if (!measured_.blank(k)) {
            if (!utf8::is_boundary(line, *common)) return false;
            line.remove_prefix(*common);
        }
        return line == pieces_.back();
    }

    const LazyLines& lines_;
    const IndentedLines& measured_;
    std::size_t count_;
    bool possible_ = false;
    std::vector<std::string_view> pieces_;
    std::unordered_map<std::string_view, std::size_t> ids_;  // the first piece of each text
    std::vector<std::size_t> pattern_;
    std::vector<std::size_t> border_;
    // The search: its mode (the common indentation D, or none for blank windows), the next line
    // to read and the length of the pattern's prefix matched so far.
    bool started_ = false;
    std::optional<std::size_t> mode_;
    std::size_t next_ = 0;
    std::size_t matched_ = 0;
    std::size_t match_end_ = kNoPiece;  // the last line where the whole pattern was found
    std::size_t restarts_ = 0;
    std::size_t lines_read_ = 0;
};

}  // namespace

std::optional<std::string> try_remove_common_indentation(std::string_view text) {
    const std::vector<std::string_view> lines = text::split_lines(text);
    std::optional<std::size_t> common;
    for (std::string_view line : lines) {
        if (text::is_blank(line)) continue;
        const std::size_t indentation = indentation_of(line);
        if (!common || indentation < *common) common = indentation;
    }
    if (!common) return std::string(text);

    std::string out;
    out.reserve(text.size());
    for (std::size_t k = 0; k < lines.size(); ++k) {
        std::string_view line = lines[k];
        if (!text::is_blank(line)) {
            if (!utf8::is_boundary(line, *common)) return std::nullopt;
            line.remove_prefix(*common);
        }
        if (k > 0) out.push_back('\n');
        out.append(line);
    }
    return out;
}

Candidates indentation_flexible_replacer(const ContentLines& content, std::string_view old_string) {
    return indentation_flexible_replacer_with_stats(content, old_string, nullptr);
}

Candidates indentation_flexible_replacer_with_stats(const ContentLines& content,
                                                    std::string_view old_string,
                                                    IndentationFlexibleStats* stats) {
    const LazyLines& lines = content.lines;
    const std::size_t n = lines.size();
    const std::vector<std::string_view> search_lines = text::split_lines(old_string);
    const std::size_t m = search_lines.size();
    if (m == 0 || n < m) return {};
    // Every line of a matching window, trimmed, is the searched line, trimmed: a searched line
    // that no content line has rules out every window at once.
    std::vector<std::uint32_t> search_ids;
    search_ids.reserve(m);
    for (std::string_view line : search_lines) {
        search_ids.push_back(content.id_of_trimmed(text::trim(line)));
        if (search_ids.back() == ContentLines::kAbsent) return {};
    }
    const std::optional<std::string> target = try_remove_common_indentation(old_string);
    if (!target) return {};

    // Few windows with the searched trimmed lines: each is checked by the definition, its text
    // built and its common indentation removed, which costs less than measuring every line.
    {
        const std::vector<bool> same_lines =
            occurrence_starts(std::span(content.trimmed_ids()), std::span(search_ids));
        std::size_t count = 0;
        for (std::size_t i = 0; i + m <= n; ++i) count += same_lines[i];
        if (count * m <= n / 4) {
            if (stats != nullptr) stats->few_windows = true;
            Candidates found;
            for (std::size_t i = 0; i + m <= n; ++i) {
                if (!same_lines[i]) continue;
                poll_interrupt(static_cast<std::int64_t>(m));
                const std::optional<std::string> window =
                    try_remove_common_indentation(content.window_text(i, m));
                if (window && *window == *target) found.add_window(content, i, m);
            }
            return found;
        }
    }

    const IndentedLines measured(content);
    const std::vector<bool> may_match =
        windows_passing_line_keys(content, measured, search_lines, search_ids);
    Candidates found;
    std::size_t passing = 0;
    for (std::size_t i = 0; i + m <= n; ++i) passing += may_match[i];
    if (passing == 0) return found;
    found.reserve_windows(passing);
    WindowForms forms(content, measured, *target, m);
    // Sliding-window minimum of the indentation of the window's non-blank lines: {line,
    // indentation} in ascending order of both, the indentation strictly; the front is the
    // window's minimum.
    std::deque<std::pair<std::size_t, std::size_t>> minima;
    for (std::size_t k = 0; k < n; ++k) {
        poll_interrupt();
        if (!measured.blank(k)) {
            const std::size_t here = measured.indentation(k);
            while (!minima.empty() && minima.back().second >= here) minima.pop_back();
            minima.emplace_back(k, here);
        }
        if (k + 1 < m) continue;
        const std::size_t begin = k + 1 - m;
        while (!minima.empty() && minima.front().first < begin) minima.pop_front();
        if (!may_match[begin]) continue;
        std::optional<std::size_t> common;
        if (!minima.empty()) common = minima.front().second;
        if (forms.window_matches(begin, common)) found.add_window(content, begin, m);
    }
    if (stats != nullptr) stats->restarts = forms.restarts();
    if (stats != nullptr) stats->lines_read = forms.lines_read();
    if (stats != nullptr) stats->windows_checked = passing;
    return found;
}

}  // namespace brindle::replacer
