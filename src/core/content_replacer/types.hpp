// Records and function types shared by the replacement driver, its strategies and diagnostics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/content_replacer/index_table.hpp"

namespace brindle::replacer {

// A successful replacement.
struct ReplaceResult {
    std::string content;         // the whole content after the replacement
    std::string matched_text;    // the candidate as it was found in the old content
    std::uint64_t start_line;    // 1-based line of the first replaced byte
    std::uint64_t end_line;      // start_line plus the LF bytes in matched_text
    std::string strategy;        // table name of the strategy that produced the candidate
    std::uint64_t position = 0;  // byte offset of the (first) replaced text in the old content
};

// The closest near-miss reported when a block cannot be found.
struct FuzzyMatchInfo {
    double similarity;
    std::uint64_t start_line;  // 1-based, first line of the window
    std::uint64_t end_line;    // 1-based, last line of the window (inclusive)
    std::string text;
    std::string diff;
};

struct NoChange {};

struct NotFound {
    std::string message;
    std::optional<FuzzyMatchInfo> closest_match;
    // The message is head + closest_match_piece(*closest_match) (when there is one) + tail:
    // byte offsets where the piece begins and ends (equal without a closest match).
    std::size_t piece_begin = 0;
    std::size_t piece_end = 0;
    // The closest-match search ran out of the work budget it was given: there is no closest
    // match, whether or not one would have been found (see build_not_found_error).
    bool closest_over_budget = false;
};

struct MultipleMatches {
    std::string message;
    std::vector<std::uint64_t> locations;  // 1-based line numbers, ascending
};

using ReplaceError = std::variant<NoChange, NotFound, MultipleMatches>;
using ReplaceOutcome = std::variant<ReplaceResult, ReplaceError>;

// The lines of the content, split on first use: where each line starts in the text (an
// IndexTable, 4 bytes a line for a content under 4 GiB), each line's view recomputed from there on
// access. The rule is text::split_lines': cut after each LF, drop the LF and one CR before it.
class LazyLines {
public:
    explicit LazyLines(std::string_view text, std::uint64_t narrow_max = IndexTable::kNarrowMax)
        : text_(text), starts_(narrow_max) {}

    std::size_t size() const { return starts().size() - 1; }
    bool empty() const { return size() == 0; }
    std::string_view operator[](std::size_t k) const {
        const IndexTable& s = starts();
        const std::size_t begin = s[k];
        std::size_t end = s[k + 1];
        if (end > begin && text_[end - 1] == '\n') {
            --end;
            if (end > begin && text_[end - 1] == '\r') --end;
        }
        return {text_.data() + begin, end - begin};
    }
    // Byte offset of line k in the text; for k == size(), the text's size.
    std::size_t start(std::size_t k) const { return starts()[k]; }
    // Whether the values are held in 64 bits (see IndexTable).
    bool wide() const { return starts().wide(); }

    class Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using reference = std::string_view;
        using pointer = void;
        Iterator() = default;
        Iterator(const LazyLines* lines, std::size_t k) : lines_(lines), k_(k) {}
        std::string_view operator*() const { return (*lines_)[k_]; }
        Iterator& operator++() {
            ++k_;
            return *this;
        }
        Iterator operator++(int) {
            Iterator before = *this;
            ++k_;
            return before;
        }
        bool operator==(const Iterator& other) const { return k_ == other.k_; }

    private:
        const LazyLines* lines_ = nullptr;
        std::size_t k_ = 0;
    };
    Iterator begin() const { return {this, 0}; }
    Iterator end() const { return {this, size()}; }
    // Lines begin..begin+count-1, for a range-based for.
    struct Range {
        Iterator first, last;
        Iterator begin() const { return first; }
        Iterator end() const { return last; }
    };
    Range range(std::size_t begin, std::size_t count) const {
        return {{this, begin}, {this, begin + count}};
    }

private:
    const IndexTable& starts() const {
        if (!built_) build();
        return starts_;
    }
    void build() const;

    std::string_view text_;
    mutable bool built_ = false;
    mutable IndexTable starts_;  // size() + 1 entries
};

// The text being searched, with what the strategies and the diagnostics of one call need to know
// about it, each part computed when it is first asked for and then shared:
//   lines           the lines, as views into `text` (see LazyLines);
//   trimmed ids     one number per line, equal for two lines exactly when their trimmed texts are
//                   equal, so that comparing trimmed lines, and searching a sequence of trimmed
//                   lines, compares numbers;
//   window keys     a hash of the text of any window of lines (lines joined with LF), in O(1),
//                   for telling repeated candidate texts apart without building them;
//   CR LF counts    how many of the lines before each line end in CR LF, only when the content
//                   has a CR LF at all, so that a window's length and whether its text is one
//                   stretch of the content come in O(1).
// Nothing is computed that the call does not use: an exact hit needs none of it.
class ContentLines {
public:
    // The id of a trimmed text that no content line has.
    static constexpr std::uint32_t kAbsent = ~std::uint32_t{0};

    // `narrow_max` bounds the values the per-line tables hold in 32 bits (see IndexTable); tests
    // lower it to reach the 64-bit form.
    explicit ContentLines(std::string_view t, std::uint64_t narrow_max = IndexTable::kNarrowMax);
    ContentLines(const ContentLines&) = delete;
    ContentLines& operator=(const ContentLines&) = delete;

    std::string_view text;
    LazyLines lines;

    // Id of the trimmed text of line k.
    std::uint32_t trimmed_id(std::size_t k) const { return trimmed_ids()[k]; }
    const std::vector<std::uint32_t>& trimmed_ids() const;
    // Id of a trimmed text `trimmed` (kAbsent when no line trims to it).
    std::uint32_t id_of_trimmed(std::string_view trimmed) const;
    // Line k trimmed, computed again (cheap: only its whitespace is visited).
    std::string_view trimmed(std::size_t k) const;

    // Whether lines begin..begin+count-1 (count >= 1) joined with LF form one stretch of `text`
    // (no CR LF line end among them but the last); then that stretch is the window's text.
    bool window_is_contiguous(std::size_t begin, std::size_t count) const;
    // The stretch of `text` from the start of line `begin` to the end of line begin+count-1.
    std::string_view window_span(std::size_t begin, std::size_t count) const;
    // Byte length of the window's text.
    std::size_t window_length(std::size_t begin, std::size_t count) const;
    // Where line k starts in the lines joined with LF.
    std::size_t joined_offset(std::size_t k) const { return lines.start(k) - crlf_breaks(0, k + 1); }
    // The window's text, built.
    std::string window_text(std::size_t begin, std::size_t count) const;
    // Hash of the window's text, equal to text_hash() of that text.
    std::uint64_t window_hash(std::size_t begin, std::size_t count) const;
    // Whether the window's text equals `other`, compared without building it.
    bool window_equals(std::size_t begin, std::size_t count, std::string_view other) const;
    // Whether two windows have the same text.
    bool windows_equal(std::size_t begin_a, std::size_t count_a, std::size_t begin_b,
                       std::size_t count_b) const;

    // The hash that window_hash() gives a window with this text.
    static std::uint64_t text_hash(std::string_view text);

    // A class of windows of `count` lines with one text, represented by its latest member, for
    // telling many windows of one text apart from others when they come in ascending order: see
    // same_text_as.
    struct WindowRun {
        std::size_t last;        // first line of the latest window found to have the text
        std::size_t count;       // line count of the windows
        std::size_t period = 0;  // when not 0: lines x and x + period are equal for every x in
                                 // [last - period, last + count - period)
    };
    // Whether lines begin..begin+count-1 have the text of `run`'s windows; if so, the window
    // becomes the latest member, so that windows coming in ascending order at one spacing
    // p < count (a run of equal lines, a repeated block) cost a comparison of p lines each, not
    // of count.
    bool same_text_as(WindowRun& run, std::size_t begin) const;

    ~ContentLines();

private:
    struct Ids;
    struct Sums;
    const Sums& sums() const;
    // Lines among begin..begin+count-2 that end in CR LF: the window's line breaks longer than LF.
    std::size_t crlf_breaks(std::size_t begin, std::size_t count) const;

    mutable std::unique_ptr<Ids> ids_;
    mutable std::unique_ptr<Sums> sums_;
    mutable bool crlf_known_ = false;
    mutable IndexTable crlf_before_;  // crlf_before_[k]: lines before k ending in CR LF; empty
                                      // when the content has no CR LF
};

// Candidate texts of a strategy, in the order the driver tries them. A candidate is held as a
// view (of the content, of the search text, or of a text the list owns) or, for a window of
// content lines, as the window itself, whose text is built only if the driver needs it and it is
// not a stretch of the content. Windows are kept apart from views and compactly: their first
// lines in an IndexTable and their line count once while all of them share it (as the windows of
// one strategy do), so that a hundred thousand matching windows cost 4 bytes each; the order of
// the two kinds is kept as a list of runs.
class Candidates {
public:
    Candidates() = default;
    Candidates(const Candidates&) = delete;
    Candidates& operator=(const Candidates&) = delete;
    Candidates(Candidates&&) noexcept = default;
    Candidates& operator=(Candidates&&) noexcept = default;

    // A text that outlives the list: a stretch of the content or of the search text.
    void add_view(std::string_view text);
    // A text the list keeps.
    void add_owned(std::string text);
    // Content lines begin..begin+count-1 (count >= 1) joined with LF.
    void add_window(const ContentLines& content, std::size_t begin, std::size_t count);
    // Makes room for `count` more windows.
    void reserve_windows(std::size_t count) { window_begins_.reserve(window_begins_.size() + count); }

    std::size_t size() const { return views_.size() + window_begins_.size(); }
    bool empty() const { return size() == 0; }

    // The text of candidate k; a window that is not a stretch of the content is built into
    // `scratch`, and the view then points there.
    std::string_view text(std::size_t k, std::string& scratch) const;
    // Byte length of candidate k.
    std::size_t length(std::size_t k) const;
    // Hash of candidate k's text (ContentLines::text_hash), O(1) for windows.
    std::uint64_t hash(std::size_t k) const;
    // Whether candidate k's text equals `other`.
    bool equals(std::size_t k, std::string_view other) const;
    // Whether candidate k's text equals that of lines begin..begin+count-1 of `content` (the
    // content of this list's windows).
    bool equals_window(std::size_t k, const ContentLines& content, std::size_t begin,
                       std::size_t count) const;
    // For a window candidate, its first line and line count.
    std::optional<std::pair<std::size_t, std::size_t>> window(std::size_t k) const;
    // No occurrence of candidate k starts before this position of the content (0 when unknown).
    std::size_t search_from(std::size_t k) const;
    // Records that candidate k, a view, does not occur before `pos`.
    void set_search_from(std::size_t k, std::size_t pos);

    // Every candidate's text, built (for tests and tools).
    std::vector<std::string> strings() const;

private:
    struct View {
        const char* data;
        std::size_t size;
        std::size_t search_from;
    };
    // Candidates first..(the next run's first)-1 are all views or all windows, the first of them
    // at `at` in views_ or in the window tables.
    struct Run {
        std::size_t first;
        std::size_t at;
        bool windows;
    };
    // Where candidate k is kept: {is a window, index in views_ or in the window tables}.
    std::pair<bool, std::size_t> locate(std::size_t k) const;
    std::size_t window_count(std::size_t w) const {
        return window_counts_.empty() ? shared_count_ : window_counts_[w];
    }

    const ContentLines* content_ = nullptr;
    std::vector<Run> runs_;
    std::vector<View> views_;
    IndexTable window_begins_;
    std::size_t shared_count_ = 0;   // the line count of every window, while they share one
    IndexTable window_counts_;       // one per window, once two counts differ
    std::deque<std::string> owned_;  // stable storage for owned texts
};

// A matching strategy: a pure function of the content and the search text. Its candidates may
// be views of both, which must outlive them.
using Replacer = Candidates (*)(const ContentLines& content, std::string_view old_string);

}  // namespace brindle::replacer
