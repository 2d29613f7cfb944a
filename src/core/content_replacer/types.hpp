// Records and function types shared by the replacement driver, its strategies and diagnostics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

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
};

struct MultipleMatches {
    std::string message;
    std::vector<std::uint64_t> locations;  // 1-based line numbers, ascending
};

using ReplaceError = std::variant<NoChange, NotFound, MultipleMatches>;
using ReplaceOutcome = std::variant<ReplaceResult, ReplaceError>;

// The lines of the content, split on first use. Behaves as a read-only
// std::vector<std::string_view> of views into the text.
class LazyLines {
public:
    explicit LazyLines(std::string_view text) : text_(text) {}

    const std::vector<std::string_view>& get() const;
    operator const std::vector<std::string_view>&() const { return get(); }
    std::size_t size() const { return get().size(); }
    bool empty() const { return get().empty(); }
    std::string_view operator[](std::size_t k) const { return get()[k]; }
    auto begin() const { return get().begin(); }
    auto end() const { return get().end(); }

private:
    std::string_view text_;
    mutable bool built_ = false;
    mutable std::vector<std::string_view> lines_;
};

// The text being searched, with what the strategies and the diagnostics of one call need to know
// about it, each part computed when it is first asked for and then shared:
//   lines           the lines, as views into `text`;
//   trimmed ids     one number per line, equal for two lines exactly when their trimmed texts are
//                   equal, so that comparing trimmed lines, and searching a sequence of trimmed
//                   lines, compares numbers;
//   window keys     a hash of the text of any window of lines (lines joined with LF), in O(1),
//                   for telling repeated candidate texts apart without building them.
// Nothing is computed that the call does not use: an exact hit needs none of it.
class ContentLines {
public:
    // The id of a trimmed text that no content line has.
    static constexpr std::uint32_t kAbsent = ~std::uint32_t{0};

    explicit ContentLines(std::string_view t);
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

    ~ContentLines();

private:
    struct Ids;
    struct Sums;
    const Sums& sums() const;

    mutable std::unique_ptr<Ids> ids_;
    mutable std::unique_ptr<Sums> sums_;
};

// Candidate texts of a strategy, in the order the driver tries them. A candidate is held as a
// view (of the content, of the search text, or of a text the list owns) or, for a window of
// content lines, as the window itself, whose text is built only if the driver needs it and it is
// not a stretch of the content. So thousands of candidates cost a few words each.
class Candidates {
public:
    Candidates() = default;
    Candidates(const Candidates&) = delete;
    Candidates& operator=(const Candidates&) = delete;
    Candidates(Candidates&&) noexcept = default;
    Candidates& operator=(Candidates&&) noexcept = default;

    // A text that outlives the list: a stretch of the content or of the search text.
    void add_view(std::string_view text) { items_.push_back({text.data(), text.size(), 0}); }
    // A text the list keeps.
    void add_owned(std::string text);
    // Content lines begin..begin+count-1 (count >= 1) joined with LF.
    void add_window(const ContentLines& content, std::size_t begin, std::size_t count);
    // Makes room for `count` more candidates.
    void reserve(std::size_t count) { items_.reserve(items_.size() + count); }

    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

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
    std::optional<std::pair<std::size_t, std::size_t>> window(std::size_t k) const {
        if (!is_window(k)) return std::nullopt;
        return std::pair(items_[k].a, items_[k].b & ~kWindow);
    }
    // No occurrence of candidate k starts before this position of the content (0 when unknown).
    std::size_t search_from(std::size_t k) const { return is_window(k) ? 0 : items_[k].b; }
    // Records that candidate k, a view, does not occur before `pos`.
    void set_search_from(std::size_t k, std::size_t pos) { items_[k].b = pos; }

    // Every candidate's text, built (for tests and tools).
    std::vector<std::string> strings() const;

private:
    // A view: {data, size, search_from}; a window: {nullptr, first line, count | kWindow}.
    static constexpr std::size_t kWindow = std::size_t{1} << (sizeof(std::size_t) * 8 - 1);
    struct Item {
        const char* data;
        std::size_t a;
        std::size_t b;
    };
    bool is_window(std::size_t k) const { return (items_[k].b & kWindow) != 0; }
    std::string_view view(std::size_t k) const { return {items_[k].data, items_[k].a}; }

    const ContentLines* content_ = nullptr;
    std::vector<Item> items_;
    std::deque<std::string> owned_;  // stable storage for owned texts
};

// A matching strategy: a pure function of the content and the search text. Its candidates may
// be views of both, which must outlive them.
using Replacer = Candidates (*)(const ContentLines& content, std::string_view old_string);

}  // namespace brindle::replacer
