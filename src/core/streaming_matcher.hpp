// The streaming matcher: locates, inside a fixed source text, the lines that correspond to a query
// block that arrives in chunks, by an incremental line alignment kept between pushes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brindle::streaming {

// Building blocks of the line alignment, exposed for the unit tests.
namespace detail {

// What the pair test needs of a trimmed line besides its bytes, computed once per line: a hash
// for the equality test, the character count and a set of character classes for lower bounds on
// the edit distance.
struct LineKey {
    const char* text = nullptr;  // the trimmed text, inside the line it was made from
    std::size_t length = 0;      // byte length of the trimmed text
    std::size_t chars = 0;       // characters of the trimmed text
    std::uint64_t hash = 0;
    std::uint64_t classes[2] = {0, 0};  // bit set of character classes (ASCII exact, others hashed)
    bool ascii = true;                  // every byte below 0x80, so that a byte is a character

    std::string_view trimmed() const { return {text, length}; }
};

// The key of `line`; it refers to `line`'s bytes, which must outlive it.
LineKey line_key(std::string_view line);

// A trimmed query line prepared for comparison with many source lines: its key and, for a line of
// at most 64 characters, the bit masks of the bit-parallel edit distance, built once per query
// line.
class QueryLine {
public:
    explicit QueryLine(std::string_view line);

    // Pair cost against the source line with key `source`: 0 equal, 1 similar, 13 different.
    // `work` accumulates the 64-bit word steps of the edit distances run.
    std::uint32_t pair_cost(const LineKey& source, std::uint64_t& work) const {
        return equals(source) ? 0 : unequal_pair_cost(source, work);
    }

    // True when the source line with key `source` equals this line (both trimmed).
    bool equals(const LineKey& source) const {
        return source.hash == key_.hash && source.length == key_.length &&
               source.trimmed() == key_.trimmed();
    }

    // Pair cost against a source line known not to equal this one: 1 similar, 13 different.
    std::uint32_t unequal_pair_cost(const LineKey& source, std::uint64_t& work) const;

    // The edit distance to the source line with key `source` in characters when it is at most
    // `limit`, else some value above `limit`. Adds an estimate of its word steps to `work`.
    std::uint64_t distance_within(const LineKey& source, std::uint64_t limit,
                                  std::uint64_t& work) const;

    const LineKey& key() const { return key_; }

private:
    // The mask of character `ch` (zero when the line lacks it).
    std::uint64_t mask_of(char32_t ch) const;
    std::uint64_t distance_one_word(const LineKey& source, std::uint64_t limit) const;

    LineKey key_;
    bool masked_ = false;  // the masks below are built (1 to 64 characters)
    // Masks of the ASCII characters: bit i of ascii_[ch] is set when character i is ch.
    std::array<std::uint64_t, 128> ascii_;
    std::vector<char32_t> other_chars_;  // the other characters of the line, ascending
    std::vector<std::uint64_t> other_;   // their masks
};

// Cost of pairing query line `query` with source line `source` (both untrimmed): 0 when equal
// after trimming, 1 when similar, 13 when different. The same code the alignment runs per cell.
std::uint32_t line_pair_cost(std::string_view query, std::string_view source);

// True when 1 - `difference` / `longer` falls below the line-similarity threshold 0.8, computed
// as that double-precision expression (by an exact integer test for lines under 3,000,000 bytes).
// `longer` must be positive and at least `difference`.
bool below_line_similarity(std::uint64_t difference, std::uint64_t longer);

// A cell of the alignment table: the least cost of reaching it, and what the walk back from it
// along the steps of least cost yields (see streaming_matcher.cpp): the source column where the
// walk ends and the number of pairs on the way.
struct AlignCell {
    std::uint32_t cost;
    std::uint32_t begin;
    std::uint32_t paired;
};

}  // namespace detail

// Byte range [start, end) of the source lines joined with single LFs.
struct MatchRange {
    std::uint64_t start;
    std::uint64_t end;
    friend bool operator==(const MatchRange&, const MatchRange&) = default;
};

// get_text's failure: the offsets after clamping to the joined source.
struct TextRangeError {
    std::uint64_t start;
    std::uint64_t end;
};

class StreamingFuzzyMatcher {
public:
    explicit StreamingFuzzyMatcher(std::string_view source_text);
    // Not copyable: the line keys refer into the matcher's own source lines.
    StreamingFuzzyMatcher(const StreamingFuzzyMatcher&) = delete;
    StreamingFuzzyMatcher& operator=(const StreamingFuzzyMatcher&) = delete;
    StreamingFuzzyMatcher(StreamingFuzzyMatcher&&) = default;
    StreamingFuzzyMatcher& operator=(StreamingFuzzyMatcher&&) = default;

    // Appends a chunk of the query; resolves once when it completes at least one line. Returns the
    // hint-selected range, else the first range, else nothing. All or nothing: when it throws (out
    // of memory, or an interrupt hook that throws, see cancel.hpp) the matcher is as before.
    std::optional<MatchRange> push(std::string_view chunk, std::optional<std::uint32_t> line_hint);

    // Flushes the incomplete last line (if any) and returns a copy of the current ranges. All or
    // nothing, like `push`.
    std::vector<MatchRange> finish();

    // The range nearest the stored hint (or the only range); nothing when no choice can be made.
    std::optional<MatchRange> select_best_match() const;

    // The text of `range` in the joined source, offsets clamped to it.
    std::variant<std::string, TextRangeError> get_text(MatchRange range) const;

    const std::vector<std::string>& source_lines() const { return source_lines_; }
    const std::vector<std::string>& query_lines() const { return query_lines_; }
    const std::vector<MatchRange>& matches() const { return matches_; }

    // Bytes held by the alignment table: the kept rows (for memory measurements). It does not
    // grow with the number of query lines.
    std::size_t table_bytes() const;

private:
    // What the rows of one resolution produced before it is committed to the matcher.
    struct StagedRows;

    // Appends `new_lines` (moved from) to the query lines, computes their rows and replaces the
    // matches; stores a copy of the new matches in `copy` when given. All or nothing.
    void resolve_location_fuzzy(std::vector<std::string>& new_lines, std::vector<MatchRange>* copy);
    void stage_rows(const std::vector<std::string>& new_lines, StagedRows& staged);
    std::vector<MatchRange> staged_ranges(const StagedRows& staged) const;
    void commit(std::vector<std::string>& new_lines, StagedRows& staged,
                std::vector<MatchRange>& ranges) noexcept;
    std::uint64_t joined_length() const;
    std::size_t line_containing(std::uint64_t offset) const;
    bool is_joined_char_boundary(std::uint64_t offset) const;

    std::vector<std::string> source_lines_;
    std::vector<detail::LineKey> source_keys_;  // one per source line, computed once
    std::vector<std::uint64_t> line_offsets_;
    std::vector<std::string> query_lines_;
    std::string incomplete_line_;
    std::vector<MatchRange> matches_;
    std::uint64_t column_count_ = 0;
    std::optional<std::uint32_t> line_hint_;

    // Alignment table: the recurrence and the walk back (carried forward in each cell) read only
    // the row above, so the last finished row is all that is kept, plus two scratch rows for a
    // resolution in progress.
    std::vector<detail::AlignCell> last_row_;
    std::vector<detail::AlignCell> scratch_rows_[2];
};

}  // namespace brindle::streaming
